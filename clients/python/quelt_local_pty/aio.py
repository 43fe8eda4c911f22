"""The asyncio API: the bridge's pipes on the event loop, no thread at all.

asyncio's own subprocess support is not used: on Linux, Python 3.9 to 3.11 start a watcher
thread per child with it. The bridge is a plain subprocess.Popen whose pipes the loop reads and
writes; the end of its output says that it is exiting, and it is reaped then by polling.
"""

import asyncio
import re
import signal
import subprocess
from types import TracebackType
from typing import List, Mapping, Optional, Sequence, Type, Union

from ._arguments import check_size, check_spawn_arguments
from ._bridge import resolve_bridge, start_bridge
from ._frames import (FEATURES, KILL_LINE, QUERY_LINE, FrameDecoder, input_line, resize_line,
                      spawn_line)
from ._keys import application_cursor, key_bytes
from ._recording import RecordTarget, recording
from ._session import (UNKNOWN, Foreground, PatternLike, SessionState, TerminalFacts,
                       check_kill_timeout, compile_pattern, foreground_from_proc, kill_group,
                       program_from_proc)

__all__ = ["Foreground", "Terminal", "spawn"]

# Output held for the application beyond this stops reading the bridge until it is consumed,
# unless a read, expect or wait is waiting for more: the pipe fills, then the bridge and the
# program block.
HIGH_WATER = 256 * 1024
# How long kill() and close() let a program outlive its hang-up before they SIGKILL it.
KILL_TIMEOUT = 5.0


class _OutputProtocol(asyncio.Protocol):
    def __init__(self, term: "Terminal") -> None:
        self._term = term

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        # Output may arrive before connect_read_pipe returns, and may already have to pause it.
        self._term._output = transport  # type: ignore[assignment]

    def data_received(self, data: bytes) -> None:
        self._term._on_output(data)

    def eof_received(self) -> Optional[bool]:
        return None

    def connection_lost(self, exc: Optional[Exception]) -> None:
        self._term._on_output_end()


class _InputProtocol(asyncio.BaseProtocol):
    def __init__(self, term: "Terminal") -> None:
        self._term = term
        self.paused = False
        self.drained: List["asyncio.Future[None]"] = []

    def pause_writing(self) -> None:
        self.paused = True

    def resume_writing(self) -> None:
        self.paused = False
        self._wake()

    def connection_lost(self, exc: Optional[Exception]) -> None:
        # A bridge that has gone away fails writes with EPIPE; its end is reported through
        # its output instead.
        self.paused = False
        self._term._input = None
        self._wake()

    def _wake(self) -> None:
        for future in self.drained:
            if not future.done():
                future.set_result(None)
        self.drained.clear()


