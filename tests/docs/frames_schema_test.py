#!/usr/bin/env python3
"""docs/frames.schema.json against real sessions, and against frames the protocol forbids.

Every line sent to and received from the bridge in a set of whole sessions (sh, cat, resize,
kill, the array form, and failing sessions) must satisfy the schema for its direction. Frames
the protocol forbids must be rejected, as far as JSON Schema can express the rule; the sessions
also send some of those to the bridge, to show that both refuse the same lines.
"""

import unittest

import qlp_tool_testlib as lib
from qlp_tool_testlib import PATHS


def b64(data):
    import base64

    return base64.b64encode(data).decode()


class SchemaCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.validators = lib.load_validators(PATHS.schema)

    def assert_valid(self, direction, line):
        self.assertEqual(lib.schema_errors(self.validators[direction], line), [],
                         "%s frame %s" % (direction, line))

    def assert_invalid(self, direction, line):
        self.assertNotEqual(lib.schema_errors(self.validators[direction], line), [],
                            "%s frame %s should be rejected" % (direction, line))


class RealSessions(SchemaCase):
    """Whole sessions through the bridge; every line both ways is checked at the end."""

    def setUp(self):
        self.runs = []
        self.expected_invalid = set()

    def tearDown(self):
        for run in self.runs:
            run.close()

    def bridge(self):
        run = lib.BridgeRun(PATHS.bridge)
        self.runs.append(run)
        return run

    def send_invalid(self, run, line):
        """Sends a line the protocol forbids; the schema must reject it as well."""
        self.expected_invalid.add(line)
        run.send(line)

    def check_lines(self):
        for run in self.runs:
            for line in run.sent:
                if line in self.expected_invalid:
                    self.assert_invalid("in", line)
                else:
                    self.assert_valid("in", line)
            for line in run.received:
                self.assert_valid("out", line)

    def test_sessions_that_end_in_order(self):
        # A program that writes and exits by itself.
        run = self.bridge()
        run.send({"type": "spawn", "shellPath": "/bin/sh",
                  "shellArgs": ["-c", "printf 'hello\\342\\202\\254'; exit 3"]})
        frames = run.frames_until(lambda f: f["type"] == "exit")
        self.assertIn({"type": "ready"}, frames)
        self.assertEqual(frames[-1], {"type": "exit", "code": 3})
        rest, status = run.finish()
        self.assertIn(b"hello\xe2\x82\xac", lib.data_bytes(frames + rest))
        self.assertEqual(status, 0)

        # cat with every optional member, input, a resize, and a kill frame.
        run = self.bridge()
        run.send({"type": "spawn", "shellPath": "cat", "shellArgs": [], "cwd": "/",
                  "env": {"QLP_SET": "1", "QLP_REMOVED": None}, "rows": 10, "cols": 40})
        run.frames_until(lambda f: f["type"] == "ready")
        run.send({"type": "input", "data": b64(b"typed line\r")})
        seen = []
        lib.wait_until(lambda: seen.extend(run.frames_until(lambda f: f["type"] == "data"))
                       or b"typed line" in lib.data_bytes(seen), 10, "the echo of the input")
        run.send({"type": "resize", "rows": 50, "cols": 132})
        run.send({"type": "input", "data": ""})
        run.send({"type": "kill", "reason": "members besides type are ignored"})
        rest, status = run.finish()
        self.assertEqual([f for f in rest if f["type"] == "exit"], [{"type": "exit", "code": 1}])
        self.assertEqual(status, 0)

        # The size the program sees, after a resize; blank lines between frames.
        run = self.bridge()
        run.send({"type": "spawn", "shellPath": "/bin/sh",
                  "shellArgs": ["-c", "read go; stty size"], "rows": 5, "cols": 20,
                  "cwd": None, "env": None})
        run.frames_until(lambda f: f["type"] == "ready")
        run.send({"cols": 33, "rows": 11, "type": "resize"})
        run.proc.stdin.write(b"\n  \r\n")
        run.send({"type": "input", "data": b64(b"go\r")})
        frames = run.frames_until(lambda f: f["type"] == "exit")
        self.assertEqual(frames[-1], {"type": "exit", "code": 0})
        rest, status = run.finish()
        self.assertIn(b"11 33", lib.data_bytes(frames + rest))
        self.assertEqual(status, 0)

        # The array form.
        run = self.bridge()
        run.send(["spawn", "/bin/cat", [], None, None, None, None])
        run.frames_until(lambda f: f["type"] == "ready")
        run.send(["resize", 30, 90])
        run.send(["input", b64(b"arr\r")])
        # Only then the kill: its hang-up may otherwise come before the terminal has echoed the
        # input, and a hung-up terminal echoes nothing.
        seen = []
        lib.wait_until(lambda: seen.extend(run.frames_until(lambda f: f["type"] == "data"))
                       or b"arr" in lib.data_bytes(seen), 10, "the echo of the array-form input")
        run.send(["kill"])
        rest, status = run.finish()
        self.assertIn(b"arr", lib.data_bytes(run_frames(run)))
        self.assertEqual(status, 0)

        self.check_lines()

    def test_sessions_with_every_feature(self):
        run = self.bridge()
        run.send({"type": "spawn", "shellPath": "/bin/sh",
                  "shellArgs": ["-c", "trap 'echo term' TERM; echo up; while :; do sleep 0.05; done"],
                  "features": ["pid", "process", "signal", "errors", "future"]})
        seen = run.frames_until(lambda f: f["type"] == "ready")
        ready = seen[-1]
        self.assertEqual(ready["features"], ["pid", "process", "signal", "errors"])
        # The trap is set once "up" has been written, which may come before the ready frame.
        lib.wait_until(lambda: b"up" in lib.data_bytes(seen)
                       or seen.extend(run.frames_until(lambda f: f["type"] == "data"))
                       or b"up" in lib.data_bytes(seen), 10, "the shell's first output")
        run.send({"type": "query"})
        answer = run.frames_until(lambda f: f["type"] == "process")[-1]
        self.assertEqual(answer["pid"], ready["pid"])
        run.send(["query"])
        run.frames_until(lambda f: f["type"] == "process")
        run.send({"type": "signal", "signal": "SIGTERM"})
        seen = []
        lib.wait_until(lambda: seen.extend(run.frames_until(lambda f: f["type"] == "data"))
                       or b"term" in lib.data_bytes(seen), 10, "the trap's output")
        run.send(["signal", "SIGKILL"])
        exit_frame = run.frames_until(lambda f: f["type"] == "exit")[-1]
        self.assertEqual(exit_frame, {"type": "exit", "code": 1, "signal": "SIGKILL"})
        run.send({"type": "query"})
        after = run.frames_until(lambda f: f["type"] == "process")[-1]
        self.assertEqual(after, {"type": "process", "pid": None, "name": None, "cwd": None})
        self.send_invalid(run, '{"type":"signal","signal":"SIGNOPE"}')
        rest, status = run.finish()
        self.assert_failed(rest, "unknown signal `SIGNOPE`, expected a signal name such as "
                                 "`SIGTERM`", status)

        run = self.bridge()
        run.send({"type": "spawn", "shellPath": "/nonexistent/program", "features": ["errors"]})
        rest, status = run.finish()
        self.assertEqual(rest, [{
            "type": "error", "message": "failed to spawn shell /nonexistent/program",
            "cause": "Unable to spawn /nonexistent/program because it doesn't exist on the "
                     "filesystem (ENOENT: No such file or directory)",
            "code": "ENOENT"}])
        self.assertEqual(status, 1)

        self.check_lines()

    def test_sessions_that_fail(self):
        cases = [
            ([], "missing spawn frame"),
            ([{"type": "resize", "rows": 24, "cols": 80}], "first frame must be spawn"),
            ([{"type": "spawn", "shellPath": "/nonexistent/program"}],
             "failed to spawn shell /nonexistent/program"),
            ([{"type": "spawn", "shellPath": "cat"}, {"type": "spawn", "shellPath": "cat"}],
             "unexpected duplicate spawn frame"),
        ]
        for frames, message in cases:
            with self.subTest(message=message):
                run = self.bridge()
                for frame in frames:
                    run.send(frame)
                rest, status = run.finish()
                self.assert_failed(rest, message, status)

        # Lines the bridge and the schema both refuse.
        refused = [
            ('{"type":"spawn"}', "missing field `shellPath`"),
            ('{"type":"spawn","shellPath":"cat","shellArgs":null}',
             "invalid type: null, expected a sequence"),
            ('{"type":"spawn","shellPath":"cat","rows":70000}',
             "invalid value: integer `70000`, expected u16"),
            ('{"type":"spawn","shellPath":"cat","env":{"A":1}}',
             "invalid type: integer `1`, expected a string"),
            ('{"type":"bogus"}', "unknown variant `bogus`, expected one of `spawn`, `input`, "
                                 "`resize`, `kill` at line 1 column 15"),
            ('["spawn","/bin/sh"]',
             "invalid length 2, expected struct variant InputFrame::Spawn with 6 elements"),
        ]
        for line, message in refused:
            with self.subTest(line=line):
                run = self.bridge()
                self.send_invalid(run, line)
                rest, status = run.finish()
                self.assertEqual(rest, [{"type": "error", "message": message}])
                self.assertEqual(status, 1)

        refused_later = [
            ('{"type":"input","data":"QQ"}', "Invalid padding"),
            ('{"type":"input","data":"QR=="}', "Invalid last symbol 82, offset 1."),
            ('{"type":"resize","rows":-1,"cols":80}', "invalid value: integer `-1`, expected u16"),
            ('{"type":"resize","rows":24}', "missing field `cols`"),
            ('["resize",24,80,1]', "invalid length 3, expected 2 elements in sequence"),
        ]
        for line, message in refused_later:
            with self.subTest(line=line):
                run = self.bridge()
                run.send({"type": "spawn", "shellPath": "cat"})
                run.frames_until(lambda f: f["type"] == "ready")
                self.send_invalid(run, line)
                rest, status = run.finish()
                self.assert_failed(rest, message, status)

        self.check_lines()

    def assert_failed(self, frames, message, status):
        """One error frame; after it, only what the pump and watcher had on their way."""
        errors = [i for i, f in enumerate(frames) if f["type"] == "error"]
        self.assertEqual(len(errors), 1, frames)
        self.assertEqual(frames[errors[0]], {"type": "error", "message": message})
        after = {f["type"] for f in frames[errors[0] + 1:]}
        self.assertLessEqual(after, {"data", "exit"}, frames)
        self.assertEqual(status, 1)


