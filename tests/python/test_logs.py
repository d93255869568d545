"""Log routing and the process runtime. Both are process-wide, so each case runs in a fresh
interpreter of its own."""

import os
import subprocess
import sys
import textwrap

WARNING = "runtime_threads is set once per process; keeping the running value"
PRELUDE = textwrap.dedent(
    """
    import asyncio, os, signal, threading, time
    import vennock._vennock as v
    from vennock._vennock import Config, Node

    def warn(threads=2):
        # Obtains the runtime asking for `threads` workers, then fails on the timeout: a warning
        # whenever the count differs from the running one, and nothing else.
        try:
            Node.start_blocking(Config.local(runtime_threads=threads), timeout=-1)
        except ValueError:
            pass

    # A WARN record from a runtime thread, written before the blocking call that causes it returns.
    REFUSED = ("vennock_net::actor", "keyring: change refused key=")

    def refused(node):
        try:
            node.key_use_blocking(bytes(32), timeout=10)
        except Exception:
            pass

    def refusals(records):
        return [(level, target, message.startswith(REFUSED[1])) for level, target, message in records]

    # A WARN record written by the calling thread while attached to the interpreter.
    def dropped():
        Node.start_blocking(Config.local(bind="127.0.0.1:0"), timeout=10)

    def runtime_threads():
        names = []
        for t in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{t}/comm") as f:
                names.append(f.read().strip())
        return names.count("vennock-io")
    """
)


def run(body, env_log=None):
    env = {k: val for k, val in os.environ.items() if k != "VENNOCK_LOG"}
    if env_log is not None:
        env["VENNOCK_LOG"] = env_log
    r = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], capture_output=True, text=True,
                       timeout=60, env=env)
    assert r.returncode == 0, r.stderr
    return r


def test_stderr_lines_follow_the_level():
    body = """
        warn(1); warn(3)
        Node.start_blocking(Config.lan(name="p", insecure_plaintext=True, bind="127.0.0.1:0")).close_blocking()
    """
    lines = run(body).stderr.splitlines()
    assert lines == [
        f"vennock  WARN _vennock::runtime: {WARNING} requested=3 running=1",
        "vennock  WARN _vennock::config: running without encryption: insecure_plaintext is set",
    ]
    debug = run(body, "  DEBUG\n").stderr.splitlines()
    assert any(line.startswith("vennock  INFO vennock_net: node started name=p addr=127.0.0.1:") for line in debug)
    assert run(body, "OFF").stderr == ""
    for word in ("Warn", "verbose", "\udcff"):
        assert run(body, word.encode("utf-8", "surrogateescape").decode("utf-8", "surrogateescape")).stderr.count(
            "WARN") == 2
    assert "vennock ERROR" not in run(body, "error").stderr


def test_route_to_python_levels_and_the_bounded_buffer():
    body = f"""
        keyless = Node.start_blocking(Config.local(bind="127.0.0.1:0"), timeout=10)
        for level, passes in ((20, True), (30, True), (31, False), (10, True), (-1, True), (51, False)):
            v.route_to_python(level)
            refused(keyless)
            records, lost = v.drain_logs()
            assert (refusals(records) == [(30, REFUSED[0], True)]) == passes, (level, records)
            assert lost == 0
        v.route_to_python(30)
        for _ in range(5000):
            refused(keyless)
        records, lost = v.drain_logs()
        assert len(records) == 4096 and lost == 904, (len(records), lost)
        assert v.drain_logs() == ([], 0)
        try:
            v.route_to_python("20")
            raise AssertionError
        except TypeError as e:
            assert e.__notes__ == ["while processing 'level'"]
        try:
            v.route_to_python(2**70)
            raise AssertionError
        except OverflowError:
            pass
        # Back to stderr: nothing buffered, the environment read again.
        os.environ["VENNOCK_LOG"] = "off"
        v.route_to_stderr()
        refused(keyless)
        assert v.drain_logs() == ([], 0)
        keyless.close_blocking()
    """
    assert run(body).stderr == ""


