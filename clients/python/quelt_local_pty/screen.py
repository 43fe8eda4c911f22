"""What a terminal shows, as text: a pyte screen that follows every byte of a terminal, and waits
for text on it or for quiet.

    from quelt_local_pty.screen import Screen
    screen = Screen(term)                  # blocking or asyncio terminal
    screen.wait_for("ready>")              # await screen.wait_for(...) on asyncio
    print(screen.text(), screen.cursor)

pyte is an optional dependency: `pip install quelt-local-pty[screen]` (Debian: python3-pyte).
"""

import codecs
import re
import time
from collections import deque
from typing import Any, Deque, Dict, List, NamedTuple, Optional, Pattern, Union

try:
    import pyte
    from pyte.modes import DECAWM, IRM
    from pyte.screens import Margins
except ImportError as _missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        "quelt_local_pty.screen needs pyte, which is not installed: "
        "pip install 'quelt-local-pty[screen]' (or pip install pyte; Debian: apt install "
        "python3-pyte)") from _missing

from ._keys import DECCKM

__all__ = ["Cursor", "Screen"]

# How much output a look at the blocking screen takes in at most before answering: a program
# that floods must not keep text() from returning.
CATCH_UP_READS = 64


class Cursor(NamedTuple):
    row: int
    col: int


def _render(line: Dict[int, Any], columns: int) -> str:
    # A wide character's second cell holds "", so joining the cells gives each character once.
    return "".join([line[x].data for x in range(columns)]).rstrip(" ")


class _Literal:
    """A text to find, searched as a regular expression and named as itself."""

    def __init__(self, regex: "Pattern[str]", text: str) -> None:
        self.search = regex.search
        self.pattern = text


class _Cells(dict):  # type: ignore[type-arg]
    """The cells of one set of attributes, by character, made on first use."""

    def __init__(self, attrs: Any) -> None:
        super().__init__()
        self._attrs = attrs

    def __missing__(self, char: str) -> Any:
        cell = self[char] = self._attrs._replace(data=char)
        return cell


class _PyteScreen(pyte.Screen):
    """A pyte screen that keeps the rows scrolled off its top, up to `scrollback` of them."""

    def __init__(self, columns: int, lines: int, scrollback: int) -> None:
        self.scrolled: Deque[Dict[int, Any]] = deque(maxlen=scrollback)
        self._cells: Dict[Any, _Cells] = {}
        super().__init__(columns, lines)

    def index(self) -> None:
        top, bottom = self.margins or Margins(0, self.lines - 1)
        # Only a scroll of the whole screen sends a row to the scrollback; a scroll region
        # (vim's, less's) moves rows that are still the program's.
        if self.cursor.y == bottom and top == 0 and bottom == self.lines - 1:
            self.scrolled.append(self.buffer[top])
        super().index()

    def draw(self, data: str) -> None:
        # pyte draws a character at a time, making a cell for each with namedtuple._replace,
        # which is most of a flood's cost. Printable ASCII outside insert mode takes one cell per
        # character and no combining: its cells are shared (they are immutable) and a row's run
        # is written at once; anything else is pyte's own.
        if not (data.isascii() and data.isprintable()) or IRM in self.mode:
            super().draw(data)
            return
        data = data.translate(self.g1_charset if self.charset else self.g0_charset)
        cursor, columns, buffer = self.cursor, self.columns, self.buffer
        cells = self._cells.get(cursor.attrs)
        if cells is None:
            if len(self._cells) > 64:
                self._cells.clear()
            cells = self._cells[cursor.attrs] = _Cells(cursor.attrs)
        start, length = 0, len(data)
        while start < length:
            if cursor.x >= columns:
                if DECAWM in self.mode:
                    self.dirty.add(cursor.y)
                    self.carriage_return()
                    self.linefeed()
                else:
                    # Without wrapping each character lands on the last column in turn.
                    buffer[cursor.y][columns - 1] = cells[data[-1]]
                    cursor.x = columns
                    break
            x = cursor.x
            run = data[start:start + columns - x]
            buffer[cursor.y].update(zip(range(x, x + len(run)), map(cells.__getitem__, run)))
            cursor.x = x + len(run)
            start += len(run)
        self.dirty.add(cursor.y)

    def erase_in_display(self, how: int = 0, *args: Any, **kwargs: Any) -> None:
        super().erase_in_display(how, *args, **kwargs)
        if how == 3:
            self.scrolled.clear()


