#!/usr/bin/env bash
# Installs everything the build and the tests need; safe to run again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

debs=(build-essential pkg-config libsodium-dev libasio-dev librust-blake3-dev libgtest-dev
      libbenchmark-dev clang-14 libclang-rt-14-dev libfuzzer-14-dev)
missing=()
for p in "${debs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The newest CPython 3.14 or 3.13 on the machine (3.13 is the oldest the module builds with;
# pip install . itself builds for whichever interpreter runs pip).
find_python() {
  for v in 3.14 3.13; do
    for c in "/root/.pyenv/versions/$v"*/bin/python$v "$(command -v python$v 2>/dev/null || true)"; do
      if [ -n "$c" ] && [ -x "$c" ] && "$c" -c 'import venv' 2>/dev/null; then echo "$c"; return 0; fi
    done
  done
  return 1
}

venv="$root/.venv"
if [ ! -x "$venv/bin/python" ]; then
  py=$(find_python) || { echo "setup: no CPython >= 3.13 found" >&2; exit 1; }
  echo "setup: making $venv from $py"
  "$py" -m venv "$venv"
fi
stamp="$venv/.vennock-deps-2"
if [ ! -f "$stamp" ]; then
  echo "setup: installing nanobind, scikit-build-core, pytest, cmake and ninja into $venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
  "$venv/bin/python" -m pip install -q "nanobind>=2.8" "scikit-build-core>=0.10" pytest "cmake>=3.24" ninja
  touch "$stamp"
fi
