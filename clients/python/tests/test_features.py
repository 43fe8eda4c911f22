"""The bridge's extensions through both APIs: the program's pid, the foreground process, the
signal that ended the program, signals that do not end the session, spawn failures that say
why, and a kill() that ends the terminal whatever the program does with its hang-up. The same
sessions through a bridge that predates the extensions show the fallbacks."""

import asyncio
import errno
import os
import signal
import stat
import time

import pytest

import quelt_local_pty as qlp

from conftest import ENV, SLOW

OLDER_BRIDGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "older_bridge.py")


class Looped:
    """An asyncio terminal driven from plain test code: its coroutines run on the test's loop,
    which therefore also runs while the blocking calls of the other API would wait."""

    def __init__(self, loop, term):
        self._loop = loop
        self._term = term

    def __getattr__(self, name):
        attribute = getattr(self._term, name)
        if not asyncio.iscoroutinefunction(attribute):
            return attribute
        return lambda *args, **kwargs: self._loop.run_until_complete(attribute(*args, **kwargs))

    def wait(self, timeout=None):
        return self._loop.run_until_complete(asyncio.wait_for(self._term.wait(), timeout))

    def read(self, timeout=None):
        return self._loop.run_until_complete(asyncio.wait_for(self._term.read(), timeout))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


@pytest.fixture(params=["blocking", "asyncio"])
def spawn(request):
    """`spawn` of one API, with the build's bridge and its environment; every terminal it made
    is closed at the end."""
    made = []
    loop = asyncio.new_event_loop() if request.param == "asyncio" else None

    def start(file, args=(), **kwargs):
        kwargs.setdefault("env", dict(ENV, QUELT_LOCAL_PTY=qlp.resolve_bridge()))
        if loop is None:
            term = qlp.spawn(file, args, **kwargs)
        else:
            term = Looped(loop, loop.run_until_complete(qlp.aio.spawn(file, args, **kwargs)))
        made.append(term)
        return term

    yield start
    for term in made:
        term.close()
    if loop is not None:
        loop.close()


@pytest.fixture(scope="module")
def features():
    """Skips a test of the extensions when the bridge under test predates them."""
    with qlp.spawn("true") as term:
        if not term._state.features:
            pytest.skip(f"{qlp.resolve_bridge()} predates the extensions")


def alive_in_session(sid):
    """The processes, zombies aside, of the session that `sid` leads."""
    found = []
    for name in os.listdir("/proc"):
        try:
            with open(f"/proc/{name}/stat") as stat_file:
                fields = stat_file.read().rsplit(")", 1)[1].split()
        except (OSError, NotADirectoryError):
            continue
        if fields[0] != "Z" and int(fields[3]) == sid:
            found.append(int(name))
    return found


def until(probe, expected, timeout=10.0):
    """probe() once it returns `expected`; fails showing its last answer."""
    deadline = time.monotonic() + timeout * SLOW
    while True:
        got = probe()
        if got == expected or time.monotonic() > deadline:
            assert got == expected
            return got
        time.sleep(0.02)


def test_pid_and_foreground_follow_the_program(features, spawn, tmp_path):
    (tmp_path / "sub").mkdir()
    term = spawn("bash", ["--norc", "--noprofile"], cwd=str(tmp_path),
                 env=dict(ENV, PS1="$$> "))
    shell = int(term.expect(rb"(\d+)> ").group(1))
    assert term.pid == shell != term.bridge_pid
    assert term.foreground() == (shell, "bash", str(tmp_path))
    term.write("cd sub && sleep 30\r")
    sleeping = until(lambda: term.foreground().name, "sleep")
    assert sleeping == "sleep"
    pid, _, cwd = term.foreground()
    assert pid != shell and cwd == str(tmp_path / "sub")
    term.write("\x03")
    until(term.foreground, (shell, "bash", str(tmp_path / "sub")))
    term.write("exit 3\r")
    assert (term.wait(10 * SLOW), term.exit_signal) == (3, None)
    # Asked once the session has ended: nothing can be known.
    assert term.foreground() == (None, None, None)


def test_signals_that_do_not_end_the_session_and_the_one_that_does(features, spawn):
    term = spawn("sh", ["-c", 'trap "echo caught TERM" TERM; echo ready; '
                              'while :; do sleep 0.05; done'])
    term.expect("ready")
    term.kill("SIGTERM")
    term.expect("caught TERM")
    term.kill(signal.SIGTERM)
    term.expect("caught TERM")
    for bad, kind in [("SIGBOGUS", ValueError), ("TERM", ValueError), (1.5, TypeError)]:
        with pytest.raises(kind):
            term.kill(bad)
    assert term.foreground().name == "sh"
    term.kill("SIGKILL")
    assert (term.wait(10 * SLOW), term.exit_signal) == (1, "SIGKILL")


