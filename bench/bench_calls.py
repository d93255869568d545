"""Python call overhead of node queries and of an awaited operation, next to plain Python doing
comparable work, in one run.

Run: PYTHONPATH=build/default/pkg .venv/bin/python bench/bench_calls.py
"""

import asyncio
import statistics
import time
import timeit

from vennock import Config, Node

MEMBERS = 100


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=7)) / number


def start_cluster():
    cfg = Config.local(bind="127.0.0.1:0", runtime_threads=2)
    first = Node.start_blocking(cfg.replace(name="m000"))
    nodes = [first] + [Node.start_blocking(cfg.replace(name=f"m{i:03}", seeds=[first.local_addr()]))
                       for i in range(1, MEMBERS)]
    deadline = time.monotonic() + 60
    while len(first.members()) < MEMBERS:
        if time.monotonic() > deadline:
            raise SystemExit("the cluster did not form")
        time.sleep(0.1)
    return nodes


async def awaited(make, n):
    times = []
    for _ in range(n):
        t = time.perf_counter()
        await make()
        times.append(time.perf_counter() - t)
    return statistics.median(times)


async def noop():
    return 0


def main():
    nodes = start_cluster()
    node = nodes[0]
    rows = []
    members = node.members()
    rows.append(("members() of 100", best(node.members, 2000),
                 best(lambda: [tuple(m) for m in members], 2000), "list of 100 tuples copied"))
    stats = node.stats()
    rows.append(("stats()", best(node.stats, 20000), best(lambda: dict(stats), 20000), "27-key dict copied"))
    rows.append(("local()", best(node.local, 20000), best(lambda: tuple(members[0]), 20000), "one tuple copied"))

    async def calls():
        loop = asyncio.get_running_loop()
        ours = await awaited(lambda: node.join([]), 2000)
        coro = await awaited(noop, 2000)
        hop = await awaited(lambda: loop.run_in_executor(None, int), 2000)
        return ours, coro, hop

    ours, coro, hop = asyncio.run(calls())
    rows.append(("await join([])", ours, coro, "awaiting a coroutine"))
    rows.append(("await join([])", ours, hop, "a thread-pool round trip"))
    print(f"{'call':<20}{'vennock':>12}{'baseline':>12}{'ratio':>8}  baseline")
    for what, a, b, base in rows:
        print(f"{what:<20}{a * 1e6:>10.2f}us{b * 1e6:>10.2f}us{a / b:>8.2f}  {base}")
    for n in nodes:
        n.close_blocking()


if __name__ == "__main__":
    main()
