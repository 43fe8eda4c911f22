"""No process outlives the Python process that started it, however that process ends."""

import os
import signal
import subprocess
import sys
import time

from conftest import SLOW

PARENT = r"""
import asyncio, os, sys
sys.path.insert(0, sys.argv[1])
import quelt_local_pty as qlp

async def main():
    terms = [qlp.spawn("sh", ["-c", "echo $$; exec sleep 1000"]),
             await qlp.aio.spawn("sh", ["-c", "echo $$; exec sleep 1000"])]
    programs = [terms[0].expect(rb"(\d+)\r\n").group(1).decode(),
                (await terms[1].expect(rb"(\d+)\r\n")).group(1).decode()]
    print(" ".join([str(t.bridge_pid) for t in terms] + programs), flush=True)
    await asyncio.sleep(1000)

asyncio.run(main())
"""


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def test_sigkill_of_the_parent_leaves_no_bridge_and_no_program():
    package = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parent = subprocess.Popen([sys.executable, "-c", PARENT, package], stdout=subprocess.PIPE)
    pids = [int(pid) for pid in parent.stdout.readline().split()]
    assert len(pids) == 4 and all(alive(pid) for pid in pids)
    parent.send_signal(signal.SIGKILL)
    parent.wait()
    parent.stdout.close()
    deadline = time.monotonic() + 10 * SLOW
    while any(alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert [pid for pid in pids if alive(pid)] == []
