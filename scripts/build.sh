#!/usr/bin/env bash
# scripts/build.sh CONFIG [cmake args...]: configure and build one configuration into build/CONFIG.
#   default  optimised with debug info, tests, benchmarks, examples and the Python module
#   asan     ASan+UBSan, the C++ tests and the Python module
#   tsan     TSan, C++ tests only
#   fuzz     clang libFuzzer targets
# VENNOCK_TARGETS="a b" builds only those targets (and what they need) of the configuration,
# e.g. VENNOCK_TARGETS=_vennock for the Python module alone; a later full build of the same
# configuration reuses what they built.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
config=${1:-default}; shift || true
venv="$root/.venv"
export PATH="$venv/bin:$PATH"
jobs=${VENNOCK_JOBS:-$(nproc)}
args=(-G Ninja -DPython_EXECUTABLE="$venv/bin/python")
case "$config" in
  default) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENNOCK_PYTHON=ON) ;;
  asan) args+=(-DCMAKE_BUILD_TYPE=Debug -DVENNOCK_SANITIZE=address -DVENNOCK_PYTHON=ON -DVENNOCK_BENCH=OFF
               -DVENNOCK_EXAMPLES=OFF) ;;
  tsan) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENNOCK_SANITIZE=thread -DVENNOCK_BENCH=OFF -DVENNOCK_EXAMPLES=OFF) ;;
  fuzz) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14
               -DVENNOCK_FUZZ=ON -DVENNOCK_TESTS=OFF -DVENNOCK_BENCH=OFF -DVENNOCK_EXAMPLES=OFF) ;;
  *) echo "unknown configuration $config" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/build/$config" "${args[@]}" "$@" >/dev/null
targets=()
for t in ${VENNOCK_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$root/build/$config" -j "$jobs" "${targets[@]}"
