"""What a resolver that answers late, or never, holds up, for one or more builds of the module
in one run (a build of main's and one of a branch, say): how long a program takes to end after
`close_blocking()` returned, while a join's lookup is still in the resolver (which never answers,
or answers after 12 s), and after a start given up by `timeout=1`; and how long another node's
`await set_meta(...)` takes while 100 lookups hang, next to the same call at rest.

Each case runs in a fresh interpreter with a getaddrinfo of its own preloaded (compiled here with
the C compiler). A program still running LIMIT seconds after its close is counted as not ended
and killed; a call without an answer after LIMIT seconds counts as none.

Run: .venv/bin/python bench/bench_lookups.py [PKG ...]   (default: build/default/pkg)
"""

import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

RUNS = 20
CALLS = 50
LIMIT = 15.0

# The resolver that answers late or never, shared with the tests.
SHIM = (pathlib.Path(__file__).resolve().parent.parent / "tests" / "python" / "getaddrinfo_shim.c").read_text()

PRELUDE = """
import asyncio, ctypes, json, os, statistics, sys, threading, time
from vennock import Config, Node, VennockClosed
shim = ctypes.CDLL(os.environ["LD_PRELOAD"])
def cfg(name, **kw):
    return Config.local(name=name, bind="127.0.0.1:0", **kw)
def lookups_in(n):
    while shim.gai_entered() < n:
        time.sleep(0.005)
"""

AFTER_CLOSE = """
node = Node.start_blocking(cfg("a"), timeout=10)
def join():
    try:
        node.join_blocking(["{name}.example:7946"])
    except VennockClosed:
        pass
t = threading.Thread(target=join)
t.start()
lookups_in(1)
node.close_blocking()
t.join()
print(time.monotonic(), flush=True)
"""

AFTER_START = """
try:
    Node.start_blocking(cfg("a", seeds=["never.example:7946"]), timeout=1)
except TimeoutError:
    print(time.monotonic(), flush=True)
"""

AWAITED = """
a = Node.start_blocking(cfg("a"), timeout=10)
async def calls(n):
    times = []
    for i in range(n):
        t = time.perf_counter()
        try:
            await asyncio.wait_for(a.set_meta({{"i": str(i)}}), {limit})
        except TimeoutError:
            return None
        times.append(time.perf_counter() - t)
    return statistics.median(times), max(times)
rest = asyncio.run(calls({calls}))
b = Node.start_blocking(cfg("b"), timeout=10)
threading.Thread(target=lambda: b.join_blocking([f"never-{{i}}.example:7946" for i in range(100)]), daemon=True).start()
lookups_in(8)
print(json.dumps([rest, asyncio.run(calls({calls}))]), flush=True)
os._exit(0)
"""


def child(pkg, shim, body, timeout):
    env = {k: v for k, v in os.environ.items() if k != "VENNOCK_LOG"}
    env.update(PYTHONPATH=pkg, LD_PRELOAD=shim, VENNOCK_LOG="off")
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(PRELUDE + body)], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True), timeout


def exit_after(pkg, shim, body):
    """Seconds from the moment the child said so to its end, or None when it did not end."""
    p, _ = child(pkg, shim, body, LIMIT)
    line = p.stdout.readline()
    try:
        p.wait(timeout=LIMIT)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
        return None
    ended = time.monotonic()
    return ended - float(line) if line.strip() else None


def exits(pkg, shim, body, runs):
    times = [exit_after(pkg, shim, body) for _ in range(runs)]
    ended = sorted(t for t in times if t is not None)
    quick = sum(1 for t in ended if t < 1.0)
    if not ended:
        return f"{quick}/{runs} < 1 s, none ended within {LIMIT:.0f} s"
    return (f"{quick}/{runs} < 1 s, median {statistics.median(ended) * 1e3:.0f} ms, "
            f"slowest {ended[-1] * 1e3:.0f} ms, {runs - len(ended)} not ended")


def awaited(pkg, shim):
    p, _ = child(pkg, shim, AWAITED.format(limit=LIMIT, calls=CALLS), LIMIT * 3)
    try:
        out, _ = p.communicate(timeout=LIMIT * 3)
    except subprocess.TimeoutExpired:
        p.kill()
        out, _ = p.communicate()
    rest, hung = json.loads(out) if out.strip() else (None, None)

    def shown(r):
        return "no answer" if r is None else f"median {r[0] * 1e6:.0f} us, slowest {r[1] * 1e3:.1f} ms"

    return f"at rest: {shown(rest)}; 100 lookups hung: {shown(hung)}"


def main():
    pkgs = sys.argv[1:] or ["build/default/pkg"]
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        raise SystemExit("needs a C compiler")
    with tempfile.TemporaryDirectory() as d:
        shim = str(pathlib.Path(d) / "gai.so")
        (pathlib.Path(d) / "gai.c").write_text(SHIM)
        subprocess.run([cc, "-shared", "-fPIC", "-o", shim, str(pathlib.Path(d) / "gai.c"), "-ldl"], check=True)
        cases = [
            ("exit after close, resolver never answers", lambda pkg: exits(pkg, shim, AFTER_CLOSE.format(name="never"), RUNS)),
            ("exit after close, resolver answers after 12 s", lambda pkg: exits(pkg, shim, AFTER_CLOSE.format(name="late"), RUNS)),
            ("exit after start_blocking(timeout=1)", lambda pkg: exits(pkg, shim, AFTER_START, RUNS)),
            (f"await set_meta, {CALLS} calls", lambda pkg: awaited(pkg, shim)),
        ]
        for what, measure in cases:
            print(what)
            for pkg in pkgs:
                print(f"  {pkg}: {measure(pkg)}", flush=True)


if __name__ == "__main__":
    main()
