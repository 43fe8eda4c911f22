// Nothing lost at the end, nothing left running, and pause() as real backpressure.
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawn as spawnProcess } from "node:child_process";
import * as fs from "node:fs";
import { spawn, waitFor, sleep, LONG } from "./helpers.mjs";

const CLIENT = new URL("../dist/index.js", import.meta.url).pathname;

test("300 programs write 20 KiB each and exit at once: every byte arrives before onExit", async () => {
  const SIZE = 20 * 1024;
  const PROGRAMS = 300;
  const AT_ONCE = 12;
  const failures = [];
  let next = 0;
  async function one() {
    const term = spawn("/bin/sh", ["-c", `head -c ${SIZE} /dev/zero | tr '\\0' x`], { encoding: null });
    let received = 0;
    let afterExit = 0;
    let exited = false;
    term.onData((data) => {
      if (exited) afterExit += data.length;
      else received += data.length;
    });
    const event = await new Promise((resolve) => term.onExit((e) => {
      exited = true;
      resolve(e);
    }));
    assert.deepEqual(await term.exited, event);
    if (received !== SIZE || afterExit !== 0 || event.exitCode !== 0) {
      failures.push({ received, afterExit, exitCode: event.exitCode });
    }
  }
  await Promise.all(Array.from({ length: AT_ONCE }, async () => {
    while (next < PROGRAMS) {
      next++;
      await one();
    }
  }));
  assert.deepEqual(failures, []);
});

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

test("a Node parent killed by SIGKILL leaves neither bridge nor program running", async () => {
  // The parent prints the program's pid and the bridge's (the program's parent), then waits.
  const script = `
    const { spawn } = require(${JSON.stringify(CLIENT)});
    const term = spawn("/bin/sh", ["-c", "echo pids $$ $PPID; exec sleep 1000"]);
    let seen = "";
    term.onData((d) => { seen += d; const m = /pids \\d+ \\d+/.exec(seen); if (m) { console.log(m[0]); } });
    setInterval(() => {}, 1000);
  `;
  const parent = spawnProcess(process.execPath, ["-e", script], { stdio: ["ignore", "pipe", "inherit"] });
  let out = "";
  parent.stdout.on("data", (d) => (out += d));
  const [, program, bridge] = (await waitFor(() => /pids (\d+) (\d+)/.exec(out), "the pids")).map(Number);
  assert.ok(alive(program) && alive(bridge));
  parent.kill("SIGKILL");
  await waitFor(() => !alive(program), "the program to end");
  // The bridge is the killed parent's child: it is reaped by init, so it ends up not alive.
  await waitFor(() => {
    if (!alive(bridge)) return true;
    const state = fs.readFileSync(`/proc/${bridge}/stat`, "utf8").split(") ")[1]?.[0];
    return state === "Z";
  }, "the bridge to end");
});

function rssKiB(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, "utf8");
  return Number(/VmRSS:\s+(\d+)/.exec(status)[1]);
}

test("pause() stops the program with flat memory; every byte arrives after resume()", async () => {
  // 10 MB of "y\n" without CR LF translation: the count is exact.
  const TOTAL = 10_000_000;
  const term = spawn("/bin/sh", ["-c", `stty -opost; echo $PPID; yes | head -c ${TOTAL}`], { encoding: null });
  let received = 0;
  let head = "";
  term.onData((data) => {
    received += data.length;
    if (head.length < 40) head += data.toString("latin1");
  });
  const bridge = Number(await waitFor(() => /^(\d+)\n/.exec(head)?.[1], "the bridge's pid"));
  const prefix = head.indexOf("\n") + 1;
  await waitFor(() => received > prefix + 100000, "output to flow");
  term.pause();
  await sleep(200);
  const atPause = received;
  const memoryAtPause = [process.memoryUsage().rss, rssKiB(bridge)];
  await sleep(1500);
  assert.equal(received, atPause, "data delivered while paused");
  const grownKiB = (process.memoryUsage().rss - memoryAtPause[0]) / 1024;
  assert.ok(grownKiB < 16 * 1024, `the client grew ${grownKiB} KiB while paused`);
  assert.ok(rssKiB(bridge) - memoryAtPause[1] < 4096, "the bridge grew while paused");
  assert.ok(received < prefix + TOTAL, "the whole output came before the pause had effect");
  let exitedAt = -1;
  term.onExit(() => (exitedAt = received));
  term.resume();
  assert.equal((await term.exited).exitCode, 0);
  assert.equal(exitedAt, prefix + TOTAL);
});

const LINES = 20000;
test("pause() from inside onData holds back the rest of the chunk, and the exit with it", async () => {
  // Far more than one read of the bridge's pipe can hold (64 KiB), so that the output comes in
  // several chunks however fast the bridge is beside a slow parent.
  const term = spawn("/bin/sh", ["-c", `stty -opost; i=0; while [ $i -lt ${LINES} ]; do echo line$i; i=$((i+1)); done`]);
  let text = "";
  let pauses = 0;
  let paused = false;
  let whilePaused = 0;
  let exitedWhilePaused = false;
  term.onExit(() => {
    exitedWhilePaused ||= paused;
  });
  term.onData((data) => {
    if (paused) whilePaused++;
    text += data;
    term.pause();
    paused = true;
    pauses++;
    setTimeout(() => {
      paused = false;
      term.resume();
    }, 1);
  });
  await term.exited;
  assert.equal(whilePaused, 0);
  assert.equal(exitedWhilePaused, false);
  const expected = Array.from({ length: LINES }, (_, i) => `line${i}\n`).join("");
  assert.equal(text, expected);
  assert.ok(pauses > 1);
}, { timeout: LONG });

test("a Ctrl-C for the application's process group leaves its terminals running", async (t) => {
  // The parent ignores SIGINT, as an editor does; its terminal's program must go on too.
  const script = `
    process.on("SIGINT", () => {});
    const { spawn } = require(${JSON.stringify(CLIENT)});
    const term = spawn("/bin/sh", ["-c", "while read line; do echo got $line; done"]);
    let seen = "";
    term.ready.then(() => console.log("ready"));
    term.onData((d) => { seen += d; if (seen.includes("got two")) { console.log("alive"); term.kill(); } });
    term.onError((e) => console.log(e.message));
    process.stdin.on("data", (d) => term.write(d));
  `;
  const parent = spawnProcess(process.execPath, ["-e", script], { stdio: ["pipe", "pipe", "inherit"], detached: true });
  t.after(() => parent.kill("SIGKILL"));
  let out = "";
  parent.stdout.on("data", (d) => (out += d));
  await waitFor(() => out.includes("ready"), "the session to start");
  process.kill(-parent.pid, "SIGINT");
  await sleep(200);
  parent.stdin.write("two\n");
  await waitFor(() => out.includes("alive") || out.includes("bridge ended"), "the session's answer");
  assert.equal(out.trim(), "ready\nalive");
  parent.stdin.end();
});