def test_spawn_failures_are_the_matching_os_errors(features, spawn, tmp_path):
    plain = tmp_path / "plain"
    plain.write_text("#!/bin/sh\n")
    plain.chmod(stat.S_IRUSR | stat.S_IWUSR)
    cases = [("/nope", FileNotFoundError, "ENOENT"), (str(plain), PermissionError, "EACCES"),
             (str(tmp_path), IsADirectoryError, "EISDIR")]
    for path, kind, code in cases:
        with pytest.raises(kind) as raised:
            spawn(path)
        error = raised.value
        assert isinstance(error, qlp.BridgeError)
        assert (error.code, error.errno) == (code, getattr(errno, code))
        assert error.cause.startswith(f"Unable to spawn {path}")
        assert str(error) == f"failed to spawn shell {path}: {error.cause}"


HUP_IGNORED = "trap '' HUP; echo $$; sleep 1000"
HUP_DEFERRED = "trap 'exit 0' HUP; echo $$; sleep 1000"


@pytest.mark.parametrize("ending", ["kill", "close"])
@pytest.mark.parametrize("script", [HUP_IGNORED, HUP_DEFERRED], ids=["ignores", "defers"])
@pytest.mark.parametrize("bridge", ["features", "older"])
def test_a_hang_up_that_ends(request, spawn, bridge, script, ending):
    if bridge == "features":
        request.getfixturevalue("features")
    extra = {} if bridge == "features" else dict(bridge=OLDER_BRIDGE)
    term = spawn("sh", ["-c", script], kill_timeout=0.3, **extra)
    leader = int(term.expect(rb"(\d+)\r\n").group(1))
    until(lambda: len(alive_in_session(leader)), 2)
    started = time.monotonic()
    if ending == "kill":
        term.kill()
        assert term.wait(10 * SLOW) == 1
        assert term.exit_signal == ("SIGKILL" if bridge == "features" else None)
    else:
        term.close()
    # Ended by the escalation, not by the sleep.
    assert time.monotonic() - started < 5 * SLOW
    until(lambda: alive_in_session(leader), [], timeout=2)


def test_an_older_bridge_gets_no_new_frames_and_the_fallbacks_work(spawn, tmp_path):
    term = spawn("sh", ["-c", "echo $$; exec cat"], bridge=OLDER_BRIDGE, cwd=str(tmp_path))
    program = int(term.expect(rb"(\d+)\r\n").group(1))
    assert term.pid == term.bridge_pid != program
    # Read from /proc, since the bridge cannot be asked: a query would end its session. The
    # shell's echo comes before its exec, so the name may still be the shell's for a moment.
    until(lambda: tuple(term.foreground()), (program, "cat", str(tmp_path)), timeout=5 * SLOW)
    with pytest.raises(NotImplementedError, match="cannot send SIGTERM"):
        term.kill("SIGTERM")
    term.write("still here\r")
    term.expect("still here\r\nstill here\r\n")
    term.kill()
    assert (term.wait(10 * SLOW), term.exit_signal) == (1, None)
    with pytest.raises(qlp.BridgeError) as raised:
        spawn("/nope", bridge=OLDER_BRIDGE)
    assert not isinstance(raised.value, OSError)
    assert (str(raised.value), raised.value.code) == ("failed to spawn shell /nope", None)


def test_without_proc_an_older_bridge_is_killed_to_hang_the_terminal_up(spawn, monkeypatch):
    # As on macOS, where the program of a bridge that does not report it cannot be found.
    for api in (qlp._blocking, qlp.aio):
        monkeypatch.setattr(api, "program_from_proc", lambda bridge_pid: None)
    term = spawn("sh", ["-c", "trap '' HUP; echo $$; cat"], bridge=OLDER_BRIDGE,
                 kill_timeout=0.3)
    leader = int(term.expect(rb"(\d+)\r\n").group(1))
    term.kill()
    with pytest.raises(qlp.BridgeError, match="^the program outlived its hang-up by 0.3 s: "
                                              "its bridge was killed"):
        term.wait(10 * SLOW)
    # cat ignores SIGHUP too, but reads the terminal, whose end it sees.
    until(lambda: alive_in_session(leader), [], timeout=2)


def test_foreground_asked_during_a_flood_loses_no_output(features, spawn):
    term = spawn("sh", ["-c", "yes | head -n 200000"])
    answers = [term.foreground() for _ in range(20)]
    assert all(answer.name in ("sh", "yes", "head", None) for answer in answers)
    assert term.wait(30 * SLOW) == 0
    received = b"".join(iter(lambda: term.read(timeout=1), b""))
    assert received == b"y\r\n" * 200000
