"""Screens, named keys and recordings with real programs, each case through the blocking and
the asyncio API: one scenario body, awaited, drives either kind of terminal."""

import asyncio
import json
import os
import random
import re
import shutil
import subprocess
import sys
import time

import pyte
import pytest

import quelt_local_pty as qlp
from quelt_local_pty._keys import key_bytes
from quelt_local_pty.screen import Screen, _PyteScreen, _render, _Stream

from conftest import ENV, SLOW

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED_KEYS = os.path.join(HERE, "..", "..", "shared", "keys.json")
PACKAGE_KEYS = os.path.join(HERE, "..", "quelt_local_pty", "keys.json")


class Blocking:
    """The blocking API behind awaitable methods, so that one scenario drives both."""

    async def spawn(self, file, args=(), env=ENV, **options):
        self.term = qlp.spawn(file, list(args), env=env, **options)
        self.screen = Screen(self.term)
        return self

    async def press(self, *keys):
        self.term.press(*keys)

    async def write(self, data):
        self.term.write(data)

    async def wait_for(self, pattern, timeout=10.0):
        match = self.screen.wait_for(pattern, timeout * SLOW)
        self.check_rows()
        return match

    def check_rows(self):
        """The rows the screen re-renders where pyte marked changes are all of them rendered."""
        shown = self.screen.lines()
        screen = self.screen._screen
        assert shown == [_render(screen.buffer[y], screen.columns) for y in range(screen.lines)]

    async def idle(self, seconds=0.2):
        self.screen.wait_for_idle(seconds, 10 * SLOW)

    async def wait(self):
        return self.term.wait(10 * SLOW)

    async def close(self):
        self.term.close()


class Asyncio(Blocking):
    async def spawn(self, file, args=(), env=ENV, **options):
        self.term = await qlp.aio.spawn(file, list(args), env=env, **options)
        self.screen = Screen(self.term)
        return self

    async def press(self, *keys):
        await self.term.press(*keys)

    async def write(self, data):
        await self.term.write(data)

    async def wait_for(self, pattern, timeout=10.0):
        match = await self.screen.wait_for(pattern, timeout * SLOW)
        self.check_rows()
        return match

    async def idle(self, seconds=0.2):
        await self.screen.wait_for_idle(seconds, 10 * SLOW)

    async def wait(self):
        return await self.term.wait()

    async def close(self):
        await self.term.close()


@pytest.fixture(params=[Blocking, Asyncio], ids=["blocking", "asyncio"])
def run(request):
    """Runs `scenario(driver)` to its end, closing the terminal whatever happened."""

    def run_scenario(scenario, *args):
        driver = request.param()

        async def main():
            try:
                return await scenario(driver, *args)
            finally:
                if hasattr(driver, "term"):
                    await driver.close()

        return asyncio.run(main())

    return run_scenario


def rows(pattern_rows):
    """A pattern for whole rows in turn, from the top of the screen."""
    return re.compile(r"\A" + r"\n".join(pattern_rows), re.M)


# --- keys ---------------------------------------------------------------------------------------

def test_the_package_table_is_the_shared_one():
    with open(SHARED_KEYS, "rb") as shared, open(PACKAGE_KEYS, "rb") as package:
        assert package.read() == shared.read(), "copy clients/shared/keys.json into the package"


def test_key_table_cases_and_unknown_names():
    with open(SHARED_KEYS, encoding="utf-8") as file:
        table = json.load(file)
    for name, application, expected in table["cases"]:
        assert key_bytes([name], application) == expected.encode("utf-8"), name
    for name in table["unknown"]:
        with pytest.raises(ValueError) as error:
            key_bytes([name])
        assert repr(name) in str(error.value)
    with pytest.raises(ValueError, match=r"unknown key names: 'Foo', 'Bar'"):
        key_bytes(["Up", "Foo", "Bar"])


def test_unknown_key_sends_nothing():
    with qlp.spawn("cat", env=ENV) as term:
        with pytest.raises(ValueError, match="'Nope'"):
            term.press("a", "Nope")
        term.press("b", "Enter")
        seen = b""
        while b"b\r\n" not in seen:
            seen += term.read(timeout=10 * SLOW)
        assert b"a" not in seen


