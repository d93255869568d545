#!/usr/bin/env bash
# The main job: builds vennock and runs a small local cluster from Python that tells what it sees.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" default >/dev/null
PYTHONPATH="$root/build/default/pkg" exec "$root/.venv/bin/python" "$root/examples/cluster.py" "$@"
