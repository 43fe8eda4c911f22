// Shared by the tests: a quelt-web server started from the command line, the processes below
// it, a headless Chromium, and reading the page's terminal.
import { spawn } from "node:child_process";
import { mkdtempSync, readdirSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { fileURLToPath } from "node:url";

export const CLI = fileURLToPath(new URL("../bin/quelt-web.js", import.meta.url));
export const SCALE = Number(process.env.QLP_TEST_TIMEOUT_MULTIPLIER ?? 1) || 1;
// The tests' shell: no start-up files, a prompt they can find.
export const SHELL = ["--", "/bin/bash", "--norc", "--noprofile"];
export const PROMPT = "qw$ ";

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function waitFor(what, check, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs * SCALE;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(20);
  }
}

// Starts `quelt-web ARGS`, as its own first line says to run it, and resolves once it has
// printed its URL. `detached` gives it a process group of its own, as a shell gives a command
// it runs.
export function startCli(args, { env = {}, command = [CLI], detached = false } = {}) {
  const proc = spawn(command[0], [...command.slice(1), ...args], {
    env: { ...process.env, PS1: PROMPT, ...env },
    stdio: ["ignore", "pipe", "pipe"],
    detached,
  });
  const server = { proc, stdout: "", stderr: "", url: null };
  proc.stdout.on("data", (d) => { server.stdout += d; });
  proc.stderr.on("data", (d) => { server.stderr += d; });
  server.exited = new Promise((resolve) => proc.on("exit", (code, signal) => resolve({ code, signal })));
  server.stop = async () => {
    if (proc.exitCode === null && proc.signalCode === null) proc.kill("SIGTERM");
    return server.exited;
  };
  server.ready = (async () => {
    await waitFor("the printed URL", () => /open (\S+)/.exec(server.stdout) || proc.exitCode !== null, 10000);
    const match = /open (\S+)/.exec(server.stdout);
    if (!match) throw new Error(`quelt-web did not start: ${server.stderr}`);
    server.url = match[1];
    return server;
  })();
  return server;
}

function processTable() {
  const table = [];
  for (const name of readdirSync("/proc")) {
    if (!/^[0-9]+$/.test(name)) continue;
    try {
      const stat = readFileSync(`/proc/${name}/stat`, "utf8");
      // The command name is in parentheses and may hold spaces; the fields after it don't.
      const close = stat.lastIndexOf(")");
      const [state, ppid] = stat.slice(close + 2).split(" ");
      if (state !== "Z") table.push({ pid: Number(name), ppid: Number(ppid), comm: stat.slice(stat.indexOf("(") + 1, close) });
    } catch {
      // Gone while we looked.
    }
  }
  return table;
}

// The live (not zombie) processes below `pid`, as { pid, comm }.
export function descendants(pid) {
  const table = processTable();
  const found = [];
  const parents = new Set([pid]);
  for (let grew = true; grew; ) {
    grew = false;
    for (const p of table) {
      if (parents.has(p.ppid) && !parents.has(p.pid)) {
        parents.add(p.pid);
        found.push(p);
        grew = true;
      }
    }
  }
  return found;
}

export function rssKiB(pid) {
  const match = /VmRSS:\s+(\d+) kB/.exec(readFileSync(`/proc/${pid}/status`, "utf8"));
  return Number(match[1]);
}

// Debian's Chromium, headless. As root it needs --no-sandbox; the rest keeps it from reaching
// any network service of its own, and a fresh profile keeps runs apart.
export async function launchBrowser() {
  const { default: puppeteer } = await import("puppeteer-core");
  const profile = mkdtempSync(join(tmpdir(), "quelt-web-chromium-"));
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM ?? "/usr/bin/chromium",
    headless: true,
    pipe: true,
    userDataDir: profile,
    args: [
      "--no-sandbox", "--headless=new", "--disable-gpu", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", "--no-first-run", "--disable-dev-shm-usage",
    ],
  });
  const close = browser.close.bind(browser);
  browser.close = async () => {
    await close();
    rmSync(profile, { recursive: true, force: true });
  };
  return browser;
}

// Opens the page and waits for the shell's prompt.
export async function openTerminal(browser, url, viewport = { width: 900, height: 600 }) {
  const page = await browser.newPage();
  await page.setViewport(viewport);
  await page.goto(url);
  await waitFor("the prompt", async () => (await screen(page)).includes(PROMPT.trim()), 10000);
  return page;
}

// The terminal's lines, scrollback included, without trailing blanks.
export function screen(page) {
  return page.evaluate(() => {
    const term = window.quelt?.term;
    if (!term) return "";
    const buffer = term.buffer.active;
    const lines = [];
    for (let i = 0; i < buffer.length; i++) lines.push(buffer.getLine(i).translateToString(true));
    return lines.join("\n").trimEnd();
  });
}

// The line the cursor is on.
export function cursorLine(page) {
  return page.evaluate(() => {
    const buffer = window.quelt.term.buffer.active;
    return buffer.getLine(buffer.baseY + buffer.cursorY).translateToString(true);
  });
}

export async function typeLine(page, text) {
  await page.keyboard.type(text);
  await page.keyboard.press("Enter");
}

// A WebSocket to the server as a browser would open it (its Origin the server's own unless
// given). Resolves to { ws, output(), controls, closed, ackAll() } once open; rejects with the
// HTTP status of a refusal. With `ack` false it acknowledges output only when ackAll() is called.
export async function connectSession(url, {
  origin = new URL(url).origin, host, path = "ws?cols=80&rows=24", autoPong = true, ack = true,
} = {}) {
  const { WebSocket } = await import("ws");
  const target = new URL(path, url);
  target.protocol = "ws:";
  const headers = { ...(origin === null ? {} : { origin }), ...(host ? { host } : {}) };
  const ws = new WebSocket(target, { headers, autoPong });
  let output = "";
  let unacked = 0;
  const controls = [];
  const closed = new Promise((resolve) => ws.on("close", (code, reason) => resolve({ code, reason: reason.toString() })));
  const ackAll = () => {
    if (unacked > 0) ws.send(JSON.stringify({ type: "ack", bytes: unacked }));
    unacked = 0;
  };
  ws.on("message", (data, isBinary) => {
    if (!isBinary) return void controls.push(JSON.parse(data.toString("utf8")));
    output += data.toString("utf8");
    unacked += data.length;
    if (ack) ackAll();
  });
  await new Promise((resolve, reject) => {
    ws.on("open", resolve);
    ws.on("unexpected-response", (req, res) => reject(Object.assign(new Error(`HTTP ${res.statusCode}`), { status: res.statusCode })));
    ws.on("error", reject);
  });
  return {
    ws,
    closed,
    controls,
    output: () => output,
    type: (data) => ws.send(JSON.stringify({ type: "input", data })),
    ackAll,
  };
}

// The page's banner, or "" while it is hidden.
export function bannerText(page) {
  return page.evaluate(() => (document.getElementById("banner").hidden ? "" : document.getElementById("banner-text").textContent));
}

// True when the process is gone (or a zombie nobody has reaped yet).
export function gone(pid) {
  try {
    return readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].startsWith("Z");
  } catch {
    return true;
  }
}