def test_without_pyte_the_import_names_the_extra():
    result = subprocess.run([sys.executable, "-c",
                             "import sys; sys.modules['pyte'] = None; import quelt_local_pty.screen"],
                            cwd=os.path.join(HERE, ".."), capture_output=True, text=True)
    assert "ImportError: quelt_local_pty.screen needs pyte" in result.stderr
    assert "quelt-local-pty[screen]" in result.stderr


# --- what pyte fails on -----------------------------------------------------------------------

def test_a_sequence_pyte_fails_on_is_skipped_and_the_screen_goes_on():
    screen = _PyteScreen(20, 3, 0)
    stream = _Stream(screen)
    # vim sends CSI ? 4 m, which pyte 0.8's select_graphic_rendition refuses; a digit that is
    # not ASCII in a parameter fails its parser itself. Split across feeds as reads split them.
    for part in ["ab\x1b[?4", "mcd\x1b[1\u00b2", "m", "ef\r\n\x1b[1mgh"]:
        stream.feed_bytes(part.encode("utf-8"))
    assert [line.rstrip() for line in screen.display] == ["abcdef", "gh", ""]
    assert len(stream.failures) == 2 and "[?4m" in stream.failures[0]


def test_fast_drawing_leaves_the_screen_pyte_would_draw():
    # Text in runs that wrap, with colours, wide and combining characters, CR, LF, backspace,
    # cursor moves, insert mode and wrapping switched off and on again.
    pieces = ["abc", "x" * 95, "\r\n", "\x1b[31;1m", "red", "\x1b[m", "日本語", "e\u0301",
              "\b", "\x1b[5;70H", "\x1b[4h", "ins", "\x1b[4l", "\x1b[?7l", "0123456789" * 5,
              "\x1b[?7h", "\x1b[2J", "\x1b[H", " tail  ", "\t", "é"]
    rng = random.Random(11)
    texts = ["".join(rng.choice(pieces) for _ in range(60)) for _ in range(30)]
    # Past the last column without wrapping, each character replaces the one before there.
    texts.append("\x1b[1;35H\x1b[?7l" + "0123456789" * 5)
    for text in texts:
        fast, plain = _PyteScreen(40, 6, 0), pyte.Screen(40, 6)
        _Stream(fast).feed(text)
        pyte.Stream(plain).feed(text)
        assert fast.display == plain.display, repr(text)
        assert [dict(fast.buffer[y]) for y in range(6)] == [dict(plain.buffer[y]) for y in range(6)]
        assert (fast.cursor.x, fast.cursor.y) == (plain.cursor.x, plain.cursor.y)


# --- programs -----------------------------------------------------------------------------------

async def bash_session(d, tmp_path):
    (tmp_path / "rc").write_text("PS1='ready> '\n")
    await d.spawn("bash", ["--rcfile", str(tmp_path / "rc"), "-i"])
    await d.wait_for("ready>")
    await d.write("printf '%s-%s\\n' ab cd")
    await d.press("Enter")
    await d.wait_for(re.compile(r"^ab-cd$", re.M))
    # The marker comes from the job itself, which is then in the foreground: a C-c typed
    # before that would reach bash instead.
    await d.write("sh -c 'echo sleep$((6*7)); exec sleep 100'")
    await d.press("Enter")
    await d.wait_for(re.compile(r"^sleep42$", re.M))
    started = time.monotonic()
    await d.press("C-c")
    await d.wait_for(re.compile(r"^sleep42\n(?:.*\n)?ready>$", re.M))
    await d.write("echo status $?")
    await d.press("Enter")
    await d.wait_for(re.compile(r"^status 130\nready>$", re.M))
    assert time.monotonic() - started < 5 * SLOW
    # On the new prompt, after its blank, below which every row is empty.
    assert d.screen.cursor == (len(d.screen.text().rstrip("\n").split("\n")) - 1, 7)
    # The rows scrolled off the top are kept, the title is the program's.
    await d.write("printf '\\033]0;%s\\007' 'my title'; seq 1 40\r")
    await d.wait_for(re.compile(r"^40\nready>$", re.M))
    assert d.screen.title == "my title"
    everything = d.screen.lines(scrollback=True)
    assert len(d.screen.lines()) == 24 and len(everything) > 40
    numbers = [row for row in everything if row.isdigit()]
    assert numbers == [str(n) for n in range(1, 41)]
    await d.write("exit 7")
    await d.press("Enter")
    assert await d.wait() == 7


