import asyncio
import errno
import gc
import os
import re
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import local_cfg, names, wait_until
from vennock import ConfigError, JoinError, VennockClosed
from vennock._vennock import Config, EventSub, Node

CLOSED = "the cluster is closed"
LEFT = "this node has left the cluster"
FORKED = "this cluster was created in another process; create clusters after os.fork(), never before"
TIMEOUT_REASON = "timeout must be a non-negative number of seconds"
STATS = [
    "local_health", "packets_received", "decode_errors", "decrypt_failures", "replays_dropped", "probes_sent",
    "probes_failed", "indirect_probes", "missed_nacks", "suspicions", "refutations", "misdirected",
    "name_conflicts", "restarts", "members_refused", "push_pulls", "push_pull_failures", "push_pulls_served",
    "state_too_large", "gossip_too_large", "tcp_pings", "tcp_ping_acks", "user_messages_sent",
    "user_messages_received", "user_messages_dropped", "user_messages_too_large", "user_queue_overflow",
]


async def awaited(method, *args):
    return await method(*args)


def test_start_both_forms_and_queries(nodes):
    a = nodes.start("a")
    async def start():
        return await Node.start(local_cfg("b", [a.local_addr()]))

    b = asyncio.run(start())
    nodes.started.append(b)
    wait_until(lambda: names(a) == ["a", "b"] and names(b) == ["b", "a"])
    host, port = a.local_addr().rsplit(":", 1)
    assert host == "127.0.0.1" and int(port) > 0 and a.local_addr() != b.local_addr()
    me = a.local()
    assert me[0] == "a" and me[1] == a.local_addr() and me[2] == 0 and me[4] == [] and me[5] > 0
    seen = a.member("b")
    assert (seen[0], seen[1], seen[2], seen[5]) == ("b", b.local_addr(), 0, b.local()[5])
    assert a.member("nobody") is None and a.member("a") == me
    stats = a.stats()
    assert list(stats) == STATS and all(type(v) is int for v in stats.values())
    assert a.is_closed() is False and a.key_ids() == []
    assert Node.__module__ == "vennock._vennock" and EventSub.__module__ == "vennock._vennock"
    assert Node.send.__text_signature__ == "($self, name, epoch, data)"
    assert not Node.members.__doc__ and Node.members.__text_signature__ == "($self)"
    assert Node.start.__text_signature__ == "(cfg)"
    for cls in (Node, EventSub):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_start_failures():
    with pytest.raises(TypeError) as e:
        Node.start_blocking("not a config")
    assert e.value.__notes__ == ["while processing 'cfg'"]
    with pytest.raises(ConfigError) as e:
        Node.start_blocking(local_cfg("x", max_inbound_streams=0))
    assert e.value.args == ("max_inbound_streams must be at least 1", "max_inbound_streams")
    a = Node.start_blocking(local_cfg("taken"))
    try:
        with pytest.raises(OSError) as e:
            Node.start_blocking(Config.local(name="y", bind=a.local_addr()))
        assert type(e.value) is OSError and len(e.value.args) == 1 and "os error" in e.value.args[0]
    finally:
        a.close_blocking()
    with pytest.raises(JoinError, match="^no seed resolved to an address$"):
        Node.start_blocking(local_cfg("z", ["nowhere.invalid:7946"], resolve_timeout=0.5))
    with pytest.raises(TimeoutError, match="^timed out$"):
        Node.start_blocking(local_cfg("w", ["nowhere.invalid:7946"], resolve_timeout=30), timeout=0.3)
    with pytest.raises(RuntimeError):
        Node.start(local_cfg("v"))  # no running event loop


def test_timeout_rules(nodes):
    a = nodes.start("a")
    for bad in (-1, -1e-9, float("inf"), float("nan"), 2.0**64, 2e19):
        with pytest.raises(ValueError) as e:
            a.broadcast_blocking(b"x", timeout=bad)
        assert e.value.args == (TIMEOUT_REASON,)
    for ok in (1, True, 1.8e19, None):
        assert a.broadcast_blocking(b"x", timeout=ok) is None
    for zero in (0, -0.0, 1e-10):  # a zero limit (1e-10 rounds to 0 ns): nothing is started
        with pytest.raises(TimeoutError, match="^timed out$"):
            a.broadcast_blocking(b"x", timeout=zero)
    with pytest.raises(TypeError) as e:
        a.broadcast_blocking(b"x", timeout="1")
    assert e.value.__notes__ == ["while processing 'timeout'"]
    for call in (a.leave, a.leave_blocking, a.shutdown, a.shutdown_blocking):
        with pytest.raises(TypeError):
            call()
        with pytest.raises(TypeError) as e:
            call(None)
        assert e.value.__notes__ == ["while processing 'timeout'"]
    with pytest.raises(ValueError, match=f"^{TIMEOUT_REASON}$"):
        a.leave_blocking(-1)


