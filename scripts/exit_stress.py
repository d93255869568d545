#!/usr/bin/env python3
"""Stress of the process-wide edges of the bindings: exits, forks, interrupts and the order of
reads, run many times.

    scripts/exit_stress.py daemon [--runs 200] [--runtime-threads 1]
    scripts/exit_stress.py fork [--runs 100]
    scripts/exit_stress.py forklog [--runs 600]
    scripts/exit_stress.py cancel [--runs 200] [--runtime-threads 1] [--read-timeout 3]
    scripts/exit_stress.py interrupt [--runs 1000]
    scripts/exit_stress.py order [--runs 1000]

`daemon`: each run is a fresh interpreter whose daemon threads run asyncio loops that keep
calling a node (awaited broadcasts, awaited reads under a timeout, reads) while the main thread
exits. A run that dies on a signal, or does not end within its time, counts as a crash.

`fork`: a parent in each state (idle; a thread blocked in next_blocking(); awaitables in flight
with their delivery waiting for the interpreter) forks a child that uses vennock and exits
normally; a child that has not ended within 10 s counts as hung.

`forklog`: a parent whose runtime threads log at debug level without pause (connections
sending a bad first frame, refused with a record each) forks children that start a node (which
logs) and end; standard error is a slowly read pipe, a file, or the records are routed to Python
(drained by a thread). A child that has not ended within 15 s counts as hung.

`cancel`: each run exits while daemon threads keep cancelling awaited reads of a subscription
(`asyncio.wait_for(sub.next(), 0.001)` in a loop) under a flow of messages; a cleanup that runs
after the library's exit hook sends one more message and reads the subscription with
next_blocking(timeout=3) (or another --read-timeout, None for none) until it has it. A run that
does not end within 30 s hangs; one whose cleanup read ran out of time missed.

`interrupt`: one interpreter reads a subscription with next_blocking() under a steady flow of
numbered messages while another thread sends it SIGINT at random moments, until --runs SIGINTs
have come while a next_blocking() was under way; then it reads what is left. Each such SIGINT
should be raised by the read (KeyboardInterrupt, its event given back); one the read leaves until
it has returned is counted, and raises nothing (a Ctrl-C handled there loses the value the read
returned). Every message sent must be read once, in order.

`order`: rounds of two awaited next() made back to back, then two messages: the first read must
take the first message; --runs rounds in one interpreter for each of 1, 2 and 4 runtime threads.

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


CANCEL = """
import asyncio, atexit, sys, threading, time

def cleanup():
    peer.send_blocking("a", 0, b"after", timeout=5)
    while True:
        event = sub.next_blocking(timeout={read_timeout})
        if event is False or event is None:
            print("missed")
            return
        if event[0] == "UserMessage" and event[5][0] == b"after":
            print("read")
            return

atexit.register(cleanup)
from vennock import Config, Node

a = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0", runtime_threads={threads}), timeout=10)
peer = Node.start_blocking(Config.local(name="peer", bind="127.0.0.1:0", seeds=[a.local_addr()]), timeout=10)
while len(a.members()) < 2 or len(peer.members()) < 2:
    time.sleep(0.01)
sub = a.events()

def flow():
    while True:
        try:
            peer.send_blocking("a", 0, b"x", timeout=1)
        except Exception:
            return
        time.sleep(0.0005)

def worker():
    async def main():
        while True:
            try:
                if await asyncio.wait_for(sub.next(), 0.001) is None:
                    return
            except TimeoutError:
                pass

    asyncio.run(main())

threading.Thread(target=flow, daemon=True).start()
for _ in range(4):
    threading.Thread(target=worker, daemon=True).start()
time.sleep(0.2)
"""

INTERRUPT = """
import random, signal, sys, threading, time
from vennock import Config, Node

target = int(sys.argv[1])
a = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0", event_buffer=1 << 20), timeout=10)
b = Node.start_blocking(Config.local(name="b", bind="127.0.0.1:0", seeds=[a.local_addr()]), timeout=10)
while len(a.members()) < 2 or len(b.members()) < 2:
    time.sleep(0.01)
sub = a.events()
state = {"inside": False, "call": 0.0, "returned": 0.0, "sent": None}

def profile(frame, event, arg):
    if getattr(arg, "__name__", None) == "next_blocking":
        state["inside"] = event == "c_call"
        state["call" if event == "c_call" else "returned"] = time.monotonic()

counts = {"raised": 0, "left": 0, "elsewhere": 0}

reading = sys._getframe().f_code  # the code that calls next_blocking