def run_frames(run):
    import json

    return [json.loads(line) for line in run.received]


class HandWrittenFrames(SchemaCase):
    """Frames written by hand: the schema's verdict where the protocol has a rule."""

    def test_valid_input_frames(self):
        for line in [
            '{"type":"spawn","shellPath":"/bin/sh"}',
            '{"shellPath":"sh","type":"spawn","shellArgs":["-l"],"cwd":"/tmp",'
            '"env":{"A":"1","B":null},"rows":0,"cols":65535,"future":[1,2]}',
            '{"type":"spawn","shellPath":"sh","cwd":null,"env":null,"rows":null,"cols":null}',
            '{"type":"input","data":""}',
            '{"type":"input","data":"SGk="}',
            '{"type":"input","data":"QQ=="}',
            '{"type":"resize","rows":24,"cols":80}',
            '{"type":"kill"}',
            '{"type":"kill","extra":{"anything":true}}',
            '["spawn","sh",["-c","true"],"/",{"A":null},24,80]',
            '["input","AAAA"]',
            '["resize",0,0]',
            '["kill"]',
            '{"type":"spawn","shellPath":"sh","features":["pid","process","signal","errors","x"]}',
            '{"type":"spawn","shellPath":"sh","features":[]}',
            '{"type":"spawn","shellPath":"sh","features":null}',
            '{"type":"signal","signal":"SIGTERM"}', '{"type":"signal","signal":"SIGRTMIN+3"}',
            '["signal","SIGKILL"]', '{"type":"query"}', '{"type":"query","extra":1}', '["query"]',
        ]:
            with self.subTest(line=line):
                self.assert_valid("in", line)

    def test_invalid_input_frames(self):
        for line in [
            '{}', '[]', '"hello"', '5', 'null',
            '{"type":"bogus"}', '{"type":5}', '{"type":"Spawn","shellPath":"sh"}',
            '{"type":"spawn"}', '{"type":"spawn","shellPath":null}',
            '{"type":"spawn","shellPath":"sh","shellArgs":null}',
            '{"type":"spawn","shellPath":"sh","shellArgs":[1]}',
            '{"type":"spawn","shellPath":"sh","cwd":5}',
            '{"type":"spawn","shellPath":"sh","env":{"A":1}}',
            '{"type":"spawn","shellPath":"sh","env":["A"]}',
            '{"type":"spawn","shellPath":"sh","rows":-1}',
            '{"type":"spawn","shellPath":"sh","cols":65536}',
            '{"type":"input"}', '{"type":"input","data":null}',
            '{"type":"input","data":"QQ"}', '{"type":"input","data":"QQ="}',
            '{"type":"input","data":"Q"}', '{"type":"input","data":"QR=="}',
            '{"type":"input","data":"QUJD\\n"}', '{"type":"input","data":"Q===" }',
            '{"type":"input","data":"QQ==QQ=="}', '{"type":"input","data":"SGk-"}',
            '{"type":"resize"}', '{"type":"resize","rows":24}',
            '{"type":"resize","rows":70000,"cols":80}', '{"type":"resize","rows":"24","cols":80}',
            '{"type":"resize","rows":null,"cols":80}', '{"type":"resize","rows":2.5,"cols":80}',
            '["spawn","/bin/sh"]', '["spawn","sh",[],null,null,null,null,null]',
            '["input"]', '["input","SGk=",1]', '["resize",24]', '["resize",24,80,1]',
            '["kill",1]', '["bogus"]',
            '{"type":"spawn","shellPath":"sh","features":"pid"}',
            '{"type":"spawn","shellPath":"sh","features":[1]}',
            '{"type":"signal"}', '{"type":"signal","signal":15}', '{"type":"signal","signal":"TERM"}',
            '["signal"]', '["signal","SIGTERM",1]', '["query",1]',
        ]:
            with self.subTest(line=line):
                self.assert_invalid("in", line)

    def test_output_frames(self):
        for line in [
            '{"type":"ready"}', '{"type":"data","data":"SGk="}',
            '{"type":"data","data":"%s"}' % ("A" * 10924),
            '{"type":"exit","code":0}', '{"type":"exit","code":4294967295}',
            '{"type":"error","message":""}', '{"type":"error","message":"a \\"b\\"\\n\\u001b"}',
            '{"type":"ready","features":[]}',
            '{"type":"ready","features":["pid","process","signal","errors"],"pid":4242}',
            '{"type":"exit","code":1,"signal":"SIGKILL"}',
            '{"type":"exit","code":1,"signal":"SIGRTMIN+2"}',
            '{"type":"error","message":"m","cause":"c","code":"ENOENT"}',
            '{"type":"error","message":"m","cause":"c"}',
            '{"type":"process","pid":7,"name":"vim","cwd":"/home/me"}',
            '{"type":"process","pid":null,"name":null,"cwd":null}',
        ]:
            with self.subTest(line=line):
                self.assert_valid("out", line)
        for line in [
            '{"type":"ready","extra":1}', '{"type":"data"}', '{"type":"data","data":""}',
            '{"type":"data","data":"%s"}' % ("A" * 10928), '{"type":"data","data":"QQ"}',
            '{"type":"exit"}', '{"type":"exit","code":-1}', '{"type":"exit","code":4294967296}',
            '{"type":"exit","code":1.5}', '{"type":"exit","code":"0"}',
            '{"type":"error"}', '{"type":"error","message":5}',
            '{"type":"input","data":"SGk="}', '["ready"]', '{"type":"spawn","shellPath":"sh"}',
            '{"type":"ready","pid":5}', '{"type":"ready","features":["later"]}',
            '{"type":"ready","features":"pid"}', '{"type":"exit","code":1,"signal":9}',
            '{"type":"error","message":"m","code":"nope"}', '{"type":"process","pid":7}',
            '{"type":"process","pid":0,"name":null,"cwd":null}',
        ]:
            with self.subTest(line=line):
                self.assert_invalid("out", line)


if __name__ == "__main__":
    lib.main()
