"""The client against the project's C++ frame reader and against Python's pty module, in one
run, round by round in rotating order, so that every way meets the same moods of a shared
machine:

  flood   `stty -opost -echo; exec cat FILE` (printable text in lines) received through the
          blocking client, the asyncio client, the C++ reader (qlp_frame_reader) on the same
          bridge, and an os.read loop on a terminal from pty.fork() (no bridge: the in-process
          way);
  echo    one-byte keystrokes through a raw `cat`, each timed until it comes back, the same
          four ways: the three in this process taking turns keystroke by keystroke, the C++
          reader's run of its own after them;
  loss    150 programs that write 20 KiB and exit at once, read through the client and
          through pty.fork() the way its users usually read it (a buffered file object on the
          master, read to its end), and with the os.read loop.

Figures are medians over rounds; ratios are medians of per-round ratios.

  /usr/bin/python3 bench/bench.py [--rounds 7] [--mib 64] [--echo 400] [--bridge PATH]
                                  [--reader PATH]
"""

import asyncio
import json
import os
import pty
import statistics
import subprocess
import sys
import time

from _common import CHECKOUT, ECHO, FLOOD, flood_file, parser
import quelt_local_pty as qlp  # noqa: E402
from quelt_local_pty._frames import Data, FrameDecoder, spawn_line  # noqa: E402

QUICK = "head -c 20480 /dev/zero | tr '\\0' x"


def options():
    parsed = parser(rounds=7, mib=64)
    parsed.add_argument("--echo", type=int, default=400)
    parsed.add_argument("--reader", default=os.path.join(CHECKOUT, "build", "bench", "e2e",
                                                         "qlp_frame_reader"))
    return parsed.parse_args()


def measured(run):
    """(seconds, CPU seconds of this process) of run(), which must return the byte count."""
    started, cpu = time.perf_counter(), time.process_time()
    received = run()
    return received, time.perf_counter() - started, time.process_time() - cpu


def flood_blocking(bridge, path):
    term = qlp.spawn("/bin/sh", ["-c", FLOOD, path], bridge=bridge)
    received = 0
    while True:
        chunk = term.read()
        if not chunk:
            break
        received += len(chunk)
    return received


def flood_asyncio(bridge, path):
    async def main():
        term = await qlp.aio.spawn("/bin/sh", ["-c", FLOOD, path], bridge=bridge)
        received = 0
        async for chunk in term:
            received += len(chunk)
        await term.wait()
        return received
    return asyncio.run(main())


def pty_child(script, *args):
    pid, fd = pty.fork()
    if pid == 0:
        os.execv("/bin/sh", ["/bin/sh", "-c", script, *args])
    return pid, fd


def flood_pty(path):
    pid, fd = pty_child(FLOOD, path)
    received = 0
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # EIO: the terminal's other side has closed
            break
        if not chunk:
            break
        received += len(chunk)
    os.close(fd)
    os.waitpid(pid, 0)
    return received


def flood_reader(reader, bridge, path):
    out = subprocess.run([reader, bridge, "flood", path], check=True, capture_output=True,
                         text=True).stdout
    figures = json.loads(out)
    return figures["bytes"], figures["seconds"], figures["cpuMs"] / 1000


class EchoBlocking:
    def __init__(self, bridge):
        self.term = qlp.spawn("/bin/sh", ["-c", ECHO], bridge=bridge)
        self.term.expect(b"R")

    def once(self, byte):
        started = time.perf_counter()
        self.term.write(byte)
        back = self.term.read()
        elapsed = time.perf_counter() - started
        assert back == byte, back
        return elapsed

    def close(self):
        self.term.close()


class EchoAsyncio:
    def __init__(self, bridge):
        self.loop = asyncio.new_event_loop()
        self.term = self.loop.run_until_complete(self._start(bridge))

    async def _start(self, bridge):
        term = await qlp.aio.spawn("/bin/sh", ["-c", ECHO], bridge=bridge)
        await term.expect(b"R")
        return term

    async def _once(self, byte):
        started = time.perf_counter()
        await self.term.write(byte)
        back = await self.term.read()
        elapsed = time.perf_counter() - started
        assert back == byte, back
        return elapsed

    def once(self, byte):
        return self.loop.run_until_complete(self._once(byte))

    def close(self):
        self.loop.run_until_complete(self.term.close())
        self.loop.close()


class EchoPty:
    def __init__(self):
        self.pid, self.fd = pty_child(ECHO)
        while not os.read(self.fd, 1024).endswith(b"R"):
            pass

    def once(self, byte):
        started = time.perf_counter()
        os.write(self.fd, byte)
        back = os.read(self.fd, 1024)
        elapsed = time.perf_counter() - started
        assert back == byte, back
        return elapsed

    def close(self):
        os.close(self.fd)
        os.waitpid(self.pid, 0)


