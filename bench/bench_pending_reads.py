"""Reads left pending by event loops that end. docs/api.md's second pattern (one pending next()
kept across asyncio.wait timeouts) runs once per asyncio.run, CYCLES times over one
subscription, as a program that calls asyncio.run for each piece of work would: each run ends
with its read still pending, on a loop that has closed. Reported: the process's resident memory
after a warm-up and at the end, how many of those loops something still holds, and how long the
next event then takes to reach a reader.

Run: PYTHONPATH=build/default/pkg .venv/bin/python bench/bench_pending_reads.py [CYCLES]
"""

import asyncio
import gc
import os
import sys
import time
import weakref

from vennock import Config, Node

WARM_UP = 200


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def pair():
    a = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)
    b = Node.start_blocking(Config.local(name="b", bind="127.0.0.1:0", seeds=[a.local_addr()]), timeout=10)
    while len(a.members()) < 2 or len(b.members()) < 2:
        time.sleep(0.01)
    return a, b


async def one_run(sub):
    """A piece of work that waits for an event a little, then ends with its read pending."""
    pending = sub.next()
    await asyncio.wait({pending}, timeout=0.0001)
    return weakref.ref(asyncio.get_running_loop())


def main():
    cycles = int(sys.argv[1]) if len(sys.argv) > 1 else 5000
    a, b = pair()
    sub = a.events()
    for _ in range(WARM_UP):
        asyncio.run(one_run(sub))
    gc.collect()
    before = rss_mb()
    t = time.perf_counter()
    loops = [asyncio.run(one_run(sub)) for _ in range(cycles)]
    took = time.perf_counter() - t
    gc.collect()
    after = rss_mb()
    held = sum(loop() is not None for loop in loops)
    t = time.perf_counter()
    b.send_blocking("a", 0, b"x", timeout=10)
    event = sub.next_blocking(120)
    latency = time.perf_counter() - t
    assert event is not False and event[5] == (b"x", False), event
    print(f"{cycles} asyncio.run cycles in {took:.1f}s; RSS {before:.1f} -> {after:.1f} MB ({after - before:+.1f}); "
          f"loops still held {held} of {cycles}; first event after them {latency * 1e3:.1f} ms")
    a.close_blocking()
    b.close_blocking()


if __name__ == "__main__":
    main()
