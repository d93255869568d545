#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS]: builds the fuzz targets and runs each for a bounded time.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
# Undefined behaviour fails the run instead of scrolling past in the log.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$root/scripts/setup.sh"
"$root/scripts/build.sh" fuzz
for f in "$root"/build/fuzz/tests/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$root/build/fuzz/corpus/$name"
  mkdir -p "$corpus"
  echo "fuzz: $name for ${seconds}s"
  "$f" -max_total_time="$seconds" -print_final_stats=1 -max_len=70000 "$corpus" 2>&1 | tail -n 4
done
