"""What both APIs know about one session, with no I/O: the output not yet consumed, how the
session ended, and what `read`, `expect` and `wait` make of that."""

import re
import subprocess
from typing import Any, List, Optional, Pattern, Union

from ._errors import BridgeError, unexpected_end
from ._frames import Data, Error, Event, Exit, Ready

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
        # From the exit frame; public only once `finished` (exit comes last).
        self.program_exit: Optional[int] = None
        self.error: Optional[BridgeError] = None
        self.output_ended = False
        # The bridge has been reaped: everything it sent is in `buffer`.
        self.finished = False
        # Screens and recordings, which see the session as it happens: each has output(bytes),
        # input(bytes), resize(cols, rows) and end().
        self.observers: List[Any] = []
        # A screen has taken the output: it is not kept for read and expect.
        self.taken = False

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
            elif isinstance(event, Exit):
                self.program_exit = event.code
                stop = True
            elif isinstance(event, Error):
                if self.error is None:
                    self.error = BridgeError(event.message)
                stop = True
        return stop

    def finish(self, returncode: int) -> None:
        """The output has ended and the bridge exited with `returncode`."""
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
    def pid(self) -> int:
        """The bridge's process id (the program's own is not reported by the bridge)."""
        return self._process.pid
