// What driving a program costs on top of the bytes, in one run, round by round in rotating order:
//
//   (a) a flood (`stty -opost -echo; exec cat FILE`) received through the client, nothing else;
//   (b) the same flood with a Screen on the terminal, ended once the Screen has parsed it all;
//   (c) the same flood recorded to a file;
//   each as throughput (spawn() to exited, and for (b) until the Screen has parsed the end),
//   the Node process's CPU time per MiB (all its threads), and its peak resident memory;
//   and the latency from a marker's arrival in onData to the resolution of the waitFor on it,
//   through a raw `cat` that echoes what is typed.
//
// Figures are medians over rounds of paired ratios (round i of one against round i of the other).
//
//   node bench/screen.mjs [--rounds 5] [--mib 64] [--waits 200] [--bridge PATH]
import * as fs from "node:fs";
import * as path from "node:path";
import { spawn } from "../dist/index.mjs";
import { Screen } from "../dist/screen.mjs";
import { bridgeOption, cpuMs, floodFile, median, now, option, rotatingRounds } from "./common.mjs";

const ROUNDS = Number(option("rounds", "5"));
const MIB = Number(option("mib", "64"));
const WAITS = Number(option("waits", "200"));
const bridge = bridgeOption();

const { dir, file, size: SIZE, mib } = floodFile("qlp-node-screen-bench-", MIB);
const cast = path.join(dir, "flood.cast");

async function flood(kind) {
  const t0 = now();
  const c0 = cpuMs();
  const term = spawn("/bin/sh", ["-c", 'stty -opost -echo; exec cat "$0"', file],
                     { bridgePath: bridge, record: kind === "recorded" ? cast : undefined });
  const screen = kind === "screen" ? new Screen(term, { scrollback: 1000 }) : null;
  let received = 0;
  let peak = 0;
  let chunks = 0;
  term.onData((data) => {
    received += data.length;
    if (++chunks % 64 === 0) peak = Math.max(peak, process.memoryUsage().rss);
  });
  await term.exited;
  // The Screen has parsed everything once a wait on the end has resolved.
  if (screen !== null) await screen.waitForIdle(0);
  const seconds = now() - t0;
  const cpu = cpuMs() - c0;
  if (received !== SIZE) throw new Error(`${kind}: received ${received} of ${SIZE}`);
  if (kind === "recorded" && fs.statSync(cast).size < SIZE) throw new Error("the recording is short");
  return { mibPerSecond: mib / seconds, cpuPerMib: cpu / mib, peakMiB: peak / 1024 / 1024 };
}

async function waitLatencies(count) {
  const term = spawn("/bin/sh", ["-c", "stty raw -echo opost; printf 'ready\\n'; exec cat"], { bridgePath: bridge });
  let marker = null;
  let arrived = 0;
  // Registered before the Screen's, so it sees each chunk first.
  term.onData((data) => {
    if (marker !== null && arrived === 0 && data.includes(marker)) arrived = performance.now();
  });
  const screen = new Screen(term);
  await screen.waitFor("ready");
  const times = [];
  for (let i = 0; i < count; i++) {
    marker = `<${i}>`;
    arrived = 0;
    term.write(`${marker}\r\n`);
    await screen.waitFor(marker);
    times.push((performance.now() - arrived) * 1000);
  }
  term.kill();
  await term.exited;
  return times;
}

const percentile = (values, p) => [...values].sort((a, b) => a - b)[Math.min(values.length - 1, Math.floor(values.length * p))];

// A warm-up round, not counted: the first spawn of each kind pays for loading code.
for (const kind of ["plain", "screen", "recorded"]) await flood(kind);
await waitLatencies(20);

const workloads = {
  plain: () => flood("plain"),
  screen: () => flood("screen"),
  recorded: () => flood("recorded"),
  waits: () => waitLatencies(WAITS),
};
const rounds = await rotatingRounds(ROUNDS, workloads,
  (round, r) => process.stderr.write(`round ${r + 1}/${ROUNDS}: plain ${round.plain.mibPerSecond.toFixed(0)}, screen ${round.screen.mibPerSecond.toFixed(0)}, ` +
                       `recorded ${round.recorded.mibPerSecond.toFixed(0)} MiB/s; waitFor p50 ${median(round.waits).toFixed(0)} us\n`));
fs.rmSync(dir, { recursive: true, force: true });

const m = (f) => median(rounds.map(f));
const allWaits = rounds.flatMap((r) => r.waits);
console.log(`${mib.toFixed(0)} MiB flood, ${ROUNDS} rounds, medians; ratios are paired per round\n`);
console.log("| Measure | Value |");
console.log("|---|---|");
console.log(`| Flood, client alone (MiB/s) | ${m((r) => r.plain.mibPerSecond).toFixed(1)} |`);
console.log(`| Flood with a Screen (MiB/s) | ${m((r) => r.screen.mibPerSecond).toFixed(1)} |`);
console.log(`| Screen / alone | ${m((r) => r.screen.mibPerSecond / r.plain.mibPerSecond).toFixed(2)} |`);
console.log(`| Flood recorded to a file (MiB/s) | ${m((r) => r.recorded.mibPerSecond).toFixed(1)} |`);
console.log(`| Recorded / alone | ${m((r) => r.recorded.mibPerSecond / r.plain.mibPerSecond).toFixed(2)} |`);
console.log(`| Node CPU per MiB (ms): alone / Screen / recorded | ${m((r) => r.plain.cpuPerMib).toFixed(1)} / ${m((r) => r.screen.cpuPerMib).toFixed(1)} / ${m((r) => r.recorded.cpuPerMib).toFixed(1)} |`);
console.log(`| CPU ratio: Screen / alone, recorded / alone | ${m((r) => r.screen.cpuPerMib / r.plain.cpuPerMib).toFixed(2)}, ${m((r) => r.recorded.cpuPerMib / r.plain.cpuPerMib).toFixed(2)} |`);
console.log(`| Peak RSS (MiB): alone / Screen / recorded | ${m((r) => r.plain.peakMiB).toFixed(0)} / ${m((r) => r.screen.peakMiB).toFixed(0)} / ${m((r) => r.recorded.peakMiB).toFixed(0)} |`);
console.log(`| Arrival to resolved waitFor (us): p50 / p95 of ${allWaits.length} | ${median(allWaits).toFixed(0)} / ${percentile(allWaits, 0.95).toFixed(0)} |`);
