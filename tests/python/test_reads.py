"""What becomes of an event a read has taken: every read hands it to its caller or gives it back
to the front of the subscription (a loop that closed, a signal, a failed conversion, the exit),
and reads take events in the order they were called."""

import os
import subprocess
import sys
import textwrap


def run(body, env=None, timeout=90):
    env = {**{k: v for k, v in os.environ.items() if k != "VENNOCK_LOG"}, "VENNOCK_LOG": "off", **(env or {})}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(body)], capture_output=True, text=True,
                          timeout=timeout, env=env)


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
