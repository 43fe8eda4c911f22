// Sessions that outlive their page, in a real browser: Debian's Chromium, headless, driven
// through puppeteer-core, against a server in this process (so that a test can reach behind
// it) unless the test measures the server's own memory.
import assert from "node:assert/strict";
import { randomBytes } from "node:crypto";
import { existsSync, mkdtempSync, readFileSync, rmSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";
import { startServer } from "../lib/server.js";
import {
  PROMPT, SCALE, SHELL, bannerText, connectSession, cursorLine, descendants, gone, launchBrowser, openTerminal, rssKiB, screen,
  sleep, startCli, typeLine, waitFor,
} from "./helpers.js";

const BASH = { file: SHELL[1], args: SHELL.slice(2) };
const ENV = { ...process.env, PS1: PROMPT, TERM: "xterm-256color" };

let browser;
let server;
let dir;
const logged = [];
before(async () => {
  browser = await launchBrowser();
  server = await startServer({ program: BASH, env: ENV, slowMs: 500, log: (line) => logged.push(line) });
  dir = mkdtempSync(join(tmpdir(), "quelt-web-sessions-"));
});
after(async () => {
  await browser?.close();
  await server?.close();
  rmSync(dir, { recursive: true, force: true });
});

const below = (comm, pid = process.pid) => descendants(pid).filter((p) => p.comm === comm);
const sessionOf = async (page) => server.sessions.find(await page.evaluate(() => window.quelt.session)).session;
const attached = (page) => waitFor("the page to attach", () => page.evaluate(() => window.quelt?.attached), 10000);

// What the terminal shows: the active buffer's visible lines and the cursor.
function view(page) {
  return page.evaluate(() => {
    const buffer = window.quelt.term.buffer.active;
    const lines = [];
    for (let y = 0; y < window.quelt.term.rows; y++) lines.push(buffer.getLine(buffer.viewportY + y)?.translateToString(true) ?? "");
    return { type: buffer.type, lines, cursor: [buffer.cursorX, buffer.cursorY] };
  });
}

async function openLink(link, viewport = { width: 900, height: 600 }) {
  const page = await browser.newPage();
  await page.setViewport(viewport);
  await page.goto(link);
  return page;
}

test("vim with unsaved text: a reload brings the same screen back, and :wq then saves the file", async () => {
  const file = join(dir, "notes.txt");
  const page = await openTerminal(browser, server.url);
  await typeLine(page, `vim -u NONE -N ${file}`);
  await waitFor("vim's screen", async () => (await view(page)).type === "alternate" && (await screen(page)).includes("notes.txt"));
  await page.keyboard.type("ifirst line, typed\rsecond line, not saved");
  await waitFor("the typed text", async () => (await screen(page)).includes("second line, not saved"));
  await sleep(200);
  const before = await view(page);
  assert.match(before.lines.at(-1), /-- INSERT --/);

  await page.reload();
  await attached(page);
  await waitFor("the same screen after the reload", async () => JSON.stringify(await view(page)) === JSON.stringify(before));
  assert.equal(existsSync(file), false);

  await page.keyboard.press("Escape");
  await typeLine(page, ":wq");
  await waitFor("the file", () => existsSync(file) && readFileSync(file, "utf8") === "first line, typed\nsecond line, not saved\n");
  await waitFor("the prompt after vim", async () => (await cursorLine(page)) === PROMPT);
  await page.close();
});

test("when the server drops the connection the page says so, reconnects by itself, and the screen returns", async () => {
  const page = await openTerminal(browser, server.url);
  await typeLine(page, "echo shell $$; printf '\\e[1;32mgreen\\e[0m\\n'");
  const pid = (await waitFor("the shell's pid", async () => /^shell (\d+)$/m.exec(await screen(page))))[1];
  await waitFor("the prompt", async () => (await cursorLine(page)) === PROMPT);
  const before = await screen(page);
  await page.evaluate(() => {
    window.banners = [];
    const banner = document.getElementById("banner");
    const text = document.getElementById("banner-text");
    new MutationObserver(() => { if (!banner.hidden) window.banners.push(text.textContent); })
      .observe(banner, { attributes: true, subtree: true, childList: true, characterData: true });
  });

  const session = await sessionOf(page);
  for (const viewer of session.viewers) viewer.ws.terminate();
  await waitFor("the page to notice", () => page.evaluate(() => !window.quelt.attached));
  await attached(page);
  assert.deepEqual(await page.evaluate(() => window.banners), ["Connection lost. Reconnecting…"]);
  assert.equal(await bannerText(page), "");
  await waitFor("the screen back", async () => (await screen(page)) === before);
  await typeLine(page, "echo still $$");
  await waitFor("the same shell", async () => (await screen(page)).includes(`\nstill ${pid}`));
  await page.close();
});

test("2,000 lines printed while no page is attached are all there, in order, when one attaches", async () => {
  const done = join(dir, "seq-done");
  const page = await openTerminal(browser, server.url);
  const session = await sessionOf(page);
  const link = await page.evaluate(() => window.quelt.link);
  await typeLine(page, `sleep 2; seq -f 'line %g' 2000; touch ${done}`);
  await page.close();
  await waitFor("the page to detach", () => session.viewers.size === 0);
  assert.equal(existsSync(done), false, "seq ran before the page had gone");
  await waitFor("seq to finish", () => existsSync(done), 10000);

  const back = await openLink(link);
  await attached(back);
  await waitFor("the prompt", async () => (await cursorLine(back)) === PROMPT);
  const numbered = (await screen(back)).split("\n").filter((line) => /^line \d+$/.test(line));
  assert.deepEqual(numbered, Array.from({ length: 2000 }, (_, i) => `line ${i + 1}`));
  const { lines } = await view(back);
  assert.deepEqual(lines.filter((line) => line !== "").slice(-2), ["line 2000", PROMPT]);
  await back.close();
});

test("two pages on one session: each sees what either types, and the size follows the page that last typed or resized", async () => {
  const first = await openTerminal(browser, server.url, { width: 900, height: 600 });
  const second = await openLink(await first.evaluate(() => window.quelt.link), { width: 700, height: 450 });
  await attached(second);
  const size = (page) => page.evaluate(() => `${window.quelt.term.rows} ${window.quelt.term.cols}`);
  const own = await size(first);

  await typeLine(first, "echo one $((1+1))");
  await typeLine(second, "echo two $((2+2))");
  for (const page of [first, second]) {
    await waitFor("both answers on both pages", async () => {
      const lines = (await screen(page)).split("\n");
      return lines.includes("one 2") && lines.includes("two 4");
    });
  }

  const before = await size(second);
  await second.setViewport({ width: 1100, height: 500 });
  const resized = await waitFor("the second page's resize", async () => (await size(second)) !== before && size(second));
  await waitFor("the first page to follow", async () => (await size(first)) === resized);
  await typeLine(second, "stty size");
  await waitFor(`stty size to say ${resized}`, async () => (await screen(first)).split("\n").includes(resized));

  await typeLine(first, "stty size # from the first");
  await waitFor("the first page's own size back", async () => (await size(first)) === own && (await size(second)) === own);
  await waitFor(`stty size to say ${own}`, async () => (await screen(second)).split("\n").includes(own));
  await first.close();
  await second.close();
});

test("a ninth page is refused with the reason, and a page that holds the output up is taken off it without stalling the others", async () => {
  const page = await openTerminal(browser, server.url);
  const id = await page.evaluate(() => window.quelt.session);
  const path = `ws?session=${id}&cols=80&rows=24`;
  const others = [];
  for (let i = 0; i < 7; i++) others.push(await connectSession(server.url, { path, ack: i > 0 }));
  const ninth = await openLink(await page.evaluate(() => window.quelt.link));
  await waitFor("the refusal", async () => (await bannerText(ninth)) === "Not attached: this session already has 8 pages open.");
  await ninth.close();

  // The first of the others acknowledges nothing: a tab in the background.
  const stuck = others[0];
  await typeLine(page, "seq 1 300000 | tail -c 1000000");
  await waitFor("the end of the output on the page", async () => (await screen(page)).split("\n").includes("300000"), 30000);
  for (const other of others.slice(1)) await waitFor("the end of the output everywhere else", () => other.output().includes("300000\r\n"), 10000);
  assert.equal(stuck.controls.filter((c) => c.type === "attached").length, 1);
  assert.ok(!stuck.output().includes("300000\r\n"));
  assert.ok(stuck.output().length < 512 * 1024, `the stuck page was sent ${stuck.output().length} bytes`);

  // Once it has caught up it is given the screen afresh.
  stuck.ackAll();
  await waitFor("a fresh snapshot", () => stuck.controls.filter((c) => c.type === "attached").length === 2 && stuck.output().includes("300000\r\n"));
  for (const other of others) other.ws.close();
  await page.close();
});

test("a page attaching while the program is halfway through an escape sequence gets the whole of it", async () => {
  const first = await connectSession(server.url);
  await waitFor("the prompt", () => first.output().includes(PROMPT));
  const id = first.controls[0].session;
  first.type("printf '\\e[3'; sleep 0.7; printf '1mred\\e[0m\\n'\r");
  await waitFor("the first half", () => first.output().endsWith("\x1b[3"));
  const second = await connectSession(server.url, { path: `ws?session=${id}&cols=80&rows=24` });
  await waitFor("the second half", () => first.output().includes("\x1b[31mred"));
  await waitFor("the second page's screen", () => second.output().includes("red"));
  assert.doesNotMatch(second.output(), /\n1mred/);
  assert.match(second.output(), /\x1b\[31mred/);
  first.ws.close();
  second.ws.close();
});

test("a forged id, an id without the token and a foreign origin start nothing, and ids stay out of the log", async () => {
  const page = await openTerminal(browser, server.url);
  const session = await sessionOf(page);
  const bridges = below("quelt_local_pty").length;
  const count = server.sessions.size;

  const forged = await openLink(`${server.url}#${randomBytes(16).toString("hex")}`);
  await waitFor("the forged id's answer", async () => (await bannerText(forged)) ===
    "This session is not known to the server: it ended long ago, or the server was restarted.");
  await forged.close();

  const base = new URL(server.url);
  const ws = (path) => `ws://${base.host}${path}`;
  const attempt = (target, url) => target.evaluate((url) => new Promise((resolve) => {
    const socket = new WebSocket(url);
    socket.onopen = () => resolve("open");
    socket.onclose = (event) => resolve(`closed ${event.code}`);
  }), url);
  for (const path of [`/ws?session=${session.id}`, `/${"0".repeat(32)}/ws?session=${session.id}`, `/${session.id}/ws?session=${session.id}`]) {
    assert.equal(await attempt(page, ws(path)), "closed 1006", path);
  }
  const foreign = createServer((req, res) => res.end("<!doctype html><title>elsewhere</title>"));
  await new Promise((resolve) => foreign.listen(0, "127.0.0.1", resolve));
  try {
    const elsewhere = await browser.newPage();
    await elsewhere.goto(`http://127.0.0.1:${foreign.address().port}/`);
    assert.equal(await attempt(elsewhere, ws(`${base.pathname}ws?session=${session.id}`)), "closed 1006");
    await elsewhere.close();
  } finally {
    foreign.close();
  }

  assert.equal(session.viewers.size, 1);
  assert.equal(server.sessions.size, count);
  assert.equal(below("quelt_local_pty").length, bridges);
  await page.close();
  const ids = [...server.sessions].map((s) => s.id);
  assert.ok(logged.length > 0, "the foreign origin was logged");
  assert.ok(logged.every((line) => ids.every((id) => !line.includes(id))), logged.join("\n"));
});

test("after the grace period a detached session is hung up, leaves no process, and a page that comes back is told it ended", async () => {
  const brief = await startServer({ program: BASH, env: ENV, keepSeconds: 1 });
  try {
    const earlier = new Set(below("quelt_local_pty").map((p) => p.pid));
    const page = await openTerminal(browser, brief.url);
    const bridge = below("quelt_local_pty").find((p) => !earlier.has(p.pid));
    const processes = [bridge, ...descendants(bridge.pid)];
    assert.deepEqual(processes.map((p) => p.comm), ["quelt_local_pty", "bash"]);
    await page.goto("about:blank");
    await sleep(500);
    assert.equal(brief.sessions.size, 1, "the session outlived its page");
    assert.ok(processes.every((p) => !gone(p.pid)));
    await waitFor("the hang-up", () => brief.sessions.size === 0, 3000);
    await waitFor("its bridge and shell to end", () => processes.every((p) => gone(p.pid)), 2000);

    await page.goto(brief.url);
    await waitFor("the page's word", async () => (await bannerText(page)).startsWith("The session has ended: no page came back within 1 s."));
    assert.equal(brief.sessions.size, 0);
    await page.click("#restart");
    await waitFor("a new prompt", async () => (await cursorLine(page)) === PROMPT);
    await page.close();
  } finally {
    await brief.close();
  }
});

test("a detached session fed 50 MiB keeps the server's memory growth under 32 MiB, and closing the server ends it", async () => {
  const cli = await startCli(["--port", "0", ...SHELL]).ready;
  try {
    const done = join(dir, "flood-done");
    const page = await openTerminal(browser, cli.url);
    const link = await page.evaluate(() => window.quelt.link);
    await typeLine(page, `sleep 2; yes "$(printf '%079d' 7)" | head -c ${50 * 1024 * 1024}; echo flood over; touch ${done}`);
    await page.close();
    await sleep(300);
    const base = rssKiB(cli.proc.pid);
    let peak = base;
    const started = Date.now();
    while (!existsSync(done)) {
      peak = Math.max(peak, rssKiB(cli.proc.pid));
      assert.ok(Date.now() - started < 120000 * SCALE, "the flood did not end within two minutes");
      await sleep(50);
    }
    console.log(`server RSS ${base} KiB before the flood, at most ${peak} KiB during it (${((Date.now() - started) / 1000).toFixed(1)} s)`);
    assert.ok(peak - base < 32 * 1024, `the server's RSS grew by ${peak - base} KiB`);

    const back = await openLink(link);
    await waitFor("the end of the flood", async () => (await screen(back)).includes("\nflood over\n"), 10000);
    await back.close();
    const left = descendants(cli.proc.pid);
    assert.deepEqual(left.map((p) => p.comm).sort(), ["bash", "quelt_local_pty"]);
    assert.deepEqual(await cli.stop(), { code: 0, signal: null });
    await waitFor("the detached session's processes to end", () => left.every((p) => gone(p.pid)), 2000);
  } finally {
    await cli.stop();
  }
});
