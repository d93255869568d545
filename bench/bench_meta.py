"""Metadata changes with many keys, next to a dict comprehension over the same changes, in one run.

A change that cannot fit max_meta_bytes is refused at the call; one that fits is merged on a
runtime thread. Both should cost about what their argument costs to walk: the ratios to the
comprehension stay flat as the number of keys doubles. With the default single runtime thread,
another node of the process must not wait for either: its send_blocking() latency is shown
next to its latency at rest.

Run: PYTHONPATH=build/default/pkg .venv/bin/python bench/bench_meta.py
"""

import statistics
import threading
import time

from vennock import Config, MetaTooLarge, Node


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return min(times)


class Sender:
    """send_blocking() between two other nodes, over and over, recording each latency."""

    def __init__(self):
        self.b = Node.start_blocking(Config.local(name="b", bind="127.0.0.1:0"))
        self.c = Node.start_blocking(Config.local(name="c", bind="127.0.0.1:0", seeds=[self.b.local_addr()]))
        while len(self.b.members()) < 2:
            time.sleep(0.05)
        self.times, self.stop = [], False

    def run(self):
        while not self.stop:
            t = time.perf_counter()
            self.b.send_blocking("c", 0, b"x")
            self.times.append(time.perf_counter() - t)
            time.sleep(0.002)

    def during(self, fn):
        self.times, self.stop = [], False
        th = threading.Thread(target=self.run)
        th.start()
        time.sleep(0.05)
        fn()
        time.sleep(0.05)
        self.stop = True
        th.join()
        return statistics.median(self.times), max(self.times)

    def close(self):
        self.b.close_blocking()
        self.c.close_blocking()


def refused(node, changes):
    try:
        node.update_meta_blocking(changes)
    except MetaTooLarge:
        return
    raise SystemExit("the change was not refused")


def main():
    node = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"))
    sender = Sender()
    rest, _ = sender.during(lambda: time.sleep(0.2))
    refused(node, {f"key{i}": "v" for i in range(80_000)})  # the allocator's first growth, out of the timings
    print(f"{'call':<44}{'vennock':>12}{'dict comp':>12}{'ratio':>8}{'send worst/at rest':>20}")
    for n in (40_000, 80_000):
        new_keys = {f"key{i}": "v" for i in range(n)}
        removals = {f"key{i}": None for i in range(n)}
        base = best(lambda: {k: v for k, v in new_keys.items()})
        for what, call in ((f"update_meta, {n} new keys (refused)", lambda: refused(node, new_keys)),
                           (f"update_meta, {n} removals (applied)", lambda: node.update_meta_blocking(removals))):
            took = best(call)
            _, worst = sender.during(call)
            print(f"{what:<44}{took * 1e3:>10.2f}ms{base * 1e3:>10.2f}ms{took / base:>8.1f}{worst / rest:>20.1f}")
    sender.close()
    node.close_blocking()


if __name__ == "__main__":
    main()