def echo_interleaved(bridge, count, order):
    """The in-process ways take turns keystroke by keystroke, so that each keystroke of one
    meets the same machine as the same keystroke of the others."""
    makers = {"blocking": lambda: EchoBlocking(bridge), "asyncio": lambda: EchoAsyncio(bridge),
              "pty": EchoPty}
    sessions = {way: makers[way]() for way in order}
    times = {way: [] for way in order}
    for i in range(count):
        byte = bytes([97 + i % 26])
        for way in order:
            times[way].append(sessions[way].once(byte))
    for session in sessions.values():
        session.close()
    return times


def echo_reader(reader, bridge, count):
    out = subprocess.run([reader, bridge, "echo", str(count)], check=True,
                         capture_output=True, text=True).stdout
    return [us / 1e6 for us in json.loads(out)["microseconds"]]


def short_via_client(bridge, count):
    short = 0
    for _ in range(count):
        term = qlp.spawn("/bin/sh", ["-c", QUICK], bridge=bridge)
        term.wait()
        short += len(b"".join(iter(term.read, b""))) < 20480
    return short


def short_via_client_asyncio(bridge, count):
    async def one():
        term = await qlp.aio.spawn("/bin/sh", ["-c", QUICK], bridge=bridge)
        received = b"".join([chunk async for chunk in term])
        await term.wait()
        return len(received) < 20480

    async def main():
        return sum([await one() for _ in range(count)])
    return asyncio.run(main())


def short_via_pty(count, buffered):
    short = 0
    for _ in range(count):
        pid, fd = pty_child(QUICK)
        received = 0
        if buffered:
            master = os.fdopen(fd, "rb")
            try:
                received = len(master.read())
            except OSError:  # EIO at the end; what the buffer held is gone with it
                pass
            master.close()
        else:
            while True:
                try:
                    chunk = os.read(fd, 65536)
                except OSError:
                    break
                if not chunk:
                    break
                received += len(chunk)
            os.close(fd)
        os.waitpid(pid, 0)
        short += received < 20480
    return short


