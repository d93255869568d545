"""What touches the whole process (the exit, subinterpreters, memory limits, the C library's
answers): each case runs in a fresh interpreter of its own."""

import errno
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

from conftest import not_under_asan, wait_until


def run(body, env=None, timeout=60):
    env = {**{k: v for k, v in os.environ.items() if k != "VENNOCK_LOG"}, **(env or {})}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(body)], capture_output=True, text=True,
                          timeout=timeout, env=env)


def compile_shim(tmp_path, source):
    # A library to preload in a child interpreter; skips the test where no C compiler is.
    cc = shutil.which("cc") or shutil.which("gcc")
    if not cc:
        pytest.skip("needs a C compiler")
    (tmp_path / "shim.c").write_text(source)
    shim = tmp_path / "shim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(shim), str(tmp_path / "shim.c"), "-ldl", "-lpthread"],
                   check=True)
    return shim


# Makes bind() fail with the error number in VENNOCK_TEST_BIND_ERRNO, so that every kind of
# operating-system error can be had from a start.
BIND_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
int bind(int fd, const struct sockaddr* a, socklen_t n) {
  const char* e = getenv("VENNOCK_TEST_BIND_ERRNO");
  if (e && *e) {
    errno = atoi(e);
    return -1;
  }
  int (*real)(int, const struct sockaddr*, socklen_t) = dlsym(RTLD_NEXT, "bind");
  return real(fd, a, n);
}
"""


@not_under_asan("preloads a shim of its own")
def test_os_errors_take_their_subclass(tmp_path):
    shim = compile_shim(tmp_path, BIND_SHIM)
    r = run(
        f"""
        import os
        from vennock import Config, Node
        for code in ({errno.EEXIST}, {errno.EISDIR}, {errno.ENOTDIR}, {errno.EADDRNOTAVAIL}):
            os.environ["VENNOCK_TEST_BIND_ERRNO"] = str(code)
            try:
                Node.start_blocking(Config.local(bind="127.0.0.1:0"), timeout=10)
            except OSError as e:
                print(type(e).__name__, e.args == (f"{{os.strerror(code)}} (os error {{code}})",))
        """,
        env={"LD_PRELOAD": str(shim)},
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == [
        "FileExistsError True", "IsADirectoryError True", "NotADirectoryError True", "OSError True", "",
    ]


ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def python_of(minor):
    """A CPython 3.<minor> of the machine, when it has one."""
    import glob

    pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    for c in [*sorted(glob.glob(f"{pyenv}/versions/3.{minor}*/bin/python3.{minor}")), shutil.which(f"python3.{minor}")]:
        if c and os.access(c, os.X_OK):
            return c
    return None


def test_the_declared_minimum_python_is_the_one_the_build_takes(tmp_path):
    # What pip is told (requires-python) and what the build accepts must be the same version:
    # the build takes the declared minimum and refuses the one below it. A build that needs a
    # newer C API than declared, or a declaration wider than the build, fails one of the two.
    import re
    import tomllib

    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        declared = tomllib.load(f)["project"]["requires-python"]
    m = re.fullmatch(r">=\s*3\.(\d+)", declared)
    assert m, f"requires-python {declared!r} is not a plain minimum"
    minimum = int(m.group(1))
    assert sys.version_info[:2] >= (3, minimum), f"the module was built for a CPython that {declared} refuses"
    below = python_of(minimum - 1)
    # The build needs nanobind beside the interpreter: the one running the tests has it.
    at = sys.executable if sys.version_info[:2] == (3, minimum) else None
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    if not cmake or not (below or at):
        pytest.skip(f"needs cmake, and a CPython 3.{minimum - 1} to refuse or tests run on 3.{minimum}")

    def configure(python, where):
        return subprocess.run([cmake, "-S", ROOT, "-B", str(tmp_path / where), "-DVENNOCK_PYTHON=ON",
                               "-DVENNOCK_TESTS=OFF", "-DVENNOCK_BENCH=OFF", "-DVENNOCK_EXAMPLES=OFF",
                               f"-DPython_EXECUTABLE={python}"], capture_output=True, text=True, timeout=120)

    if below:
        r = configure(below, "below")
        assert r.returncode != 0
        assert f"vennock needs CPython 3.{minimum} or newer" in " ".join(r.stderr.split()), r.stderr
    if at:
        r = configure(at, "at")
        assert r.returncode == 0, r.stderr


SUBINTERPRETERS = "module vennock._vennock does not support loading in subinterpreters"


def test_subinterpreters_are_refused_and_leave_the_main_one_whole():
    r = run(
        f"""
        import sys
        import _interpreters
        from vennock import Config, Node, VennockClosed
        node = Node.start_blocking(Config.local(name="main", bind="127.0.0.1:0"), timeout=10)
        for kind in ("legacy", "isolated"):
            sub = _interpreters.create(kind)
            failed = _interpreters.run_string(sub, "import sys; sys.path[:] = %r\\nimport vennock" % sys.path)
            print(kind, failed.type.__name__, failed.msg == {SUBINTERPRETERS!r})
            _interpreters.destroy(sub)
        # The runtime and the exception classes of the main interpreter are untouched.
        node.broadcast_blocking(b"x", timeout=10)
        node.close_blocking(10)
        try:
            node.broadcast_blocking(b"x", timeout=10)
        except VennockClosed as e:
            print("closed", e)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == [
        "legacy ImportError True", "isolated ImportError True", "closed the cluster is closed", "",
    ]


