"""Events from the engine to Python, and the latency of a user message between two nodes, next
to what plain Python does with the same load in the same run.

Run: PYTHONPATH=build/default/pkg .venv/bin/python bench/bench_events.py
"""

import asyncio
import socket
import statistics
import threading
import time

from vennock import Config, Node

EVENTS = 20000
ROUND_TRIPS = 2000


def pair():
    cfg = Config.local(bind="127.0.0.1:0", event_buffer=EVENTS * 2, runtime_threads=2)
    a = Node.start_blocking(cfg.replace(name="a"))
    b = Node.start_blocking(cfg.replace(name="b", seeds=[a.local_addr()]))
    while len(a.members()) < 2 or len(b.members()) < 2:
        time.sleep(0.05)
    return a, b


def flood(a):
    """Sends EVENTS messages to b; some may still be on their way when it returns."""
    for _ in range(EVENTS):
        a.send_blocking("b", 0, b"e")


def rate_awaiting(a, b):
    sub = b.events()
    flood(a)

    async def read():
        t = time.perf_counter()
        for _ in range(EVENTS):
            await sub.next()
        return EVENTS / (time.perf_counter() - t)

    return asyncio.run(read())


def rate_blocking(a, b):
    sub = b.events()
    flood(a)
    t = time.perf_counter()
    for _ in range(EVENTS):
        sub.next_blocking()
    return EVENTS / (time.perf_counter() - t)


def rate_polling(a, b):
    sub = b.events()
    flood(a)
    t = time.perf_counter()
    n = 0
    while n < EVENTS:
        if sub.try_next() is not None:
            n += 1
    return EVENTS / (time.perf_counter() - t)


def rtt_vennock(a, b):
    sub_a, sub_b = a.events(), b.events()

    def echo():
        for _ in range(ROUND_TRIPS):
            e = sub_b.next_blocking()
            b.send_blocking("a", 0, e[5][0])

    t = threading.Thread(target=echo)
    t.start()
    times = []
    for _ in range(ROUND_TRIPS):
        s = time.perf_counter()
        a.send_blocking("b", 0, b"ping")
        sub_a.next_blocking()
        times.append(time.perf_counter() - s)
    t.join()
    return statistics.median(times)


def rtt_udp():
    x, y = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    x.bind(("127.0.0.1", 0))
    y.bind(("127.0.0.1", 0))

    def echo():
        for _ in range(ROUND_TRIPS):
            data, addr = y.recvfrom(2048)
            y.sendto(data, addr)

    t = threading.Thread(target=echo)
    t.start()
    times = []
    for _ in range(ROUND_TRIPS):
        s = time.perf_counter()
        x.sendto(b"ping", y.getsockname())
        x.recvfrom(2048)
        times.append(time.perf_counter() - s)
    t.join()
    return statistics.median(times)


def main():
    a, b = pair()
    polling = rate_polling(a, b)
    awaiting = rate_awaiting(a, b)
    blocking = rate_blocking(a, b)
    print(f"events/s drained with try_next (no bridge): {polling:,.0f}")
    print(f"events/s to an awaiting coroutine:          {awaiting:,.0f}  ratio {awaiting / polling:.3f}")
    print(f"events/s to a blocking reader:              {blocking:,.0f}  ratio {blocking / polling:.3f}")
    ours, raw = rtt_vennock(a, b), rtt_udp()
    print(f"user message round trip, median: {ours * 1e6:.0f}us; raw UDP in Python: {raw * 1e6:.0f}us; "
          f"ratio {ours / raw:.2f}")
    a.close_blocking()
    b.close_blocking()


if __name__ == "__main__":
    main()
