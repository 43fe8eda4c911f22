#!/usr/bin/env python3
"""The attach tool as a person uses it: in a real terminal (tmux), typing, resizing, exiting.

Each case runs the tool in a tmux pane of its own server, from a small script that records the
outer terminal's settings (stty -g) before and after, and the tool's exit status. Cases without
a terminal check the messages of the tool's own failures.
"""

import json
import os
import re
import shlex
import signal
import subprocess
import unittest

import qlp_tool_testlib as lib
from qlp_tool_testlib import PATHS

PROMPT = "qlp$"  # lines are compared without trailing blanks


def pane_script(directory, args):
    command = " ".join(shlex.quote(a) for a in
                       [PATHS.attach, "--bridge", PATHS.bridge, "--trace", "trace.jsonl"] + args)
    return """cd %s
export SHELL=/bin/sh PS1='qlp$ ' QLP_MARK=marked
unset ENV
stty -g > before.stty
sh -c 'echo $$ > attach.pid; exec "$@"' sh %s
status=$?
echo
echo "attach-status=$status"
stty -g > after.stty
echo finished > done
exec sleep 600
""" % (shlex.quote(directory), command)


def running(command):
    """Whether a process runs with exactly this command line (ps works on Linux and macOS)."""
    listing = subprocess.run(["ps", "-A", "-o", "args="], capture_output=True, text=True).stdout
    return command in (line.strip() for line in listing.splitlines())


