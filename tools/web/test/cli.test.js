// The command line: its options, where it listens, and stopping it.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";
import { parseArgs, UsageError } from "../lib/options.js";
import { startServer } from "../lib/server.js";
import { PROMPT, SHELL, connectSession, descendants, gone, startCli, waitFor } from "./helpers.js";

test("options", () => {
  const env = { SHELL: "/bin/zsh" };
  assert.deepEqual(parseArgs([], env),
    { host: "127.0.0.1", port: 0, keepSeconds: 300, scrollback: 5000, bridgePath: undefined, file: "/bin/zsh", args: [], mcp: false, web: true, recordDir: undefined });
  assert.deepEqual(parseArgs(["--host=::1", "--port", "8022", "--keep=0", "--scrollback", "100000", "--bridge", "/b", "--", "vim", "-u", "NONE", "--port"], env),
    { host: "::1", port: 8022, keepSeconds: 0, scrollback: 100000, bridgePath: "/b", file: "vim", args: ["-u", "NONE", "--port"], mcp: false, web: true, recordDir: undefined });
  assert.deepEqual(parseArgs(["--mcp", "--no-web", "--record=casts"], env),
    { host: "127.0.0.1", port: 0, keepSeconds: 300, scrollback: 5000, bridgePath: undefined, file: "/bin/zsh", args: [], mcp: true, web: false, recordDir: "casts" });
  assert.deepEqual(parseArgs(["--port", "1", "-h"], env), { help: true });
  for (const [argv, message] of [
    [["--port", "65536"], /--port must be a number from 0 to 65535/],
    [["--port=-1"], /--port must be/],
    [["--port", "8o"], /--port must be/],
    [["--keep", "-1"], /--keep must be a number from 0 to 604800, not -1/],
    [["--keep", "604801"], /--keep must be/],
    [["--scrollback", "1e3"], /--scrollback must be a number from 0 to 1000000, not 1e3/],
    [["--scrollback"], /--scrollback needs a value/],
    [["--host"], /--host needs a value/],
    [["--host="], /--host needs a value/],
    [["--"], /-- must be followed by a program/],
    [["--hots", "x"], /unknown option --hots/],
    [["bash"], /unexpected argument bash \(put the program after --\)/],
    [["--no-web"], /--no-web needs --mcp/],
    [["--record="], /--record needs a folder/],
  ]) {
    assert.throws(() => parseArgs(argv, env), (e) => e instanceof UsageError && message.test(e.message), argv.join(" "));
  }
});

// The local addresses listening on `port`, from the kernel's socket tables.
function listeners(port) {
  const found = [];
  for (const table of ["/proc/net/tcp", "/proc/net/tcp6"]) {
    for (const line of readFileSync(table, "utf8").split("\n").slice(1)) {
      const [, local, , state] = line.trim().split(/\s+/);
      if (state === "0A" && local && Number.parseInt(local.split(":")[1], 16) === port) found.push(local.split(":")[0]);
    }
  }
  return found;
}

test("it listens on loopback unless told otherwise, and warns when it is told", async () => {
  const local = await startCli(["--port", "0", ...SHELL]).ready;
  const port = Number(new URL(local.url).port);
  assert.match(local.url, /^http:\/\/127\.0\.0\.1:\d+\/[0-9a-f]{32}\/$/);
  assert.deepEqual(listeners(port), ["0100007F"]);
  await local.stop();
  assert.doesNotMatch(local.stderr, /warning/);

  const named = await startCli(["--host", "localhost", "--port", "0", ...SHELL]).ready;
  await named.stop();
  assert.doesNotMatch(named.stderr, /warning/);

  const wide = await startCli(["--host", "0.0.0.0", "--port", "0", ...SHELL]).ready;
  await wide.stop();
  assert.match(wide.stderr, /^quelt-web: warning: listening on 0\.0\.0\.0, beyond loopback/m);
});

test("SIGTERM, or Ctrl-C in its terminal, ends every session it runs and leaves no process behind", async () => {
  // Ctrl-C sends SIGINT to the terminal's whole foreground process group.
  for (const [signal, stop] of [["SIGTERM", (pid) => process.kill(pid, "SIGTERM")], ["SIGINT", (pid) => process.kill(-pid, "SIGINT")]]) {
    const server = await startCli(["--port", "0", ...SHELL], { detached: true }).ready;
    const a = await connectSession(server.url);
    const b = await connectSession(server.url);
    await waitFor("both prompts", () => a.output().includes(PROMPT) && b.output().includes(PROMPT));
    const below = descendants(server.proc.pid);
    assert.equal(below.filter((p) => p.comm === "quelt_local_pty").length, 2);
    assert.equal(below.filter((p) => p.comm === "bash").length, 2);
    stop(server.proc.pid);
    assert.deepEqual(await server.exited, { code: 0, signal: null }, signal);
    assert.equal((await a.closed).code, 1001, signal);
    assert.equal((await b.closed).code, 1001, signal);
    await waitFor("every bridge and shell to end", () => below.every((p) => gone(p.pid)), 2000);
  }
});

test("a program or a bridge that cannot start is reported to the page, and the server goes on", async () => {
  const noProgram = await startCli(["--port", "0", "--", "/nope"]).ready;
  const failed = await connectSession(noProgram.url);
  // The page is told why, as the bridge reports it; a close reason holds only its start.
  const why = "failed to spawn shell /nope: Unable to spawn /nope because it doesn't exist on the filesystem (ENOENT: No such file or directory)";
  const closed = await failed.closed;
  assert.equal(closed.code, 1011);
  assert.ok(`session failed: ${why}`.startsWith(closed.reason.replace(/…$/, "")), closed.reason);
  assert.deepEqual(failed.controls.filter((c) => c.type !== "attached"), [{ type: "error", message: why }]);
  await waitFor("the bridge to end", () => descendants(noProgram.proc.pid).length === 0);
  await noProgram.stop();

  const noBridge = await startCli(["--port", "0", "--bridge", "/nonexistent/quelt_local_pty", ...SHELL]).ready;
  for (let i = 0; i < 2; i++) {
    const refused = await connectSession(noBridge.url);
    const { code, reason } = await refused.closed;
    assert.equal(code, 1011);
    assert.match(reason, /^could not start the bridge: quelt_local_pty bridge not found: looked at \/nonexistent/);
    assert.match(refused.controls[0].message, /^quelt_local_pty bridge not found: looked at \/nonexistent\/quelt_local_pty/);
  }
  assert.match(noBridge.stderr, /quelt-web: quelt_local_pty bridge not found/);
  assert.deepEqual(await noBridge.stop(), { code: 0, signal: null });
});

test("a connection lost without a word ends its session after two heartbeats (with --keep 0)", async () => {
  const server = await startServer({
    program: { file: "/bin/bash", args: ["--norc", "--noprofile"] },
    env: { ...process.env, PS1: PROMPT },
    heartbeatMs: 150,
    keepSeconds: 0,
  });
  try {
    const silent = await connectSession(server.url, { autoPong: false });
    await waitFor("the prompt", () => silent.output().includes(PROMPT));
    const bridge = descendants(process.pid).find((p) => p.ppid === process.pid && p.comm === "quelt_local_pty");
    assert.ok(bridge, "a bridge below this process");
    await waitFor("the silent connection's bridge to end", () => gone(bridge.pid), 2000);
    await waitFor("the server to forget the session", () => server.sessions.size === 0);
    assert.equal((await silent.closed).code, 1006);
  } finally {
    await server.close();
  }
});
