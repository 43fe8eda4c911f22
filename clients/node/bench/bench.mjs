// The client against the project's C++ frame reader and against a plain pipe, in one run, round
// by round, in rotating order, so that every workload meets the same moods of a shared machine:
//
//   (a) a flood (`stty -opost -echo; exec cat FILE`) received through the client;
//   (b) the same flood through the same bridge, read by the C++ reader (qlp_frame_reader);
//   (c) Node reading the same file from `cat` through a plain pipe, no terminal, no frames;
//   and one-byte keystroke echo through a raw `cat`, the client against the C++ reader.
//
// Figures are medians over rounds of paired ratios (round i of one against round i of the other).
//
//   node bench/bench.mjs [--rounds 7] [--mib 64] [--echo 400] [--bridge PATH] [--reader PATH]
import { spawn as spawnProcess, execFileSync } from "node:child_process";
import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";
import { StringDecoder } from "node:string_decoder";
import { spawn } from "../dist/index.mjs";
import { bridgeOption, checkout, cpuMs, floodFile, median, now, option, rotatingRounds } from "./common.mjs";

const ROUNDS = Number(option("rounds", "7"));
const MIB = Number(option("mib", "64"));
const ECHOES = Number(option("echo", "400"));
const bridge = bridgeOption();
const reader = option("reader", path.join(checkout, "build", "bench", "e2e", "qlp_frame_reader"));
if (!fs.existsSync(reader)) throw new Error(`${reader} not found: build the tree first (cmake --build build --target qlp_frame_reader)`);

// The client decodes the flood as UTF-8.
const { dir, file, size: SIZE, mib } = floodFile("qlp-node-bench-", MIB);


async function clientFlood(encoding) {
  const t0 = now();
  const c0 = cpuMs();
  const term = spawn("/bin/sh", ["-c", 'stty -opost -echo; exec cat "$0"', file], { bridgePath: bridge, encoding });
  let received = 0;
  term.onData((data) => (received += data.length));
  await term.exited;
  const seconds = now() - t0;
  const cpu = cpuMs() - c0;
  if (received !== SIZE) throw new Error(`client received ${received} of ${SIZE}`);
  return { mibPerSecond: mib / seconds, cpuPerMib: cpu / mib };
}

function readerFlood() {
  const out = JSON.parse(execFileSync(reader, [bridge, "flood", file], { encoding: "utf8" }));
  return { mibPerSecond: mib / out.seconds, cpuPerMib: out.cpuMs / mib };
}

function rawPipe(encoding) {
  return new Promise((resolve, reject) => {
    const t0 = now();
    const c0 = cpuMs();
    const cat = spawnProcess("cat", [file], { stdio: ["ignore", "pipe", "inherit"] });
    const decoder = encoding ? new StringDecoder(encoding) : null;
    let received = 0;
    cat.stdout.on("data", (chunk) => (received += decoder ? decoder.write(chunk).length : chunk.length));
    cat.on("close", () => {
      const seconds = now() - t0;
      const cpu = cpuMs() - c0;
      if (received !== SIZE) reject(new Error(`pipe received ${received} of ${SIZE}`));
      resolve({ mibPerSecond: mib / seconds, cpuPerMib: cpu / mib });
    });
  });
}

// Node reading the bridge's frames without looking at them: what reading the stream costs by itself.
function bridgeFramesRaw() {
  return new Promise((resolve, reject) => {
    const t0 = now();
    const c0 = cpuMs();
    const relay = spawnProcess(bridge, [], { stdio: ["pipe", "pipe", "inherit"] });
    relay.stdin.write(JSON.stringify({ type: "spawn", shellPath: "/bin/sh", shellArgs: ["-c", 'stty -opost -echo; exec cat "$0"', file] }) + "\n");
    let tail = "";
    relay.stdout.on("data", (chunk) => {
      // The exit frame, also when a read splits it.
      const across = tail + chunk.toString("latin1", 0, Math.min(20, chunk.length));
      if (chunk.indexOf('{"type":"exit"') >= 0 || across.includes('{"type":"exit"')) relay.stdin.end();
      tail = chunk.toString("latin1", Math.max(0, chunk.length - 20));
    });
    relay.on("close", (code) => {
      const seconds = now() - t0;
      const cpu = cpuMs() - c0;
      if (code !== 0) reject(new Error(`bridge ended with ${code}`));
      resolve({ mibPerSecond: mib / seconds, cpuPerMib: cpu / mib });
    });
  });
}

async function clientEchoSession() {
  const term = spawn("/bin/sh", ["-c", "stty raw -echo; printf R; exec cat"], { bridgePath: bridge, encoding: null });
  let onByte = null;
  let started = false;
  await new Promise((resolve) => {
    term.onData((data) => {
      if (!started) {
        if (data[data.length - 1] === 0x52) {
          started = true;
          resolve();
        }
        return;
      }
      onByte(data);
    });
  });
  return {
    run(count) {
      return new Promise((resolve, reject) => {
        const times = [];
        let i = 0;
        let t0 = 0;
        const send = () => {
          t0 = now();
          term.write(Buffer.of(0x61 + (i % 26)));
        };
        onByte = (data) => {
          const t1 = now();
          if (data.length !== 1 || data[0] !== 0x61 + (i % 26)) reject(new Error(`echo got ${data.toString("hex")}`));
          times.push((t1 - t0) * 1e6);
          if (++i === count) resolve(times);
          else send();
        };
        send();
      });
    },
    async end() {
      term.kill();
      await term.exited;
    },
  };
}

