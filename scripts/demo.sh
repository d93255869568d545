#!/usr/bin/env bash
# The main job: builds vennock and runs a small local cluster that tells what it sees.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" default >/dev/null
exec "$root/build/default/examples/cluster" "$@"
