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
from ._frames import (FEATURES, KILL_LINE, QUERY_LINE, FrameDecoder, input_line, resize_line,
                      spawn_line)
from ._keys import application_cursor, key_bytes
from ._recording import RecordTarget, recording
from ._session import (UNKNOWN, Foreground, PatternLike, SessionState, TerminalFacts,
                       check_kill_timeout, compile_pattern, foreground_from_proc, kill_group,
                       program_from_proc)

# One read takes what a full pipe holds.
READ_SIZE = 65536
# How long kill() and close() let a program outlive its hang-up before they SIGKILL it.
KILL_TIMEOUT = 5.0


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

    def __init__(self, process: "subprocess.Popen[bytes]", cols: int, rows: int,
                 kill_timeout: float = KILL_TIMEOUT) -> None:
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
        self._kill_timeout = kill_timeout
        # When the hung-up program is next forced (see _escalate); None while not hung up.
        self._kill_deadline: Optional[float] = None
        self._escalations = 0
        self._queries = 0

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

    def kill(self, signal: Union[str, int, None] = None) -> None:
        """Without `signal`, hangs the program up and ends the session: the bridge reads nothing
        after it, and a program still running `kill_timeout` seconds later is killed with its
        process group while this terminal is waited on (`wait`, `read`, `expect`, `close`).

        With a signal name ("SIGTERM"; a `signal.Signals` or number is named for it), sends it
        to the program, which may survive it; the session goes on. A bridge that cannot send
        signals raises NotImplementedError."""
        if signal is not None:
            line = self._state.signal_frame(signal)
            if self._stdin is not None:
                self._send(line)
            return
        if self._stdin is None:
            return
        self._send(KILL_LINE)
        self._close_input()
        self._arm_kill()

    def foreground(self, timeout: Optional[float] = None) -> Foreground:
        """What runs in the terminal's foreground, freshly asked: `(pid, name, cwd)` of the
        foreground process group's leader, such as `(4321, "vim", "/home/me/src")`. Each is
        None when it cannot be known; all are once the terminal has been hung up (`kill`,
        `close`) or its session has ended. A bridge that cannot be asked is looked at through
        /proc (Linux)."""
        if "process" not in self._state.features:
            return UNKNOWN if self._state.finished else foreground_from_proc(self.bridge_pid)
        if self._stdin is None:
            return UNKNOWN
        self._queries += 1
        wanted = self._queries
        self._send(QUERY_LINE)
        deadline = None if timeout is None else time.monotonic() + timeout
        while self._state.answers < wanted and not self._state.finished:
            if not self._pump(deadline):
                raise TimeoutError(f"no answer about the foreground within {timeout:g} s")
        answer = self._state.last_answer
        if self._state.answers < wanted or answer is None:
            return UNKNOWN
        return Foreground(answer.pid, answer.name, answer.cwd)

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
        reaps the bridge; a program that outlives the hang-up by `kill_timeout` seconds is
        killed with its process group, as `kill` does."""
        self._close_input()
        self._arm_kill()
        while not self._state.finished:
            self._pump(None)
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
        """Reads the bridge's output once, waiting up to `deadline`; False if nothing came.
        A hung-up program that outstays its time meanwhile is killed."""
        assert self._stdout is not None
        while True:
            wake = deadline
            if self._kill_deadline is not None and (wake is None or self._kill_deadline < wake):
                wake = self._kill_deadline
            # Without a deadline the read itself waits: one system call less per keystroke's
            # echo.
            if wake is None or _poll(self._stdout, None, _remaining(wake))[0]:
                self._read_once()
                return True
            if wake is deadline:
                return False
            self._escalate()

    def _arm_kill(self) -> None:
        if self._kill_deadline is None and not self._state.finished:
            self._kill_deadline = time.monotonic() + self._kill_timeout

    def _escalate(self) -> None:
        """Forces the end of a program that outlived its hang-up: SIGKILL to its process group
        (it leads its own), whose end the bridge reports as usual; without its pid, or when
        even that did not end the session, SIGKILL to the bridge, whose end closes the
        terminal: the hang-up no program can ignore."""
        self._escalations += 1
        pid = self._state.program_pid
        if pid is None and self._escalations == 1:
            # An older bridge does not say; on Linux its child is found all the same, since a
            # shell that defers the hang-up until its foreground command ends would outlive
            # the bridge and the hang-up its end brings.
            pid = program_from_proc(self.bridge_pid)
        if self._escalations == 1 and pid is not None and self._state.program_exit is None:
            kill_group(pid)
            self._kill_deadline = time.monotonic() + self._kill_timeout
            return
        self._kill_deadline = None
        self._state.bridge_killed_after = self._kill_timeout * self._escalations
        if self._process.returncode is None:
            try:
                self._process.send_signal(signal.SIGKILL)
            except ProcessLookupError:
                pass

    def _read_once(self) -> None:
        assert self._stdout is not None
        chunk = os.read(self._stdout, READ_SIZE)
        if chunk:
            if self._state.receive(self._decoder.feed(chunk)):
                self._close_input()
            return
        self._state.receive(self._decoder.end())
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
          bridge: Optional[str] = None, kill_timeout: float = KILL_TIMEOUT,
          record: Optional[RecordTarget] = None) -> Terminal:
    """Starts `file` with `args` in a new terminal and returns once it runs. Raises BridgeError
    with the bridge's message when the program cannot be started (also the matching OSError,
    such as FileNotFoundError, when the bridge says which). `record`, a path or an open file,
    receives the session in the asciicast v2 format."""
    file, arg_list, cwd, environment = check_spawn_arguments(file, args, cols, rows, cwd, env)
    kill_timeout = check_kill_timeout(kill_timeout)
    path = resolve_bridge(bridge)
    # Before the spawn frame: output may come in the same read as the ready frame.
    recorders = recording(record, cols, rows, file, arg_list, environment)
    term = Terminal(start_bridge(path, environment), cols, rows, kill_timeout)
    term._state.observers.extend(recorders)
    try:
        term._send(spawn_line(file, arg_list, cols, rows, cwd, FEATURES))
        while not term._state.ready:
            if term._state.error is not None or term._state.finished:
                term.wait()  # raises the error
            term._pump(None)
    except BaseException:
        term.close()
        raise
    return term