class _Stream(pyte.Stream):
    """pyte's stream with UTF-8 decoded as a stream, and a sequence that pyte fails on skipped.

    pyte's parser is a generator: a handler that raises (pyte 0.8's select_graphic_rendition
    refuses the private form vim sends, CSI ? 4 m) ends it, and every later byte would fail
    too. Here the parser is made anew after such a failure and the screen goes on with the
    byte after the one it failed on."""

    def __init__(self, screen: _PyteScreen) -> None:
        super().__init__(screen)
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        # Sequences skipped because pyte failed on them, most recent last.
        self.failures: Deque[str] = deque(maxlen=20)
        self._tail = ""

    def feed_bytes(self, data: bytes) -> None:
        self.feed(self._decoder.decode(data))

    def feed(self, data: str) -> None:
        send = self._parser.send
        draw = self.listener.draw
        match_text = self._text_pattern.match
        taking_plain_text = self._taking_plain_text
        length = len(data)
        offset = 0
        while offset < length:
            start = offset
            try:
                while offset < length:
                    if taking_plain_text:
                        match = match_text(data, offset)
                        if match:
                            start, offset = match.span()
                            draw(data[start:offset])
                        else:
                            taking_plain_text = False
                    else:
                        # Past the byte first: if the parser fails on it, it is not sent again.
                        start = offset
                        offset += 1
                        taking_plain_text = send(data[start:offset])
            except Exception as error:  # noqa: BLE001 - any failure of pyte's is skipped
                seen = (self._tail + data[:offset])[-24:]
                self.failures.append(f"{type(error).__name__} at {seen!r}")
                # What the failed handler changed may not be marked.
                self.listener.dirty.update(range(self.listener.lines))
                self._parser = self._parser_fsm()
                taking_plain_text = next(self._parser)
                send = self._parser.send
        self._taking_plain_text = taking_plain_text
        # What a failure names comes partly from earlier feeds when a read split it.
        self._tail = (self._tail + data[-24:])[-24:]