def test_a_failed_bind_carries_errno_and_strerror():
    a = Node.start_blocking(local_cfg("taken"))
    try:
        with pytest.raises(OSError) as e:
            Node.start_blocking(Config.local(name="y", bind=a.local_addr()))
    finally:
        a.close_blocking()
    assert e.value.errno == errno.EADDRINUSE and e.value.strerror == os.strerror(errno.EADDRINUSE)
    assert e.value.args == (f"{os.strerror(errno.EADDRINUSE)} (os error {errno.EADDRINUSE})",)


def test_a_zero_timeout_starts_nothing(nodes):
    # A call given no time reports TimeoutError for something it did not do; before, the node
    # carried out what the call then reported as timed out.
    a, b = nodes.cluster("a", "b")
    sub = b.events()
    with pytest.raises(TimeoutError, match="^timed out$"):
        a.send_blocking("b", 0, b"in no time", timeout=0)
    a.send_blocking("b", 0, b"in time", timeout=10)
    event = sub.next_blocking(10)
    assert event[0] == "UserMessage" and event[5] == (b"in time", False)
    # Changes are applied in the order of the calls: one that was started would come first.
    with pytest.raises(TimeoutError):
        a.update_meta_blocking({"first": "1"}, timeout=0)
    a.update_meta_blocking({"second": "2"}, timeout=10)
    assert a.local()[4] == [("second", "2")]
    for call in (lambda: a.close_blocking(0), lambda: a.join_blocking([b.local_addr()], timeout=0),
                 lambda: a.key_install_blocking(bytes(32), timeout=0), lambda: a.set_meta_blocking({}, timeout=0),
                 lambda: Node.start_blocking(local_cfg("c"), timeout=0)):
        with pytest.raises(TimeoutError):
            call()
    assert not a.is_closed()
    assert a.leave_blocking(0) is True  # the leave's own time: it leaves, unconfirmed in no time


def test_metadata_on_a_closed_or_left_node_answers_closed_then_left_then_size(nodes):
    # The order a send keeps: closed, then left, then the size (or a bad key).
    big = {"k": "x" * 1000}
    a, b = nodes.start("a"), nodes.start("b")
    b.leave_blocking(5)
    a.close_blocking()
    for node, text in ((a, "the cluster is closed"), (b, "this node has left the cluster")):
        for call in (node.set_meta_blocking, node.update_meta_blocking):
            for meta in (big, {"": "x"}):
                with pytest.raises(VennockClosed, match=f"^{text}$"):
                    call(meta)

        async def awaited_forms():
            for call in (node.set_meta, node.update_meta):
                with pytest.raises(VennockClosed, match=f"^{text}$"):
                    await call(big)

        asyncio.run(awaited_forms())


def test_leave_then_close_and_every_refusal(nodes):
    a, b = nodes.cluster("a", "b")
    assert a.leave_blocking(5) is False
    assert a.leave_blocking(5) is False  # already left
    assert a.local()[2] == 3 and "a" not in names(a) and a.is_closed() is False
    wait_until(lambda: b.member("a") is not None and b.member("a")[2] == 3)
    # A node that has left says so before it looks at a message's size, and counts nothing.
    too_large = (lambda: a.send_blocking("b", 0, bytes(1_000_000)), lambda: a.broadcast_blocking(bytes(1_000)))
    for call in (lambda: a.send_blocking("b", 0, b"x"), lambda: a.broadcast_blocking(b"x"),
                 lambda: a.join_blocking([b.local_addr()]), lambda: a.update_meta_blocking({"k": "v"}), *too_large):
        with pytest.raises(VennockClosed, match=f"^{LEFT}$"):
            call()
    assert a.stats()["user_messages_too_large"] == 0
    assert a.shutdown_blocking(1.0) is False and a.is_closed() is True
    a.close_blocking()
    assert asyncio.run(awaited(a.close)) == ()
    assert a.shutdown_blocking(1.0) is False
    with pytest.raises(VennockClosed, match=f"^{CLOSED}$"):
        a.leave_blocking(1.0)
    for call in (lambda: a.send_blocking("b", 0, b"x"), lambda: a.broadcast_blocking(b"x"),
                 lambda: a.join_blocking([]), lambda: a.set_meta_blocking({}),
                 lambda: a.key_install_blocking(bytes(32)), *too_large):
        with pytest.raises(VennockClosed, match=f"^{CLOSED}$"):
            call()
    assert a.stats()["user_messages_too_large"] == 0
    # Reads go on answering from what the node published last.
    assert a.local()[0] == "a" and a.stats()["packets_received"] > 0 and a.key_ids() == []


