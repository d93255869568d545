#!/usr/bin/env bash
# Builds the default configuration and runs every C++ and Python test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" default
ctest --test-dir "$root/build/default" --output-on-failure -j "${VENNOCK_JOBS:-$(nproc)}"
PYTHONPATH="$root/build/default/pkg" "$root/.venv/bin/python" -m pytest -q "$root/tests/python"
