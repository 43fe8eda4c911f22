"""Helpers shared by the Python tests of the attach tool, the documents and the installation.

Each test script takes the same options (--bridge, --attach, --schema, --build-dir), passes the
rest to unittest, and waits against deadlines stretched by QLP_TEST_TIMEOUT_MULTIPLIER.
"""

import argparse
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import uuid

PATHS = argparse.Namespace(bridge=None, attach=None, schema=None, build_dir=None)


def main():
    parser = argparse.ArgumentParser(add_help=False)
    for name in ("--bridge", "--attach", "--schema", "--build-dir"):
        parser.add_argument(name)
    known, rest = parser.parse_known_args()
    for key, value in vars(known).items():
        setattr(PATHS, key, os.path.abspath(value) if value else None)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


def scaled(seconds):
    return seconds * float(os.environ.get("QLP_TEST_TIMEOUT_MULTIPLIER", "1") or 1)


def wait_until(predicate, seconds, what):
    """Polls `predicate` until it returns something true; fails the test at the deadline."""
    deadline = time.monotonic() + scaled(seconds)
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


# ---- JSON Schema --------------------------------------------------------------------------

def load_validators(schema_path):
    """Validators for input frames ("in") and output frames ("out") of docs/frames.schema.json."""
    import jsonschema  # Debian: python3-jsonschema

    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validators = {}
    for direction, definition in (("in", "inputFrame"), ("out", "outputFrame")):
        part = {
            "$schema": schema["$schema"],
            "$defs": schema["$defs"],
            "$ref": "#/$defs/" + definition,
        }
        validators[direction] = jsonschema.Draft202012Validator(part)
    validators["any"] = jsonschema.Draft202012Validator(schema)
    return validators


def schema_errors(validator, line):
    """The schema's complaints about one frame line; a line that is not JSON is one complaint."""
    try:
        value = json.loads(line)
    except ValueError as error:
        return ["not JSON: %s" % error]
    return [e.message for e in validator.iter_errors(value)]


# ---- Driving the bridge as a parent would -------------------------------------------------

class BridgeRun:
    """One bridge process with pipes on both ends; records every line both ways."""

    def __init__(self, bridge, env=None, cwd=None):
        self.proc = subprocess.Popen(
            [bridge], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=env, cwd=cwd)
        self.sent = []
        self.received = []
        self.input_broken = False
        self._lines = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self._lines.put(raw)
        self._lines.put(None)

    def send(self, frame):
        """Sends a frame (a dict or list, written compactly) or a raw line (a str)."""
        line = frame if isinstance(frame, str) else json.dumps(frame, separators=(",", ":"))
        self.sent.append(line)
        try:
            self.proc.stdin.write(line.encode("utf-8") + b"\n")
            self.proc.stdin.flush()
        except BrokenPipeError:
            # The bridge has ended (after an error frame, say): the frames it wrote tell why.
            self.input_broken = True

    def next_frame(self, seconds=10):
        """The next frame, or None at end of output."""
        return self._next(time.monotonic() + scaled(seconds))

    def _next(self, deadline):
        try:
            raw = self._lines.get(timeout=max(0.001, deadline - time.monotonic()))
        except queue.Empty:
            raise AssertionError("timed out waiting for a frame; got so far: %r" % self.received)
        if raw is None:
            self._lines.put(None)
            return None
        assert raw.endswith(b"\n"), "frame line without line feed: %r" % raw
        line = raw[:-1].decode("utf-8")
        self.received.append(line)
        return json.loads(line)

    def frames_until(self, predicate, seconds=10):
        """Frames up to and including the first for which `predicate` holds."""
        deadline = time.monotonic() + scaled(seconds)
        frames = []
        while True:
            frame = self._next(deadline)
            if frame is None:
                raise AssertionError("output ended before the awaited frame: %r" % frames)
            frames.append(frame)
            if predicate(frame):
                return frames

    def finish(self, seconds=10):
        """Closes the input, reads the rest of the output; returns (frames, exit status)."""
        self._close_input()
        frames = []
        while True:
            frame = self.next_frame(seconds)
            if frame is None:
                break
            frames.append(frame)
        return frames, self.proc.wait(timeout=scaled(seconds))

    def _close_input(self):
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._close_input()
        self._reader.join(timeout=scaled(5))
        self.proc.stdout.close()
        self.proc.stderr.close()


def data_bytes(frames):
    import base64

    return b"".join(base64.b64decode(f["data"]) for f in frames if f.get("type") == "data")


# ---- tmux ---------------------------------------------------------------------------------

class Tmux:
    """A tmux server of its own (its own socket), one session, killed on close."""

    def __init__(self, directory):
        self.socket = "qlp-test-%d-%s" % (os.getpid(), uuid.uuid4().hex[:8])
        self.config = os.path.join(directory, "tmux.conf")
        with open(self.config, "w") as f:
            f.write("set -g status off\nset -g default-shell /bin/sh\n"
                    "set -g history-limit 2000\n")

    def run(self, *args, check=True):
        return subprocess.run(["tmux", "-L", self.socket, "-f", self.config] + list(args),
                              check=check, capture_output=True, text=True)

    def start(self, command, cols, rows):
        self.run("new-session", "-d", "-s", "t", "-x", str(cols), "-y", str(rows), command)

    def type(self, text):
        self.run("send-keys", "-t", "t", "-l", text)

    def keys(self, *keys):
        self.run("send-keys", "-t", "t", *keys)

    def lines(self):
        screen = self.run("capture-pane", "-p", "-J", "-t", "t", "-S", "-200").stdout
        return [line.rstrip() for line in screen.splitlines()]

    def wait_for_line(self, wanted, seconds=10):
        return wait_until(lambda: wanted in self.lines(), seconds,
                          "the line %r on the screen" % wanted)

    def wait_for_text(self, wanted, seconds=10):
        return wait_until(lambda: any(wanted in line for line in self.lines()), seconds,
                          "%r on the screen" % wanted)

    def resize(self, cols, rows):
        self.run("resize-window", "-t", "t", "-x", str(cols), "-y", str(rows))

    def pane_tty(self):
        return self.run("display-message", "-p", "-t", "t", "#{pane_tty}").stdout.strip()

    def close(self):
        self.run("kill-server", check=False)


class TempDir:
    def __enter__(self):
        self.path = os.path.realpath(tempfile.mkdtemp(prefix="qlp-tools-"))
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)
