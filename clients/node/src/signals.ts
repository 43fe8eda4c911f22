// Signal names as the bridge writes and reads them, and the last resort of a terminal whose
// program does not end when it is hung up.

import * as fs from "node:fs";
import { constants } from "node:os";

const NUMBERS = constants.signals as Record<string, number | undefined>;
// The realtime signals, which have no names in os.constants.signals but do in the bridge.
const REALTIME = /^SIGRT(MIN|MAX)([+-][0-9]+)?$/;

/** The number os.constants.signals gives for `name`; undefined for realtime and unknown names. */
export function signalNumber(name: string | undefined): number | undefined {
  return name === undefined ? undefined : NUMBERS[name];
}

export function isSignalName(name: unknown): name is string {
  return typeof name === "string" && (signalNumber(name) !== undefined || REALTIME.test(name));
}

function sigkill(pid: number): void {
  try {
    process.kill(pid, "SIGKILL");
  } catch {
    // Gone already, or never ours.
  }
}

/**
 * Sends SIGKILL to the process group that `leader` leads and, where /proc lists processes, to
 * every other process of the session it leads: a shell's jobs each have a group of their own,
 * and one that ignores the hang-up would outlive the shell. A session id stays taken while any
 * process of the session lives, so no stranger can be hit.
 */
export function killSession(leader: number): void {
  if (!Number.isInteger(leader) || leader <= 1) return;
  sigkill(-leader);
  let names: string[];
  try {
    names = fs.readdirSync("/proc");
  } catch {
    return;
  }
  for (const name of names) {
    if (!/^[0-9]+$/.test(name)) continue;
    let stat: string;
    try {
      stat = fs.readFileSync(`/proc/${name}/stat`, "latin1");
    } catch {
      continue;
    }
    // pid (comm) state ppid pgrp session ...; comm may hold spaces and parentheses.
    const fields = stat.slice(stat.lastIndexOf(")") + 2).split(" ");
    if (Number(fields[3]) === leader) sigkill(Number(name));
  }
}