def test_a_node_started_again_at_once_takes_a_later_epoch():
    # Started again within the millisecond, a life took the epoch of the one before: its peers
    # saw no restart (14 distinct epochs in 21 lives).
    epochs = []
    for _ in range(21):
        node = Node.start_blocking(local_cfg("again"), timeout=10)
        epochs.append(node.local()[5])
        node.close_blocking()
    assert all(b > a for a, b in zip(epochs, epochs[1:])), epochs


def test_awaitable_results_and_cancellation(nodes):
    a, b = nodes.cluster("a", "b")

    async def main():
        assert await a.send("b", 0, b"hi") == ()
        assert await a.broadcast(b"all") == ()
        assert await a.join() == 0
        # Cancelling drops the operation where it stands: a join still resolving its seed.
        joining = a.join(["nowhere.invalid:1"])
        await asyncio.sleep(0.05)
        joining.cancel()
        await asyncio.sleep(0)
        assert joining.cancelled()
        # A request that already reached the node is carried out; only its answer is lost.
        leaving = a.leave(5)
        deadline = time.monotonic() + 15
        while a.local()[2] != 3 and time.monotonic() < deadline:  # the node has taken it
            await asyncio.sleep(0.01)
        leaving.cancel()
        assert a.local()[2] == 3
        assert await asyncio.wait_for(b.shutdown(5), 10) is False
        closing = a.close()
        closing.cancel()

    asyncio.run(main())
    wait_until(a.is_closed)
    wait_until(b.is_closed)


def test_close_without_loop_still_closes(nodes):
    a = nodes.start("a")
    with pytest.raises(RuntimeError):
        a.close()
    wait_until(a.is_closed)


def test_conversion_errors_carry_the_parameter(nodes):
    a = nodes.start("a")
    cases = [
        (lambda: a.send_blocking(5, 0, b""), TypeError, "'int' object is not an instance of 'str'", "name"),
        (lambda: a.send_blocking("b", -1, b""), OverflowError, None, "epoch"),
        (lambda: a.send_blocking("b", 1.5, b""), TypeError, None, "epoch"),
        (lambda: a.send_blocking("b", 0, "x"), TypeError, "'str' object is not an instance of 'bytes | bytearray'",
         "data"),
        (lambda: a.send_blocking("b", 0, None), TypeError, "'None' is not an instance of 'bytes | bytearray'", "data"),
        (lambda: a.member(3), TypeError, "'int' object is not an instance of 'str'", "name"),
    ]
    for call, cls, text, param in cases:
        with pytest.raises(cls) as e:
            call()
        assert e.value.__notes__ == [f"while processing '{param}'"]
        if text:
            assert str(e.value) == text
    with pytest.raises(ValueError, match="^meta must be a mapping of str to str$"):
        a.set_meta_blocking([("a", "b")])
    with pytest.raises(ValueError, match="^a key must be 32 bytes, or base64 text of 32 bytes$"):
        a.key_use(bytearray(32))


