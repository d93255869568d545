"""How soon a crashed member is declared dead over real loopback sockets, by preset and cluster
size: n encrypted nodes in this process join through the first and settle, one of them (never the
first) is closed without a word, and the others are polled every 5 ms for its death. Prints,
per preset and size, the seconds from the close until the first member held it dead and until
every member did: median and slowest run.

Run: PYTHONPATH=build/default/pkg .venv/bin/python bench/bench_detection.py [runs=20]
     [--presets lan local] [--sizes 2 8 32] [--seed 1]
"""

import argparse
import random
import statistics
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


def form(preset, n):
    cfg = getattr(Config, preset)(bind="127.0.0.1:0", keys=[vennock.generate_key()], runtime_threads=2)
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


def row(preset, n, runs, rng):
    first, last = [], []
    for _ in range(runs):
        f, a = one_run(preset, n, rng)
        first.append(f)
        last.append(a)
    print(f"{preset:>6} | {n:7} | {runs:4} | {statistics.median(first):6.2f} {max(first):6.2f}"
          f" | {statistics.median(last):6.2f} {max(last):6.2f}", flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("runs", nargs="?", type=int, default=20)
    p.add_argument("--presets", nargs="+", default=["lan", "local"])
    p.add_argument("--sizes", nargs="+", type=int, default=[2, 8, 32])
    p.add_argument("--seed", type=int, default=1)
    a = p.parse_args()
    rng = random.Random(a.seed)
    print("a member closed without a word, nodes on 127.0.0.1: seconds from the close until the first")
    print("member held it dead and until every member did, median and slowest run")
    print(f"{'':>6} | {'':>7} | {'':>4} | {'first':>13} | {'every':>13}")
    print(f"{'preset':>6} | {'members':>7} | {'runs':>4} | {'median':>6} {'worst':>6} | {'median':>6} {'worst':>6}")
    for preset in a.presets:
        for n in a.sizes:
            row(preset, n, a.runs, rng)


if __name__ == "__main__":
    main()