DROPPED = "node dropped without leave() or close(); peers will see a crash"

# Counts the drop warnings logged since the last count.
DROP_COUNTER = f"""
import asyncio, time
import vennock._vennock as v
from vennock import Config, Node
v.route_to_python(30)

def warnings():
    return sum({DROPPED!r} in message for _, _, message in v.drain_logs()[0])
"""


def test_the_drop_warning_is_for_a_node_the_caller_held_open():
    r = run(
        DROP_COUNTER + textwrap.dedent(f"""
        cfg = Config.local(bind="127.0.0.1:0")
        # A close that ran out of time has reached the node all the same (a limit of 1 ns lets
        # it start and hand its request over; 0 would start nothing).
        for i in range(300):
            node = Node.start_blocking(cfg, timeout=10)
            try:
                node.close_blocking(1e-9)
            except TimeoutError:
                pass
            del node
        print("timed-out close", warnings())
        # Starts given up while joining: the caller never held those nodes.
        stuck = Config.local(bind="127.0.0.1:0", seeds=["nowhere.invalid:1"], resolve_timeout=30)
        try:
            Node.start_blocking(stuck, timeout=0.2)
        except TimeoutError:
            pass

        async def cancelled():
            start = asyncio.ensure_future(Node.start(stuck))
            await asyncio.sleep(0.2)
            start.cancel()

        asyncio.run(cancelled())
        time.sleep(0.3)
        print("abandoned start", warnings())
        node = Node.start_blocking(cfg, timeout=10)
        del node
        print("held and dropped", warnings())
        """)
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == ["timed-out close 0", "abandoned start 0", "held and dropped 1", ""]


def test_a_node_nobody_took_from_its_start_future_stops_quietly():
    r = run(
        DROP_COUNTER + textwrap.dedent(f"""
        cfg = Config.local(bind="127.0.0.1:0")

        # Started, but no caller ever took the node from the future.
        async def untaken():
            for i in range(12):
                start = Node.start(cfg)
                await asyncio.sleep(0)
                time.sleep(0.1)  # the node is made meanwhile
                if i % 3 == 0:
                    while not start.done():
                        await asyncio.sleep(0.01)
                elif i % 3 == 1:
                    start.cancel()  # after the node was made, before the loop could set it
                else:
                    raced = asyncio.ensure_future(asyncio.wait_for(start, 0.02))
                    time.sleep(0.1)  # the result and the timeout fall due in one turn
                    try:
                        await (await raced).close()
                    except TimeoutError:
                        pass
                del start
            await asyncio.sleep(0.1)

        asyncio.run(untaken())
        print("untaken starts", warnings())

        # Taken by awaiting it, through gather, or with result() after asyncio.wait.
        async def taken():
            node = await Node.start(cfg)
            del node
            nodes = await asyncio.gather(Node.start(cfg), Node.start(cfg))
            del nodes
            start = Node.start(cfg)
            await asyncio.wait({{start}})
            node = start.result()
            del start, node
            # A delivery's reference may go a moment after its result was read.
            count, deadline = 0, time.monotonic() + 15
            while count < 4 and time.monotonic() < deadline:
                await asyncio.sleep(0.01)
                count += warnings()
            return count

        print("taken and dropped", asyncio.run(taken()))
        """)
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == ["untaken starts 0", "taken and dropped 4", ""]


def test_a_node_taken_with_result_after_its_awaiting_task_was_cancelled_was_received():
    # The task awaiting the start is cancelled in the turn in which the node arrives (its wake-up
    # reads result() and then takes the cancellation); the caller then takes the node itself.
    r = run(
        DROP_COUNTER + textwrap.dedent("""
        async def main():
            start = Node.start(Config.local(bind="127.0.0.1:0"))
            waiter = None
            start.add_done_callback(lambda _: waiter.cancel())  # runs before the task wakes

            async def wait():
                return await start

            waiter = asyncio.ensure_future(wait())
            try:
                await waiter
            except asyncio.CancelledError:
                pass
            node = start.result()
            del node, start

        asyncio.run(main())
        print("taken after a cancelled await", warnings())
        """)
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "taken after a cancelled await 1\n"


@not_under_asan("limits the address space")
def test_an_argument_too_large_for_the_memory_left_raises_memory_error():
    # Each argument is copied under an address-space limit that leaves less room than its size.
    r = run(
        """
        import resource
        from vennock import Config, Node

        MiB = 1 << 20
        big = Node.start_blocking(Config.local(name="big", bind="127.0.0.1:0", max_stream_frame=256 * MiB,
                                               max_user_message=128 * MiB), timeout=10)
        small = Node.start_blocking(Config.local(name="small", bind="127.0.0.1:0"), timeout=10)
        payload, text = b"x" * (64 * MiB), "x" * (64 * MiB)

        def address_space():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

        calls = {
            "data": lambda: big.send_blocking("nobody", 0, payload, timeout=10),
            "name": lambda: big.send_blocking(text, 0, b"", timeout=10),
            "member": lambda: big.member(text),
            "seeds": lambda: big.join_blocking([text], timeout=10),
            "config": lambda: Config.local(seeds=[text]),
            "key": lambda: big.key_install_blocking(text, timeout=10),
            # Beyond the node's limit: refused before anything is copied.
            "message beyond its limit": lambda: small.send_blocking("nobody", 0, payload, timeout=10),
            "broadcast beyond its limit": lambda: big.broadcast_blocking(payload, timeout=10),
            "meta beyond its limit": lambda: big.set_meta_blocking({"k": text}, timeout=10),
            "changes beyond their limit": lambda: big.update_meta_blocking({"k": text}, timeout=10),
        }
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)

        def limited(room, call):
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + room, hard))
            try:
                call()
                return "returned"
            except Exception as e:
                return type(e).__name__
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

        for what, call in calls.items():
            print(what, limited(16 * MiB, call))
        # Room for one more copy of the text: the refusal is as certain as before.
        for what in ("meta beyond its limit", "changes beyond their limit"):
            print(what, limited(80 * MiB, calls[what]), big.is_closed())
        big.close_blocking(10)
        small.close_blocking(10)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == [
        "data MemoryError", "name MemoryError", "member MemoryError", "seeds MemoryError", "config MemoryError",
        "key ValueError", "message beyond its limit MessageTooLarge", "broadcast beyond its limit MessageTooLarge",
        "meta beyond its limit MetaTooLarge", "changes beyond their limit MetaTooLarge",
        "meta beyond its limit MetaTooLarge False", "changes beyond their limit MetaTooLarge False", "",
    ]


@not_under_asan("limits the address space")
def test_a_start_without_the_memory_for_its_seeds_raises_memory_error_and_leaves_nothing():
    # Every seed is the node's own address, so a start that has the memory joins nobody at once.
    r = run(
        """
        import resource, socket
        from vennock import Config, Node

        MiB = 1 << 20
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        addr = f"127.0.0.1:{port}"
        cfg = Config.local(name="seeded", bind=addr, seeds=[addr] * 300_000)

        def address_space():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        outcomes = set()
        for room in range(8, 97, 8):
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + room * MiB, hard))
            node = None
            try:
                node = Node.start_blocking(cfg, timeout=30)
                outcomes.add("started")
            except Exception as e:
                outcomes.add(f"{type(e).__name__}: {e}")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
            if node is not None:
                node.close_blocking(10)
            # Nothing of a failed start is left behind: its port is free again.
            Node.start_blocking(Config.local(name="again", bind=addr), timeout=10).close_blocking(10)
        print(sorted(o for o in outcomes if o not in ("started", "MemoryError: ")))
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "[]\n"


# Fails every allocation of 4 MiB or more made by the runtime's threads while VENNOCK_TEST_FAIL_BIG
# is set: the copies a start makes there of a long list of seeds.
FAIL_BIG_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
void* malloc(size_t n) {
  static void* (*real)(size_t);
  if (!real) real = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
  if (n >= (4u << 20) && getenv("VENNOCK_TEST_FAIL_BIG")) {
    char name[16] = {0};
    pthread_getname_np(pthread_self(), name, sizeof name);
    if (strncmp(name, "vennock", 7) == 0) return NULL;
  }
  return real(n);
}
"""


@not_under_asan("preloads a shim of its own")
def test_a_start_that_runs_out_of_memory_on_the_runtime_raises_memory_error(tmp_path):
    shim = compile_shim(tmp_path, FAIL_BIG_SHIM)
    r = run(
        """
        import asyncio, os, socket
        from vennock import Config, Node

        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        addr = f"127.0.0.1:{port}"
        cfg = Config.local(name="seeded", bind=addr, seeds=[addr] * 300_000)
        os.environ["VENNOCK_TEST_FAIL_BIG"] = "1"

        async def awaited():
            return await Node.start(cfg)

        for start in (lambda: Node.start_blocking(cfg, timeout=30), lambda: asyncio.run(awaited())):
            try:
                start()
                print("started")
            except Exception as e:
                print(type(e).__name__)
        del os.environ["VENNOCK_TEST_FAIL_BIG"]
        Node.start_blocking(Config.local(name="again", bind=addr), timeout=10).close_blocking(10)
        print("port free")
        """,
        env={"LD_PRELOAD": str(shim)},
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == ["MemoryError", "MemoryError", "port free", ""]


# Fails the calling thread's n-th allocation from now on (arm(n)); armed() tells how many were left.
NTH_ALLOCATION_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
static __thread long countdown;
void arm(long n) { countdown = n; }
long armed(void) { return countdown; }
void* malloc(size_t n) {
  static void* (*real)(size_t);
  if (!real) real = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
  if (countdown > 0 && --countdown == 0) return NULL;
  return real(n);
}
"""


@not_under_asan("preloads a shim of its own")
def test_each_failed_allocation_of_a_call_leaves_no_object_behind(tmp_path):
    # Every allocation of the call fails in turn; a leaked object keeps a reference to its type.
    shim = compile_shim(tmp_path, NTH_ALLOCATION_SHIM)
    r = run(
        f"""
        import ctypes, sys
        from vennock import Config, EventSub, Node

        shim = ctypes.CDLL({str(shim)!r})
        node = Node.start_blocking(Config.local(bind="127.0.0.1:0"), timeout=10)

        def sweep(make, cls):
            before, failures = sys.getrefcount(cls), 0
            for n in range(1, 1000):
                shim.arm(n)
                try:
                    made = make()
                except MemoryError:
                    failures += 1
                    continue
                finally:
                    left = shim.armed()
                    shim.arm(0)
                del made
                if left > 0:  # the call made fewer than n allocations: each has failed once
                    break
            return failures > 0, sys.getrefcount(cls) - before

        print(sweep(lambda: Config.local(name="x", seeds=["10.0.0.1:1"]), Config))
        print(sweep(node.events, EventSub))
        node.close_blocking(10)
        """,
        env={"LD_PRELOAD": str(shim)},
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == ["(True, 0)", "(True, 0)", ""]


@pytest.mark.parametrize("threads", [1, 2, 4])
def test_metadata_changes_apply_in_the_order_of_the_calls(threads):
    # The runtime's worker count is fixed per process: each count runs in an interpreter of its own.
    r = run(
        f"""
        import asyncio, random
        from vennock import Config, Node

        async def main():
            node = await Node.start(Config.local(bind="127.0.0.1:0", runtime_threads={threads}))
            late = 0
            for i in range(150):
                first = (node.set_meta if i % 3 == 1 else node.update_meta)({{"k": f"{{i}}a"}})
                second = (node.set_meta if i % 3 == 2 else node.update_meta)({{"k": f"{{i}}b"}})
                await asyncio.gather(first, second)
                late += dict(node.local()[4])["k"] != f"{{i}}b"
            print("late", late)
            # A storm of cancellations: every change that was acknowledged stays, unless a
            # later change of the same key replaced it.
            await node.set_meta({{}})
            rng = random.Random(7)
            futures = [node.update_meta({{f"k{{i % 8}}": str(i)}}) for i in range(400)]
            for f in futures:
                if rng.random() < 0.5:
                    f.cancel()
                if rng.random() < 0.1:
                    await asyncio.sleep(0)
            done = await asyncio.gather(*futures, return_exceptions=True)
            acked = [i for i, d in enumerate(done) if d == ()]
            final = {{k: int(v) for k, v in node.local()[4]}}
            lost = [i for i in acked if final.get(f"k{{i % 8}}", -1) < i]
            print("acked", len(acked) > 0, "lost", lost)
            await node.close()

        asyncio.run(main())
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == ["late 0", "acked True lost []", ""]


def test_a_change_given_up_once_queued_keeps_the_node_state_it_locks():
    # The lock a queued change holds until the node answers lives in the node's shared state: a
    # caller that gives up, then drops the node, must leave that state alive until the lock is
    # let go (a sanitized build of the module shows the use after free this once was).
    r = run(
        """
        import asyncio
        from vennock import Config, Node

        cfg = Config.local(bind="127.0.0.1:0")

        async def main():
            for i in range(30):
                node = await Node.start(cfg)
                backlog = [node.send("nobody", 0, b"x") for _ in range(200)]
                if i % 2:
                    change = node.update_meta({"k": str(i)})
                    await asyncio.sleep(0)
                    change.cancel()
                else:
                    try:
                        node.set_meta_blocking({"k": str(i)}, timeout=1e-9)  # started, then given up
                    except TimeoutError:
                        pass
                del node
                await asyncio.gather(*backlog, return_exceptions=True)
            await asyncio.sleep(0.2)
            print("done")

        asyncio.run(main())
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "done\n"


def test_cleanups_registered_before_import_still_close_and_leave(nodes):
    # atexit runs last-in first-out: these cleanups run after vennock's own exit hook.
    peer = nodes.start("peer")
    r = run(
        f"""
        import asyncio, atexit, threading, time

        def cleanup():
            # Only this thread uses the runtime now: a wait of another thread has ended.
            reader.join(10)
            print("reader", left_behind)

            async def close_a():
                await a.close()

            asyncio.run(close_a())
            print("a", a.is_closed())
            print("b", b.shutdown_blocking(5), b.is_closed())

            async def shut_down_c():
                return await c.shutdown(5)

            print("c", asyncio.run(shut_down_c()), c.is_closed())
            # A read begun before the hook ends with the subscription of the closed node.
            print("read", loop.run_until_complete(pending))

        atexit.register(cleanup)
        from vennock import Config, Node

        a, b, c = (Node.start_blocking(Config.local(name=n, bind="127.0.0.1:0", seeds=[{peer.local_addr()!r}]),
                                       timeout=10) for n in "abc")
        while min(len(n.members()) for n in (a, b, c)) < 4:
            time.sleep(0.01)
        sub = a.events()
        loop = asyncio.new_event_loop()

        async def begin():
            return sub.next()

        pending = loop.run_until_complete(begin())
        d = Node.start_blocking(Config.local(name="d", bind="127.0.0.1:0"), timeout=10)
        left_behind = []

        def read():
            try:
                left_behind.append(d.events().next_blocking())  # the exit ends it as the end: None
            except Exception as e:
                left_behind.append(f"{{type(e).__name__}}: {{e}}")

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        """,
        timeout=20,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == [
        "reader [None]", "a True", "b False True", "c False True", "read None", "",
    ]
    # b and c left the cluster; a was closed without leaving.
    for name in "bc":
        wait_until(lambda: peer.member(name)[2] in (2, 3))
        assert peer.member(name)[2] == 3


@not_under_asan("ends a thread with pthread_exit in the middle of a call")
def test_a_thread_ended_at_exit_releases_no_reference_without_the_interpreter():
    # CPython 3.13 ends a daemon thread that tries to attach once the interpreter finalises
    # (pthread_exit), unwinding through whatever native frames it was in. Here the thread is
    # inside the library, which holds the only reference to a future it made, when that
    # happens; the probe, run by the final collection, counts the future's references after
    # the thread is gone. A release during the unwinding would run detached, concurrently
    # with the finalising thread (3 of 40 such exits crashed in a stress run).
    r = run(
        """
        import asyncio, atexit, gc, os, sys, threading, time

        begun, inside = threading.Event(), threading.Event()

        def cleanup():  # runs after the library's exit hook
            begun.set()
            inside.wait(10)

        atexit.register(cleanup)
        from vennock import Config, Node

        node = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)
        seen = []

        class Stalling(asyncio.Future):
            def set_exception(self, exc):
                seen.append(sys.getrefcount(self))
                seen.append(self)
                inside.set()
                while True:  # CPython ends the thread here once the interpreter finalises
                    time.sleep(0.01)

        class Loop(asyncio.SelectorEventLoop):
            def create_future(self):
                return Stalling(loop=self)

        def worker():
            async def main():
                while not begun.is_set():
                    await asyncio.sleep(0.01)
                node.broadcast(b"x")  # a future failed at once: the exit has begun

            Loop().run_until_complete(main())

        threading.Thread(target=worker, daemon=True).start()

        class Probe:
            def __del__(self, write=os.write, sleep=time.sleep, count=sys.getrefcount):
                sleep(0.3)  # detached: the thread wakes and is ended meanwhile
                # One more than counted inside set_exception (the list's): nothing was released.
                write(1, b"kept" if count(seen[1]) == seen[0] + 1 else b"released")

        gc.disable()
        probe = Probe()
        probe.cycle = probe
        del probe
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "kept"


def load_exit_stress():
    # The stress run's programs, so that the test and the long run exercise the same load.
    path = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "exit_stress.py"
    spec = importlib.util.spec_from_file_location("exit_stress", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_daemon_threads_calling_a_node_from_event_loops_do_not_crash_the_exit():
    # A bounded number of the stress run's exits (scripts/exit_stress.py runs them at length).
    body = load_exit_stress().DAEMON
    codes = [run(body.replace("{threads}", str(threads)), env={"VENNOCK_LOG": "off"}).returncode
             for threads in (1, 1, 1, 4, 4, 4)]
    assert codes == [0] * 6


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("state", ["idle", "reader", "awaitables"])
def test_a_forked_child_exits_whatever_the_parent_was_doing(state):
    # The child uses vennock on its own, then ends as programs do (the exit hook runs); the
    # parent is idle, has a thread blocked in next_blocking(), or has an awaitable whose
    # delivery waits for the interpreter at the fork.
    r = subprocess.run([sys.executable, "-c", load_exit_stress().FORK, state], capture_output=True, text=True,
                       timeout=60, env={**os.environ, "VENNOCK_LOG": "off", "PYTHONWARNINGS": "ignore"})
    assert r.returncode == 0, r.stderr
    assert r.stdout == "ok\n"


# A parent whose runtime thread is writing a record to standard error, a pipe that is full, when
# it forks: that thread holds the log's standard-error lock at the fork. The child (its own
# standard error free) starts a node, whose start logs.
FORK_WHILE_LOGGING = r"""
import os, sys, threading, time
from vennock import Config, Node


def writing_to_stderr():
    # A runtime thread in write(2) on descriptor 2 (Linux: /proc/<tid>/syscall).
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f, open(f"/proc/self/task/{tid}/syscall") as g:
                if f.read().strip() == "vennock-io" and g.read().split()[:2] == ["1", "0x2"]:
                    return True
        except OSError:
            pass
    return False


node = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)
r, w = os.pipe()
saved = os.dup(2)
os.dup2(w, 2)
os.set_blocking(2, False)
try:
    while True:
        os.write(2, b"x" * 4096)
except BlockingIOError:
    pass
os.set_blocking(2, True)
# Its start logs "node started" from a runtime thread, which waits in write() with the lock held.
starting = threading.Thread(
    target=lambda: Node.start_blocking(Config.local(name="b", bind="127.0.0.1:0"), timeout=60).close_blocking())
starting.start()
until = time.monotonic() + 10
while not writing_to_stderr() and time.monotonic() < until:
    time.sleep(0.001)
outcome = "no writer"
if writing_to_stderr():
    pid = os.fork()
    if pid == 0:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
        child = Node.start_blocking(Config.local(name="child", bind="127.0.0.1:0"), timeout=5)
        child.close_blocking(5)
        os._exit(0)
    until = time.monotonic() + 20
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < until:
        time.sleep(0.01)
    outcome = "ok" if done[0] and os.waitstatus_to_exitcode(done[1]) == 0 else "failed" if done[0] else "hung"
    if not done[0]:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
os.dup2(saved, 2)
os.read(r, 1 << 16)  # room again: the parent's record goes out
starting.join()
node.close_blocking()
print(outcome)
"""


@pytest.mark.skipif(not os.path.exists("/proc/self/task"), reason="needs Linux's /proc")
def test_a_forked_child_never_waits_for_a_log_lock_its_parent_held():
    r = run(FORK_WHILE_LOGGING, env={"VENNOCK_LOG": "info", "PYTHONWARNINGS": "ignore"}, timeout=90)
    assert r.returncode == 0, r.stderr
    assert r.stdout == "ok\n"


def test_a_forked_child_drains_only_its_own_log_records():
    # The records the parent had not drained at the fork are the parent's: a child that drained
    # them too would pass them on twice.
    r = run(
        """
        import os
        from vennock import Config, Node, drain_logs, route_to_python
        route_to_python(20)
        node = Node.start_blocking(Config.local(name="parent", bind="127.0.0.1:0"), timeout=10)
        pid = os.fork()
        if pid == 0:
            child = Node.start_blocking(Config.local(name="child", bind="127.0.0.1:0"), timeout=10)
            records, dropped = drain_logs()
            child.close_blocking(5)
            os._exit(0 if [m.split()[2] for _, _, m in records if m.startswith("node started")] == ["name=child"]
                     else 3)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        records, _ = drain_logs()
        print([m.split()[2] for _, _, m in records if m.startswith("node started")])
        node.close_blocking()
        """,
        env={"PYTHONWARNINGS": "ignore"},
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "0\n['name=parent']\n"


MULTIPROCESSING = r"""
import asyncio, multiprocessing, sys, threading, time
from vennock import Config, Node


def work():
    node = Node.start_blocking(Config.local(name="worker", bind="127.0.0.1:0"), timeout=10)

    async def main():
        await node.broadcast(b"x")

    asyncio.run(main())
    node.shutdown_blocking(1)


if __name__ == "__main__":
    node = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)
    sub = node.events()

    def read():
        try:
            sub.next_blocking()
        except Exception:
            pass

    threading.Thread(target=read, daemon=True).start()
    time.sleep(0.1)
    for method in ("fork", "spawn", "forkserver"):
        p = multiprocessing.get_context(method).Process(target=work)
        p.start()
        p.join(30)
        print(method, p.exitcode, flush=True)
        if p.exitcode is None:
            p.kill()
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_multiprocessing_workers_use_vennock_while_the_parent_reads(tmp_path):
    script = tmp_path / "workers.py"
    script.write_text(MULTIPROCESSING)
    env = {**{k: v for k, v in os.environ.items() if k != "VENNOCK_LOG"}, "VENNOCK_LOG": "off",
           "PYTHONPATH": os.pathsep.join(sys.path), "PYTHONWARNINGS": "ignore::DeprecationWarning"}
    r = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=90, env=env)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == ["fork 0", "spawn 0", "forkserver 0", ""]


def test_an_awaited_read_failed_by_the_exit_gives_its_place_back():
    # A daemon thread's loop runs with an awaited read in flight when the exit begins: the
    # future gets the end of the subscription (None), and the read ends, so that the thread
    # running the exit reads what comes.
    r = run(
        """
        import asyncio, atexit, threading, time

        def cleanup():
            peer.send_blocking("a", 0, b"after", timeout=5)
            event = sub.next_blocking(5)
            print("read", event if event is False else event[5])
            # The failed future is handed to the daemon thread's loop, which runs when it can.
            until = time.monotonic() + 5
            while not outcome and time.monotonic() < until:
                time.sleep(0.01)
            print("daemon", outcome)

        atexit.register(cleanup)
        from vennock import Config, Node

        a = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)
        peer = Node.start_blocking(Config.local(name="peer", bind="127.0.0.1:0", seeds=[a.local_addr()]),
                                   timeout=10)
        while len(a.members()) < 2 or len(peer.members()) < 2:
            time.sleep(0.01)
        sub = a.events()
        outcome, started = [], threading.Event()

        def reader():
            async def main():
                fut = sub.next()
                started.set()
                try:
                    outcome.append(await fut)
                except Exception as e:
                    outcome.append(f"{type(e).__name__}: {e}")
                await asyncio.sleep(30)

            asyncio.run(main())

        threading.Thread(target=reader, daemon=True).start()
        started.wait()
        time.sleep(0.1)
        """,
        env={"VENNOCK_LOG": "off"},
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == [
        "read (b'after', False)", "daemon [None]", "",
    ]


@not_under_asan("limits the address space")
def test_an_awaitable_answers_when_no_pool_thread_can_be_started():
    # No blocking-pool thread exists yet in this process, and the address-space limit leaves no
    # room for another thread's stack: the outcome is handed over all the same.
    r = run(
        """
        import asyncio, resource
        from vennock import Config, Node

        node = Node.start_blocking(Config.local(name="a", bind="127.0.0.1:0"), timeout=10)

        def address_space():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))

        async def main():
            return await asyncio.wait_for(node.broadcast(b"x"), 5)

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + (4 << 20), hard))
        try:
            print("awaitable", asyncio.run(main()))
        except Exception as e:
            print("awaitable", type(e).__name__)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print("blocking", node.broadcast_blocking(b"x", timeout=5))
        node.close_blocking(10)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split("\n") == ["awaitable ()", "blocking None", ""]