class AttachInTmux(unittest.TestCase):
    def setUp(self):
        self.temp = lib.TempDir()
        self.dir = self.temp.__enter__()
        self.tmux = lib.Tmux(self.dir)

    def tearDown(self):
        self.tmux.close()
        self.temp.__exit__(None, None, None)

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, args, cols=100, rows=30):
        with open(self.path("pane.sh"), "w") as f:
            f.write(pane_script(self.dir, args))
        self.tmux.start("sh " + shlex.quote(self.path("pane.sh")), cols, rows)
        return int(lib.wait_until(lambda: self.read("attach.pid").strip(), 10, "the tool's pid"))

    def read(self, name):
        try:
            with open(self.path(name)) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_for_status(self):
        lib.wait_until(lambda: self.read("done"), 20, "the tool to end")
        statuses = [line for line in self.tmux.lines() if line.startswith("attach-status=")]
        self.assertEqual(len(statuses), 1, self.tmux.lines())
        return int(statuses[0].split("=")[1])

    def assert_terminal_restored(self):
        before = self.read("before.stty")
        self.assertTrue(before)
        self.assertEqual(self.read("after.stty"), before)

    def pane_settings(self):
        with open(self.tmux.pane_tty()) as tty:
            return subprocess.run(["stty", "-g"], stdin=tty, capture_output=True, text=True,
                                  check=True).stdout

    def pane_is_raw(self):
        with open(self.tmux.pane_tty()) as tty:
            flags = subprocess.run(["stty", "-a"], stdin=tty, capture_output=True, text=True,
                                   check=True).stdout.split()
        return "-icanon" in flags and "-echo" in flags and "-isig" in flags

    def trace(self):
        validators = lib.load_validators(PATHS.schema)
        records = []
        for number, line in enumerate(self.read("trace.jsonl").splitlines(), 1):
            record = json.loads(line)
            self.assertEqual(sorted(record), ["dir", "frame", "time"], line)
            self.assertRegex(record["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")
            self.assertIn(record["dir"], ("in", "out"))
            errors = [e.message for e in validators[record["dir"]].iter_errors(record["frame"])]
            self.assertEqual(errors, [], "trace line %d: %s" % (number, line))
            records.append(record)
        return records

    def test_shell_session_types_interrupts_resizes_and_exits(self):
        self.start([])
        self.tmux.wait_for_text(PROMPT)
        self.assertTrue(self.pane_is_raw())

        # Keys reach the shell: the environment and working directory came along.
        self.tmux.type('echo "sum=$((6*7)) $QLP_MARK $(pwd)"')
        self.tmux.keys("Enter")
        self.tmux.wait_for_line("sum=42 marked " + self.dir)

        # Ctrl-C is a byte for the program, not a signal for the tool.
        self.tmux.type("sleep 31.5")
        self.tmux.keys("Enter")
        lib.wait_until(lambda: running("sleep 31.5"), 10, "sleep to run")
        self.tmux.keys("C-c")
        self.tmux.type("echo after-interrupt")
        self.tmux.keys("Enter")
        self.tmux.wait_for_line("after-interrupt")

        # The new window size reaches the program's terminal.
        self.tmux.resize(70, 20)
        self.tmux.type("stty size")
        self.tmux.keys("Enter")
        self.tmux.wait_for_line("20 70")

        self.tmux.type("exit 3")
        self.tmux.keys("Enter")
        self.assertEqual(self.wait_for_status(), 3)
        self.assert_terminal_restored()

        records = self.trace()
        sent = [r["frame"] for r in records if r["dir"] == "in"]
        spawn = sent[0]
        self.assertEqual(spawn["type"], "spawn")
        self.assertEqual(spawn["shellPath"], "/bin/sh")
        self.assertEqual(spawn["shellArgs"], [])
        self.assertEqual(spawn["cwd"], self.dir)
        self.assertEqual((spawn["rows"], spawn["cols"]), (30, 100))
        self.assertEqual(spawn["env"]["QLP_MARK"], "marked")
        self.assertIn({"type": "resize", "rows": 20, "cols": 70}, sent)
        self.assertIn({"type": "input", "data": "Aw=="}, sent)  # the Ctrl-C
        exits = [r["frame"] for r in records if r["frame"]["type"] == "exit"]
        self.assertEqual(exits, [{"type": "exit", "code": 3}])

    def test_program_and_arguments_from_the_command_line(self):
        self.start(["/bin/sh", "-c", 'printf args:; printf "%s|" "$@"; exit 7', "sh", "a b", "c"])
        self.assertEqual(self.wait_for_status(), 7)
        self.tmux.wait_for_text("args:a b|c|")
        self.assert_terminal_restored()

    def test_error_frame_is_a_message_and_a_failure(self):
        self.start(["/nonexistent/program"])
        self.assertEqual(self.wait_for_status(), 1)
        self.tmux.wait_for_line("quelt-attach: failed to spawn shell /nonexistent/program")
        self.assert_terminal_restored()
        self.assertEqual([r["frame"]["type"] for r in self.trace()], ["spawn", "error"])

    def test_termination_signal_restores_the_terminal(self):
        pid = self.start(["/bin/sh"])
        self.tmux.wait_for_text(PROMPT)
        os.kill(pid, signal.SIGTERM)
        self.assertEqual(self.wait_for_status(), 128 + signal.SIGTERM)
        self.assert_terminal_restored()

    def test_stop_gives_the_terminal_back_and_continue_takes_it_again(self):
        pid = self.start(["/bin/sh"])
        self.tmux.wait_for_text(PROMPT)
        os.kill(pid, signal.SIGTSTP)
        lib.wait_until(lambda: self.pane_settings() == self.read("before.stty"), 10,
                       "the terminal's settings back while the tool is stopped")
        os.kill(pid, signal.SIGCONT)
        lib.wait_until(self.pane_is_raw, 10, "raw mode again after SIGCONT")
        self.tmux.type("exit 4")
        self.tmux.keys("Enter")
        self.assertEqual(self.wait_for_status(), 4)
        self.assert_terminal_restored()


class AttachWithoutTerminal(unittest.TestCase):
    """The tool's own failures, and a session whose input is a pipe."""

    def run_attach(self, args, stdin=subprocess.DEVNULL):
        return subprocess.run([PATHS.attach] + args, stdin=stdin, capture_output=True,
                              timeout=lib.scaled(20))

    def test_failures_of_the_tool_itself(self):
        cases = [
            (["--bridge", "/nonexistent/bridge", "/bin/true"], 1,
             "quelt-attach: cannot start the bridge /nonexistent/bridge: "
             "No such file or directory (os error 2)\n"),
            (["--bridge", "/bin/true", "/bin/true"], 1,
             "quelt-attach: the bridge ended without an exit frame (exit status 0)\n"),
            (["--trace", "/nonexistent/dir/trace", "/bin/true"], 1,
             "quelt-attach: cannot open the trace file /nonexistent/dir/trace: "
             "No such file or directory (os error 2)\n"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                done = self.run_attach(args)
                self.assertEqual(done.stderr.decode(), message)
                self.assertEqual(done.returncode, status)

    def test_usage(self):
        done = self.run_attach(["--bogus"])
        self.assertEqual(done.returncode, 2)
        self.assertTrue(done.stderr.decode().startswith(
            "quelt-attach: unknown option --bogus\nusage: quelt-attach "), done.stderr)
        done = self.run_attach(["--help"])
        self.assertEqual(done.returncode, 0)
        self.assertTrue(done.stdout.decode().startswith("usage: quelt-attach "))

    def test_session_with_piped_input(self):
        with lib.TempDir() as directory:
            trace = os.path.join(directory, "trace.jsonl")
            proc = subprocess.Popen(
                [PATHS.attach, "--bridge", PATHS.bridge, "--trace", trace, "/bin/sh", "-c",
                 "echo piped-$((2+3)); exit 6"],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            # Input stays open until the tool has finished: its end would hang the program up.
            out = proc.stdout.read()
            proc.stdin.close()
            err = proc.stderr.read()
            proc.wait(timeout=lib.scaled(20))
            proc.stdout.close()
            proc.stderr.close()
            self.assertEqual(err, b"")
            self.assertEqual(proc.returncode, 6)
            self.assertIn(b"piped-5", out)
            with open(trace) as f:
                frames = [json.loads(line)["frame"] for line in f]
            self.assertEqual(frames[0]["type"], "spawn")
            self.assertNotIn("rows", frames[0])  # no terminal: the bridge's default size


if __name__ == "__main__":
    lib.main()
