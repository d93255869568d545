"""Name lookups whose resolver answers late, or never: what they may hold up (the exit, awaited
calls, reads, a leave). Each case runs in a fresh interpreter with a getaddrinfo of its own
preloaded."""

import pathlib
import textwrap

import pytest

from conftest import not_under_asan
from test_process import compile_shim, run

# The resolver that answers late or never (see the file).
GETADDRINFO_SHIM = (pathlib.Path(__file__).parent / "getaddrinfo_shim.c").read_text()


# What every child begins with: the shim's counter, a node config, and a wait for lookups to
# have come into the resolver.
PRELUDE = """
import asyncio, ctypes, os, sys, threading, time, traceback
from vennock import Config, Node, VennockClosed, VennockError
shim = ctypes.CDLL(os.environ["LD_PRELOAD"])
def cfg(name, **kw):
    return Config.local(name=name, bind="127.0.0.1:0", **kw)
def lookups_in(n):
    deadline = time.monotonic() + 30
    while shim.gai_entered() < n:
        assert time.monotonic() < deadline, "no lookup came in"
        time.sleep(0.01)
def hang_lookups(n):  # a node joining n names that never resolve: 8 in the resolver, the rest in line
    b = Node.start_blocking(cfg("b"), timeout=10)
    hung = [f"never-{i}.example:7946" for i in range(n)]
    threading.Thread(target=lambda: b.join_blocking(hung), daemon=True).start()
    lookups_in(8)
    return b
def run_then_end(main):  # for the cases that are not about the exit: ends without it
    try:
        asyncio.run(main())
    except BaseException:
        traceback.print_exc()
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(0)
"""

# The fault is a hang: a child still running after this long never ended on its own (the late
# resolver answers after a minute).
HANG = 30


def in_child(tmp_path, body, **env):
    shim = compile_shim(tmp_path, GETADDRINFO_SHIM)
    return run(PRELUDE + textwrap.dedent(body), env={"LD_PRELOAD": str(shim), "VENNOCK_TEST_GAI_LATE": "60", **env}, timeout=HANG)


@not_under_asan("preloads a shim of its own")
@pytest.mark.parametrize("name", ["never", "late"])
def test_the_exit_after_close_waits_for_no_lookup(tmp_path, name):
    r = in_child(tmp_path, f"""
        node = Node.start_blocking(cfg("a"), timeout=10)
        def join():
            try:
                node.join_blocking(["{name}.example:7946"])
            except VennockClosed as e:
                print(e)
        t = threading.Thread(target=join)
        t.start()
        lookups_in(1)
        node.close_blocking()
        t.join()
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "the cluster is closed\n"


@not_under_asan("preloads a shim of its own")
def test_the_exit_after_a_start_given_up_by_its_timeout_waits_for_no_lookup(tmp_path):
    r = in_child(tmp_path, """
        try:
            Node.start_blocking(cfg("a", seeds=["never.example:7946", "late.example:7946"]), timeout=1)
        except TimeoutError as e:
            print(e)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "timed out\n"


@not_under_asan("preloads a shim of its own")
def test_awaited_calls_answer_while_a_hundred_lookups_hang(tmp_path):
    r = in_child(tmp_path, """
        a = Node.start_blocking(cfg("a"), timeout=10)
        hang_lookups(100)
        async def main():
            for i in range(20):
                await asyncio.wait_for(a.set_meta({"round": str(i)}), 10)
            print(a.local()[4])
        run_then_end(main)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "[('round', '19')]\n"


@not_under_asan("preloads a shim of its own")
def test_a_blocking_read_behind_an_awaited_one_is_not_held_up_by_hung_lookups(tmp_path):
    r = in_child(tmp_path, """
        a = Node.start_blocking(cfg("a"), timeout=10)
        hang_lookups(100)
        sub = a.events()
        async def main():
            awaited = sub.next()  # first in line
            got = []
            reader = threading.Thread(target=lambda: got.append(sub.next_blocking(10)))
            reader.start()
            joiners = [Node.start_blocking(cfg(n, seeds=[a.local_addr()]), timeout=10) for n in ("c", "d")]
            first = await asyncio.wait_for(awaited, 10)
            await asyncio.to_thread(reader.join)
            print(first[0], got[0] and got[0][0])
            for n in joiners:
                await n.close()
        run_then_end(main)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "MemberJoined MemberJoined\n"


@not_under_asan("preloads a shim of its own")
def test_leave_ends_a_join_still_looking_up_names(tmp_path):
    r = in_child(tmp_path, """
        node = Node.start_blocking(cfg("a", resolve_timeout=3600), timeout=10)
        async def main():
            joining = node.join(["never.example:7946"])
            lookups_in(1)
            print(await node.leave(5))
            try:
                await asyncio.wait_for(joining, 10)
            except VennockClosed as e:
                print(e)
            # A join made once the leave is under way looks nothing up.
            try:
                await node.join(["late.example:7946"])
            except VennockClosed as e:
                print(e, shim.gai_entered())
        run_then_end(main)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["False", "this node has left the cluster", "this node has left the cluster 1"]


@not_under_asan("preloads a shim of its own")
def test_a_child_made_by_fork_looks_names_up_while_its_parents_lookups_hang(tmp_path):
    # The child's runtime, and so its lookups, are its own: the parent's eight turns, taken by
    # a resolver that never answers, are not the child's.
    r = in_child(tmp_path, """
        a = Node.start_blocking(cfg("a"), timeout=10)
        hang_lookups(100)
        port = a.local_addr().rsplit(":", 1)[1]
        pid = os.fork()
        if pid == 0:
            c = Node.start_blocking(cfg("c"), timeout=10)
            print(c.join_blocking([f"localhost:{port}"], timeout=10), flush=True)
            os._exit(0)
        print(os.waitpid(pid, 0)[1])
        os._exit(0)
    """)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "1\n0\n"
