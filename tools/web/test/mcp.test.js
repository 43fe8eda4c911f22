// quelt-web --mcp as an agent host starts it: the SDK's own client over standard input and
// output, driving real programs through the real bridge; a person's page in Chromium on the
// same session; the recording replayed into a headless terminal.
import assert from "node:assert/strict";
import { existsSync, mkdtempSync, readdirSync, readFileSync, rmSync } from "node:fs";
import { createRequire } from "node:module";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { CLI, PROMPT, SCALE, connectSession, descendants, gone, launchBrowser, rssKiB, screen, sleep, waitFor } from "./helpers.js";

const require = createRequire(import.meta.url);
const { Terminal } = require("@xterm/headless");

const work = mkdtempSync(join(tmpdir(), "quelt-web-mcp-"));
const recordings = join(work, "casts");
const BASH = { command: "/bin/bash", args: ["--norc", "--noprofile"] };
// Every test has a deadline of its own, so that a stuck one fails instead of holding the file
// until CTest gives up; each wait inside it has a shorter one that says what did not come.
const LIMIT = { timeout: 90000 * SCALE };

// What a test started and must not outlive the file: run by `after` even when an assertion
// failed halfway, since a server left running keeps this process alive through its pipes.
const cleanups = [];
const onCleanup = (fn) => cleanups.push(fn);

// Starts `quelt-web --mcp ARGS` as a host does, and connects the SDK's client to it.
async function connect(args = []) {
  const transport = new StdioClientTransport({
    // As a host runs it: through its first line, which sets the heap's limits.
    command: CLI,
    args: ["--mcp", ...args],
    env: { ...process.env, PS1: PROMPT, TERM: "xterm-256color" },
    stderr: "pipe",
  });
  let stderr = "";
  transport.stderr.on("data", (d) => { stderr += d; });
  const client = new Client({ name: "quelt-web-test", version: "0" });
  // The SDK's close() ends the server's input, then signals it, SIGKILL last.
  onCleanup(() => client.close());
  await client.connect(transport);
  const call = async (name, args = {}) => {
    const result = await client.callTool({ name, arguments: args });
    return { text: result.content.map((c) => c.text).join(""), isError: Boolean(result.isError) };
  };
  const ok = async (name, args) => {
    const result = await call(name, args);
    assert.equal(result.isError, false, `${name} failed: ${result.text}`);
    if (name === "terminal_wait") assert.doesNotMatch(result.text, /^(Timed out|The program ended)/, JSON.stringify(args));
    return result.text;
  };
  const url = async () => (await waitFor("the URL on stderr", () => /open (\S+)/.exec(stderr)))[1];
  return { client, transport, call, ok, url, stderr: () => stderr, pid: transport.pid };
}

const idOf = (text) => /terminal ([0-9a-f]{32})/.exec(text)[1];
const bodyOf = (screenText) => screenText.slice(screenText.indexOf("\n") + 1);

let agent;
before(async () => {
  agent = await connect(["--record", recordings, "--keep", "0"]);
});
after(async () => {
  await Promise.allSettled(cleanups.map(async (fn) => fn()));
  rmSync(work, { recursive: true, force: true });
});