def test_waiting_for_records():
    body = """
        keyless = Node.start_blocking(Config.local(bind="127.0.0.1:0"), timeout=10)
        v.route_to_python(30)
        assert v.wait_logs_blocking(0) is False
        for t in (-1, float("nan")):
            assert v.wait_logs_blocking(t) is False
        later = threading.Timer(0.3, refused, (keyless,))
        later.start()
        assert v.wait_logs_blocking(float("inf")) is True  # no limit, not zero (no record yet)
        assert v.wait_logs_blocking(0) is True  # still there until drained
        v.drain_logs()

        # A thread logging while attached, against a reader that wakes for each record: the
        # reader must not hold the buffer's lock while it attaches again.
        writer = threading.Thread(target=lambda: [dropped() for _ in range(300)])
        writer.start()
        while writer.is_alive():
            v.wait_logs_blocking(0.05)
            v.drain_logs()
        writer.join()

        async def all_wake():
            waiters = [asyncio.ensure_future(v.wait_logs()) for _ in range(3)]
            await asyncio.sleep(0.1)
            assert not any(w.done() for w in waiters)
            await asyncio.to_thread(refused, keyless)
            assert await asyncio.wait_for(asyncio.gather(*waiters), 5) == [(), (), ()]
            assert await v.wait_logs() == ()
        asyncio.run(all_wake())
        v.drain_logs()

        def boom(signum, frame):
            raise KeyboardInterrupt
        signal.signal(signal.SIGALRM, boom)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        start = time.monotonic()
        try:
            v.wait_logs_blocking(60)
            raise AssertionError("not interrupted")
        except KeyboardInterrupt:
            assert time.monotonic() - start < 30  # well before its 60 s
        try:
            v.wait_logs_blocking(None)
            raise AssertionError
        except TypeError:
            pass
    """
    run(body)


def test_the_runtime_is_built_once_and_again_after_fork():
    body = f"""
        v.route_to_python(30)
        n = Node.start_blocking(Config.local(bind="127.0.0.1:0", runtime_threads=4))
        deadline = time.monotonic() + 10
        while runtime_threads() < 4:  # each worker names itself when it starts
            assert time.monotonic() < deadline
            time.sleep(0.01)
        warn(4)
        assert v.drain_logs() == ([], 0)
        warn(2)
        assert v.drain_logs()[0] == [(30, "_vennock::runtime", "{WARNING} requested=2 running=4")]
        pid = os.fork()
        if pid == 0:
            ok = False
            try:
                c = Node.start_blocking(Config.local(bind="127.0.0.1:0", runtime_threads=2))
                ok = v.drain_logs() == ([], 0)  # a fresh runtime: no warning
                c.close_blocking()
            finally:
                os._exit(0 if ok else 1)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
        n.close_blocking()
    """
    run(body)


def test_the_runtime_threads_warning_is_said_once_per_process():
    # Once is enough to tell the running count; a line for every later node only repeats it.
    body = """
        warn(1)
        for threads in (2, 3, 2, 4):
            warn(threads)
        pid = os.fork()
        if pid == 0:
            warn(1)  # a fresh runtime, and a process of its own to be told in
            warn(2)
            warn(3)
            os._exit(0)
        assert os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0
    """
    lines = run(body).stderr.splitlines()
    assert [line for line in lines if WARNING in line] == [
        f"vennock  WARN _vennock::runtime: {WARNING} requested=2 running=1",
        f"vennock  WARN _vennock::runtime: {WARNING} requested=2 running=1",
    ]


def test_errors_module_unimportable_then_back():
    body = """
        import sys
        saved = sys.modules["vennock._errors"]
        sys.modules["vennock._errors"] = None
        try:
            Config.lan()
            raise AssertionError
        except ImportError:
            pass
        try:
            Node.start_blocking(Config.local(), timeout=-1)  # built-in classes still work
            raise AssertionError
        except ValueError:
            pass
        sys.modules["vennock._errors"] = saved
        from vennock import ConfigError
        try:
            Config.lan()
            raise AssertionError
        except ConfigError:
            pass
    """
    run(body)
