#!/usr/bin/env bash
# scripts/sanitize.sh asan|tsan: builds that configuration and runs its C++ tests; under ASan the
# Python tests too, with the sanitizer loaded into the interpreter (use after free in the
# bindings shows nowhere else).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
config=$1
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$config"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
label=""
[ "$config" = tsan ] && label="-L runtime|threads"
ctest --test-dir "$root/build/$config" --output-on-failure -j "${VENNOCK_JOBS:-$(nproc)}" $label
if [ "$config" = asan ]; then
  # The interpreter's own allocations are not ours to judge: leaks are left to the C++ tests.
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
    PYTHONPATH="$root/build/asan/pkg" "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
fi