def recorded_output(bridge, path):
    """The bridge's output of one flood, as the reads returned it, for timing the decoder."""
    process = subprocess.Popen([bridge], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    process.stdin.write(spawn_line("/bin/sh", ["-c", FLOOD, path], 80, 24, None))
    process.stdin.flush()
    chunks, tail = [], b""
    while True:
        chunk = os.read(process.stdout.fileno(), 65536)
        if not chunk:
            break
        chunks.append(chunk)
        if b'{"type":"exit"' in tail + chunk[:20] or b'{"type":"exit"' in chunk:
            process.stdin.close()
        tail = chunk[-20:]
    process.wait()
    return chunks


def decode_only(chunks):
    decoder = FrameDecoder()
    started = time.process_time()
    received = 0
    for chunk in chunks:
        for event in decoder.feed(chunk):
            if isinstance(event, Data):
                received += len(event.data)
    return received, time.process_time() - started


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    opts = options()
    for needed in (opts.bridge, opts.reader):
        if not os.path.exists(needed):
            sys.exit(f"{needed} not found: build the tree first "
                     "(cmake --build build --target quelt_local_pty qlp_frame_reader)")
    directory, path, size = flood_file("qlp-python-bench-", opts.mib)
    mib = size / (1024 * 1024)

    floods = {
        "blocking": lambda: measured(lambda: flood_blocking(opts.bridge, path)),
        "asyncio": lambda: measured(lambda: flood_asyncio(opts.bridge, path)),
        "reader": lambda: flood_reader(opts.reader, opts.bridge, path),
        "pty": lambda: measured(lambda: flood_pty(path)),
    }
    ways = list(floods)
    rate = {w: [] for w in ways}
    cpu = {w: [] for w in ways}
    p50 = {w: [] for w in ways}
    p99 = {w: [] for w in ways}
    for round_ in range(opts.rounds):
        order = ways[round_ % len(ways):] + ways[:round_ % len(ways)]
        for way in order:
            received, seconds, cpu_seconds = floods[way]()
            if received != size:
                sys.exit(f"flood {way}: received {received} of {size} bytes")
            rate[way].append(mib / seconds)
            cpu[way].append(cpu_seconds * 1000 / mib)
        echoes = echo_interleaved(opts.bridge, opts.echo, [w for w in order if w != "reader"])
        echoes["reader"] = echo_reader(opts.reader, opts.bridge, opts.echo)
        for way in ways:
            p50[way].append(percentile(echoes[way], 0.5) * 1e6)
            p99[way].append(percentile(echoes[way], 0.99) * 1e6)
        print(f"round {round_ + 1}: " + ", ".join(
            f"{w} {rate[w][-1]:.1f} MiB/s {p50[w][-1]:.0f} us" for w in ways),
            file=sys.stderr, flush=True)
    chunks = recorded_output(opts.bridge, path)
    decoding = []
    for _ in range(opts.rounds):
        received, seconds = decode_only(chunks)
        if received != size:
            sys.exit(f"decoding the recorded flood gave {received} of {size} bytes")
        decoding.append(seconds * 1000 / mib)
    del chunks
    losses = 150
    short = {"client": short_via_client(opts.bridge, losses),
             "client-asyncio": short_via_client_asyncio(opts.bridge, losses),
             "buffered": short_via_pty(losses, True),
             "loop": short_via_pty(losses, False)}
    os.remove(path)
    os.rmdir(directory)

    def med(values):
        return statistics.median(values)

    def ratio(a, b):
        return med([x / y for x, y in zip(a, b)])

    rows = [
        ("Flood throughput (MiB/s): blocking client / C++ reader", med(rate["blocking"]),
         med(rate["reader"]), ratio(rate["blocking"], rate["reader"]), ">= 0.8",
         ratio(rate["blocking"], rate["reader"]) >= 0.8),
        ("Flood throughput (MiB/s): asyncio client / C++ reader", med(rate["asyncio"]),
         med(rate["reader"]), ratio(rate["asyncio"], rate["reader"]), ">= 0.8",
         ratio(rate["asyncio"], rate["reader"]) >= 0.8),
        ("Flood throughput (MiB/s): pty-module loop / C++ reader", med(rate["pty"]),
         med(rate["reader"]), ratio(rate["pty"], rate["reader"]), "", None),
        ("Python CPU per MiB (ms): blocking client / pty-module loop", med(cpu["blocking"]),
         med(cpu["pty"]), ratio(cpu["blocking"], cpu["pty"]), "", None),
        ("Python CPU per MiB (ms): asyncio client / pty-module loop", med(cpu["asyncio"]),
         med(cpu["pty"]), ratio(cpu["asyncio"], cpu["pty"]), "", None),
        ("Python CPU per MiB (ms): frame decoding alone, of a recorded flood",
         med(decoding), 0, 0, "", None),
        ("Echo p50 (us): blocking client / pty-module loop", med(p50["blocking"]),
         med(p50["pty"]), ratio(p50["blocking"], p50["pty"]), "<= 1.3",
         ratio(p50["blocking"], p50["pty"]) <= 1.3),
        ("Echo p50 (us): asyncio client / pty-module loop", med(p50["asyncio"]),
         med(p50["pty"]), ratio(p50["asyncio"], p50["pty"]), "<= 1.3",
         ratio(p50["asyncio"], p50["pty"]) <= 1.3),
        ("Echo p50 (us): C++ reader / pty-module loop", med(p50["reader"]), med(p50["pty"]),
         ratio(p50["reader"], p50["pty"]), "", None),
        ("Echo p50 (us): blocking client / C++ reader", med(p50["blocking"]),
         med(p50["reader"]), ratio(p50["blocking"], p50["reader"]), "", None),
        ("Echo p99 (us): blocking client / pty-module loop", med(p99["blocking"]),
         med(p99["pty"]), ratio(p99["blocking"], p99["pty"]), "", None),
    ]
    print(f"Python {sys.version.split()[0]}, {opts.rounds} rounds of {opts.mib} MiB and "
          f"{opts.echo} echoes, load average {os.getloadavg()[0]:.1f} at the end\n")
    print("| Figure | Client | Reference | Median paired ratio | Target | Met |")
    print("|---|---:|---:|---:|---|---|")
    for name, a, b, r, target, met in rows:
        shown = "" if met is None else ("yes" if met else "**no**")
        figures = f"{a:.2f} | {b:.2f} | {r:.2f}" if b else f"{a:.2f} |  | "
        print(f"| {name} | {figures} | {target} | {shown} |")
    for api, key in (("blocking", "client"), ("asyncio", "client-asyncio")):
        print(f"| Programs short of 20 KiB, of {losses}: {api} client | {short[key]} |  |  | 0 | "
              f"{'yes' if short[key] == 0 else '**no**'} |")
    print(f"| Programs short, of {losses}: pty.fork(), master read as a buffered file | "
          f"{short['buffered']} |  |  |  |  |")
    print(f"| Programs short, of {losses}: pty.fork(), os.read loop to EIO | "
          f"{short['loop']} |  |  |  |  |")


if __name__ == "__main__":
    main()
