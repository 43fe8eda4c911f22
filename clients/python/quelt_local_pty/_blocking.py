"""The blocking API: a terminal whose calls wait on the bridge's pipes with poll, no threads."""

import errno
import os
import re
import select
import signal
import subprocess
import time
from types import TracebackType
from typing import Mapping, Optional, Sequence, Type, Union

from ._arguments import check_size, check_spawn_arguments
from ._bridge import resolve_bridge, start_bridge
from ._frames import KILL_LINE, FrameDecoder, input_line, resize_line, spawn_line
from ._keys import application_cursor, key_bytes
from ._recording import RecordTarget, recording
from ._session import PatternLike, SessionState, TerminalFacts, compile_pattern

# One read takes what a full pipe holds.
READ_SIZE = 65536
# How long close() lets a program that ignores the hang-up keep its bridge before ending it.
CLOSE_TIMEOUT = 5.0


def _poll(read_fd: Optional[int], write_fd: Optional[int],
          timeout: Optional[float]) -> "tuple[bool, bool]":
    """Whether read_fd is readable (or at its end) and write_fd writable within timeout."""
    if hasattr(select, "poll"):
        poller = select.poll()
        if read_fd is not None:
            poller.register(read_fd, select.POLLIN)
        if write_fd is not None:
            poller.register(write_fd, select.POLLOUT)
        ms = None if timeout is None else max(0, int(timeout * 1000 + 0.999))
        ready = dict(poller.poll(ms))
        readable = read_fd is not None and read_fd in ready
        writable = write_fd is not None and write_fd in ready
        return readable, writable
    readers = [] if read_fd is None else [read_fd]
    writers = [] if write_fd is None else [write_fd]
    r, w, _ = select.select(readers, writers, [], timeout)
    return bool(r), bool(w)


def _remaining(deadline: Optional[float]) -> Optional[float]:
    return None if deadline is None else max(0.0, deadline - time.monotonic())


