#!/usr/bin/env python3
"""A relay of the bridge's own design on Python's standard library, the second baseline of the
end-to-end benchmark.

It speaks the bridge's protocol for what the benchmark uses (spawn, input, resize and kill
frames in their object form; ready, data and exit frames) and is built like the bridge: the
program runs in a terminal from pty.fork(); one pump thread turns each os.read(8192) of the
terminal into one data frame; an exit-watcher thread waits for the program and writes the exit
frame; the main thread reads input frames; every frame is written whole under one lock. It
checks less than the bridge does (no error frames: a failure ends it with status 2), since it
is measured, not used.
"""

import base64
import fcntl
import json
import os
import pty
import signal
import struct
import sys
import termios
import threading

READ_SIZE = 8192
DATA_PREFIX = b'{"type":"data","data":"'
DATA_SUFFIX = b'"}\n'

frame_lock = threading.Lock()
# Held while the program is reaped, so that a hang-up can never reach a later process that was
# given the reaped program's id.
reaping = threading.Lock()
reaped = False


def write_all(data):
    view = memoryview(data)
    while view:
        view = view[os.write(1, view):]


def emit(line):
    # A parent that went away loses the frame; the relay goes on, like the bridge.
    with frame_lock:
        try:
            write_all(line)
        except OSError:
            pass


def pump(master):
    while True:
        try:
            chunk = os.read(master, READ_SIZE)
        except OSError:
            # EIO: nobody holds the terminal's other side any more.
            return
        if not chunk:
            return
        emit(DATA_PREFIX + base64.b64encode(chunk) + DATA_SUFFIX)


def watch(pid):
    global reaped
    try:
        # Wait for the end without reaping, then reap under the lock.
        os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
        with reaping:
            _, status = os.waitpid(pid, 0)
            reaped = True
        code = os.WEXITSTATUS(status) if os.WIFEXITED(status) else 1
    except OSError:
        code = 1
    emit(b'{"type":"exit","code":%d}\n' % code)


def set_size(master, rows, cols):
    fcntl.ioctl(master, termios.TIOCSWINSZ, struct.pack("HHHH", rows, cols, 0, 0))


def frames(stream):
    for line in stream:
        if line.strip():
            yield json.loads(line)


def start(spawn):
    program = spawn["shellPath"]
    argv = [program] + list(spawn.get("shellArgs") or [])
    env = dict(os.environb)
    for key, value in (spawn.get("env") or {}).items():
        if value is None:
            env.pop(os.fsencode(key), None)
        else:
            env[os.fsencode(key)] = os.fsencode(value)
    # Closed on exec: end of file tells that the program runs, an errno that it could not start.
    report_r, report_w = os.pipe2(os.O_CLOEXEC)
    pid, master = pty.fork()
    if pid == 0:
        try:
            os.close(report_r)
            if spawn.get("cwd"):
                os.chdir(spawn["cwd"])
            signal.signal(signal.SIGPIPE, signal.SIG_DFL)
            os.execvpe(program, argv, env)
        except OSError as error:
            os.write(report_w, b"%d" % (error.errno or 1))
        os._exit(127)
    os.close(report_w)
    failed = os.read(report_r, 16)
    os.close(report_r)
    if failed:
        sys.exit("py_relay: cannot start %s: %s" % (program, os.strerror(int(failed))))
    set_size(master, spawn.get("rows") or 24, spawn.get("cols") or 80)
    return pid, master


def main():
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    stream = sys.stdin.buffer
    incoming = frames(stream)
    spawn = next(incoming, None)
    if spawn is None or spawn.get("type") != "spawn":
        sys.exit("py_relay: the first frame must be a spawn frame")
    pid, master = start(spawn)
    threading.Thread(target=pump, args=(master,), daemon=True).start()
    emit(b'{"type":"ready"}\n')
    watcher = threading.Thread(target=watch, args=(pid,), daemon=True)
    watcher.start()
    for frame in incoming:
        kind = frame.get("type")
        if kind == "input":
            write_all_to(master, base64.b64decode(frame["data"], validate=True))
        elif kind == "resize":
            set_size(master, frame["rows"], frame["cols"])
        elif kind == "kill":
            break
    hang_up(pid)
    watcher.join()
    # No frame may be cut short by the end: hold the lock until the process is gone.
    frame_lock.acquire()
    os._exit(0)


def write_all_to(fd, data):
    view = memoryview(data)
    while view:
        try:
            view = view[os.write(fd, view):]
        except OSError:
            # The program has gone and nobody reads the terminal any more.
            return


def hang_up(pid):
    with reaping:
        if not reaped:
            os.kill(pid, signal.SIGHUP)


if __name__ == "__main__":
    main()