def test_bash_prompt_printf_and_ctrl_c(run, tmp_path):
    run(bash_session, tmp_path)


async def vim_session(d, path):
    await d.spawn("vim", ["-u", "NONE", "-N", str(path)], cols=80, rows=24, record=str(path) + ".cast")
    await d.wait_for(rows(["line 1", "line 2"]))
    await d.press("G")
    # 23 rows of text above the command line, the last of them the file's last line.
    await d.wait_for(rows([f"line {n}" for n in range(278, 301)]))
    await d.idle()
    assert d.screen.cursor == (22, 0)
    await d.press("Up", "Up")
    await d.idle()
    assert d.screen.cursor == (20, 0)
    await d.press(":", "q", "!", "Enter")
    assert await d.wait() == 0
    # vim switched on application cursor keys, and the arrows were sent that way.
    with open(str(path) + ".cast", encoding="utf-8") as cast:
        typed = [event[2] for event in map(json.loads, list(cast)[1:]) if event[1] == "i"]
    assert typed == ["G", "\x1bOA\x1bOA", ":q!\r"]


def test_vim_jump_cursor_keys_and_quit(run, tmp_path):
    path = tmp_path / "lines.txt"
    path.write_text("".join(f"line {n}\n" for n in range(1, 301)))
    run(vim_session, path)


async def less_session(d, path):
    await d.spawn("less", [str(path)])
    await d.wait_for(rows(["entry 001"]))
    await d.press("PageDown")
    await d.wait_for(rows(["entry 024"]))
    await d.press("/", *"needle", "Enter")
    await d.wait_for(rows(["needle here"]))
    await d.press("q")
    assert await d.wait() == 0


def test_less_page_down_search_quit(run, tmp_path):
    path = tmp_path / "words.txt"
    path.write_text("".join(f"entry {n:03d}\n" for n in range(1, 301)) + "needle here\n")
    run(less_session, path)


async def top_session(d, home):
    if shutil.which("htop", path=ENV.get("PATH")):
        # htop's function-key bar sits on the last row: where it is says which size it drew.
        await d.spawn("htop", env=dict(ENV, HOME=str(home)), cols=80, rows=24)
        await d.wait_for(re.compile(r"\A(?:.*\n){23}.*F10Quit"))
        d.term.resize(120, 30)
        assert d.screen.size == (120, 30)
        await d.wait_for(re.compile(r"\A(?:.*\n){29}.*F10Quit"))
    else:
        await d.spawn("top", ["-d", "5"], cols=80, rows=24)
        await d.wait_for(re.compile(r"\Atop - .*\nTasks:"))
        d.term.resize(120, 30)
        assert d.screen.size == (120, 30)
        # Redrawn at the new size: cleared, then the header again.
        await d.idle()
        assert re.match(r"top - .*\nTasks:", d.screen.text())
    await d.press("q")
    assert await d.wait() == 0


def test_htop_or_top_header_resize_redraw(run, tmp_path):
    run(top_session, tmp_path)


# --- failures show the screen -------------------------------------------------------------------

async def timeout_and_end(d):
    await d.spawn("sh", ["-c", "printf 'shown here'; read x; printf ' and gone'"])
    await d.wait_for("shown")
    with pytest.raises(TimeoutError) as timeout:
        await d.screen.wait_for("never", 0.3) if isinstance(d, Asyncio) else \
            d.screen.wait_for("never", 0.3)
    assert "'never' not on the screen within 0.3 s" in str(timeout.value)
    assert "\nshown here\n" in str(timeout.value)
    await d.press("Enter")
    started = time.monotonic()
    with pytest.raises(EOFError) as eof:
        await d.wait_for("never", timeout=30)
    assert time.monotonic() - started < 5 * SLOW
    assert "\nshown here\n and gone\n" in str(eof.value)


