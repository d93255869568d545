"""How soon a crashed member is declared dead over real loopback sockets, by preset and cluster
size: n encrypted nodes join through the first and settle, one of them (never the first) stops
without a word, and the others are polled every 5 ms for its death. Prints, per preset and
size, the seconds from the stop until the first member held it dead and until every member did:
median, 99th percentile (nearest rank) and slowest run.

By default the nodes run in this process and the one that stops is closed. With --processes
each node runs in a process of its own, as a deployment runs them, and the one that stops is
killed with SIGKILL; each process polls its own node and reports the moment (the monotonic
clock, which every process of the host shares) it held the victim dead.

Run: PYTHONPATH=build/default/pkg .venv/bin/python bench/bench_detection.py [runs=20]
     [--presets lan local] [--sizes 2 8 32] [--seed 1] [--processes]
"""

import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import time

import vennock
from vennock import Config, Node

DEAD = 2
POLL = 0.005


def until(check, timeout):
    deadline = time.monotonic() + timeout
    while not check():
        if time.monotonic() > deadline:
            raise SystemExit("gave up waiting for the cluster to form")
        time.sleep(0.02)


def config(preset, key, runtime_threads):
    return getattr(Config, preset)(bind="127.0.0.1:0", keys=[key], runtime_threads=runtime_threads)


def form(preset, n):
    cfg = config(preset, vennock.generate_key(), 2)
    first = Node.start_blocking(cfg.replace(name="m0"), timeout=10)
    nodes = [first]
    for i in range(1, n):
        nodes.append(Node.start_blocking(cfg.replace(name=f"m{i}", seeds=[first.local_addr()]), timeout=10))
    until(lambda: all(len(x.members()) == n for x in nodes), 30)
    return cfg, nodes


def one_run(preset, n, rng):
    """Seconds from the close until the first and until the last other member held it dead."""
    cfg, nodes = form(preset, n)
    try:
        # A few periods of quiet running, then the crash at a random moment of a period.
        period = cfg.probe_interval
        time.sleep(3 * period + rng.uniform(0, period))
        victim = rng.randrange(1, n)
        name = f"m{victim}"
        others = [x for i, x in enumerate(nodes) if i != victim]
        t0 = time.monotonic()
        nodes[victim].close_blocking(timeout=5)
        seen = []
        deadline = t0 + 120
        while others and time.monotonic() < deadline:
            now = time.monotonic()
            left = [x for x in others if (m := x.member(name)) is None or m[2] != DEAD]
            seen += [now - t0] * (len(others) - len(left))
            others = left
            time.sleep(POLL)
        if others:
            raise SystemExit(f"{preset}, {n} members: {len(others)} never held {name} dead within 120 s")
        return seen[0], seen[-1]
    finally:
        for x in nodes:
            x.close_blocking(timeout=5)


# ---- one node per process

def child(preset, name, key, seed):
    """A node in a process of its own, driven by lines on stdin: "members" answers the count of
    live members, "watch NAME" answers the monotonic time at which NAME was first held dead."""
    cfg = config(preset, key, 1).replace(name=name, seeds=[seed] if seed else [])
    node = Node.start_blocking(cfg, timeout=10)
    print("addr", node.local_addr(), flush=True)
    for line in sys.stdin:
        cmd, *arg = line.split()
        if cmd == "members":
            print(len(node.members()), flush=True)
        elif cmd == "watch":
            while (m := node.member(arg[0])) is not None and m[2] != DEAD:
                time.sleep(POLL)
            print(time.monotonic(), flush=True)


class Proc:
    def __init__(self, preset, name, key, seed):
        self.p = subprocess.Popen([sys.executable, __file__, "--child", preset, name, key, seed or ""],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)

    def ask(self, line):
        self.p.stdin.write(line + "\n")
        return self.p.stdout.readline().strip()

    def addr(self):
        word, addr = self.p.stdout.readline().split()
        assert word == "addr"
        return addr

    def kill(self):
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGKILL)
        self.p.wait()


def one_run_processes(preset, n, rng):
    """Seconds from the SIGKILL until the first and until the last other member held it dead."""
    key = vennock.generate_key()
    procs = [Proc(preset, "m0", key, None)]
    try:
        seed = procs[0].addr()
        procs += [Proc(preset, f"m{i}", key, seed) for i in range(1, n)]
        for p in procs[1:]:
            p.addr()
        until(lambda: all(p.ask("members") == str(n) for p in procs), 60)
        period = getattr(Config, preset)(keys=[key]).probe_interval
        time.sleep(3 * period + rng.uniform(0, period))
        victim = rng.randrange(1, n)
        others = [p for i, p in enumerate(procs) if i != victim]
        for p in others:
            p.p.stdin.write(f"watch m{victim}\n")
        time.sleep(0.05)  # every watcher polling before the kill
        t0 = time.monotonic()
        os.kill(procs[victim].p.pid, signal.SIGKILL)
        seen = sorted(float(p.p.stdout.readline()) - t0 for p in others)
        return seen[0], seen[-1]
    finally:
        for p in procs:
            p.kill()


def pct(v, q):
    v = sorted(v)
    return v[min(len(v) - 1, int(q * (len(v) - 1) + 0.5))]


def row(preset, n, runs, rng, processes):
    first, last = [], []
    for _ in range(runs):
        f, a = (one_run_processes if processes else one_run)(preset, n, rng)
        first.append(f)
        last.append(a)
    cells = [f"{statistics.median(v):6.2f} {pct(v, 0.99):6.2f} {max(v):6.2f}" for v in (first, last)]
    print(f"{preset:>6} | {n:7} | {runs:4} | {cells[0]} | {cells[1]}", flush=True)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(*sys.argv[2:6])
        return
    p = argparse.ArgumentParser()
    p.add_argument("runs", nargs="?", type=int, default=20)
    p.add_argument("--presets", nargs="+", default=["lan", "local"])
    p.add_argument("--sizes", nargs="+", type=int, default=[2, 8, 32])
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--processes", action="store_true", help="one node per process, the victim killed")
    a = p.parse_args()
    rng = random.Random(a.seed)
    how = "one process per node, the member killed with SIGKILL" if a.processes else "in this process, closed"
    print(f"a member stopped without a word, nodes on 127.0.0.1 ({how}): seconds from the stop until the")
    print("first member held it dead and until every member did: median, 99th percentile, slowest run")
    print(f"{'':>6} | {'':>7} | {'':>4} | {'first':>20} | {'every':>20}")
    print(f"{'preset':>6} | {'members':>7} | {'runs':>4} | {'median':>6} {'p99':>6} {'worst':>6}"
          f" | {'median':>6} {'p99':>6} {'worst':>6}")
    for preset in a.presets:
        for n in a.sizes:
            row(preset, n, a.runs, rng, a.processes)


if __name__ == "__main__":
    main()
