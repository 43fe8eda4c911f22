#!/usr/bin/env python3
"""`cmake --install` into a temporary prefix, then sessions with the installed programs."""

import os
import shutil
import stat
import subprocess
import unittest

import qlp_tool_testlib as lib
from qlp_tool_testlib import PATHS

INSTALLED = [
    "bin/quelt_local_pty",
    "bin/quelt-attach",
    "share/man/man1/quelt_local_pty.1",
    "share/doc/quelt_local_pty/protocol.md",
    "share/doc/quelt_local_pty/frames.schema.json",
]


class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = lib.TempDir()
        cls.prefix = os.path.join(cls.temp.__enter__(), "prefix with space")
        done = subprocess.run(["cmake", "--install", PATHS.build_dir, "--prefix", cls.prefix],
                              capture_output=True, text=True, timeout=lib.scaled(60))
        if done.returncode != 0:
            raise AssertionError("cmake --install failed:\n" + done.stdout + done.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.temp.__exit__(None, None, None)

    def installed(self, name):
        return os.path.join(self.prefix, name)

    def test_files_land_under_the_prefix(self):
        found = sorted(os.path.relpath(os.path.join(root, f), self.prefix)
                       for root, _, files in os.walk(self.prefix) for f in files)
        self.assertEqual(found, sorted(INSTALLED))
        for program in ("bin/quelt_local_pty", "bin/quelt-attach"):
            self.assertTrue(os.stat(self.installed(program)).st_mode & stat.S_IXUSR, program)

    def test_manual_page_renders_without_warnings(self):
        if shutil.which("groff") is None:
            self.skipTest("groff is not installed, so the page cannot be rendered here")
        done = subprocess.run(
            ["groff", "-man", "-Tutf8", "-ww", self.installed("share/man/man1/quelt_local_pty.1")],
            capture_output=True, text=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(done.stderr, "")
        self.assertEqual(done.returncode, 0)
        self.assertIn("quelt_local_pty", done.stdout)

    def test_installed_bridge_runs_a_session(self):
        run = lib.BridgeRun(self.installed("bin/quelt_local_pty"))
        try:
            run.send({"type": "spawn", "shellPath": "/bin/sh",
                      "shellArgs": ["-c", "echo installed-$((40+2))"]})
            frames = run.frames_until(lambda f: f["type"] == "exit")
            rest, status = run.finish()
        finally:
            run.close()
        self.assertEqual(frames[-1], {"type": "exit", "code": 0})
        self.assertIn(b"installed-42", lib.data_bytes(frames + rest))
        self.assertEqual(status, 0)

    def test_installed_attach_finds_the_bridge_beside_it(self):
        # No --bridge, and a PATH without the bridge: only the one next to the tool can serve.
        env = dict(os.environ, PATH="/usr/bin:/bin")
        proc = subprocess.Popen(
            [self.installed("bin/quelt-attach"), "/bin/sh", "-c", "echo via-attach; exit 5"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        out = proc.stdout.read()
        proc.stdin.close()
        err = proc.stderr.read()
        proc.wait(timeout=lib.scaled(20))
        proc.stdout.close()
        proc.stderr.close()
        self.assertEqual(err, b"")
        self.assertIn(b"via-attach", out)
        self.assertEqual(proc.returncode, 5)


if __name__ == "__main__":
    lib.main()