class Terminal(TerminalFacts):
    """One program in a terminal, served by its own bridge process. Made by `spawn`."""

    def __init__(self, process: "subprocess.Popen[bytes]", cols: int, rows: int,
                 kill_timeout: float = KILL_TIMEOUT) -> None:
        self._process = process
        self._loop = asyncio.get_running_loop()
        self._decoder = FrameDecoder()
        self._state = SessionState()
        self._cols = cols
        self._rows = rows
        self._input: Optional[asyncio.WriteTransport] = None
        self._input_protocol: Optional[_InputProtocol] = None
        self._output: Optional[asyncio.ReadTransport] = None
        self._reading = True
        self._discard = False
        self._waiters: List["asyncio.Future[bool]"] = []
        self._reap_delay = 0.0005
        self._kill_timeout = kill_timeout
        self._kill_timer: Optional[asyncio.TimerHandle] = None
        self._escalations = 0
        self._queries = 0

    async def _connect(self) -> None:
        assert self._process.stdin is not None and self._process.stdout is not None
        protocol = _InputProtocol(self)
        self._input, _ = await self._loop.connect_write_pipe(lambda: protocol,
                                                             self._process.stdin)
        self._input_protocol = protocol
        await self._loop.connect_read_pipe(lambda: _OutputProtocol(self), self._process.stdout)

    async def read(self) -> bytes:
        """Output that has arrived, at least one byte; b"" once the output has ended and the
        bridge is gone."""
        while not self._state.buffer:
            if self._state.finished:
                if self._state.error is not None:
                    raise self._state.error
                return b""
            await self._changed(None)
        data = self._state.take()
        self._resume()
        return data

    def __aiter__(self) -> "Terminal":
        return self

    async def __anext__(self) -> bytes:
        data = await self.read()
        if not data:
            raise StopAsyncIteration
        return data

    async def expect(self, pattern: PatternLike,
                     timeout: Optional[float] = 30.0) -> "re.Match[bytes]":
        """The first match of `pattern` (a regular expression: bytes, str matched as UTF-8, or
        compiled) in the output not yet consumed, which is consumed up to the match's end.
        Raises TimeoutError or EOFError showing the last 200 bytes seen."""
        regex = compile_pattern(pattern)
        deadline = None if timeout is None else self._loop.time() + timeout
        while True:
            match = self._state.search(regex)
            if match is not None:
                self._resume()
                return match
            if self._state.finished:
                raise self._state.expect_failure(regex, timeout)
            remaining = None if deadline is None else deadline - self._loop.time()
            if (remaining is not None and remaining <= 0) or not await self._changed(remaining):
                raise self._state.expect_failure(regex, timeout)

    async def write(self, data: Union[bytes, str]) -> None:
        """Types `data` (str as UTF-8) into the terminal and waits until the pipe to the bridge
        has room again; dropped once the session has ended."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        elif isinstance(data, (bytearray, memoryview)):
            data = bytes(data)
        elif not isinstance(data, bytes):
            raise TypeError(f"data must be bytes or str, got {type(data).__name__}")
        if not data or self._input is None:
            return
        self._state.typed(data)
        self._input.write(input_line(data))
        protocol = self._input_protocol
        if protocol is not None and protocol.paused and self._input is not None:
            future = self._loop.create_future()
            protocol.drained.append(future)
            await future

    async def press(self, *keys: str) -> None:
        """Presses the named keys in turn ("Enter", "C-c", "Up", "M-x", "F5", a character...;
        see keys.json). Arrow, Home and End keys follow the cursor-key mode seen by an attached
        Screen. Raises ValueError naming unknown names, and then sends nothing."""
        await self.write(key_bytes(keys, application_cursor(self)))

    def resize(self, cols: int, rows: int) -> None:
        check_size(cols, "cols")
        check_size(rows, "rows")
        if self._input is None:
            return
        self._cols, self._rows = cols, rows
        self._state.resized(cols, rows)
        self._input.write(resize_line(cols, rows))

    def kill(self, signal: Union[str, int, None] = None) -> None:
        """Without `signal`, hangs the program up and ends the session: the bridge reads nothing
        after it, and a program still running `kill_timeout` seconds later is killed with its
        process group, from the event loop.

        With a signal name ("SIGTERM"; a `signal.Signals` or number is named for it), sends it
        to the program, which may survive it; the session goes on. A bridge that cannot send
        signals raises NotImplementedError."""
        if signal is not None:
            line = self._state.signal_frame(signal)
            if self._input is not None:
                self._input.write(line)
            return
        if self._input is None:
            return
        self._input.write(KILL_LINE)
        self._close_input()
        self._arm_kill()

    async def foreground(self) -> Foreground:
        """What runs in the terminal's foreground, freshly asked: `(pid, name, cwd)` of the
        foreground process group's leader, such as `(4321, "vim", "/home/me/src")`. Each is
        None when it cannot be known; all are once the terminal has been hung up (`kill`,
        `close`) or its session has ended. A bridge that cannot be asked is looked at through
        /proc (Linux)."""
        if "process" not in self._state.features:
            return UNKNOWN if self._state.finished else foreground_from_proc(self.bridge_pid)
        if self._input is None:
            return UNKNOWN
        self._queries += 1
        wanted = self._queries
        self._input.write(QUERY_LINE)
        while self._state.answers < wanted and not self._state.finished:
            await self._changed(None)
        answer = self._state.last_answer
        if self._state.answers < wanted or answer is None:
            return UNKNOWN
        return Foreground(answer.pid, answer.name, answer.cwd)

    async def wait(self) -> int:
        """The program's exit code, once every byte it wrote before it ended has been received
        (kept for `read` and `expect`). Raises BridgeError when the session failed."""
        while not self._state.finished:
            await self._changed(None)
        return self._state.result()

    async def close(self) -> None:
        """Hangs the program up (the end of the bridge's input), discards output not read and
        reaps the bridge; a program that outlives the hang-up by `kill_timeout` seconds is
        killed with its process group, as `kill` does."""
        self._close_input()
        self._discard = True
        self._state.buffer.clear()
        self._arm_kill()
        self._resume()
        while not self._state.finished:
            await self._changed(None)

    async def __aenter__(self) -> "Terminal":
        return self

    async def __aexit__(self, kind: Optional[Type[BaseException]],
                        value: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None:
        await self.close()

    def __del__(self) -> None:
        # A dropped terminal ends its bridge: the end of its input hangs the program up.
        if getattr(self, "_input", None) is not None and not self._loop.is_closed():
            self._close_input()

    # --- the loop's side ------------------------------------------------------------------

    def _on_output(self, chunk: bytes) -> None:
        if self._state.receive(self._decoder.feed(chunk)):
            self._close_input()
        if self._discard:
            self._state.buffer.clear()
        elif len(self._state.buffer) > HIGH_WATER and not self._waiters and self._reading:
            self._reading = False
            self._output.pause_reading()  # type: ignore[union-attr]
        self._wake()

    def _on_output_end(self) -> None:
        self._state.receive(self._decoder.end())
        self._output = None
        self._close_input()
        self._reap()

    def _reap(self) -> None:
        returncode = self._process.poll()
        if returncode is None:
            # The bridge closes its output by exiting: this takes a few tries at most.
            self._loop.call_later(self._reap_delay, self._reap)
            self._reap_delay = min(self._reap_delay * 2, 0.05)
            return
        self._state.finish(returncode)
        if self._kill_timer is not None:
            self._kill_timer.cancel()
            self._kill_timer = None
        self._wake()

    def _arm_kill(self) -> None:
        if self._kill_timer is None and not self._state.finished:
            self._kill_timer = self._loop.call_later(self._kill_timeout, self._escalate)

    def _escalate(self) -> None:
        """Forces the end of a program that outlived its hang-up: SIGKILL to its process group
        (it leads its own), whose end the bridge reports as usual; without its pid, or when
        even that did not end the session, SIGKILL to the bridge, whose end closes the
        terminal: the hang-up no program can ignore."""
        self._kill_timer = None
        if self._state.finished:
            return
        self._escalations += 1
        pid = self._state.program_pid
        if pid is None and self._escalations == 1:
            # An older bridge does not say; on Linux its child is found all the same, since a
            # shell that defers the hang-up until its foreground command ends would outlive
            # the bridge and the hang-up its end brings.
            pid = program_from_proc(self.bridge_pid)
        if self._escalations == 1 and pid is not None and self._state.program_exit is None:
            kill_group(pid)
            self._kill_timer = self._loop.call_later(self._kill_timeout, self._escalate)
            return
        self._state.bridge_killed_after = self._kill_timeout * self._escalations
        self._kill_bridge()

    def _kill_bridge(self) -> None:
        if self._process.returncode is None:
            try:
                self._process.send_signal(signal.SIGKILL)
            except ProcessLookupError:
                pass

    def _close_input(self) -> None:
        if self._input is not None:
            transport, self._input = self._input, None
            # Sends what is still buffered, then closes.
            transport.close()

    def _resume(self) -> None:
        if not self._reading and self._output is not None:
            self._reading = True
            self._output.resume_reading()

    def _wake(self) -> None:
        waiters, self._waiters = self._waiters, []
        for future in waiters:
            if not future.done():
                future.set_result(True)

    async def _changed(self, timeout: Optional[float], until_end: bool = False) -> bool:
        """Waits for more output or the end; False when `timeout` passed first. Reading goes on
        while anyone waits, whatever is held."""
        self._resume()
        deadline = None if timeout is None else self._loop.time() + timeout
        while True:
            future: "asyncio.Future[bool]" = self._loop.create_future()
            self._waiters.append(future)
            # A timer rather than asyncio.wait_for: a keystroke's echo waits here, and the
            # extra task would cost it tens of microseconds.
            timer = None if deadline is None else self._loop.call_at(deadline, _expire, future)
            try:
                changed = await future
            finally:
                if timer is not None:
                    timer.cancel()
            if not changed:
                return False
            if not until_end or self._state.finished:
                return True


def _expire(future: "asyncio.Future[bool]") -> None:
    if not future.done():
        future.set_result(False)


async def spawn(file: str, args: Sequence[str] = (), *, cols: int = 80, rows: int = 24,
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
        await term._connect()
        assert term._input is not None
        term._input.write(spawn_line(file, arg_list, cols, rows, cwd, FEATURES))
        while not term._state.ready:
            if term._state.error is not None or term._state.finished:
                await term.wait()  # raises the error
            await term._changed(None)
    except BaseException:
        _abandon(term)
        raise
    return term


def _abandon(term: Terminal) -> None:
    """Ends a terminal that spawn could not hand out, without awaiting: cancellation may be
    why. The bridge ends with its input and is reaped from the loop."""
    term._close_input()
    term._discard = True
    if term._output is None and term._process.stdout is not None and not term._state.finished:
        # Not connected yet: nothing will see the output end.
        term._process.stdout.close()
        if term._process.stdin is not None:
            term._process.stdin.close()
        term._reap()
    else:
        term._resume()
