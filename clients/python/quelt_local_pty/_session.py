"""What both APIs know about one session, with no I/O: the output not yet consumed, how the
session ended, and what `read`, `expect` and `wait` make of that."""

import os
import re
import signal as signals
import subprocess
from typing import Any, List, NamedTuple, Optional, Pattern, Tuple, Union

from ._errors import BridgeError, bridge_error, unexpected_end
from ._frames import Data, Error, Event, Exit, Process, Ready, signal_line

PatternLike = Union[bytes, str, "Pattern[bytes]", "Pattern[str]"]

# How much of the output an expect failure shows.
TAIL = 200


def compile_pattern(pattern: PatternLike) -> "Pattern[bytes]":
    """A regular expression over the output's bytes; text patterns are matched as UTF-8."""
    if isinstance(pattern, re.Pattern):
        if isinstance(pattern.pattern, bytes):
            return pattern
        # A text pattern cannot search bytes; the same expression in UTF-8 can, and
        # re.UNICODE is implied for text but refused for bytes.
        return re.compile(pattern.pattern.encode("utf-8"), pattern.flags & ~re.UNICODE)
    if isinstance(pattern, bytes):
        return re.compile(pattern)
    if isinstance(pattern, str):
        return re.compile(pattern.encode("utf-8"))
    raise TypeError(f"pattern must be bytes, str or a compiled pattern, got {type(pattern).__name__}")


class SessionState:
    """The session as its events and its end made it."""

    def __init__(self) -> None:
        # Output received and not yet consumed by read or expect.
        self.buffer = bytearray()
        self.ready = False
        # The extensions the bridge accepted: none from a bridge that predates them.
        self.features: Tuple[str, ...] = ()
        self.program_pid: Optional[int] = None
        # From the exit frame; public only once `finished` (exit comes last).
        self.program_exit: Optional[int] = None
        self.program_signal: Optional[str] = None
        # Set when the client killed the bridge to end a program that outlived its hang-up.
        self.bridge_killed_after: Optional[float] = None
        # Answers to queries, which come in the order the queries went.
        self.answers = 0
        self.last_answer: Optional[Process] = None
        self.error: Optional[BridgeError] = None
        self.output_ended = False
        # The bridge has been reaped: everything it sent is in `buffer`.
        self.finished = False
        # Screens and recordings, which see the session as it happens: each has output(bytes),
        # input(bytes), resize(cols, rows) and end().
        self.observers: List[Any] = []
        # A screen has taken the output: it is not kept for read and expect.
        self.taken = False


    def signal_frame(self, sig: object) -> bytes:
        """The frame that sends `sig` to the program; a name the bridge would not know, or a
        bridge that predates signals, is refused before anything is sent."""
        name = signal_name(sig)
        if "signal" not in self.features:
            raise NotImplementedError(f"this bridge cannot send {name}: it predates "
                                      f"signals (only kill() without one hangs up)")
        return signal_line(name)
    def receive(self, events: List[Event]) -> bool:
        """Applies `events`; True when the bridge will read no more input (exit or error came),
        so that the caller closes it and the bridge ends once the terminal is drained."""
        stop = False
        for event in events:
            if isinstance(event, Data):
                for observer in self.observers:
                    observer.output(event.data)
                if not self.taken:
                    self.buffer += event.data
            elif isinstance(event, Ready):
                self.ready = True
                self.features = event.features or ()
                self.program_pid = event.pid
            elif isinstance(event, Exit):
                self.program_exit = event.code
                self.program_signal = event.signal
                stop = True
            elif isinstance(event, Error):
                if self.error is None:
                    self.error = bridge_error(event.message, event.cause, event.code)
                stop = True
            elif isinstance(event, Process):
                self.answers += 1
                self.last_answer = event
        return stop

    def finish(self, returncode: int) -> None:
        """The output has ended and the bridge exited with `returncode`."""
        if (self.error is None and self.program_exit is None and returncode < 0
                and self.bridge_killed_after is not None):
            self.error = BridgeError(
                f"the program outlived its hang-up by {self.bridge_killed_after:g} s: "
                f"its bridge was killed, which hung up the terminal")
        self.output_ended = True
        self.finished = True
        if self.error is None and self.program_exit is None:
            self.error = unexpected_end(returncode)
        for observer in self.observers:
            observer.end()

    def typed(self, data: bytes) -> None:
        for observer in self.observers:
            observer.input(data)

    def resized(self, cols: int, rows: int) -> None:
        for observer in self.observers:
            observer.resize(cols, rows)

    @property
    def exit_code(self) -> Optional[int]:
        return self.program_exit if self.finished and self.error is None else None

    def take(self) -> bytes:
        data = bytes(self.buffer)
        self.buffer.clear()
        return data

    def search(self, regex: "Pattern[bytes]") -> "Optional[re.Match[bytes]]":
        """A match in the unconsumed output, which is then consumed up to the match's end."""
        if not self.buffer:
            return None
        text = bytes(self.buffer)
        match = regex.search(text)
        if match is not None:
            del self.buffer[:match.end()]
        return match

    def result(self) -> int:
        """The exit code of a finished session, or its error."""
        if self.error is not None:
            raise self.error
        assert self.program_exit is not None
        return self.program_exit

    def expect_failure(self, regex: "Pattern[bytes]", timeout: Optional[float]) -> Exception:
        """The error for an expect that gave up: the session's own error first."""
        tail = bytes(self.buffer[-TAIL:])
        if self.finished:
            if self.error is not None:
                return self.error
            return EOFError(f"output ended before {regex.pattern!r} was found; "
                            f"last {len(tail)} bytes of output: {tail!r}")
        return TimeoutError(f"{regex.pattern!r} not found within {timeout:g} s; "
                            f"last {len(tail)} bytes of output: {tail!r}")