def test_signal_interrupts_a_blocking_call():
    fired = []

    def handler(signum, frame):
        fired.append(time.monotonic())
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            Node.start_blocking(local_cfg("sig", ["nowhere.invalid:7946"], resolve_timeout=30))
        assert time.monotonic() - start < 25  # well before its 30 s
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    assert fired


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_refuses_the_parents_node(nodes):
    a = nodes.start("a")
    sub = a.events()
    parent_epoch = a.local()[5]
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            with pytest.raises(TypeError):
                a.send_blocking(5, 0, b"")  # conversion comes before the process check
            for call in (a.members, a.stats, a.is_closed, lambda: a.leave_blocking(1), a.close_blocking,
                         sub.try_next, lambda: sub.next_blocking(0)):
                with pytest.raises(VennockClosed, match=re.escape(FORKED)):
                    call()
            child = Node.start_blocking(local_cfg("child"), timeout=10)  # a fresh runtime in the child
            assert child.local()[5] > parent_epoch  # the child keeps the parent's epochs behind it
            child.close_blocking()

            async def awaited_in_child():
                node = await Node.start(local_cfg("child2"))
                await asyncio.gather(node.update_meta({"k": "1"}), node.set_meta({"k": "2"}))
                assert node.local()[4] == [("k", "2")]
                await node.close()

            asyncio.run(awaited_in_child())
            del a
            code = 0
        except BaseException:
            import traceback

            traceback.print_exc()
            sys.stderr.flush()
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert a.is_closed() is False and names(a) == ["a"]


def test_awaited_calls_leave_no_future_behind(nodes):
    # Each future goes with its call, whichever of the loop and the blocking pool ends first.
    a = nodes.start("a")

    def futures():
        gc.collect()
        return {id(f) for f in gc.get_objects() if type(f) is asyncio.Future}

    async def calls():
        for _ in range(300):
            await a.join([])

    before = futures()
    asyncio.run(calls())
    # The pool thread that set the last result lets go of its call once it has the interpreter
    # again, which may be after asyncio.run returned: a leak is a future that never goes.
    wait_until(lambda: futures() - before == set())


def test_a_start_given_up_at_any_stage_leaves_nothing_running():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        addr = f"127.0.0.1:{s.getsockname()[1]}"
    plain = Config.local(name="p", bind=addr)
    joining = Config.local(name="j", bind=addr, seeds=["nowhere.invalid:1"], resolve_timeout=30)

    def port_free():
        try:
            Node.start_blocking(plain, timeout=10).close_blocking()
            return True
        except OSError:
            return False

    for timeout in (0, 0.2):  # before the start runs; while it joins
        with pytest.raises(TimeoutError):
            Node.start_blocking(joining, timeout=timeout)
        wait_until(port_free)

    async def abandon(cfg, pause, how):
        start = Node.start(cfg)
        await asyncio.sleep(0)
        time.sleep(pause)
        if how == "cancel":
            start.cancel()
        elif how == "wait_for":
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(start, 0)
        del start
        await asyncio.sleep(0.05)

    # At once, while joining, once made (its result on the way), and never taken at all.
    for cfg, pause, how in ((plain, 0, "cancel"), (joining, 0.2, "cancel"), (plain, 0.2, "cancel"),
                            (joining, 0.2, "wait_for"), (plain, 0.2, "drop")):
        asyncio.run(abandon(cfg, pause, how))
        wait_until(port_free)


def test_threads_share_one_node_while_it_closes(nodes):
    a, b = nodes.cluster("a", "b")
    errors = []
    allowed = (VennockClosed, TimeoutError)

    def worker(i):
        for j in range(30):
            try:
                a.members(), a.stats(), a.local(), a.member("b")
                a.broadcast_blocking(b"x%d" % j, timeout=5)
                a.send_blocking("b", 0, b"y", timeout=5)
            except allowed as e:
                if str(e) not in (CLOSED, "timed out"):
                    errors.append(e)
            except Exception as e:  # noqa: BLE001 - every other failure is a fault
                errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for t in threads:
        t.start()
    time.sleep(0.05)
    a.close_blocking()
    for t in threads:
        t.join(30)
        assert not t.is_alive()
    assert errors == [] and a.is_closed()


def test_interpreter_exits_with_nodes_running():
    script = textwrap.dedent(
        """
        import asyncio
        from vennock._vennock import Config, Node
        a = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"))
        b = Node.start_blocking(Config.local(name="b", bind="127.0.0.1:0", seeds=[a.local_addr()]))
        sub = b.events()
        async def pending():
            asyncio.ensure_future(sub.next())
            await asyncio.sleep(0.1)
        asyncio.run(pending())
        print("done")
        """
    )
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30,
                       env={**os.environ, "VENNOCK_LOG": "off"})
    assert r.returncode == 0 and r.stdout.strip() == "done", r.stderr
