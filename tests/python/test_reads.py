"""What becomes of an event a read has taken: every read hands it to its caller or gives it back
to the front of the subscription (a loop that closed, a signal, a failed conversion, the exit),
and reads take events in the order they were called."""

import asyncio
import gc
import inspect
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

from conftest import names, not_under_asan, wait_until


def run(body, env=None, timeout=90):
    env = {**{k: v for k, v in os.environ.items() if k != "VENNOCK_LOG"}, "VENNOCK_LOG": "off", **(env or {})}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(body)], capture_output=True, text=True,
                          timeout=timeout, env=env)


def test_a_read_left_pending_by_asyncio_run_stands_in_no_ones_way(nodes):
    a, b = nodes.cluster("a", "b")
    sub = a.events()

    async def keep_one_pending():
        pending = sub.next()
        await asyncio.wait({pending}, timeout=0)  # the read outlives the loop, as in docs/api.md
        return pending

    pending = asyncio.run(keep_one_pending())
    assert not pending.done()
    # Its loop has closed, so this thread's blocking read gives it up instead of refusing.
    assert sub.next_blocking(0.1) is False
    b.send_blocking("a", 0, b"x", timeout=10)
    assert sub.next_blocking(10)[5] == (b"x", False)
    assert not pending.done()

    # Another thread's read, pending when its loop closed, takes the next event: it goes back,
    # quietly (no closed loop reported), to the read behind it.
    unraisable = []
    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        left = []
        t = threading.Thread(target=lambda: left.append(asyncio.run(keep_one_pending())))
        t.start()
        t.join()
        b.send_blocking("a", 0, b"y", timeout=10)
        assert sub.next_blocking(10)[5] == (b"y", False)
    finally:
        sys.unraisablehook = hook
    assert [u.exc_value for u in unraisable] == []


def test_a_blocking_read_interrupted_as_its_event_comes_gives_the_event_back(nodes):
    a, b = nodes.cluster("a", "b")
    sub = a.events()

    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        raise Interrupted

    entered = threading.Event()

    def profile(frame, event, arg):  # the main thread is entering the read
        if event == "c_call" and getattr(arg, "__name__", None) == "next_blocking":
            entered.set()

    r, w = os.pipe()
    os.set_blocking(w, False)
    old_handler = signal.signal(signal.SIGUSR1, handler)
    old_fd = signal.set_wakeup_fd(w)
    try:
        for i in range(20):
            data = b"%d" % i
            entered.clear()

            def signal_then_send():
                entered.wait()
                signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
                os.read(r, 1)  # written once the signal is pending: it comes before the event
                b.send_blocking("a", 0, data, timeout=10)

            t = threading.Thread(target=signal_then_send)
            t.start()
            got = None
            try:
                sys.setprofile(profile)
                got = sub.next_blocking(10)
            except Interrupted:
                pass
            finally:
                sys.setprofile(None)
            t.join()
            # The event that came with the signal was given back, not returned.
            assert got is None, got
            assert sub.next_blocking(10)[5] == (data, False), i
    finally:
        signal.set_wakeup_fd(old_fd)
        signal.signal(signal.SIGUSR1, old_handler)
        os.close(r)
        os.close(w)


