"""The future that Node.start returns.

A started node counts as received once its result is taken from this future (awaited, or
read with result()). A node whose result nobody ever took (a future never awaited, a
wait_for whose timeout won the race, a cancellation after the node was made) is closed
quietly when the future goes, instead of being reported as a node dropped open.
"""

import asyncio


class StartFuture(asyncio.Future):
    __slots__ = ("_claim", "_awaiting")

    def result(self):
        node = super().result()
        # A task that awaits this future reads the result as it wakes, even when it is about to
        # be cancelled (a wait_for whose timeout came with the result): __await__ says whether
        # its caller got the node. Once no await is under way, whoever reads it takes it.
        if not self._awaiting:
            self._claim(node)
        return node

    def __await__(self):
        self._awaiting += 1
        try:
            node = yield from super().__await__()
        finally:
            self._awaiting -= 1  # a cancelled await leaves the node to a later result()
        self._claim(node)
        return node

    __iter__ = __await__


def carry(inner, claim):
    """A StartFuture on the loop of `inner` that takes its outcome; cancelling it cancels `inner`."""
    outer = StartFuture(loop=inner.get_loop())
    outer._claim = claim
    outer._awaiting = 0

    def settle(inner):
        if outer.cancelled():
            return
        if inner.cancelled():
            outer.cancel()
        elif (exc := inner.exception()) is not None:
            outer.set_exception(exc)
        else:
            outer.set_result(inner.result())

    def forward_cancel(outer):
        if outer.cancelled():
            inner.cancel()

    inner.add_done_callback(settle)
    outer.add_done_callback(forward_cancel)
    return outer
