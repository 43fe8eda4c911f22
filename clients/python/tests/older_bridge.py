#!/usr/bin/env python3
"""A bridge as it was before the extensions: the bridge in $QUELT_LOCAL_PTY, run as this very
process, with `features` taken out of the spawn frame, so that it answers exactly as a bridge
that knows none would. The spawn line is read a byte at a time so that nothing after it is
taken from the pipe; a child of this process hands the bridge that line and then the rest of
the client's input, and ends with that input."""

import json
import os
import sys

line = b""
while not line.endswith(b"\n"):
    byte = os.read(0, 1)
    if not byte:
        break
    line += byte
try:
    frame = json.loads(line)
except ValueError:
    frame = None
if isinstance(frame, dict) and "features" in frame:
    del frame["features"]
    line = json.dumps(frame, separators=(",", ":")).encode() + b"\n"

read_end, write_end = os.pipe()
if os.fork() == 0:
    os.close(read_end)
    os.close(1)
    try:
        os.write(write_end, line)
        while True:
            chunk = os.read(0, 65536)
            if not chunk:
                break
            os.write(write_end, chunk)
    except OSError:
        pass
    os._exit(0)
os.close(write_end)
os.dup2(read_end, 0)
os.close(read_end)
bridge = os.environ["QUELT_LOCAL_PTY"]
os.execv(bridge, [bridge])
