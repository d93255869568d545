#!/usr/bin/env bash
# Installs the package as a Python user would (`pip install .` into a fresh virtual environment,
# built by scikit-build-core) and starts a node from it, outside the source tree so that nothing
# is imported from the build directory.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$root/.venv/bin/python" -m venv "$tmp/venv"
"$tmp/venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
"$tmp/venv/bin/python" -m pip install -q "$root"
cd "$tmp"
"$tmp/venv/bin/python" - <<'PY'
import vennock
from vennock import Config, Node

assert vennock.__file__.startswith(__import__("sys").prefix), vennock.__file__
a = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)
b = Node.start_blocking(Config.local(name="b", bind="127.0.0.1:0", seeds=[a.local_addr()]), timeout=10)
sub = a.events()
b.send_blocking("a", 0, b"installed", timeout=10)
while (e := sub.next_blocking(10)) and e[0] != "UserMessage":
    pass
assert e[5] == (b"installed", False), e
b.shutdown_blocking(5)
a.close_blocking()
print(f"install check: vennock {vennock.__version__} from {vennock.__file__}")
PY