class Terminal(TerminalFacts):
    """One program in a terminal, served by its own bridge process. Made by `spawn`."""

    def __init__(self, process: "subprocess.Popen[bytes]", cols: int, rows: int) -> None:
        self._process = process
        assert process.stdin is not None and process.stdout is not None
        self._stdin: Optional[int] = process.stdin.fileno()
        self._stdout: Optional[int] = process.stdout.fileno()
        # Writes must not block while the bridge waits on output nobody reads (see _send).
        os.set_blocking(self._stdin, False)
        self._decoder = FrameDecoder()
        self._state = SessionState()
        self._cols = cols
        self._rows = rows

    def read(self, timeout: Optional[float] = None) -> bytes:
        """Output that has arrived, at least one byte, waiting for it up to `timeout` seconds
        (TimeoutError then); b"" once the output has ended and the bridge is gone."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._state.buffer:
            if self._state.finished:
                if self._state.error is not None:
                    raise self._state.error
                return b""
            if not self._pump(deadline):
                raise TimeoutError(f"no output within {timeout:g} s")
        return self._state.take()

    def expect(self, pattern: PatternLike, timeout: Optional[float] = 30.0) -> "re.Match[bytes]":
        """The first match of `pattern` (a regular expression: bytes, str matched as UTF-8, or
        compiled) in the output not yet consumed, which is consumed up to the match's end.
        Raises TimeoutError or EOFError showing the last 200 bytes seen."""
        regex = compile_pattern(pattern)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            match = self._state.search(regex)
            if match is not None:
                return match
            if self._state.finished or not self._pump(deadline):
                raise self._state.expect_failure(regex, timeout)

    def write(self, data: Union[bytes, str]) -> None:
        """Types `data` (str as UTF-8) into the terminal; dropped once the session has ended."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        elif isinstance(data, (bytearray, memoryview)):
            data = bytes(data)
        elif not isinstance(data, bytes):
            raise TypeError(f"data must be bytes or str, got {type(data).__name__}")
        if data and self._stdin is not None:
            self._state.typed(data)
            self._send(input_line(data))

    def press(self, *keys: str) -> None:
        """Presses the named keys in turn ("Enter", "C-c", "Up", "M-x", "F5", a character...;
        see keys.json). Arrow, Home and End keys follow the cursor-key mode seen by an attached
        Screen. Raises ValueError naming unknown names, and then sends nothing."""
        self.write(key_bytes(keys, application_cursor(self)))

    def resize(self, cols: int, rows: int) -> None:
        check_size(cols, "cols")
        check_size(rows, "rows")
        if self._stdin is None:
            return
        self._cols, self._rows = cols, rows
        self._state.resized(cols, rows)
        self._send(resize_line(cols, rows))

    def kill(self) -> None:
        """Hangs the program up and ends the session; the bridge reads nothing after it."""
        if self._stdin is None:
            return
        self._send(KILL_LINE)
        self._close_input()

    def wait(self, timeout: Optional[float] = None) -> int:
        """The program's exit code, once every byte it wrote before it ended has been received
        (kept for `read` and `expect`). Raises BridgeError when the session failed."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._state.finished:
            if not self._pump(deadline):
                raise TimeoutError(f"the program did not end within {timeout:g} s")
        return self._state.result()

    def close(self) -> None:
        """Hangs the program up (the end of the bridge's input), discards output not read and
        reaps the bridge; a bridge whose program outlives the hang-up by CLOSE_TIMEOUT seconds
        is killed."""
        self._close_input()
        deadline = time.monotonic() + CLOSE_TIMEOUT
        while not self._state.finished:
            if not self._pump(deadline):
                self._process.send_signal(signal.SIGKILL)
                deadline = None
            self._state.buffer.clear()

    def __enter__(self) -> "Terminal":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __del__(self) -> None:
        # A dropped terminal ends its bridge: the end of its input hangs the program up, and
        # subprocess reaps the bridge later.
        if getattr(self, "_stdout", None) is not None:
            self._close_input()
            self._process.stdout.close()  # type: ignore[union-attr]
            self._stdout = None

    def _pump(self, deadline: Optional[float]) -> bool:
        """Reads the bridge's output once, waiting up to `deadline`; False if nothing came."""
        assert self._stdout is not None
        # Without a deadline the read itself waits: one system call less per keystroke's echo.
        if deadline is not None and not _poll(self._stdout, None, _remaining(deadline))[0]:
            return False
        self._read_once()
        return True

    def _read_once(self) -> None:
        assert self._stdout is not None
        chunk = os.read(self._stdout, READ_SIZE)
        if chunk:
            if self._state.receive(self._decoder.feed(chunk)):
                self._close_input()
            return
        self._decoder.end()
        self._close_input()
        self._process.stdout.close()  # type: ignore[union-attr]
        self._stdout = None
        # The bridge closes its output by exiting, so this wait is short.
        self._state.finish(self._process.wait())

    def _send(self, line: bytes) -> None:
        view = memoryview(line)
        while view and self._stdin is not None:
            try:
                written = os.write(self._stdin, view)
                view = view[written:]
                continue
            except BlockingIOError:
                pass
            except OSError as error:
                # The bridge has gone: what it would have received no longer matters, and its
                # end is reported through its output.
                if error.errno not in (errno.EPIPE, errno.EBADF):
                    raise
                self._close_input()
                return
            # The bridge reads no more until its program reads, and the program may be waiting
            # for its own output to be read: keep receiving it meanwhile.
            readable, _ = _poll(self._stdout, self._stdin, None)
            if readable and self._stdout is not None:
                self._read_once()

    def _close_input(self) -> None:
        if self._stdin is None:
            return
        self._stdin = None
        try:
            self._process.stdin.close()  # type: ignore[union-attr]
        except OSError:
            pass


def spawn(file: str, args: Sequence[str] = (), *, cols: int = 80, rows: int = 24,
          cwd: Optional[str] = None, env: Optional[Mapping[str, str]] = None,
          bridge: Optional[str] = None, record: Optional[RecordTarget] = None) -> Terminal:
    """Starts `file` with `args` in a new terminal and returns once it runs. Raises BridgeError
    with the bridge's message when the program cannot be started. `record`, a path or an open
    file, receives the session in the asciicast v2 format."""
    file, arg_list, cwd, environment = check_spawn_arguments(file, args, cols, rows, cwd, env)
    path = resolve_bridge(bridge)
    # Before the spawn frame: output may come in the same read as the ready frame.
    recorders = recording(record, cols, rows, file, arg_list, environment)
    term = Terminal(start_bridge(path, environment), cols, rows)
    term._state.observers.extend(recorders)
    try:
        term._send(spawn_line(file, arg_list, cols, rows, cwd))
        while not term._state.ready:
            if term._state.error is not None or term._state.finished:
                term.wait()  # raises the error
            term._pump(None)
    except BaseException:
        term.close()
        raise
    return term
