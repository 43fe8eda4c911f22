"""What the client's benchmarks share: the checkout, the programs they run, their options, the
flood file."""

import argparse
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECKOUT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
# The client from this checkout, not an installed one.
sys.path.insert(0, os.path.dirname(HERE))

FLOOD = 'stty -opost -echo; exec cat "$0"'
ECHO = "stty raw -echo; printf R; exec cat"


def parser(rounds, mib):
    """--rounds, --mib and --bridge (default $QUELT_LOCAL_PTY or this checkout's build)."""
    parsed = argparse.ArgumentParser()
    parsed.add_argument("--rounds", type=int, default=rounds)
    parsed.add_argument("--mib", type=int, default=mib)
    parsed.add_argument("--bridge", default=os.environ.get("QUELT_LOCAL_PTY")
                        or os.path.join(CHECKOUT, "build", "quelt_local_pty"))
    return parsed


def flood_file(prefix, mib):
    """A new folder and in it flood.txt: `mib` MiB of printable text in lines of 99 characters,
    as a terminal flood usually is. Returns (folder, path, size in bytes)."""
    directory = tempfile.mkdtemp(prefix=prefix)
    path = os.path.join(directory, "flood.txt")
    size = mib * 1024 * 1024
    text = bytearray(os.urandom(size).hex().encode()[:size])
    text[99::100] = b"\n" * len(text[99::100])
    with open(path, "wb") as out:
        out.write(text)
    return directory, path, size
