"""Recordings of sessions in the asciicast v2 format, which players and converters read: a
header line, then one JSON array per event, [seconds since the start, code, text], with "o" for
output, "i" for input and "r" for a resize ("COLSxROWS").

Each event is written as it happens, so a flood makes the file grow, not the memory, and the
recording is never behind the session; the file is complete once the session has ended."""

import codecs
import json
import os
import shlex
import time
from typing import IO, Any, List, Mapping, Optional, Sequence, Union

RecordTarget = Union[str, "os.PathLike[str]", IO[Any]]


class Recorder:
    """Writes one session to `target`: a path (created, and closed at the end) or an open file,
    text or binary (flushed at the end, left open)."""

    def __init__(self, target: RecordTarget, cols: int, rows: int, file: str,
                 args: Sequence[str], env: Mapping[str, str]) -> None:
        if isinstance(target, (str, os.PathLike)):
            self._file: Any = open(target, "w", encoding="utf-8", newline="\n")
            self._owned = True
        elif hasattr(target, "write"):
            self._file = target
            self._owned = False
        else:
            raise TypeError(f"record must be a path or a file, got {type(target).__name__}")
        # Text files take str, binary ones (sockets' makefile, BytesIO, "wb") bytes.
        self._binary = not isinstance(target, (str, os.PathLike)) and (
            "b" in getattr(target, "mode", "") or not hasattr(target, "encoding"))
        self._decoder = codecs.getincrementaldecoder("utf-8")(errors="replace")
        self._start = time.monotonic()
        self._closed = False
        header = {
            "version": 2,
            "width": cols,
            "height": rows,
            "timestamp": int(time.time()),
            "env": {"TERM": env.get("TERM", ""), "SHELL": env.get("SHELL", "")},
            "command": shlex.join([file, *args]),
        }
        self._line(json.dumps(header))

    def output(self, data: bytes) -> None:
        text = self._decoder.decode(data)
        # A character cut by the read waits in the decoder for its end.
        if text:
            self._event("o", text)

    def input(self, data: bytes) -> None:
        self._event("i", data.decode("utf-8", errors="replace"))

    def resize(self, cols: int, rows: int) -> None:
        self._event("r", f"{cols}x{rows}")

    def end(self) -> None:
        if self._closed:
            return
        rest = self._decoder.decode(b"", final=True)
        if rest:
            self._event("o", rest)
        self._closed = True
        if self._owned:
            self._file.close()
        else:
            self._file.flush()

    def _event(self, code: str, text: str) -> None:
        if self._closed:
            return
        seconds = round(time.monotonic() - self._start, 6)
        # ASCII with escapes: json encodes that several times faster than UTF-8 text.
        self._line(json.dumps([seconds, code, text]))

    def _line(self, line: str) -> None:
        if self._binary:
            self._file.write(line.encode("utf-8") + b"\n")
        else:
            self._file.write(line + "\n")


def recording(target: Optional[RecordTarget], cols: int, rows: int, file: str,
              args: Sequence[str], env: Mapping[str, str]) -> List[Recorder]:
    """The observers that record a session into `target`: none when it is None."""
    return [] if target is None else [Recorder(target, cols, rows, file, args, env)]
