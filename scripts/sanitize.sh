#!/usr/bin/env bash
# scripts/sanitize.sh asan|tsan: builds that configuration and runs its C++ tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
config=$1
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$config"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
label=""
[ "$config" = tsan ] && label="-L runtime"
ctest --test-dir "$root/build/$config" --output-on-failure -j "${VENNOCK_JOBS:-$(nproc)}" $label
