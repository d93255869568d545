#!/usr/bin/env bash
# The main job: builds vennock and runs the demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" default >/dev/null
exec "$root/build/default/examples/demo" "$@"
