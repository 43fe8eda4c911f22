"""What a Screen and a recording cost, side by side in one run, round by round in rotating
order so that every way meets the same moods of a shared machine:

  flood     `stty -opost -echo; exec cat FILE` (printable text in lines, 64 MiB) received
            through the blocking client with nothing else, with a Screen attached, and with
            a recording to a file; the same through the asyncio client;
  latency   one line through a raw `cat`, timed from the write until it is seen: by
            `expect` on the output, and by `Screen.wait_for` on the screen (blocking), taking
            turns line by line.

Figures are medians over rounds; ratios are medians of per-round ratios.

  /usr/bin/python3 bench/screen_bench.py [--rounds 3] [--mib 64] [--lines 1000] [--bridge PATH]
"""

import asyncio
import os
import statistics
import sys
import time

from _common import ECHO, FLOOD, flood_file, parser
import quelt_local_pty as qlp  # noqa: E402
from quelt_local_pty.screen import Screen  # noqa: E402



def options():
    parsed = parser(rounds=3, mib=64)
    parsed.add_argument("--lines", type=int, default=1000)
    return parsed.parse_args()


def flood_blocking(bridge, path, how, cast):
    term = qlp.spawn("/bin/sh", ["-c", FLOOD, path], bridge=bridge,
                     record=cast if how == "record" else None)
    if how == "screen":
        screen = Screen(term)
        term.wait()
        assert screen.text()
    else:
        for _ in iter(term.read, b""):
            pass
        term.wait()


def flood_asyncio(bridge, path, how, cast):
    async def main():
        term = await qlp.aio.spawn("/bin/sh", ["-c", FLOOD, path], bridge=bridge,
                                   record=cast if how == "record" else None)
        if how == "screen":
            screen = Screen(term)
            await term.wait()
            assert screen.text()
        else:
            async for _ in term:
                pass
            await term.wait()
    asyncio.run(main())


def latency(bridge, lines):
    """Seconds from writing a line to seeing it: (expect, Screen.wait_for), taking turns."""
    plain = qlp.spawn("/bin/sh", ["-c", ECHO], bridge=bridge)
    plain.expect("R")
    screened = qlp.spawn("/bin/sh", ["-c", ECHO], bridge=bridge)
    screen = Screen(screened)
    screen.wait_for("R")
    by_expect, by_screen = [], []
    for n in range(lines):
        # A short line, then a carriage return and a line feed: the screen scrolls as a
        # shell's output would.
        line = f"line {n} done\r\n"
        started = time.perf_counter()
        plain.write(line)
        plain.expect(f"line {n} done")
        by_expect.append(time.perf_counter() - started)
        started = time.perf_counter()
        screened.write(line)
        screen.wait_for(f"line {n} done")
        by_screen.append(time.perf_counter() - started)
    plain.close()
    screened.close()
    return by_expect, by_screen


def main():
    opts = options()
    directory, path, size = flood_file("qlp-screen-bench-", opts.mib)
    cast = os.path.join(directory, "flood.cast")
    mib = size / (1024 * 1024)
    ways = [(api, how) for api in ("blocking", "asyncio") for how in ("plain", "screen", "record")]
    runs = {"blocking": flood_blocking, "asyncio": flood_asyncio}
    rates = {way: [] for way in ways}
    for round_ in range(opts.rounds):
        order = ways[round_ % len(ways):] + ways[:round_ % len(ways)]
        for api, how in order:
            started = time.perf_counter()
            runs[api](opts.bridge, path, how, cast)
            rates[(api, how)].append(mib / (time.perf_counter() - started))
        print(f"round {round_ + 1}: " + ", ".join(f"{api} {how} {rates[(api, how)][-1]:.1f}"
                                                  for api, how in ways), file=sys.stderr)
    cast_size = os.path.getsize(cast)
    os.unlink(path)
    os.unlink(cast)
    os.rmdir(directory)
    by_expect, by_screen = latency(opts.bridge, opts.lines)

    def med(values):
        return statistics.median(values)

    print("| Figure | Value | Reference | Median paired ratio |\n|---|---:|---:|---:|")
    for api in ("blocking", "asyncio"):
        plain = rates[(api, "plain")]
        for how, label in (("screen", "with a Screen"), ("record", "recorded to a file")):
            paired = [a / b for a, b in zip(rates[(api, how)], plain)]
            print(f"| Flood MiB/s, {api}: {label} / alone | {med(rates[(api, how)]):.2f} | "
                  f"{med(plain):.2f} | {med(paired):.3f} |")
    pairs = [s / e for s, e in zip(by_screen, by_expect)]
    for q, name in ((0.5, "p50"), (0.99, "p99")):
        e = sorted(by_expect)[int(q * (len(by_expect) - 1))] * 1e6
        s = sorted(by_screen)[int(q * (len(by_screen) - 1))] * 1e6
        print(f"| Line written to seen, {name} (us): Screen.wait_for / expect | {s:.0f} | "
              f"{e:.0f} | {med(pairs):.2f} |" if name == "p50" else
              f"| Line written to seen, {name} (us): Screen.wait_for / expect | {s:.0f} | "
              f"{e:.0f} | |")
    print(f"| Recording of {opts.mib} MiB: file size (MiB) | {cast_size / 1048576:.1f} | | |")


if __name__ == "__main__":
    main()
