#!/usr/bin/env bash
# The main job: builds vennock and runs a small local cluster from Python that tells what it sees.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# Only the Python module: the tests, benchmarks and examples of the same configuration are
# left to scripts/test.sh, which reuses what this built. The progress goes to stderr, so the
# first run (a few minutes of compiling) shows what it is doing.
if [ ! -e "$root/build/default/build.ninja" ]; then
  echo "demo: building the Python module in build/default (the first build takes a few minutes)" >&2
fi
VENNOCK_TARGETS=_vennock "$root/scripts/build.sh" default >&2
PYTHONPATH="$root/build/default/pkg" exec "$root/.venv/bin/python" "$root/examples/cluster.py" "$@"
