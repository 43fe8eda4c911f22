// quelt-web as someone who wants a browser terminal installs it: globally, from its tarball with
// the client's and the linux-x64 package's, into a prefix of its own, started from a folder with
// no checkout, no bridge on PATH and no QUELT_LOCAL_PTY. A session over its WebSocket must run
// the platform package's bridge.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import * as fs from "node:fs";
import { createRequire } from "node:module";
import * as path from "node:path";
import { LONG, NPM, needsRelease, npm, tarball, userEnv, workDir } from "./helpers.mjs";

const WEB_DIR = process.env.QLP_WEB_DIR ?? new URL("../../../../tools/web", import.meta.url).pathname;
const options = needsRelease.skip ? needsRelease :
  fs.existsSync(path.join(WEB_DIR, "node_modules")) ? { timeout: 4 * LONG } :
  { skip: `${WEB_DIR} has no node_modules to bundle: build the tree first` };

async function until(what, check) {
  const deadline = Date.now() + LONG;
  for (;;) {
    const value = check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

/** The executables of running processes, by pid. */
function executables() {
  const result = new Map();
  for (const pid of fs.readdirSync("/proc").filter((name) => /^\d+$/.test(name))) {
    try {
      result.set(Number(pid), fs.readlinkSync(`/proc/${pid}/exe`));
    } catch {
      // Gone, or not ours to read.
    }
  }
  return result;
}

test("quelt-web installed globally from tarballs serves a terminal with the platform package's bridge", options, async (t) => {
  const work = workDir(t, "web");
  const env = userEnv({ PS1: "qw$ " });
  const web = path.join(work, execFileSync(NPM, ["pack", "--silent", "--pack-destination", work, WEB_DIR],
                                           { cwd: work, encoding: "utf8" }).trim().split("\n").pop());
  const prefix = path.join(work, "prefix");
  npm(["install", "-g", "--prefix", prefix, web, tarball(), tarball("linux-x64")], work, env);
  const bridge = path.join(prefix, "lib", "node_modules", "@quelt-local-pty", "linux-x64", "bin", "quelt_local_pty");
  assert.ok(fs.existsSync(bridge), `${bridge} is missing`);

  const home = workDir(t, "web-home");
  const server = spawn(path.join(prefix, "bin", "quelt-web"), ["--port", "0", "--", "/bin/sh"],
                       { cwd: home, env: { ...env, HOME: home }, stdio: ["ignore", "pipe", "pipe"] });
  let stdout = "";
  let stderr = "";
  server.stdout.on("data", (d) => (stdout += d));
  server.stderr.on("data", (d) => (stderr += d));
  const exited = new Promise((resolve) => server.on("exit", (code, signal) => resolve({ code, signal })));
  t.after(() => server.kill("SIGKILL"));
  const url = new URL((await until(`quelt-web's URL (stderr: ${stderr})`, () => /open (\S+)/.exec(stdout) || server.exitCode !== null))[1] ??
                      assert.fail(`quelt-web ended: ${stderr}`));

  // The WebSocket library quelt-web carries inside its own package.
  const { WebSocket } = createRequire(path.join(prefix, "lib", "node_modules", "quelt-web", "package.json"))("ws");
  const target = new URL("ws?cols=80&rows=24", url);
  target.protocol = "ws:";
  const ws = new WebSocket(target, { headers: { origin: url.origin } });
  let output = "";
  const controls = [];
  ws.on("close", (code, reason) => controls.push(`closed ${code} ${reason}`));
  ws.on("message", (data, isBinary) => {
    if (!isBinary) return void controls.push(data.toString("utf8"));
    output += data.toString("utf8");
    ws.send(JSON.stringify({ type: "ack", bytes: data.length }));
  });
  await new Promise((resolve, reject) => {
    ws.on("open", resolve);
    ws.on("error", reject);
  });
  const seen = () => `${JSON.stringify(output)}, ${JSON.stringify(controls)}; quelt-web said ${JSON.stringify(stderr)}`;
  // Typed before the prompt, the echo could come first and the answer follow the prompt.
  await until({ toString: () => `the prompt (got ${seen()})` }, () => output.includes("qw$ "));
  ws.send(JSON.stringify({ type: "input", data: "echo $((6*7))\r" }));
  await until({ toString: () => `42 in the terminal (got ${seen()})` }, () => /\r\n42\r\n/.test(output));
  const running = [...executables().values()];
  assert.ok(running.includes(bridge), `no process runs ${bridge}; bridges running: ${running.filter((e) => e.endsWith("quelt_local_pty"))}`);

  ws.close();
  server.kill("SIGTERM");
  assert.deepEqual(await exited, { code: 0, signal: null });
});
