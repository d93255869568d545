import os
import time

import pytest

from vennock._vennock import Config, Node


# Under AddressSanitizer (the sanitizer run loads it into the interpreter) some tests cannot run:
# the sanitizer reserves terabytes of address space, must be the first library loaded, and
# cannot follow a thread that CPython ends with pthread_exit in the middle of a call.
ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def not_under_asan(why):
    return pytest.mark.skipif(ASAN, reason=why)


def local_cfg(name, seeds=(), **kw):
    return Config.local(name=name, bind="127.0.0.1:0", seeds=list(seeds), **kw)


def wait_until(pred, timeout=15.0, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if pred():
            return
        time.sleep(step)
    raise AssertionError("condition not reached in time")


def names(node):
    return [m[0] for m in node.members()]


class Nodes:
    """Starts nodes on loopback and closes whatever is left at the end of the test."""

    def __init__(self):
        self.started = []

    def start(self, name, seeds=(), **kw):
        node = Node.start_blocking(local_cfg(name, seeds, **kw), timeout=10)
        self.started.append(node)
        return node

    def cluster(self, *names, **kw):
        first = self.start(names[0], **kw)
        nodes = [first] + [self.start(name, [first.local_addr()], **kw) for name in names[1:]]
        for node in nodes:
            wait_until(lambda node=node: len(node.members()) == len(names))
        return nodes

    def close(self):
        for node in self.started:
            node.close_blocking()


@pytest.fixture
def nodes():
    n = Nodes()
    yield n
    n.close()
