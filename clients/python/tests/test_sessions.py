"""Whole sessions through both APIs: every byte before the exit, text split across reads,
expect, many terminals at once, backpressure, and the errors an application sees."""

import asyncio
import codecs
import os
import random
import re
import signal
import threading

import pytest

import quelt_local_pty as qlp

from conftest import ENV, SLOW

QUICK = ["/bin/sh", "-c", 'exec cat "$0"']


@pytest.fixture(scope="module")
def payload(tmp_path_factory):
    """20 KiB without line feeds, which the terminal would turn into CR LF."""
    data = bytes(random.Random(7).choices(b"abcdefghijklmnopqrstuvwxyz0123456789 ", k=20480))
    path = tmp_path_factory.mktemp("payload") / "20k"
    path.write_bytes(data)
    return str(path), data


def test_every_byte_before_the_exit_blocking(payload):
    path, data = payload
    for _ in range(300):
        term = qlp.spawn(QUICK[0], [*QUICK[1:], path])
        assert term.wait() == 0
        received = b"".join(iter(term.read, b""))
        assert received == data


def test_every_byte_before_the_exit_asyncio(payload):
    path, data = payload

    async def one():
        async with await qlp.aio.spawn(QUICK[0], [*QUICK[1:], path]) as term:
            received = b"".join([chunk async for chunk in term])
            assert (received, await term.wait()) == (data, 0)

    async def main():
        for _ in range(10):
            await asyncio.gather(*[one() for _ in range(30)])
        assert threading.active_count() == 1

    asyncio.run(main())


def test_multibyte_text_decoded_incrementally(tmp_path):
    text = "".join(random.Random(3).choices("aé€😀жΩ", k=200_000))
    (tmp_path / "text").write_text(text, encoding="utf-8")
    decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
    with qlp.spawn("cat", [str(tmp_path / "text")], env=ENV) as term:
        received = "".join(decoder.decode(chunk) for chunk in iter(term.read, b""))
    received += decoder.decode(b"", final=True)
    assert "\ufffd" not in received
    assert received == text


DIALOGUE = 'printf "Name? "; read n; printf "Age? "; read a; echo "Hello $n, $a"; printf "Bye"'


def test_expect_dialogue_and_its_failures():
    with qlp.spawn("sh", ["-c", DIALOGUE]) as term:
        term.expect(b"Name\\? ")
        term.write("Ada\r")
        term.expect(re.compile("Age\\? "))
        with pytest.raises(TimeoutError) as timeout:
            term.expect("never", timeout=0.2)
        assert str(timeout.value) == ("b'never' not found within 0.2 s; "
                                      "last 0 bytes of output: b''")
        term.write("36\r")
        assert term.expect(r"Hello (\w+), (\d+)").groups() == (b"Ada", b"36")
        with pytest.raises(EOFError) as eof:
            term.expect("Ciao")
        assert str(eof.value) == ("output ended before b'Ciao' was found; "
                                  "last 5 bytes of output: b'\\r\\nBye'")


def test_expect_dialogue_asyncio_and_fifty_terminals():
    async def dialogue():
        async with await qlp.aio.spawn("sh", ["-c", DIALOGUE]) as term:
            await term.expect("Name\\? ")
            await term.write(b"Ada\r")
            await term.expect("Age\\? ")
            with pytest.raises(TimeoutError, match=r"last 0 bytes of output: b''$"):
                await term.expect("never", timeout=0.2)
            await term.write("36\r")
            assert (await term.expect(r"Hello (\w+)")).group(1) == b"Ada"

    async def echo(n):
        term = await qlp.aio.spawn("cat", env=ENV)
        await term.write(f"marker-{n}\r")
        await term.expect(f"marker-{n}\r\nmarker-{n}\r\n", timeout=30 * SLOW)
        term.kill()
        return await term.wait()

    async def main():
        await dialogue()
        assert await asyncio.gather(*[echo(n) for n in range(50)]) == [1] * 50
        assert threading.active_count() == 1

    asyncio.run(main())


def test_unread_output_holds_the_program_and_memory_stays_flat(tmp_path):
    done = tmp_path / "done"
    flood = f'head -c 64000000 /dev/zero; touch "{done}"'

    async def main():
        term = await qlp.aio.spawn("sh", ["-c", flood])
        await asyncio.sleep(1.0)
        assert not done.exists()
        assert len(term._state.buffer) <= 1 << 20
        total = 0
        async for chunk in term:
            total += len(chunk)
        assert (total, await term.wait(), done.exists()) == (64000000, 0, True)

    asyncio.run(main())


def test_errors():
    with pytest.raises(qlp.BridgeError, match="^failed to spawn shell /nope"):
        qlp.spawn("/nope")
    for bad, kind in [(dict(cols=-1), ValueError), (dict(rows=70000), ValueError),
                      (dict(cols="80"), TypeError), (dict(rows=True), TypeError),
                      (dict(args="-l"), TypeError), (dict(env={"A": 1}), TypeError),
                      (dict(cwd=3), TypeError), (dict(file=""), TypeError)]:
        kwargs = dict(dict(file="sh"), **bad)
        with pytest.raises(kind):
            qlp.spawn(kwargs.pop("file"), **kwargs)
    with pytest.raises(FileNotFoundError, match=r"looked at /no/bridge \(the bridge argument\)"):
        qlp.spawn("sh", bridge="/no/bridge")

    # A bridge that dies says so; writes, resizes and kills after the end are dropped.
    term = qlp.spawn("sleep", ["100"])
    os.kill(term.bridge_pid, signal.SIGKILL)
    with pytest.raises(qlp.BridgeError, match="^bridge ended unexpectedly: SIGKILL$"):
        term.wait()
    term.write("late")
    term.resize(10, 10)
    term.kill()

    async def asyncio_errors():
        with pytest.raises(qlp.BridgeError, match="^failed to spawn shell /nope"):
            await qlp.aio.spawn("/nope")
        term = await qlp.aio.spawn("sleep", ["100"])
        os.kill(term.bridge_pid, signal.SIGKILL)
        with pytest.raises(qlp.BridgeError, match="^bridge ended unexpectedly: SIGKILL$"):
            await term.wait()
        await term.write("late")
        term.resize(10, 10)
        term.kill()

    asyncio.run(asyncio_errors())
