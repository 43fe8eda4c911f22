#!/usr/bin/env python3
"""Where a keystroke's echo spends its time, hop by hop, from a scheduler trace.

    perf sched record -a -o echo.data -- qlp_e2e_bench --mode unpinned --rounds 1 --mib 0
    perf script -i echo.data -F comm,tid,cpu,time,event,trace | bench/e2e/echo_hops.py

Every round trip of the benchmark's echo workload is a chain of wake-ups that starts when the
benchmark (qlp_e2e_bench) wakes the first task on the path and ends when a task wakes the
benchmark again. Each hop is one woken task: "wait" is from its wake-up to its getting a CPU, and
"run" from then to its waking the next task on the path. The chain is classified by its first
woken task: the bridge (quelt_local_pty), the Python relay (python3), the raw relay
(qlp_raw_relay), or a kernel worker for the direct loop, which writes the terminal itself.
"""

import collections
import re
import sys

BENCH = "qlp_e2e_bench"
LINE = re.compile(r"^\s*(?P<comm>.+?)\s+(?P<tid>\d+)\s+\[(?P<cpu>\d+)\]\s+(?P<time>[\d.]+):\s+"
                  r"(?P<event>\S+):\s+(?P<trace>.*)$")
WAKE = re.compile(r"comm=(?P<comm>.+?) pid=(?P<pid>\d+) prio=\d+ target_cpu=(?P<cpu>\d+)")
SWITCH = re.compile(r"prev_comm=(?P<prev_comm>.+?) prev_pid=(?P<prev>\d+) .*==> "
                    r"next_comm=(?P<next_comm>.+?) next_pid=(?P<next>\d+)")
PATHS = {"quelt_local_pty": "bridge", "python3": "python", "qlp_raw_relay": "raw"}


def kind_of(comm):
    if comm.startswith("kworker"):
        return "kworker"
    if comm in (BENCH, "cat"):
        return comm
    return PATHS.get(comm, comm)


def quantile(values, q):
    values = sorted(values)
    if not values:
        return 0.0
    return values[min(len(values) - 1, int(q * len(values)))]


def main():
    # Per task: when it was last woken and when it last got a CPU after that.
    woken_at = {}
    running_since = {}
    comm_of = {}
    chains = []  # (first kind, [(hop name, wait µs, run µs), ...], total µs)
    chain = None  # [start time, hops, last task, last wake time]
    for raw in sys.stdin:
        m = LINE.match(raw)
        if not m:
            continue
        now = float(m["time"]) * 1e6
        tid = int(m["tid"])
        comm_of[tid] = m["comm"]
        event = m["event"]
        if event.endswith("sched_switch"):
            s = SWITCH.search(m["trace"])
            if s:
                nxt = int(s["next"])
                comm_of[nxt] = s["next_comm"]
                if nxt in woken_at and nxt not in running_since:
                    running_since[nxt] = now
            continue
        # The waking event runs in the waker's context, which is what links the hops.
        if not event.endswith("sched_waking"):
            continue
        w = WAKE.search(m["trace"])
        if not w:
            continue
        target = int(w["pid"])
        comm_of[target] = w["comm"]
        waker_kind = kind_of(m["comm"])
        target_kind = kind_of(w["comm"])
        if waker_kind == BENCH and target_kind != BENCH:
            chain = [now, [], target, now]
            woken_at = {target: now}
            running_since = {}
            continue
        if chain is None or tid != chain[2]:
            continue
        # The task on the path woke the next one: close its hop.
        start = woken_at.get(tid, chain[3])
        ran = running_since.get(tid, start)
        chain[1].append((kind_of(comm_of.get(tid, "?")), tid, ran - start, now - ran))
        if target_kind == BENCH:
            # The benchmark itself: its wait for a CPU ends the round trip when it runs.
            chains.append((chain[1], now - chain[0]))
            chain = None
            continue
        woken_at[target] = now
        running_since.pop(target, None)
        chain[2] = target
        chain[3] = now

    by_path = collections.defaultdict(list)
    for hops, total in chains:
        first = hops[0][0] if hops else "?"
        path = first if first in ("bridge", "python", "raw") else "direct"
        by_path[path].append((hops, total))
    for path in ("bridge", "python", "raw", "direct"):
        runs = by_path.get(path, [])
        if not runs:
            continue
        # Hops named by position and kind, with the relay's threads told apart by their order.
        shape = collections.Counter(tuple(k for k, _, _, _ in hops) for hops, _ in runs)
        common, count = shape.most_common(1)[0]
        chosen = [(hops, total) for hops, total in runs if tuple(k for k, _, _, _ in hops) == common]
        totals = [total for _, total in runs]
        print("%s: %d round trips traced, %d of the usual path %s" %
              (path, len(runs), count, " -> ".join(common) + " -> " + BENCH))
        print("  wake-up to wake-up of the benchmark: p50 %.1f µs, p99 %.1f µs" %
              (quantile(totals, 0.5), quantile(totals, 0.99)))
        print("  | Hop | Wait for a CPU p50 | p99 | Run to next wake-up p50 | p99 |")
        print("  |---|---:|---:|---:|---:|")
        for i, kind in enumerate(common):
            waits = [hops[i][2] for hops, _ in chosen]
            runs_ = [hops[i][3] for hops, _ in chosen]
            print("  | %d. %s | %.1f | %.1f | %.1f | %.1f |" %
                  (i + 1, kind, quantile(waits, 0.5), quantile(waits, 0.99),
                   quantile(runs_, 0.5), quantile(runs_, 0.99)))
        # Where the slowest hundredth of round trips lost their time.
        slow = sorted(chosen, key=lambda r: r[1])[-max(1, len(chosen) // 100):]
        if slow:
            sums = [0.0] * (2 * len(common))
            for hops, _ in slow:
                for i in range(len(common)):
                    sums[2 * i] += hops[i][2]
                    sums[2 * i + 1] += hops[i][3]
            parts = ", ".join("%s wait %.0f run %.0f" % (common[i], sums[2 * i] / len(slow),
                                                         sums[2 * i + 1] / len(slow))
                              for i in range(len(common)))
            print("  slowest 1%% (mean µs): %s" % parts)
        print()


if __name__ == "__main__":
    main()
