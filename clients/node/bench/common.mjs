// What the client's benchmarks share: options, the bridge, the flood file, clocks and medians.
import { randomBytes } from "node:crypto";
import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";

const here = path.dirname(new URL(import.meta.url).pathname);
export const checkout = path.resolve(here, "..", "..", "..");

/** The value after `--name` on the command line, or `fallback`. */
export const option = (name, fallback) => {
  const i = process.argv.indexOf(`--${name}`);
  return i > 0 ? process.argv[i + 1] : fallback;
};

/** --bridge, $QUELT_LOCAL_PTY or this checkout's build; it must exist. */
export function bridgeOption() {
  const bridge = option("bridge", process.env.QUELT_LOCAL_PTY || path.join(checkout, "build", "quelt_local_pty"));
  if (!fs.existsSync(bridge)) throw new Error(`${bridge} not found: build the tree first`);
  return bridge;
}

/**
 * A new folder holding flood.txt: `mib` MiB of printable text in lines of 99 characters, as a
 * terminal flood usually is.
 */
export function floodFile(prefix, mib) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  const file = path.join(dir, "flood.txt");
  const size = mib * 1024 * 1024;
  const text = Buffer.from(randomBytes(size).toString("base64").slice(0, size), "latin1");
  for (let i = 99; i < size; i += 100) text[i] = 0x0a;
  fs.writeFileSync(file, text);
  return { dir, file, size, mib: size / (1024 * 1024) };
}

/** Seconds, monotonic. */
export const now = () => Number(process.hrtime.bigint()) / 1e9;

/** This process's CPU time (all its threads), in milliseconds. */
export const cpuMs = () => {
  const u = process.cpuUsage();
  return (u.user + u.system) / 1000;
};

/** The lower median. */
export const median = (values) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor((sorted.length - 1) / 2)];
};

/**
 * Runs every workload once a round, for `count` rounds, in an order that rotates so that no
 * workload always runs first or last; `report(round, r)` after each. Returns the rounds, each an
 * object of the workloads' results by name.
 */
export async function rotatingRounds(count, workloads, report) {
  const names = Object.keys(workloads);
  const rounds = [];
  for (let r = 0; r < count; r++) {
    const round = {};
    for (let k = 0; k < names.length; k++) {
      const name = names[(k + r) % names.length];
      round[name] = await workloads[name]();
    }
    rounds.push(round);
    report(round, r);
  }
  return rounds;
}
