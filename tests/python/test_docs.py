"""docs/api.md against the built package: every example runs, the Config table is current."""

import asyncio
import os
import pathlib
import re
import subprocess
import sys
import time

import pytest

from conftest import local_cfg
from vennock._vennock import Node

ROOT = pathlib.Path(__file__).resolve().parents[2]
API = ROOT / "docs" / "api.md"
EXAMPLE = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def examples():
    text = API.read_text()
    found = []
    for m in EXAMPLE.finditer(text):
        line = text.count("\n", 0, m.start()) + 1
        found.append(pytest.param(m.group(1), id=f"api.md:{line}"))
    return found


def test_the_reference_has_its_examples():
    # Every example reaches the runner: each block is python (run) or text (shown only), and
    # every block is closed. Another language, or a fence left open, would hide examples.
    text = API.read_text()
    fences = re.findall(r"^```(.*)$", text, re.M)
    assert len(fences) % 2 == 0 and set(fences[1::2]) == {""}, "a code block is not closed"
    assert set(fences[0::2]) == {"python", "text"}, set(fences[0::2])
    assert len(examples()) == fences[0::2].count("python")
    # Each example checks what it prints, so one that runs but shows something else fails.
    assert all("assert " in p.values[0] for p in examples())
    # The reference names everything the package offers: its functions, classes and exceptions,
    # and every method of its classes.
    import vennock

    offered = [n for n in dir(vennock) if not n.startswith("_")]
    for cls in (vennock.Config, vennock.Node, vennock.EventSub):
        offered += [f"{cls.__name__}.{n}" for n in dir(cls) if not n.startswith("_")]
    missing = [n for n in offered if not re.search(rf"`[^`\n]*\b{re.escape(n.split('.')[-1])}\b[^`\n]*`", text)]
    assert missing == [], f"not in docs/api.md: {missing}"


@pytest.mark.parametrize("code", examples())
def test_example_runs(code, tmp_path):
    # Each example is a whole program: it runs alone, in a fresh interpreter, quietly (the
    # library's warnings on stderr would mean the example does something it should not).
    env = {**os.environ, "VENNOCK_LOG": "warn", "PYTHONPATH": os.pathsep.join(sys.path)}
    script = tmp_path / "example.py"
    script.write_text(code)
    r = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0 and r.stderr == "", f"stdout:\n{r.stdout}\nstderr:\n{r.stderr}"


def test_config_table_is_written_from_the_package():
    r = subprocess.run([sys.executable, str(ROOT / "scripts" / "api_config_table.py"), "--check"],
                       env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, capture_output=True, text=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr


def test_a_reader_task_loses_nothing_while_timeouts_fire_on_a_held_up_loop():
    """The pattern api.md recommends: one task reads without a timeout into a queue, and the
    timeouts are put on the queue. The loop is held up again and again while messages arrive
    and the timeouts pass, the case in which a timeout on the read itself drops events."""
    count = 40
    a = Node.start_blocking(local_cfg("a"), timeout=10)
    b = Node.start_blocking(local_cfg("b", [a.local_addr()]), timeout=10)

    async def reader(sub, queue):
        while (event := await sub.next()) is not None:
            queue.put_nowait(event)

    async def main():
        queue = asyncio.Queue()
        task = asyncio.create_task(reader(a.events(), queue))
        loop = asyncio.get_running_loop()

        def hold(i):
            b.send_blocking("a", 0, b"%d" % i)
            time.sleep(0.02)

        got = []
        for i in range(count):
            loop.call_later(0.001, hold, i)
            try:
                got.append(await asyncio.wait_for(queue.get(), 0.005))
            except TimeoutError:
                pass
        while len(got) < count:
            got.append(await asyncio.wait_for(queue.get(), 10))
        task.cancel()
        return got

    try:
        got = asyncio.run(main())
    finally:
        b.close_blocking()
        a.close_blocking()
    assert [e[5] for e in got] == [(b"%d" % i, False) for i in range(count)]