def test_wait_for_timeout_and_end_show_the_screen(run):
    run(timeout_and_end)


# --- recordings ---------------------------------------------------------------------------------

def replay(path):
    """The final screen of a recording played into a fresh pyte screen, and its events."""
    with open(path, encoding="utf-8") as file:
        header = json.loads(file.readline())
        events = [json.loads(line) for line in file]
    screen = _PyteScreen(header["width"], header["height"], 0)
    stream = _Stream(screen)
    for _, code, text in events:
        if code == "o":
            stream.feed(text)
        elif code == "r":
            cols, rows = map(int, text.split("x"))
            screen.resize(rows, cols)
    return header, events, "\n".join(line.rstrip() for line in screen.display)


async def recorded_session(d, tmp_path):
    (tmp_path / "rc").write_text("PS1='rec> '\n")
    (tmp_path / "a.txt").write_text("".join(f"row {n}\n" for n in range(50)))
    cast = tmp_path / "session.cast"
    # An open binary file here (flushed, left open), a path in the flood below.
    recording = open(cast, "wb")
    await d.spawn("bash", ["--rcfile", str(tmp_path / "rc"), "-i"], cwd=str(tmp_path),
                  record=recording)
    await d.wait_for("rec>")
    await d.write("ls --color=always -a\r")
    await d.wait_for("session.cast")
    d.term.resize(90, 20)
    await d.write("vim -u NONE a.txt\r")
    await d.wait_for(rows(["row 0", "row 1"]))
    await d.press(":", "q", "!", "Enter")
    await d.wait_for(re.compile(r"^rec>$", re.M))
    await d.write("printf 'caf\\303'; printf '\\251\\n'; exit\r")
    assert await d.wait() == 0
    assert not recording.closed
    recording.close()
    header, events, replayed = replay(cast)
    assert {k: header[k] for k in ("version", "width", "height", "env")} == {
        "version": 2, "width": 80, "height": 24,
        "env": {"TERM": "xterm-256color", "SHELL": ENV.get("SHELL", "")}}
    assert header["command"].startswith("bash --rcfile ")
    assert ["r", "90x20"] in [event[1:] for event in events]
    assert [e[0] for e in events] == sorted(e[0] for e in events)
    assert "café" in replayed and "\ufffd" not in replayed
    assert replayed == d.screen.text()


def test_recording_replays_to_the_live_screen(run, tmp_path):
    run(recorded_session, tmp_path)


def rss():
    with open("/proc/self/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1)) * 1024


async def flood(d, tmp_path):
    text = "é€😀 text " * (10 * 1024 * 1024 // 18)
    (tmp_path / "flood").write_text(text, encoding="utf-8")
    cast = tmp_path / "flood.cast"
    # No Screen: the recording alone, with the output read and dropped as it comes.
    if isinstance(d, Asyncio):
        d.term = await qlp.aio.spawn("sh", ["-c", 'stty -opost; exec cat "$0"',
                                            str(tmp_path / "flood")], env=ENV, record=str(cast))
        start, peak = rss(), 0
        async for _ in d.term:
            peak = max(peak, rss())
    else:
        d.term = qlp.spawn("sh", ["-c", 'stty -opost; exec cat "$0"', str(tmp_path / "flood")],
                           env=ENV, record=str(cast))
        start, peak = rss(), 0
        for _ in iter(d.term.read, b""):
            peak = max(peak, rss())
    assert await d.wait() == 0
    assert peak - start < 8 * 1024 * 1024, f"grew by {(peak - start) >> 10} KiB"
    received = []
    with open(cast, encoding="utf-8") as file:
        json.loads(file.readline())
        for line in file:
            event = json.loads(line)
            received.append(event[2])
    assert "".join(received) == text


def test_flood_recorded_valid_json_with_flat_memory(run, tmp_path):
    run(flood, tmp_path)
