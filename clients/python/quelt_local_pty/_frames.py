"""The bridge's wire format with no I/O: output bytes in, events out; requests in, lines out.

Both APIs feed whatever their pipe read returned to one `FrameDecoder` and act on the events,
so framing, Base64 and partial lines are handled in this one place.
"""

import json
from binascii import a2b_base64, b2a_base64
from typing import List, Optional, Sequence, Union


class Data:
    """Terminal output: the decoded bytes of one or more consecutive data frames."""

    __slots__ = ("data",)

    def __init__(self, data: bytes) -> None:
        self.data = data

    def __repr__(self) -> str:
        return f"Data({self.data!r})"


class Ready:
    """The program runs."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "Ready()"


class Exit:
    """The program ended with `code` (1 when a signal ended it); more output may follow."""

    __slots__ = ("code",)

    def __init__(self, code: int) -> None:
        self.code = code

    def __repr__(self) -> str:
        return f"Exit({self.code})"


class Error:
    """The session failed; nothing follows. `message` is the bridge's text, unchanged."""

    __slots__ = ("message",)

    def __init__(self, message: str) -> None:
        self.message = message

    def __repr__(self) -> str:
        return f"Error({self.message!r})"


Event = Union[Data, Ready, Exit, Error]

# The bridge writes compact JSON with "type" first, so a data frame is exactly these bytes around
# its Base64 text. Matching them skips the JSON parser for nearly every line of a flood.
_DATA_PREFIX = b'{"type":"data","data":"'
_DATA_START = len(_DATA_PREFIX)
_DATA_SUFFIX = b'"}'
_READY = Ready()


class FrameDecoder:
    """Splits the bridge's standard output into lines and lines into events."""

    def __init__(self) -> None:
        # The start of a line whose line feed has not arrived yet.
        self._partial = b""

    def feed(self, chunk: bytes) -> List[Event]:
        """The events completed by `chunk`; consecutive data frames come as one `Data`."""
        if self._partial:
            chunk = self._partial + chunk
        last = chunk.rfind(b"\n")
        if last < 0:
            self._partial = chunk
            return []
        self._partial = chunk[last + 1:]
        events: List[Event] = []
        run: List[bytes] = []
        # Lines are found in place and Base64 decoded from a view: no copy of each line.
        view = memoryview(chunk)
        position = 0
        while position < last:
            end = chunk.index(b"\n", position)
            if chunk.startswith(_DATA_PREFIX, position) and chunk.endswith(_DATA_SUFFIX, 0, end):
                run.append(a2b_base64(view[position + _DATA_START:end - 2]))
            else:
                event = _decode_line(chunk[position:end])
                # Lines that carry nothing for the client do not cut a run of data in two.
                if isinstance(event, Data):
                    run.append(event.data)
                elif event is not None:
                    _end_run(run, events)
                    events.append(event)
            position = end + 1
        _end_run(run, events)
        return events

    def end(self) -> List[Event]:
        """The output has ended: the events of a last line without its line feed, decoded like
        any other (a bridge that died while writing it leaves such a line)."""
        return self.feed(b"\n") if self._partial else []


def _end_run(run: List[bytes], events: List[Event]) -> None:
    data = b"".join(run)
    if data:
        events.append(Data(data))
    run.clear()


def _refuse_constant(name: str) -> None:
    raise ValueError(f"{name} is not JSON")


def _not_a_frame(text: str) -> Error:
    return Error(f"bridge sent a line that is not a frame: {text[:200]}")


def _decode_line(line: bytes) -> Optional[Event]:
    # Blank is JSON's whitespace only; clients/shared/frame_decoder_cases.json pins these rules
    # for this decoder and the Node client's alike.
    if not line.strip(b" \t\r"):
        return None
    text = line.decode("utf-8", "replace")
    try:
        frame = json.loads(text, parse_constant=_refuse_constant)
    except ValueError:
        return _not_a_frame(text)
    if not isinstance(frame, dict):
        return _not_a_frame(text)
    kind = frame.get("type")
    if kind == "data":
        data = frame.get("data")
        return Data(a2b_base64(data)) if isinstance(data, str) else None
    if kind == "ready":
        return _READY
    if kind == "exit":
        code = frame.get("code")
        return Exit(code if isinstance(code, int) else 1)
    if kind == "error":
        message = frame.get("message")
        return Error(message if isinstance(message, str) else "bridge error")
    # Frame types added later are not this client's business.
    return None


def spawn_line(file: str, args: Sequence[str], cols: int, rows: int, cwd: Optional[str]) -> bytes:
    frame: dict = {"type": "spawn", "shellPath": file, "shellArgs": list(args)}
    if cwd is not None:
        frame["cwd"] = cwd
    frame["rows"] = rows
    frame["cols"] = cols
    return json.dumps(frame, separators=(",", ":")).encode("utf-8") + b"\n"


def input_line(data: bytes) -> bytes:
    return b'{"type":"input","data":"' + b2a_base64(data, newline=False) + b'"}\n'


def resize_line(cols: int, rows: int) -> bytes:
    return b'{"type":"resize","rows":%d,"cols":%d}\n' % (rows, cols)


KILL_LINE = b'{"type":"kill"}\n'