function readerEcho(count) {
  return JSON.parse(execFileSync(reader, [bridge, "echo", String(count)], { encoding: "utf8" })).microseconds;
}


const echoSession = await clientEchoSession();
// A warm-up round, not counted: the first spawn of each kind pays for loading code.
await clientFlood("utf8");
readerFlood();
await rawPipe(null);
readerEcho(50);
await echoSession.run(50);

const workloads = {
  client: () => clientFlood("utf8"),
  clientBuffers: () => clientFlood(null),
  reader: () => readerFlood(),
  pipe: () => rawPipe(null),
  pipeStrings: () => rawPipe("utf8"),
  framesRaw: () => bridgeFramesRaw(),
  echoClient: async () => median(await echoSession.run(ECHOES)),
  echoReader: () => median(readerEcho(ECHOES)),
};
const rounds = await rotatingRounds(ROUNDS, workloads,
  (round, r) => process.stderr.write(`round ${r + 1}/${ROUNDS}: client ${round.client.mibPerSecond.toFixed(0)} MiB/s, reader ${round.reader.mibPerSecond.toFixed(0)} MiB/s, echo p50 ${round.echoClient.toFixed(0)} / ${round.echoReader.toFixed(0)} us\n`));
await echoSession.end();
fs.rmSync(dir, { recursive: true, force: true });

const ratio = (f) => median(rounds.map(f));
const fmt = (x, digits = 2) => x.toFixed(digits);
const rows = [
  ["Flood throughput (MiB/s): client / C++ reader", median(rounds.map((r) => r.client.mibPerSecond)),
   median(rounds.map((r) => r.reader.mibPerSecond)), ratio((r) => r.client.mibPerSecond / r.reader.mibPerSecond), ">= 0.8", (x) => x >= 0.8],
  ["Node CPU per MiB (ms): client / plain pipe", median(rounds.map((r) => r.client.cpuPerMib)),
   median(rounds.map((r) => r.pipe.cpuPerMib)), ratio((r) => r.client.cpuPerMib / r.pipe.cpuPerMib), "<= 2", (x) => x <= 2],
  ["Echo p50 (us): client / C++ reader", median(rounds.map((r) => r.echoClient)),
   median(rounds.map((r) => r.echoReader)), ratio((r) => r.echoClient / r.echoReader), "<= 1.3", (x) => x <= 1.3],
  ["Flood throughput (MiB/s): client with Buffers / C++ reader", median(rounds.map((r) => r.clientBuffers.mibPerSecond)),
   median(rounds.map((r) => r.reader.mibPerSecond)), ratio((r) => r.clientBuffers.mibPerSecond / r.reader.mibPerSecond), "", null],
  ["Node CPU per MiB (ms): client / plain pipe, both decoding UTF-8", median(rounds.map((r) => r.client.cpuPerMib)),
   median(rounds.map((r) => r.pipeStrings.cpuPerMib)), ratio((r) => r.client.cpuPerMib / r.pipeStrings.cpuPerMib), "", null],
  ["Node CPU per MiB (ms): client with Buffers / plain pipe", median(rounds.map((r) => r.clientBuffers.cpuPerMib)),
   median(rounds.map((r) => r.pipe.cpuPerMib)), ratio((r) => r.clientBuffers.cpuPerMib / r.pipe.cpuPerMib), "", null],
  ["Node CPU per MiB (ms): the bridge's frames read but not decoded / plain pipe", median(rounds.map((r) => r.framesRaw.cpuPerMib)),
   median(rounds.map((r) => r.pipe.cpuPerMib)), ratio((r) => r.framesRaw.cpuPerMib / r.pipe.cpuPerMib), "", null],
  ["C++ reader's own CPU per MiB (ms)", median(rounds.map((r) => r.reader.cpuPerMib)), NaN, NaN, "", null],
];
let allMet = true;
const lines = [
  `${ROUNDS} rounds, ${fmt(mib, 0)} MiB flood, ${ECHOES} echoes per round; Node ${process.version}; load average ${os.loadavg().map((x) => x.toFixed(2)).join(" ")}`,
  "",
  "| Figure | Client | Reference | Median paired ratio | Target | Met |",
  "|---|---:|---:|---:|---|---|",
];
for (const [name, a, b, r, target, test] of rows) {
  const met = test ? (test(r) ? "yes" : "no") : "";
  if (test && !test(r)) allMet = false;
  lines.push(`| ${name} | ${fmt(a)} | ${Number.isNaN(b) ? "" : fmt(b)} | ${Number.isNaN(r) ? "" : fmt(r)} | ${target} | ${met} |`);
}
console.log(lines.join("\n"));
process.exitCode = allMet ? 0 : 1;
