#!/usr/bin/env python3
"""Stress of the process-wide edges of the bindings: exits and forks, run many times.

    scripts/exit_stress.py daemon [--runs 200] [--runtime-threads 1]
    scripts/exit_stress.py fork [--runs 100]

`daemon`: each run is a fresh interpreter whose daemon threads run asyncio loops that keep
calling a node (awaited broadcasts, awaited reads under a timeout, reads) while the main thread
exits. A run that dies on a signal, or does not end within its time, counts as a crash.

`fork`: a parent in each state (idle; a thread blocked in next_blocking(); awaitables in flight
with their delivery waiting for the interpreter) forks a child that uses vennock and ends
normally; a child that has not ended within 10 s counts as hung.

The package is taken from PYTHONPATH (e.g. build/default/pkg), so the same script measures
another build for a before-and-after figure.
"""

import argparse
import os
import subprocess
import sys
import textwrap

DAEMON = """
import asyncio, sys, threading, time
from vennock import Config, Node

node = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0", runtime_threads={threads}), timeout=10)
sub = node.events()

def worker():
    async def main():
        while True:
            try:
                await node.broadcast(b"x")
                await asyncio.wait_for(sub.next(), 0.001)
            except Exception:
                pass
            node.members()

    asyncio.run(main())

for _ in range(8):
    threading.Thread(target=worker, daemon=True).start()
time.sleep(0.2)
"""

FORK = """
import asyncio, os, signal, sys, threading, time
from vennock import Config, Node

node = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)

def exits():
    pid = os.fork()
    if pid == 0:
        child = Node.start_blocking(Config.local(name="child", bind="127.0.0.1:0"), timeout=10)
        child.broadcast_blocking(b"x", timeout=10)

        async def main():
            await child.broadcast(b"y")

        asyncio.run(main())
        child.close_blocking(10)
        sys.exit(0)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return "ok" if os.waitstatus_to_exitcode(status) == 0 else "failed"
        time.sleep(0.005)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    return "hung"

state = sys.argv[1]
if state == "reader":
    def read():
        try:
            node.events().next_blocking()
        except Exception:
            pass
    threading.Thread(target=read, daemon=True).start()
    time.sleep(0.05)
    print(exits())
elif state == "awaitables":
    sys.setswitchinterval(100)

    async def in_flight():
        fut = node.broadcast(b"z")
        until = time.monotonic() + 0.05
        while time.monotonic() < until:
            pass
        out = exits()
        await fut
        return out

    print(asyncio.run(in_flight()))
else:
    print(exits())
"""


def python(code, args=(), timeout=60):
    env = {**os.environ, "VENNOCK_LOG": "off", "PYTHONWARNINGS": "ignore"}
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return None


def daemon(runs, threads):
    crashed = failed = 0
    for _ in range(runs):
        r = python(DAEMON.replace("{threads}", str(threads)), timeout=30)
        if r is None or r.returncode < 0:
            crashed += 1
        elif r.returncode != 0:
            failed += 1
    print(f"daemon loops, runtime_threads={threads}: {crashed} of {runs} exits crashed or hung, {failed} failed")


def fork(runs):
    for state in ("idle", "reader", "awaitables"):
        counts = {}
        for _ in range(runs):
            r = python(FORK, (state,), timeout=40)
            outcome = "parent hung" if r is None else (r.stdout.strip() or f"parent failed {r.returncode}")
            counts[outcome] = counts.get(outcome, 0) + 1
        print(f"fork with the parent {state}: {runs} children: {counts}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", choices=("daemon", "fork"))
    p.add_argument("--runs", type=int, default=None)
    p.add_argument("--runtime-threads", type=int, default=1)
    a = p.parse_args()
    if a.what == "daemon":
        daemon(a.runs or 200, a.runtime_threads)
    else:
        fork(a.runs or 100)


if __name__ == "__main__":
    main()