class Screen:
    """The screen of `term` (a `quelt_local_pty.Terminal` or `quelt_local_pty.aio.Terminal`),
    following every byte from now on: the output not yet read when it is made, then all that
    arrives. Its size follows `term.resize()`.

    The screen takes the terminal's output: once it is made, `read` and `expect` on the
    terminal see none of it (the screen is what to look at), so that a terminal driven through
    its screen holds no output in memory. `wait` still returns the exit code.

    On an asyncio terminal, `wait_for` and `wait_for_idle` return awaitables; the screen is fed
    by the event loop as output arrives. On a blocking one they read the terminal themselves,
    and `text()`, `lines()`, `cursor` and `title` first take in the output already there."""

    def __init__(self, term: Any, scrollback: int = 1000) -> None:
        if getattr(term, "_screen", None) is not None:
            raise ValueError("this terminal already has a Screen")
        if not isinstance(scrollback, int) or scrollback < 0:
            raise ValueError(f"scrollback must be an int >= 0, got {scrollback!r}")
        self._term = term
        # An asyncio terminal has a loop; the blocking one reads its pipes itself.
        self._aio = hasattr(term, "_loop")
        self._screen = _PyteScreen(max(term.cols, 1), max(term.rows, 1), scrollback)
        self._stream = _Stream(self._screen)
        # The visible rows as last rendered (see _visible).
        self._rows: List[str] = []
        self.last_output = time.monotonic()
        state = term._state
        pending = state.take()
        if pending:
            self.output(pending)
        state.taken = True
        state.observers.append(self)
        term._screen = self
        if self._aio:
            # Output held beyond the high-water mark had stopped the reading; none is held now.
            term._resume()

    # --- what the screen shows --------------------------------------------------------------

    def text(self) -> str:
        """The visible rows, trailing blanks trimmed, joined with "\\n"."""
        self._catch_up()
        return "\n".join(self._visible())

    def lines(self, scrollback: bool = False) -> List[str]:
        """The visible rows, trailing blanks trimmed; with `scrollback`, the rows scrolled off
        the top first (oldest first)."""
        self._catch_up()
        rows = self._visible()
        if scrollback:
            columns = self._screen.columns
            rows = [_render(line, columns) for line in self._screen.scrolled] + rows
        return rows

    @property
    def cursor(self) -> Cursor:
        """Where the cursor is: (row, col), 0-based."""
        self._catch_up()
        return Cursor(self._screen.cursor.y, self._screen.cursor.x)

    @property
    def title(self) -> str:
        """The window title the program set (OSC 0 or 2), "" until it sets one."""
        self._catch_up()
        return self._screen.title

    @property
    def size(self) -> "tuple[int, int]":
        """(cols, rows)."""
        return self._screen.columns, self._screen.lines

    @property
    def failures(self) -> List[str]:
        """The last sequences that pyte failed on and the screen skipped (for diagnosis)."""
        return list(self._stream.failures)

    # --- waiting ------------------------------------------------------------------------------

    def wait_for(self, pattern: Union[str, "Pattern[str]"],
                 timeout: Optional[float] = 30.0) -> Any:
        """The match of `pattern` (text, or a compiled regular expression) on the visible
        screen, checked whenever output has been taken in. Raises TimeoutError, or EOFError as
        soon as the output has ended (the session's BridgeError if it failed), each showing the
        screen. Awaitable on an asyncio terminal."""
        if isinstance(pattern, str):
            regex = re.compile(re.escape(pattern))
            # Said as given in failures, not escaped.
            regex = _Literal(regex, pattern)
        elif isinstance(pattern, re.Pattern) and isinstance(pattern.pattern, str):
            regex = pattern
        else:
            raise TypeError(f"pattern must be str or a compiled str pattern, "
                            f"got {type(pattern).__name__}")
        if self._aio:
            return self._wait_for_async(regex, timeout)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            match = regex.search("\n".join(self._visible()))
            if match is not None:
                return match
            if self._term._state.finished:
                raise self._failure(regex, timeout)
            if not self._term._pump(deadline):
                raise self._failure(regex, timeout)

    async def _wait_for_async(self, regex: "Pattern[str]",
                              timeout: Optional[float]) -> "re.Match[str]":
        term = self._term
        deadline = None if timeout is None else term._loop.time() + timeout
        while True:
            match = regex.search("\n".join(self._visible()))
            if match is not None:
                return match
            if term._state.finished:
                raise self._failure(regex, timeout)
            remaining = None if deadline is None else deadline - term._loop.time()
            if (remaining is not None and remaining <= 0) or not await term._changed(remaining):
                raise self._failure(regex, timeout)

    def wait_for_idle(self, seconds: float = 0.3, timeout: Optional[float] = 30.0) -> Any:
        """Returns once no output has arrived for `seconds` (counted from the call at the
        earliest), or at once when the output has ended. Raises TimeoutError, showing the
        screen, when output keeps coming for `timeout` seconds. Awaitable on an asyncio
        terminal."""
        if seconds < 0:
            raise ValueError("seconds must be >= 0")
        if self._aio:
            return self._wait_for_idle_async(seconds, timeout)
        start = time.monotonic()
        self.last_output = max(self.last_output, start)
        end = None if timeout is None else start + timeout
        while not self._term._state.finished:
            quiet_until = self.last_output + seconds
            if end is not None and quiet_until > end:
                raise self._idle_failure(seconds, timeout)
            if not self._term._pump(quiet_until):
                return

    async def _wait_for_idle_async(self, seconds: float, timeout: Optional[float]) -> None:
        term = self._term
        start = time.monotonic()
        self.last_output = max(self.last_output, start)
        end = None if timeout is None else start + timeout
        while not term._state.finished:
            quiet_until = self.last_output + seconds
            if end is not None and quiet_until > end:
                raise self._idle_failure(seconds, timeout)
            if not await term._changed(max(0.0, quiet_until - time.monotonic())):
                if time.monotonic() >= self.last_output + seconds:
                    return

    # --- fed by the terminal ------------------------------------------------------------------

    def output(self, data: bytes) -> None:
        self.last_output = time.monotonic()
        self._stream.feed_bytes(data)

    def input(self, data: bytes) -> None:
        pass

    def resize(self, cols: int, rows: int) -> None:
        self._screen.resize(max(rows, 1), max(cols, 1))
        self._rows.clear()

    def end(self) -> None:
        pass

    # --- inside -------------------------------------------------------------------------------

    def _visible(self) -> List[str]:
        # Rows are rendered again only where pyte marked them changed: a wait checks the screen
        # after every read, and rendering all of it each time would cost more than the read.
        screen = self._screen
        buffer, columns, rows = screen.buffer, screen.columns, self._rows
        if len(rows) != screen.lines:
            rows[:] = [_render(buffer[y], columns) for y in range(screen.lines)]
        else:
            for y in screen.dirty:
                if 0 <= y < screen.lines:
                    rows[y] = _render(buffer[y], columns)
        screen.dirty.clear()
        return list(rows)

    def _application_cursor(self) -> bool:
        return DECCKM in self._screen.mode

    def _catch_up(self) -> None:
        """On a blocking terminal, takes in the output that has already arrived."""
        term = self._term
        if self._aio:
            return
        for _ in range(CATCH_UP_READS):
            if term._state.finished or not term._pump(time.monotonic()):
                return

    def _shown(self) -> str:
        cols, rows = self.size
        cursor = self._screen.cursor
        rule = "-" * min(cols, 80)
        return (f"the screen ({cols}x{rows}, cursor at row {cursor.y}, col {cursor.x}):\n"
                f"{rule}\n" + "\n".join(self._visible()) + f"\n{rule}")

    def _failure(self, regex: "Pattern[str]", timeout: Optional[float]) -> Exception:
        state = self._term._state
        if state.finished:
            if state.error is not None:
                return state.error
            return EOFError(f"the output ended before {regex.pattern!r} was on the screen; "
                            + self._shown())
        return TimeoutError(f"{regex.pattern!r} not on the screen within {timeout:g} s; "
                            + self._shown())

    def _idle_failure(self, seconds: float, timeout: Optional[float]) -> Exception:
        return TimeoutError(f"output did not pause for {seconds:g} s within {timeout:g} s; "
                            + self._shown())
