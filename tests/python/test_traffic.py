import asyncio
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import local_cfg, names, wait_until
from vennock import KeyringError, MessageTooLarge, MetaTooLarge, NotAMember, VennockClosed
from vennock._vennock import Node, generate_key

NOT_A_MEMBER = "not a live member at that epoch: unknown, dead, left, restarted or this node"
TOO_LARGE = "message larger than max_user_message, or broadcast than max_user_broadcast"


def drain(sub, kind, timeout=15.0, pred=lambda e: True):
    """The first event of `kind` that `pred` accepts; others are skipped."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        e = sub.next_blocking(max(0.0, deadline - time.monotonic()))
        assert e is not False and e is not None, f"no {kind} event"
        assert len(e) == 6
        if e[0] == kind and pred(e):
            return e
    raise AssertionError(f"no {kind} event")


def check_member_slot_only(e):
    assert len(e[1]) == 6 and e[2:] == (None, None, None, None)


def test_membership_events_and_their_tuples(nodes):
    a = nodes.start("a")
    sub = a.events()
    b = nodes.start("b", [a.local_addr()])
    joined = drain(sub, "MemberJoined", pred=lambda e: e[1][0] == "b")
    check_member_slot_only(joined)
    b.update_meta_blocking({"role": "db"})
    updated = drain(sub, "MemberUpdated")
    assert updated[1][4] == [("role", "db")] and updated[2] == [] and updated[3:] == (None, None, None)
    b.leave_blocking(5)
    left = drain(sub, "MemberLeft")
    check_member_slot_only(left)
    assert left[1][2] == 3
    c = nodes.start("c", [a.local_addr()])
    drain(sub, "MemberJoined", pred=lambda e: e[1][0] == "c")
    c.close_blocking()  # no leave: the others must find out
    suspect = drain(sub, "MemberSuspect", pred=lambda e: e[1][0] == "c")
    dead = drain(sub, "MemberDead", pred=lambda e: e[1][0] == "c")
    check_member_slot_only(suspect)
    assert dead[1][2] == 2
    twin = nodes.start("a", [a.local_addr()])  # a second node under the same name
    conflict = drain(sub, "NameConflict")
    assert conflict[1][0] == "a" and conflict[3] == twin.local_addr() and conflict[2] is None


def test_recovered_after_a_stall(nodes):
    a = nodes.start("a")
    sub = a.events()
    script = textwrap.dedent(
        f"""
        import time
        from vennock._vennock import Config, Node
        n = Node.start_blocking(Config.local(name="slow", bind="127.0.0.1:0", seeds=["{a.local_addr()}"]))
        print("up", flush=True)
        time.sleep(60)
        """
    )
    p = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                         env={**os.environ, "VENNOCK_LOG": "off"})
    try:
        assert p.stdout.readline().strip() == "up"
        drain(sub, "MemberJoined", pred=lambda e: e[1][0] == "slow")
        p.send_signal(signal.SIGSTOP)
        drain(sub, "MemberSuspect", pred=lambda e: e[1][0] == "slow")
        p.send_signal(signal.SIGCONT)
        recovered = drain(sub, "MemberRecovered")
        check_member_slot_only(recovered)
        assert recovered[1][0] == "slow" and recovered[1][2] == 0
    finally:
        p.kill()
        p.wait()


def test_reading_conventions(nodes):
    a, b = nodes.cluster("a", "b", event_buffer=2)
    sub = b.events()
    assert sub.try_next() is None and sub.next_blocking(0) is False
    for i in range(5):
        a.send_blocking("b", 0, b"m%d" % i)
    # The counters are published after the events of the same turn.
    wait_until(lambda: b.stats()["user_messages_received"] >= 5)
    lost = sub.try_next()
    assert lost == ("EventsLost", None, None, None, 3, None)
    rest = [sub.try_next(), sub.next_blocking(1)]
    assert [e[5] for e in rest] == [(b"m3", False), (b"m4", False)]

    async def reads():
        waiting = asyncio.ensure_future(sub.next())
        await asyncio.sleep(0.05)
        assert sub.try_next() is None  # another read holds the subscription
        a.send_blocking("b", 0, b"direct")
        e = await asyncio.wait_for(waiting, 10)
        assert e[0] == "UserMessage" and e[5] == (b"direct", False) and e[1][0] == "a"
        # A read whose future is cancelled after it took its event does not lose it.
        taking = sub.next()  # nothing queued: the read waits on the runtime
        a.send_blocking("b", 0, b"kept")
        a.send_blocking("b", 0, b"next")
        time.sleep(0.2)  # the read takes the event and its result heads for this loop
        taking.cancel()
        assert (await sub.next())[5] == (b"kept", False)
        assert (await sub.next())[5] == (b"next", False)

    asyncio.run(reads())
    b.close_blocking()
    assert sub.next_blocking(1) is None and sub.try_next() is None
    assert asyncio.run(_awaited(sub.next)) is None
    late = b.events()
    assert late.next_blocking() is None
    with pytest.raises(ValueError):
        sub.next_blocking(-1)


def test_next_blocking_waits_behind_another_reader_within_its_timeout(nodes):
    a = nodes.start("a")
    sub = a.events()
    first = []
    t = threading.Thread(target=lambda: first.append(sub.next_blocking(60)))
    t.start()
    time.sleep(0.1)  # mostly lets it read first; either order holds below
    assert sub.next_blocking(0.2) is False
    assert t.is_alive()  # bounded by its own timeout, not waiting for the first reader
    a.close_blocking()
    t.join()
    assert first == [None]


BLOCKED_LOOP = ("next_blocking() would block the event loop that an awaited next() of this subscription needs; "
                "await next() instead")


def test_a_blocking_read_on_the_loop_an_awaited_read_needs_is_refused(nodes):
    a, b = nodes.cluster("a", "b")
    sub = a.events()

    async def main():
        assert sub.next_blocking(0) is False  # no other read: the loop's thread may read
        pending = asyncio.ensure_future(sub.next())
        await asyncio.sleep(0.05)
        b.send_blocking("a", 0, b"x", timeout=10)
        # The awaited read takes the message and can hand it over only on this thread.
        with pytest.raises(RuntimeError, match=f"^{re.escape(BLOCKED_LOOP)}$"):
            sub.next_blocking(2)
        assert sub.try_next() is None
        e = await pending
        assert e[0] == "UserMessage" and e[5] == (b"x", False)
        assert sub.next_blocking(0) is False

    asyncio.run(main())
    # Another thread waits behind the awaited read as usual: its loop runs on.
    async def other_thread():
        pending = asyncio.ensure_future(sub.next())
        await asyncio.sleep(0.05)
        got = []
        t = threading.Thread(target=lambda: got.append(sub.next_blocking(10)))
        t.start()
        b.send_blocking("a", 0, b"1", timeout=10)
        assert (await pending)[5] == (b"1", False)
        b.send_blocking("a", 0, b"2", timeout=10)
        await asyncio.to_thread(t.join)
        assert got[0][5] == (b"2", False)

    asyncio.run(other_thread())


def test_a_blocking_read_on_the_thread_whose_stopped_loop_holds_an_awaited_read_is_refused(nodes):
    a, b = nodes.cluster("a", "b")
    sub = a.events()
    loop = asyncio.new_event_loop()
    try:
        async def begin():
            return sub.next()

        pending = loop.run_until_complete(begin())  # in flight; its loop no longer runs
        with pytest.raises(RuntimeError, match=f"^{re.escape(BLOCKED_LOOP)}$"):
            sub.next_blocking(0.2)
        # The message goes to that read, which hands it over only when its loop runs again.
        b.send_blocking("a", 0, b"x", timeout=10)
        with pytest.raises(RuntimeError, match=f"^{re.escape(BLOCKED_LOOP)}$"):
            sub.next_blocking(0.2)
        # Another thread is not refused: it waits behind that read.
        got = []
        t = threading.Thread(target=lambda: got.append(sub.next_blocking(0.2)))
        t.start()
        t.join()
        assert got == [False]
        assert loop.run_until_complete(pending)[5] == (b"x", False)
        assert sub.next_blocking(0) is False  # delivered: this thread reads again
    finally:
        loop.close()


def test_send_and_broadcast(nodes):
    a, b, c = nodes.cluster("a", "b", "c", max_user_message=100_000, max_user_broadcast=300)
    sub = b.events()
    epoch = b.local()[5]
    assert a.send_blocking("b", epoch, b"") is None
    assert drain(sub, "UserMessage")[5] == (b"", False)
    big = os.urandom(50_000)  # larger than any datagram: it goes over a stream
    a.send_blocking("b", 0, bytearray(big))
    assert drain(sub, "UserMessage")[5] == (big, False)
    a.broadcast_blocking(b"b" * 300)
    e = drain(sub, "UserMessage")
    assert e[5] == (b"b" * 300, True) and e[1][0] == "a"
    for target, ep in (("b", epoch + 1), ("a", 0), ("", 0), ("nobody", 0)):
        with pytest.raises(NotAMember, match=f"^{NOT_A_MEMBER}$"):
            a.send_blocking(target, ep, b"x")
    before = a.stats()["user_messages_too_large"]
    with pytest.raises(MessageTooLarge, match=f"^{TOO_LARGE}$"):
        a.send_blocking("b", 0, b"x" * 100_001)
    with pytest.raises(MessageTooLarge):
        a.broadcast_blocking(b"x" * 301)

    async def refused():
        with pytest.raises(MessageTooLarge, match=f"^{TOO_LARGE}$"):
            await a.send("b", 0, bytearray(100_001))

    asyncio.run(refused())
    # Refused before the payload is copied, and counted as the node counts its own refusals.
    assert a.stats()["user_messages_too_large"] == before + 3
    assert b.stats()["user_messages_too_large"] == 0


def test_join(nodes):
    a = nodes.start("a")
    b = nodes.start("b")
    assert b.join_blocking() == 0 and b.join_blocking([]) == 0
    assert b.join_blocking([b.local_addr()]) == 0
    assert b.join_blocking([" " + a.local_addr() + " "]) == 1
    wait_until(lambda: names(a) == ["a", "b"])
    with pytest.raises(TypeError) as e:
        b.join_blocking(a.local_addr())
    assert e.value.args == ('seeds must be a list of "host:port" strings, not a single str',)
    for bad in ("10.0.0.5", "::1:7946", "-host:1"):
        with pytest.raises(ValueError) as e:
            b.join_blocking(["127.0.0.1:1", bad])
        assert str(e.value) == f'seed "{bad}" is not "host:port" with an IP address or a DNS name'
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        b.join_blocking(["nowhere.invalid:1"], timeout=1)
    assert time.monotonic() - start < 20  # well before resolve_timeout (30 s)

    async def aw():
        return await a.join([b.local_addr()])

    assert asyncio.run(aw()) == 1


def test_a_single_seed_where_the_list_belongs_is_refused_with_what_seeds_takes(nodes):
    # "host:port" is a sequence too, of its characters: both forms refuse it by name, as they
    # refuse any other value of the wrong type (Config refuses it with its own ConfigError).
    a = nodes.start("a")

    class Text(str):
        pass

    for call in (lambda: a.join_blocking(a.local_addr()), lambda: a.join(a.local_addr()),
                 lambda: a.join(seeds=Text("127.0.0.1:1")), lambda: a.join_blocking("", timeout=1)):
        with pytest.raises(TypeError) as e:
            call()
        assert e.value.args == ('seeds must be a list of "host:port" strings, not a single str',)
        assert e.value.__notes__ == ["while processing 'seeds'"]


def test_close_ends_a_join_still_looking_up_its_seeds(nodes):
    # The seed never resolves, so a join looks it up again and again until resolve_timeout (an
    # hour here); closing the node ends it at once with VennockClosed, in both forms. The
    # signal that a join is in its lookups: the record of a lookup that failed.
    from vennock._vennock import drain_logs, route_to_python, route_to_stderr, wait_logs_blocking

    def failed_lookup(seed):
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            wait_logs_blocking(1)
            if any(m.startswith(f"seed did not resolve seed={seed} ") for _, _, m in drain_logs()[0]):
                return
        raise AssertionError(f"no lookup of {seed} failed")

    def join_blocking(node, outcome):
        try:
            node.join_blocking(["never-blocking.invalid:7946"], timeout=60)
            outcome.append("joined")
        except BaseException as e:
            outcome.append(e)

    async def join_awaited(node):
        joining = asyncio.ensure_future(node.join(["never-awaited.invalid:7946"]))
        await asyncio.to_thread(failed_lookup, "never-awaited.invalid:7946")
        await node.close()
        with pytest.raises(VennockClosed, match="^the cluster is closed$"):
            await asyncio.wait_for(joining, 60)

    route_to_python(30)
    try:
        a = nodes.start("a", resolve_timeout=3600)
        outcome = []
        t = threading.Thread(target=join_blocking, args=(a, outcome))
        t.start()
        failed_lookup("never-blocking.invalid:7946")
        a.close_blocking()
        t.join()
        assert len(outcome) == 1 and isinstance(outcome[0], VennockClosed), outcome
        assert str(outcome[0]) == "the cluster is closed"
        asyncio.run(join_awaited(nodes.start("b", resolve_timeout=3600)))
    finally:
        route_to_stderr()


def test_after_leave_every_join_is_refused(nodes):
    # Also the joins with nothing to contact, which answer 0 on a running node: after a leave
    # a 0 would report as done a join that cannot happen. A seed name that never resolves is
    # refused at once too, not after resolve_timeout with another error.
    a, b = nodes.cluster("a", "b")
    c = nodes.start("c", [a.local_addr()])
    assert a.leave_blocking(5) is False
    left = "this node has left the cluster"
    for seeds in (None, [], [a.local_addr()], [a.local_addr(), a.local_addr()], [b.local_addr()],
                  ["nowhere.invalid:1"]):
        with pytest.raises(VennockClosed, match=f"^{left}$"):
            a.join_blocking(seeds, timeout=5)

    async def aw():
        with pytest.raises(VennockClosed, match=f"^{left}$"):
            await a.join()

    asyncio.run(aw())
    # A node with configured seeds that left: refused as well; a running one still answers 0.
    assert c.leave_blocking(5) is False
    with pytest.raises(VennockClosed, match=f"^{left}$"):
        c.join_blocking(timeout=5)
    assert b.join_blocking([b.local_addr()]) == 0 and b.join_blocking([]) == 0


def test_metadata_updates(nodes):
    a, b = nodes.cluster("a", "b", max_meta_bytes=64)
    sub = b.events()
    a.set_meta_blocking({"a": "1", "b": "2", "c": "3"})
    wait_until(lambda: len(b.member("a")[4]) == 3)
    inc = a.local()[3]
    a.update_meta_blocking({"b": None, "a": "9", "d": "4"})
    assert a.local()[4] == [("a", "9"), ("c", "3"), ("d", "4")] and a.local()[3] == inc + 1
    e = drain(sub, "MemberUpdated", pred=lambda e: e[1][4] == [("a", "9"), ("c", "3"), ("d", "4")])
    assert e[2] == [("a", "1"), ("b", "2"), ("c", "3")]
    a.update_meta_blocking({"zz": None})  # changes nothing, still sent
    assert a.local()[3] == inc + 2
    with pytest.raises(ValueError, match="^meta keys must be non-empty$"):
        a.update_meta_blocking({"": "x"})
    with pytest.raises(ValueError, match='^meta value for "k" must be a str or None$'):
        a.update_meta_blocking({"k": 1})
    with pytest.raises(TypeError):
        a.update_meta_blocking([("k", "v")])
    with pytest.raises(MetaTooLarge, match="^encoded metadata is larger than max_meta_bytes$"):
        a.update_meta_blocking({"big": "v" * 64})
    assert a.local()[4] == [("a", "9"), ("c", "3"), ("d", "4")]

    async def together():
        await asyncio.gather(a.update_meta({"x": "1"}), a.update_meta({"y": "2"}))

    asyncio.run(together())
    keys = [k for k, _ in a.local()[4]]
    assert keys[-2:] in (["x", "y"], ["y", "x"])
    assert asyncio.run(_awaited(a.set_meta, {})) == () and a.local()[4] == []


async def _awaited(method, *args):
    return await method(*args)


def test_an_abandoned_metadata_change_is_never_undone(nodes):
    # A change whose caller stopped waiting while its request was queued behind a backlog is
    # still carried out; the next change must start from it, not write the older metadata back.
    a = nodes.start("a")

    def outcome(i, inc0):
        _, _, _, inc, meta, _ = a.local()
        meta = dict(meta)
        assert meta["b"] == str(i)
        # Two increments mean the abandoned change was carried out: it must still be there.
        assert inc - inc0 in (1, 2) and (inc - inc0 == 1 or meta.get("a") == str(i)), (i, inc - inc0, meta)

    async def trial(i, backlog, pause, blocking):
        inc0 = a.local()[3]
        sends = [a.send("nobody", 0, b"x") for _ in range(backlog)]
        if blocking:
            try:
                a.update_meta_blocking({"a": str(i)}, timeout=0)
            except TimeoutError:
                pass
        else:
            abandoned = a.update_meta({"a": str(i)})
            if pause:
                await asyncio.sleep(0)
            abandoned.cancel()
        await a.update_meta({"b": str(i)})
        await asyncio.gather(*sends, return_exceptions=True)
        outcome(i, inc0)

    async def main():
        for i in range(40):
            await trial(i, 150, False, i % 2 == 1)
        # A backlog beyond the request channel's room: the change may be abandoned before it
        # is queued (then it never happens) or after.
        for i in range(40, 48):
            await trial(i, 1000, True, False)

    asyncio.run(main())


def test_a_change_that_cannot_fit_is_refused_before_its_texts_are_read(nodes):
    # A str that is not ASCII keeps its UTF-8 form once something encoded it (sys.getsizeof
    # counts it): a refusal decided from the sizes alone leaves every text as it was.
    a = nodes.start("a")
    a.set_meta_blocking({"keep": "1"})
    value = "é" * 300_000
    many = {f"ké{i}": "v" for i in range(40_000)}
    sizes = [sys.getsizeof(value), *map(sys.getsizeof, many)]
    for call in (lambda: a.set_meta_blocking({"k": value}), lambda: a.update_meta_blocking({"k": value}),
                 lambda: a.update_meta_blocking(many), lambda: a.set_meta_blocking({"k": value, **many})):
        with pytest.raises(MetaTooLarge):
            call()
    a.update_meta_blocking({value: None})  # no pair can have a key that long: nothing to remove
    assert [sys.getsizeof(value), *map(sys.getsizeof, many)] == sizes
    assert a.local()[4] == [("keep", "1")]

    # The first faulty pair decides, its key before its size.
    with pytest.raises(ValueError, match="^meta keys must be non-empty$"):
        a.set_meta_blocking({"": "x", "k": value})
    with pytest.raises(MetaTooLarge):
        a.set_meta_blocking({"k": value, "": "x"})
    with pytest.raises(ValueError, match="^meta keys must be non-empty$"):
        a.update_meta_blocking({"": "x", "k": value})

    # Keys of a str subclass may be one text twice: each change still sees the one before it.
    class Twin(str):
        __hash__ = object.__hash__
        __eq__ = object.__eq__

    a.update_meta_blocking({Twin("t"): "x" * 400, Twin("t"): None})
    assert a.local()[4] == [("keep", "1")]
    a.update_meta_blocking({Twin("t"): "x" * 400, Twin("t"): "y"})
    assert a.local()[4] == [("keep", "1"), ("t", "y")]


def test_metadata_changes_from_several_threads_all_survive(nodes):
    a = nodes.start("a")
    inc = a.local()[3]

    def writer(t):
        for i in range(25):
            if i % 2:
                a.update_meta_blocking({f"t{t}": str(i)}, timeout=10)
            else:
                asyncio.run(_awaited(a.update_meta, {f"t{t}": str(i)}))

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert dict(a.local()[4]) == {f"t{t}": "24" for t in range(4)} and a.local()[3] == inc + 100


def test_key_rotation(nodes):
    k1, k2, k3 = generate_key(), generate_key(), generate_key()
    assert len(k1) == 44 and k1.endswith("=") and k1 != k2
    a, b = nodes.cluster("a", "b", keys=[k1])
    id1 = a.key_ids()
    assert len(id1) == 1 and len(id1[0]) == 8
    with pytest.raises(KeyringError, match="^key is the last one installed$"):
        a.key_remove_blocking(k1)
    with pytest.raises(KeyringError, match="^key is not installed$"):
        a.key_use_blocking(k2)
    for n in (a, b):
        n.key_install_blocking(k2)
        n.key_install_blocking(k2)
        n.key_install_blocking(k3)
    ids = a.key_ids()
    assert ids[0] == id1[0] and len(ids) == 3
    with pytest.raises(KeyringError, match="^key is the one in use$"):
        a.key_remove_blocking(k1)
    for n in (a, b):
        n.key_use_blocking(k3)
    assert a.key_ids() == [ids[2], ids[0], ids[1]]
    a.key_use_blocking(k2)
    assert a.key_ids() == [ids[1], ids[2], ids[0]]
    # Every node uses the new key before any node removes the old ones, or a packet a peer
    # still sends under k3 fails to decrypt at a node that already removed it.
    for n in (a, b):
        n.key_use_blocking(k2)
    for n in (a, b):
        n.key_remove_blocking(k1)
        n.key_remove_blocking(k3)
        n.key_remove_blocking(k1)  # not installed: nothing to do
    assert a.key_ids() == [ids[1]]
    sub = b.events()
    a.send_blocking("b", 0, b"after rotation")
    assert drain(sub, "UserMessage")[5] == (b"after rotation", False)
    assert a.stats()["decrypt_failures"] == 0 and b.stats()["decrypt_failures"] == 0
    plain = nodes.start("plain")
    with pytest.raises(KeyringError, match="^this node runs without encryption and has no keys$"):
        plain.key_install_blocking(k1)
    assert plain.key_ids() == []