class TerminalFacts:
    """What both terminals report about themselves, from the fields each keeps."""

    _cols: int
    _rows: int
    _state: SessionState
    _process: "subprocess.Popen[bytes]"

    @property
    def cols(self) -> int:
        return self._cols

    @property
    def rows(self) -> int:
        return self._rows

    @property
    def exit_code(self) -> Optional[int]:
        """The program's exit code (1 when a signal ended it) once every byte of its output has
        been received; None until then."""
        return self._state.exit_code

    @property
    def exit_signal(self) -> Optional[str]:
        """The name of the signal that ended the program ("SIGKILL"), once `exit_code` is
        known; None when it exited by itself, and always from a bridge that does not report
        signals."""
        return self._state.program_signal if self.exit_code is not None else None

    @property
    def pid(self) -> int:
        """The program's process id, as the bridge reported it; from a bridge that does not
        report it, the bridge's own (`bridge_pid`)."""
        pid = self._state.program_pid
        return self._process.pid if pid is None else pid

    @property
    def bridge_pid(self) -> int:
        """The bridge's process id."""
        return self._process.pid


class Foreground(NamedTuple):
    """What runs in the foreground of a terminal: the process group's leader, its name and its
    working directory, each None when it cannot be known (gone, or another user's)."""

    pid: Optional[int]
    name: Optional[str]
    cwd: Optional[str]


UNKNOWN = Foreground(None, None, None)


def _program_from_proc(bridge_pid: int) -> Optional[Tuple[int, int]]:
    """The program of a bridge that does not report it, and its terminal's foreground group,
    from Linux's /proc: the bridge's child that leads a session on a terminal. Being the
    bridge's child, not yet reaped, its pid cannot have passed to another process. None on
    systems without /proc and once the program has gone."""
    try:
        with open(f"/proc/{bridge_pid}/task/{bridge_pid}/children") as children:
            pids = children.read().split()
    except OSError:
        return None
    for pid in pids:
        try:
            with open(f"/proc/{pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        # state ppid pgrp session tty_nr tpgid ...
        if fields[3] == pid and int(fields[4]) != 0:
            return int(pid), int(fields[5])
    return None


def program_from_proc(bridge_pid: int) -> Optional[int]:
    found = _program_from_proc(bridge_pid)
    return None if found is None else found[0]


def foreground_from_proc(bridge_pid: int) -> Foreground:
    """What a bridge that cannot be asked runs in the foreground, read from Linux's /proc.
    UNKNOWN on systems without /proc and once the program has gone."""
    found = _program_from_proc(bridge_pid)
    if found is None or found[1] <= 0:
        return UNKNOWN
    group = found[1]
    name: Optional[str] = None
    cwd: Optional[str] = None
    try:
        with open(f"/proc/{group}/comm") as comm:
            name = comm.read().rstrip("\n")
    except OSError:
        pass
    try:
        cwd = os.readlink(f"/proc/{group}/cwd")
    except OSError:
        pass
    return Foreground(group, name, cwd)


def signal_name(sig: object) -> str:
    """The name the bridge takes for `sig`: a name ("SIGTERM"), a `signal.Signals` or a number.
    A name the bridge would not know ends its session, so it is refused here."""
    if isinstance(sig, signals.Signals):
        return sig.name
    if isinstance(sig, int) and not isinstance(sig, bool):
        low, high = getattr(signals, "SIGRTMIN", None), getattr(signals, "SIGRTMAX", None)
        if low is not None and high is not None and low < sig <= high:
            return f"SIGRTMIN+{sig - low}"
        try:
            return signals.Signals(sig).name
        except ValueError:
            raise ValueError(f"no signal has the number {sig}") from None
    if not isinstance(sig, str):
        raise TypeError(f"signal must be a name such as 'SIGTERM', got {sig!r}")
    if re.fullmatch(r"SIGRTM(IN(\+[0-9]+)?|AX(-[0-9]+)?)", sig) or (
            sig.startswith("SIG") and isinstance(getattr(signals, sig, None), signals.Signals)):
        return sig
    raise ValueError(f"unknown signal {sig!r}, expected a name such as 'SIGTERM'")


def check_kill_timeout(value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
        raise ValueError(f"kill_timeout must be a number of seconds, 0 or more, got {value!r}")
    return float(value)


def kill_group(pgid: int) -> None:
    try:
        os.killpg(pgid, signals.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