@not_under_asan("preloads a shim of its own")
def test_a_read_whose_conversion_runs_out_of_memory_keeps_its_event(tmp_path):
    from test_process import NTH_ALLOCATION_SHIM, compile_shim

    shim = compile_shim(tmp_path, NTH_ALLOCATION_SHIM)
    r = run(
        f"""
        import ctypes, time
        from vennock import Config, Node

        shim = ctypes.CDLL({str(shim)!r})
        shim.arm.restype = None  # nothing made for its result once armed
        a = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)
        b = Node.start_blocking(Config.local(name="b", bind="127.0.0.1:0", seeds=[a.local_addr()]), timeout=10)
        while len(a.members()) < 2 or len(b.members()) < 2:
            time.sleep(0.01)
        sub = a.events()
        for i in range(3):
            b.send_blocking("a", 0, bytes([i]) * 1000, timeout=10)
        while a.stats()["user_messages_received"] < 3:
            time.sleep(0.01)

        def first_read(read):
            # Every allocation of the read fails in turn until one read returns.
            failures = 0
            for n in range(1, 5000):
                shim.arm(n)
                try:
                    event = read()
                except MemoryError:
                    failures += 1
                    continue
                finally:
                    shim.arm(0)
                return failures, event

        for read in (sub.try_next, lambda: sub.next_blocking(10)):
            failures, event = first_read(read)
            print(failures > 0, event[5][0][:1])
        print(sub.next_blocking(10)[5][0][:1])
        """,
        env={"LD_PRELOAD": str(shim), "PYTHONMALLOC": "malloc"},
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == ["True b'\\x00'", "True b'\\x01'", "b'\\x02'", ""]


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_awaited_reads_take_events_in_the_order_of_the_calls(threads):
    # The runtime's worker count is fixed per process: each count runs in an interpreter of its own.
    r = run(
        f"""
        import asyncio
        from vennock import Config, Node

        async def main():
            a = await Node.start(Config.local(name="a", bind="127.0.0.1:0", runtime_threads={threads}))
            b = await Node.start(Config.local(name="b", bind="127.0.0.1:0", seeds=[a.local_addr()]))
            while len(a.members()) < 2 or len(b.members()) < 2:
                await asyncio.sleep(0.01)
            sub = a.events()
            swapped = 0
            for i in range(200):
                first, second = sub.next(), sub.next()
                await b.send("a", 0, b"%da" % i)
                await b.send("a", 0, b"%db" % i)
                got = (await first)[5][0], (await second)[5][0]
                swapped += got != (b"%da" % i, b"%db" % i)
            print("swapped", swapped)
            await b.close()
            await a.close()

        asyncio.run(main())
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "swapped 0\n"


# A node "a" with a joined peer, and its subscription `sub`, in a program whose `cleanup` (defined
# before the import) runs after the library's exit hook.
EXIT_CLEANUP = """
import asyncio, atexit, threading
atexit.register(lambda: cleanup())
from vennock import Config, Node

a = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)
peer = Node.start_blocking(Config.local(name="peer", bind="127.0.0.1:0", seeds=[a.local_addr()]), timeout=10)
while len(a.members()) < 2 or len(peer.members()) < 2:
    threading.Event().wait(0.01)
sub = a.events()
"""


def test_a_read_cancelled_as_the_exit_begins_leaves_its_event_to_the_exit():
    # A daemon thread's loop cancels an awaited read and is held before the read's done callback
    # runs, so the read still waits for an event when the exit begins; the event it then takes
    # goes back for the exit's own read.
    r = run(
        EXIT_CLEANUP + textwrap.dedent("""
        ready, hold = threading.Event(), threading.Event()

        def cleanup():
            peer.send_blocking("a", 0, b"after", timeout=5)
            event = sub.next_blocking(10)
            print("read", event if event in (None, False) else event[5])

        def reader():
            async def main():
                sub.next().cancel()
                ready.set()
                hold.wait()

            asyncio.run(main())

        threading.Thread(target=reader, daemon=True).start()
        ready.wait()
        """)
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "read (b'after', False)\n"


def test_reader_threads_left_behind_by_the_exit_end_quietly():
    # A daemon thread reading until the end of its subscription, in either form, sees the end
    # (None) when the exit leaves it behind, and ends without a traceback.
    r = run(
        EXIT_CLEANUP + textwrap.dedent("""
        got, started = [], threading.Barrier(3)

        def cleanup():
            for t in readers:
                t.join(10)
            print(sorted(got, key=str))

        def blocking():
            started.wait()
            while (event := sub.next_blocking()) is not None:
                pass
            got.append(("blocking", event))

        def awaiting():
            async def main():
                pending = sub.next()
                started.wait()
                while (event := await pending) is not None:
                    pending = sub.next()
                got.append(("awaiting", event))

            asyncio.run(main())

        readers = [threading.Thread(target=f, daemon=True) for f in (blocking, awaiting)]
        for t in readers:
            t.start()
        started.wait()
        """)
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "[('awaiting', None), ('blocking', None)]\n"
    assert r.stderr == ""


def test_what_is_queued_at_the_exit_is_left_to_the_thread_running_it():
    r = run(
        EXIT_CLEANUP + textwrap.dedent("""
        go, done, got = threading.Event(), threading.Event(), []

        def cleanup():
            peer.send_blocking("a", 0, b"after", timeout=5)
            while a.stats()["user_messages_received"] < 1:
                threading.Event().wait(0.01)
            go.set()
            done.wait(10)
            got.append(sub.next_blocking(10)[5])
            print(got)

        def left_behind():
            go.wait()

            async def awaited():
                return await sub.next()

            got.extend([sub.try_next(), sub.next_blocking(0), asyncio.run(awaited())])
            done.set()

        threading.Thread(target=left_behind, daemon=True).start()
        """)
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "[None, None, None, (b'after', False)]\n"


# ---- an event given back, and reads whose loop is gone ----------------------------------------


class HandOverLoop(asyncio.SelectorEventLoop):
    """An event loop that says when an awaited read's result has been handed to it."""

    def __init__(self):
        super().__init__()
        self.handed = threading.Event()

    def call_soon_threadsafe(self, callback, *args, context=None):
        handle = super().call_soon_threadsafe(callback, *args, context=context)
        if getattr(callback, "__name__", "") == "_vennock_complete":
            self.handed.set()
        return handle


def until_message(probe, data):
    """Reads `probe` (subscribed after the subscription under test, so it gets every batch after
    it) until the message `data` has come."""
    while (event := probe.next_blocking(10)) is not False:
        if event[0] == "UserMessage" and event[5][0] == data:
            return
    raise AssertionError(f"{data!r} did not come")


def drained(sub):
    out = []
    while (event := sub.try_next()) is not None:
        out.append(event[5][0].decode() if event[0] == "UserMessage" else f"{event[0]}({event[4]})")
    return out


@pytest.mark.parametrize("path", ["cancelled by the code holding the loop", "loop closed later"])
def test_an_event_given_back_comes_before_the_report_of_newer_losses(nodes, path):
    # A read takes 0; 1 to 5 come while it holds it, and a queue of 2 drops 1, 2, 3; then the
    # read gives 0 back. 0 is older than what was lost: it comes first, then the report.
    a = nodes.start("a", event_buffer=2)
    b = nodes.start("b", [a.local_addr()])
    wait_until(lambda: len(a.members()) == 2 and len(b.members()) == 2)
    sub, probe = a.events(), a.events()
    loop = HandOverLoop()

    def hold():
        b.send_blocking("a", 0, b"0", timeout=10)
        assert loop.handed.wait(10)  # taken, and on its way to the loop
        for i in range(1, 6):
            b.send_blocking("a", 0, b"%d" % i, timeout=10)
        until_message(probe, b"5")

    if path == "loop closed later":
        async def pending():
            return sub.next()

        loop.run_until_complete(pending())  # stops with the read pending
        hold()
        loop.close()
    else:
        async def reader():
            me = asyncio.current_task()
            loop.call_soon(lambda: (hold(), me.cancel()))
            return await sub.next()

        with pytest.raises(asyncio.CancelledError):
            loop.run_until_complete(reader())
        loop.close()
    assert drained(sub) == ["0", "EventsLost(3)", "4", "5"]


def docs_view():
    """The View class of docs/api.md's "Keeping a view of the members"."""
    from test_docs import API

    text = API.read_text()
    code = text[text.index("LIVE = {"):text.index("\ndef start(name, *seeds)")]
    scope = {}
    exec(code, scope)
    return scope["View"]


def test_a_view_of_the_members_stays_right_when_an_event_comes_back_after_a_loss(nodes):
    View = docs_view()
    a = nodes.start("a")
    b = nodes.start("b", [a.local_addr()], event_buffer=2)
    wait_until(lambda: len(a.members()) == 2 and len(b.members()) == 2)
    view = View(b)
    probe = b.events()
    loop = HandOverLoop()

    def hold():
        c = nodes.start("c", [a.local_addr()])
        assert loop.handed.wait(10)  # the read has taken c's arrival
        c.shutdown_blocking(5)
        nodes.start("d", [a.local_addr()])
        nodes.start("e", [a.local_addr()])  # with c's departure, more than the queue holds
        wait_until(lambda: sorted(names(b)) == ["a", "b", "d", "e"])
        a.send_blocking("b", 0, b"last", timeout=10)
        until_message(probe, b"last")

    async def reader():
        me = asyncio.current_task()
        loop.call_soon(lambda: (hold(), me.cancel()))
        return await view.events.next()

    with pytest.raises(asyncio.CancelledError):
        loop.run_until_complete(reader())
    loop.close()
    while event := view.events.try_next():
        view.apply(event)
    assert sorted(view.members) == sorted(names(b)) == ["a", "b", "d", "e"]


async def keep_one_pending(sub):
    """docs/api.md's second pattern, ended by its loop: one pending read kept across timeouts.
    Gives a weak reference to the loop, which nothing but the pending read holds."""
    pending = sub.next()
    await asyncio.wait({pending}, timeout=0)
    return weakref.ref(asyncio.get_running_loop())


def freed(loops):
    gc.collect()
    return all(loop() is None for loop in loops)


@pytest.mark.parametrize("next_read", ["awaited in another loop", "try_next"])
def test_a_read_whose_loop_closed_is_given_up_by_the_next_read_of_any_kind(nodes, next_read):
    a, b = nodes.cluster("a", "b")
    sub = a.events()
    dead = asyncio.run(keep_one_pending(sub))

    async def awaited():
        read = sub.next()
        # Given up: its operation ends, and the call lets its closed loop go.
        deadline = time.monotonic() + 15
        while not freed([dead]):
            assert time.monotonic() < deadline, "the read of the closed loop is still held"
            await asyncio.sleep(0.01)
        b.send_blocking("a", 0, b"x", timeout=10)
        return await asyncio.wait_for(read, 10)

    if next_read == "try_next":
        assert sub.try_next() is None
        wait_until(lambda: freed([dead]))
        b.send_blocking("a", 0, b"x", timeout=10)
        assert sub.next_blocking(10)[5] == (b"x", False)
    else:
        assert asyncio.run(awaited())[5] == (b"x", False)


@pytest.mark.parametrize("next_read", ["next_blocking", "try_next"])
def test_a_read_left_pending_by_a_thread_that_ended_is_given_up(nodes, next_read):
    # A worker thread runs its loop until a read is pending and ends, the loop never closed: the
    # loop will not run again, so the next read of any thread gives the pending read up.
    a, b = nodes.cluster("a", "b")
    sub = a.events()
    loop = HandOverLoop()
    worker = threading.Thread(target=lambda: loop.run_until_complete(keep_one_pending(sub)))
    worker.start()
    worker.join()
    b.send_blocking("a", 0, b"x", timeout=10)
    if next_read == "try_next":
        assert loop.handed.wait(10)  # the pending read took the event into its loop
        assert sub.try_next()[5] == (b"x", False)
    else:
        assert sub.next_blocking(10)[5] == (b"x", False)
    b.send_blocking("a", 0, b"y", timeout=10)
    assert sub.next_blocking(10)[5] == (b"y", False)


def test_reads_left_pending_by_many_loops_are_not_held(nodes):
    # docs/api.md's pattern once per asyncio.run: each run's read is given up by the next one,
    # and lets its loop go; the next event reaches the next reader.
    a, b = nodes.cluster("a", "b")
    sub = a.events()
    loops = [asyncio.run(keep_one_pending(sub)) for _ in range(50)]
    assert sub.try_next() is None
    wait_until(lambda: freed(loops))
    b.send_blocking("a", 0, b"x", timeout=10)
    assert sub.next_blocking(10)[5] == (b"x", False)


def test_an_event_taken_by_a_read_on_a_busy_loop_left_behind_goes_to_the_exit():
    # A daemon thread's loop is held up in a callback while its pending read takes an event, and
    # the program ends: the cleanup's read, on the thread running the exit, gets that event.
    r = run(
        EXIT_CLEANUP + inspect.getsource(HandOverLoop) + textwrap.dedent("""
        def cleanup():
            event = sub.next_blocking(10)
            print("read", event if event in (None, False) else event[5])

        blocked, loop = threading.Event(), HandOverLoop()

        def reader():
            async def main():
                read = sub.next()
                loop.call_soon(lambda: (blocked.set(), threading.Event().wait()))
                await read

            loop.run_until_complete(main())

        threading.Thread(target=reader, daemon=True).start()
        blocked.wait()
        peer.send_blocking("a", 0, b"held", timeout=10)
        loop.handed.wait(10)
        """)
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "read (b'held', False)\n"
