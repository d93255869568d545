#!/usr/bin/env python3
"""Stress of the process-wide edges of the bindings: exits and forks, run many times.

    scripts/exit_stress.py daemon [--runs 200] [--runtime-threads 1]
    scripts/exit_stress.py fork [--runs 100]
    scripts/exit_stress.py forklog [--runs 600]

`daemon`: each run is a fresh interpreter whose daemon threads run asyncio loops that keep
calling a node (awaited broadcasts, awaited reads under a timeout, reads) while the main thread
exits. A run that dies on a signal, or does not end within its time, counts as a crash.

`fork`: a parent in each state (idle; a thread blocked in next_blocking(); awaitables in flight
with their delivery waiting for the interpreter) forks a child that uses vennock and ends
normally; a child that has not ended within 10 s counts as hung.

`forklog`: a parent whose runtime threads log at debug level without pause (connections
sending a bad first frame, refused with a record each) forks children that start a node (which
logs) and end; standard error is a slowly read pipe, a file, or the records are routed to Python
(drained by a thread). A child that has not ended within 15 s counts as hung.

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

FORK_LOGGING = """
import os, socket, sys, threading, time
from vennock import Config, Node, drain_logs, route_to_python

route, forks = sys.argv[1], int(sys.argv[2])
if route == "python":
    route_to_python(10)
node = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0", runtime_threads=2), timeout=10)
host, port = node.local_addr().rsplit(":", 1)
stop = threading.Event()


def flood():
    # Each connection's first frame is refused with a debug record from a runtime thread.
    while not stop.is_set():
        try:
            with socket.create_connection((host, int(port)), timeout=1) as s:
                s.sendall(bytes([0, 0, 0, 8]) + b"garbage!")
                s.recv(1)
        except OSError:
            pass


def drain():
    while not stop.wait(0.001):
        drain_logs()


threads = [threading.Thread(target=flood, daemon=True) for _ in range(4)]
if route == "python":
    threads.append(threading.Thread(target=drain, daemon=True))
for t in threads:
    t.start()
counts = {}
for _ in range(forks):
    pid = os.fork()
    if pid == 0:
        try:
            child = Node.start_blocking(Config.local(name="child", bind="127.0.0.1:0"), timeout=10)
            child.close_blocking(10)
            os._exit(0)
        except BaseException:
            os._exit(1)
    deadline = time.monotonic() + 15
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.002)
    if done[0]:
        outcome = "ok" if os.waitstatus_to_exitcode(done[1]) == 0 else "failed"
    else:
        outcome = "hung"
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    counts[outcome] = counts.get(outcome, 0) + 1
stop.set()
print(counts, flush=True)
os._exit(0)
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


def forklog(runs):
    import tempfile
    import threading
    import time

    env = {**os.environ, "VENNOCK_LOG": "debug", "PYTHONWARNINGS": "ignore"}
    cmd = [sys.executable, "-c", textwrap.dedent(FORK_LOGGING)]
    shown = {"pipe": "stderr to a slowly read pipe", "file": "stderr to a file", "python": "routed to Python"}
    for route in ("pipe", "file", "python"):
        if route == "file":
            with tempfile.TemporaryFile() as f:
                out = subprocess.run(cmd + [route, str(runs)], stdout=subprocess.PIPE, stderr=f, text=True,
                                     env=env).stdout
        else:
            p = subprocess.Popen(cmd + [route, str(runs)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)

            def slowly():
                # Keeps the pipe full most of the time: writers wait in write() with the lock held.
                while p.stderr.read1(4096):
                    time.sleep(0.05)

            threading.Thread(target=slowly, daemon=True).start()
            out = p.stdout.read().decode()
            p.wait()
        print(f"fork while logging at debug, {shown[route]}: {runs} children: {out.strip()}", flush=True)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", choices=("daemon", "fork", "forklog"))
    p.add_argument("--runs", type=int, default=None)
    p.add_argument("--runtime-threads", type=int, default=1)
    a = p.parse_args()
    if a.what == "daemon":
        daemon(a.runs or 200, a.runtime_threads)
    elif a.what == "fork":
        fork(a.runs or 100)
    else:
        forklog(a.runs or 600)


if __name__ == "__main__":
    main()