def handler(signum, frame):
    # Raises only from inside next_blocking (the frame that called it, not Python code that the
    # call runs, such as an import or the profile function): an interrupt handled anywhere else
    # raises nothing, so that what is lost can only be lost by the read.
    sent, state["sent"] = state["sent"], None
    if frame.f_code is reading and state["inside"]:
        counts["raised"] += 1
        raise KeyboardInterrupt
    at_return = frame.f_code is profile.__code__ and frame.f_locals["event"] == "c_return"
    if sent is not None and state["call"] < sent and (at_return or sent < state["returned"]):
        counts["left"] += 1  # came during the read, which returned its value instead of raising
    else:
        counts["elsewhere"] += 1

signal.signal(signal.SIGINT, handler)
stop = threading.Event()
sent = [0]

def flow():
    while not stop.is_set():
        b.send_blocking("a", 0, sent[0].to_bytes(4, "big"), timeout=10)
        sent[0] += 1
        time.sleep(0.002)  # slower than the reads: the reader waits, and a SIGINT comes with an event

def interrupt():
    rng, main = random.Random(7), threading.main_thread().ident
    while not stop.is_set():
        time.sleep(rng.uniform(0, 0.01))
        if state["sent"] is None:
            state["sent"] = time.monotonic()
        signal.pthread_kill(main, signal.SIGINT)

threads = [threading.Thread(target=flow), threading.Thread(target=interrupt)]
for t in threads:
    t.start()
got = []
sys.setprofile(profile)
while counts["raised"] + counts["left"] < target:
    try:
        event = sub.next_blocking(1)
        if event:
            got.append(int.from_bytes(event[5][0], "big"))
    except KeyboardInterrupt:
        pass
sys.setprofile(None)
stop.set()
signal.signal(signal.SIGINT, signal.SIG_IGN)
for t in threads:
    t.join()
while (event := sub.next_blocking(3)) not in (None, False):
    got.append(int.from_bytes(event[5][0], "big"))
lost = len(set(range(sent[0])) - set(got))
print(f"{counts['raised'] + counts['left']} SIGINTs came during next_blocking: {counts['raised']} raised by the "
      f"read, {counts['left']} left until it had returned its value (a Ctrl-C there loses that value); "
      f"{counts['elsewhere']} came elsewhere; {sent[0]} messages sent, {len(got)} read, {lost} lost, "
      f"{len(got) - len(set(got))} read twice, in order: {got == sorted(got)}")
"""

ORDER = """
import asyncio, sys
from vennock import Config, Node

async def main(rounds, threads):
    a = await Node.start(Config.local(name="a", bind="127.0.0.1:0", runtime_threads=threads))
    b = await Node.start(Config.local(name="b", bind="127.0.0.1:0", seeds=[a.local_addr()]))
    while len(a.members()) < 2 or len(b.members()) < 2:
        await asyncio.sleep(0.01)
    sub = a.events()
    swapped = 0
    for i in range(rounds):
        first, second = sub.next(), sub.next()
        await b.send("a", 0, b"%da" % i)
        await b.send("a", 0, b"%db" % i)
        got = (await first)[5][0], (await second)[5][0]
        swapped += got != (b"%da" % i, b"%db" % i)
    print(f"runtime_threads={threads}: {swapped} of {rounds} rounds out of order")
    await b.close()
    await a.close()

asyncio.run(main(int(sys.argv[1]), int(sys.argv[2])))
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


def cancel(runs, threads, read_timeout):
    counts = {}
    for _ in range(runs):
        r = python(CANCEL.replace("{threads}", str(threads)).replace("{read_timeout}", read_timeout), timeout=30)
        outcome = "hung" if r is None else (r.stdout.strip() or f"failed {r.returncode}")
        counts[outcome] = counts.get(outcome, 0) + 1
    print(f"exits with daemon threads cancelling reads, runtime_threads={threads}, the cleanup's read timeout "
          f"{read_timeout}: {runs} runs: {counts}")


def interrupt(runs):
    r = python(INTERRUPT, (str(runs),), timeout=600)
    print("interrupt:", "hung" if r is None else (r.stdout.strip() or r.stderr.strip()))


def order(runs):
    for threads in (1, 2, 4):
        r = python(ORDER, (str(runs), str(threads)), timeout=600)
        print("order:", "hung" if r is None else (r.stdout.strip() or r.stderr.strip()))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("what", choices=("daemon", "fork", "forklog", "cancel", "interrupt", "order"))
    p.add_argument("--runs", type=int, default=None)
    p.add_argument("--runtime-threads", type=int, default=1)
    p.add_argument("--read-timeout", default="3", help="cancel: the cleanup read's timeout (None: no limit)")
    a = p.parse_args()
    if a.what == "daemon":
        daemon(a.runs or 200, a.runtime_threads)
    elif a.what == "fork":
        fork(a.runs or 100)
    elif a.what == "forklog":
        forklog(a.runs or 600)
    elif a.what == "cancel":
        cancel(a.runs or 200, a.runtime_threads, a.read_timeout)
    elif a.what == "interrupt":
        interrupt(a.runs or 1000)
    else:
        order(a.runs or 1000)


if __name__ == "__main__":
    main()