test("the tools are listed with their schemas, and bash runs a command typed by the agent", LIMIT, async () => {
  const { tools } = await agent.client.listTools();
  const names = tools.map((t) => t.name).sort();
  assert.deepEqual(names, ["terminal_close", "terminal_list", "terminal_open", "terminal_resize", "terminal_screen", "terminal_type", "terminal_wait"]);
  const schema = Object.fromEntries(tools.map((t) => [t.name, t.inputSchema]));
  for (const [tool, required, members] of [
    ["terminal_open", undefined, ["command", "args", "cwd", "cols", "rows"]],
    ["terminal_type", ["id"], ["id", "text", "keys"]],
    ["terminal_screen", ["id"], ["id", "scrollback"]],
    ["terminal_wait", ["id"], ["id", "text", "regex", "idle_ms", "timeout_ms"]],
    ["terminal_resize", ["id", "cols", "rows"], ["id", "cols", "rows"]],
    ["terminal_close", ["id"], ["id"]],
    ["terminal_list", undefined, []],
  ]) {
    assert.equal(schema[tool].type, "object", tool);
    assert.deepEqual(schema[tool].required, required, tool);
    assert.deepEqual(Object.keys(schema[tool].properties), members, tool);
    for (const member of members) assert.ok(schema[tool].properties[member].description, `${tool}.${member} has a description`);
    assert.ok(tools.find((t) => t.name === tool).description.length > 40, `${tool} has a description`);
  }

  const opened = await agent.ok("terminal_open", { ...BASH, cols: 70, rows: 20 });
  const id = idOf(opened);
  assert.match(opened, new RegExp(`http://127\\.0\\.0\\.1:\\d+/[0-9a-f]{32}/#${id}`));
  await agent.ok("terminal_wait", { id, regex: "qw\\$ $" });
  await agent.ok("terminal_type", { id, text: "echo $((6*7)); stty size\n" });
  const seen = await agent.ok("terminal_wait", { id, text: "20 70" });
  assert.match(bodyOf(seen), /^42$/m);
  assert.match(seen, /^\[terminal [0-9a-f]{32} · 70x20 · cursor at row \d+, column \d+/);
  assert.match(await agent.ok("terminal_list"), new RegExp(`${id}  /bin/bash --norc --noprofile  70x20  running  opened by an agent  0 page`));
  assert.match(await agent.ok("terminal_close", { id }), /the program (exited with code \d+|was ended by SIGHUP)/);
});

test("vim -u NONE edits a file by keys, and the recording replays to the screen the agent read", LIMIT, async () => {
  const file = join(work, "notes.txt");
  const before = new Set(readdirSync(recordings));
  const id = idOf(await agent.ok("terminal_open", { command: "vim", args: ["-u", "NONE", "-n", file], cols: 60, rows: 12 }));
  await agent.ok("terminal_wait", { id, regex: "notes\\.txt" });
  await agent.ok("terminal_type", { id, keys: ["i"], text: "" });
  await agent.ok("terminal_type", { id, text: "hello from an agent" });
  await agent.ok("terminal_type", { id, keys: ["Escape", "0", "w", "C-v", "Escape", "A", "!", "Escape"] });
  await agent.ok("terminal_wait", { id, text: "hello from an agent!" });
  await agent.ok("terminal_resize", { id, cols: 50, rows: 10 });
  const last = await agent.ok("terminal_wait", { id, idle_ms: 300 });
  assert.match(last, /50x10/);
  await agent.ok("terminal_type", { id, keys: [":", "w", "q", "Enter"] });
  const ended = await agent.call("terminal_wait", { id, text: "never shown", timeout_ms: 5000 });
  assert.match(ended.text, /^The program ended before that showed\.\n\[.* · the program exited with code 0\]/);
  assert.equal(readFileSync(file, "utf8"), "hello from an agent!\n");

  // The file is complete once the session has ended.
  const [name] = await waitFor("the recording", () => {
    const added = readdirSync(recordings).filter((n) => !before.has(n));
    return added.length === 1 && added;
  });
  assert.match(name, /^\d{8}T\d{6}Z-[0-9a-f]{8}\.cast$/);
  assert.ok(name.endsWith(`-${id.slice(0, 8)}.cast`) && !name.includes(id));
  const lines = await waitFor("the whole recording", () => {
    const text = readFileSync(join(recordings, name), "utf8");
    return text.includes(":wq") && text.endsWith("\n") && text.trimEnd().split("\n");
  });
  const header = JSON.parse(lines[0]);
  assert.deepEqual([header.version, header.width, header.height], [2, 60, 12]);
  const events = lines.slice(1).map((line) => JSON.parse(line));
  assert.deepEqual(new Set(events.map((e) => e[1])), new Set(["o", "i", "r"]));
  assert.ok(events.every((e, i) => i === 0 || e[0] >= events[i - 1][0]), "times never go back");

  // Replayed up to the moment the agent read the screen, the recording shows that screen.
  const replay = new Terminal({ cols: header.width, rows: header.height, allowProposedApi: true });
  const upTo = events.findIndex((e) => e[1] === "i" && e[2].includes(":"));
  for (const [, code, data] of events.slice(0, upTo)) {
    if (code === "o") await new Promise((resolve) => replay.write(data, resolve));
    if (code === "r") replay.resize(...data.split("x").map(Number));
  }
  const buffer = replay.buffer.active;
  const replayed = [];
  for (let y = 0; y < replay.rows; y++) replayed.push(buffer.getLine(buffer.baseY + y).translateToString(true));
  const trimmed = (lines) => lines.map((line) => line.trimEnd()).join("\n").trimEnd();
  assert.equal(trimmed(replayed), trimmed(bodyOf(last).split("\n")));
});

test("a recorded program that floods is recorded whole, and the server's memory stays flat", LIMIT, async () => {
  const before = new Set(readdirSync(recordings));
  const rss = rssKiB(agent.pid);
  const bytes = 12 * 1024 * 1024;
  const id = idOf(await agent.ok("terminal_open", { command: "/bin/sh", args: ["-c", `yes 0123456789abcdefghijklmnopqrstuvwxyz | head -c ${bytes}`] }));
  let peak = rss;
  await waitFor("the flood's end", async () => {
    peak = Math.max(peak, rssKiB(agent.pid));
    return new RegExp(`${id} .* exited with code 0`).test(await agent.ok("terminal_list"));
  }, 60000);
  const [name] = readdirSync(recordings).filter((n) => !before.has(n));
  const events = await waitFor("the whole recording", () => {
    const text = readFileSync(join(recordings, name), "utf8");
    return text.endsWith("\n") && text.trimEnd().split("\n").slice(1).map((line) => JSON.parse(line));
  });
  const recorded = events.filter((e) => e[1] === "o").map((e) => e[2]).join("");
  // Each line's newline reaches the terminal as CR LF.
  assert.equal(recorded.replaceAll("\r\n", "\n").length, bytes);
  console.log(`server RSS ${rss} KiB, at most ${peak} KiB while ${bytes >> 20} MiB were recorded`);
  assert.ok(peak - rss < 32 * 1024, `the server grew by ${peak - rss} KiB`);
  assert.match(await agent.call("terminal_close", { id }).then((r) => r.text), /has ended/);
});

test("terminal_wait: idle_ms after a second of output, and a timeout", LIMIT, async () => {
  const id = idOf(await agent.ok("terminal_open", { ...BASH, cwd: work }));
  await agent.ok("terminal_wait", { id, regex: "qw\\$ $" });
  await agent.ok("terminal_type", { id, text: "pwd; for i in 1 2 3 4 5; do echo tick $i; sleep 0.2; done\n" });
  await agent.ok("terminal_wait", { id, text: "tick 1" });
  const started = Date.now();
  const idle = await agent.ok("terminal_wait", { id, idle_ms: 500, timeout_ms: 5000 });
  const took = Date.now() - started;
  assert.match(bodyOf(idle), new RegExp(`^${work}\ntick 1\n[^]*tick 5\nqw\\$ $`, "m"));
  assert.ok(took >= 1000 && took < 3000 * SCALE, `idle after ${took} ms`);

  const timedOut = await agent.call("terminal_wait", { id, text: "not coming", timeout_ms: 300 });
  assert.equal(timedOut.isError, false);
  assert.match(timedOut.text, /^Timed out after \d+ ms; the screen:\n\[terminal .*\]\n[^]*tick 5/);
  await agent.ok("terminal_close", { id });
});

test("a tool given an unknown or ended id, a bad regex or a bad key answers with an error, and the server goes on", LIMIT, async () => {
  const id = idOf(await agent.ok("terminal_open", { command: "/bin/sh", args: ["-c", "exit 3"] }));
  await waitFor("the program's end", async () => new RegExp(`${id} .* exited with code 3`).test(await agent.ok("terminal_list")));
  const live = idOf(await agent.ok("terminal_open", BASH));
  for (const [tool, args, message] of [
    ["terminal_screen", { id: "0".repeat(32) }, /unknown terminal id "0{32}"/],
    ["terminal_type", { id: "nope", text: "x" }, /unknown terminal id "nope"/],
    ["terminal_type", { id, text: "x" }, /terminal [0-9a-f]{32} has ended: the program exited with code 3/],
    ["terminal_close", { id }, /has ended/],
    ["terminal_wait", { id: live, regex: "(unclosed" }, /bad regex "\(unclosed":/],
    ["terminal_type", { id: live, keys: ["Enter", "F13"] }, /^unknown key name "F13": expected a name such as .*; nothing was typed$/],
    ["terminal_wait", { id: live, text: "a", idle_ms: 5 }, /exactly one of/],
    ["terminal_resize", { id: live, cols: 0, rows: 10 }, /`cols` must be an integer from 1 to 1000/],
    ["terminal_open", { command: "/nonexistent/program" }, /could not start \/nonexistent\/program/],
  ]) {
    const result = await agent.call(tool, args);
    assert.equal(result.isError, true, `${tool} ${JSON.stringify(args)}: ${result.text}`);
    assert.match(result.text, message);
  }
  await agent.ok("terminal_close", { id: live });
});

const noChromium = !existsSync(process.env.CHROMIUM ?? "/usr/bin/chromium") && "no Chromium to open the page in";

test("a person's page on the agent's link sees what the agent typed, and the agent sees what the person typed", { ...LIMIT, skip: noChromium }, async () => {
  const browser = await launchBrowser();
  onCleanup(() => browser.close());
  try {
    const opened = await agent.ok("terminal_open", BASH);
    const id = idOf(opened);
    const link = /watch it and type into it at (\S+)/.exec(opened)[1];
    await agent.ok("terminal_wait", { id, regex: "qw\\$ $" });
    await agent.ok("terminal_type", { id, text: "echo agent was $((40+2))\n" });
    const page = await browser.newPage();
    await page.goto(link);
    await waitFor("the agent's output in the page", async () => (await screen(page)).includes("agent was 42"), 10000);
    assert.equal(await page.$eval("#agent", (e) => !e.hidden && e.textContent), "opened by an agent");
    assert.equal(await page.$eval("#recording", (e) => !e.hidden), true);
    // Watching does not resize the agent's terminal; typing in the page does.
    assert.match(await agent.ok("terminal_screen", { id }), /· 80x24 ·/);

    await page.keyboard.type("echo person was $((50+5))");
    await page.keyboard.press("Enter");
    const seen = await agent.ok("terminal_wait", { id, text: "person was 55" });
    assert.match(seen, /person was 55/);
    assert.doesNotMatch(seen, /· 80x24 ·/);
    assert.match(await agent.ok("terminal_list"), new RegExp(`${id} .* 1 page`));

    // The title follows the foreground program where the bridge reports it, as the agent's
    // screen does; an older bridge reports nothing, and the title stays the page's own.
    const reported = / · foreground: bash/.test(await agent.ok("terminal_screen", { id }));
    await waitFor("the title", async () => (await page.title()) === (reported ? "bash — quelt-web" : "quelt-web"), 5000);
    if (reported) {
      await agent.ok("terminal_type", { id, text: "vim -u NONE\n" });
      await waitFor("vim in the title", async () => (await page.title()) === "vim — quelt-web", 5000);
      await agent.ok("terminal_type", { id, text: ":q\n" });
    }

    // The page offers the session's recording.
    const href = await page.$eval("#recording", (e) => e.href);
    const cast = await page.evaluate(async (url) => (await fetch(url)).text(), href);
    assert.match(cast.split("\n")[0], /"version":2/);
    assert.match(cast, /person was/);
    await agent.ok("terminal_close", { id });
    await page.close();
  } finally {
    await browser.close();
  }
});

test("the agent's client closes: its sessions end, and then the server, with no process left", LIMIT, async () => {
  const other = await connect(["--keep", "0", "--no-web"]);
  const server = other.pid;
  const ids = [];
  for (let i = 0; i < 2; i++) ids.push(idOf(await other.ok("terminal_open", BASH)));
  await other.ok("terminal_wait", { id: ids[1], regex: "qw\\$ $" });
  // The prompt is on the screen already before the typed line echoes, so waiting for it would
  // return at once: wait for the line's own output, then for the processes to show in /proc.
  await other.ok("terminal_type", { id: ids[1], text: "sleep 300 & echo started $((2+3))\n" });
  await other.ok("terminal_wait", { id: ids[1], regex: "^started 5\nqw\\$ $" });
  const below = await waitFor("two bridges and the background sleep below the server", () => {
    const found = descendants(server);
    return found.filter((p) => p.comm === "quelt_local_pty").length === 2 && found.some((p) => p.comm === "sleep") && found;
  });
  assert.equal(other.stderr(), "", "--no-web prints no URL");
  // Its input ends, and no signal follows (the SDK's close() would send SIGTERM after 2 s).
  other.transport._process.stdin.end();
  await waitFor("the server's end", () => gone(server), 10000);
  // Whatever outlives the server is this test's own and is ended by it, so a failure here
  // leaves nothing running; the message names what survived.
  onCleanup(() => below.forEach((p) => gone(p.pid) || process.kill(p.pid, "SIGKILL")));
  await waitFor("every process below it to end", () => below.every((p) => gone(p.pid)), 10000).catch(() => {
    const left = below.filter((p) => !gone(p.pid)).map((p) => `${p.pid} ${p.comm}`);
    assert.fail(`still running after the server ended: ${left.join(", ")}`);
  });
  await other.client.close();
});

test("a session the agent let go of lives on while a page holds it, and the server ends with it", LIMIT, async () => {
  const other = await connect(["--keep", "0"]);
  const opened = await other.ok("terminal_open", BASH);
  const id = idOf(opened);
  const link = new URL(/at (\S+)$/.exec(opened)[1]);
  const page = await connectSession(link.href.replace(/#.*/, ""), { path: `ws?cols=80&rows=24&session=${id}` });
  onCleanup(() => page.ws.close());
  await waitFor("the page's prompt", () => page.output().includes(PROMPT));
  // The host goes without a signal (it died): the server sees its input end. (The SDK's own
  // close() ends the input too, but sends SIGTERM 2 s later, which ends every session.)
  other.transport._process.stdin.end();
  await sleep(300);
  page.type("echo held $((6*7))\r");
  await waitFor("the page's answer", () => page.output().includes("held 42"));
  page.ws.close();
  await waitFor("the server's end", () => gone(other.pid), 10000);
  await other.client.close();
});

test("no bridge or program survives a SIGKILL of the server", LIMIT, async () => {
  const other = await connect(["--no-web"]);
  const id = idOf(await other.ok("terminal_open", BASH));
  await other.ok("terminal_wait", { id, regex: "qw\\$ $" });
  const below = descendants(other.pid);
  assert.ok(below.some((p) => p.comm === "bash"));
  process.kill(other.pid, "SIGKILL");
  await waitFor("every process below it to end", () => below.every((p) => gone(p.pid)), 10000);
  await other.client.close().catch(() => {});
  await sleep(0);
});
