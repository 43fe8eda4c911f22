// quelt-web in a real browser: Debian's Chromium, headless, driven through puppeteer-core.
import assert from "node:assert/strict";
import { mkdirSync, mkdtempSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";
import {
  PROMPT, SCALE, SHELL, cursorLine, descendants, gone, launchBrowser, openTerminal, rssKiB, screen, sleep,
  startCli, typeLine, waitFor,
} from "./helpers.js";

let browser;
let server;
before(async () => {
  browser = await launchBrowser();
  // Sessions end with their page, as they did before they could outlive it; sessions.test.js
  // tests them kept.
  server = await startCli(["--port", "0", "--keep", "0", ...SHELL]).ready;
});
after(async () => {
  await browser?.close();
  await server?.stop();
});

const sessions = () => descendants(server.proc.pid).filter((p) => p.comm === "quelt_local_pty");

test("a typed command runs, and the output follows the window's size", async () => {
  const page = await openTerminal(browser, server.url, { width: 900, height: 600 });
  await typeLine(page, "echo $((6*7))");
  await waitFor("42", async () => (await screen(page)).split("\n").includes("42"));

  const sizes = [];
  const size = () => page.evaluate(() => `${window.quelt.term.rows} ${window.quelt.term.cols}`);
  for (const viewport of [{ width: 1300, height: 420 }, { width: 640, height: 760 }]) {
    const before = await size();
    await page.setViewport(viewport);
    const now = await waitFor("the terminal to follow the window", async () => (await size()) !== before && size());
    await page.evaluate(() => window.quelt.term.clear());
    await typeLine(page, "stty size");
    await waitFor(`stty size to say ${now}`, async () => (await screen(page)).split("\n").includes(now));
    sizes.push(now);
  }
  assert.notEqual(sizes[0], sizes[1]);
  await page.close();
});

test("under yes the server's memory stays flat, and Ctrl-C brings the prompt back within a second", async () => {
  const page = await openTerminal(browser, server.url);
  await typeLine(page, "yes");
  await waitFor("the flood", async () => (await cursorLine(page)) === "y" || (await screen(page)).endsWith("y"));
  const pid = server.proc.pid;
  const samples = [];
  for (let i = 0; i < 20; i++) {
    samples.push(rssKiB(pid));
    await sleep(150);
  }
  // Timed in the page, from the key to the prompt in the terminal's buffer, so that the
  // test's own polling adds nothing.
  await page.evaluate((prompt) => {
    const term = window.quelt.term;
    let start = null;
    window.ctrlC = new Promise((resolve) => {
      term.textarea.addEventListener("keydown", (e) => { if (e.ctrlKey && e.key === "c") start ??= performance.now(); }, true);
      term.onWriteParsed(() => {
        const buffer = term.buffer.active;
        if (start !== null && buffer.getLine(buffer.baseY + buffer.cursorY).translateToString(true) === prompt) {
          resolve(performance.now() - start);
        }
      });
    });
  }, PROMPT);
  await page.keyboard.down("Control");
  await page.keyboard.press("c");
  await page.keyboard.up("Control");
  const elapsed = await page.evaluate(() => window.ctrlC);
  const grew = Math.max(...samples.slice(5)) - samples[4];
  console.log(`prompt back ${elapsed.toFixed(0)} ms after Ctrl-C; server RSS ${samples[4]}..${Math.max(...samples)} KiB`);
  assert.ok(elapsed < 1000 * SCALE, `the prompt came back ${elapsed} ms after Ctrl-C`);
  // The unacknowledged output is bounded at a few hundred KiB; a server that buffered the
  // flood would grow by tens of MiB in these three seconds.
  assert.ok(grew < 16 * 1024, `server RSS grew by ${grew} KiB under yes`);
  assert.ok(Math.max(...samples) < 200 * 1024, `server RSS ${Math.max(...samples)} KiB`);
  await page.close();
});

test("reloading or closing the page ends its bridge and its shell within two seconds", async () => {
  const page = await openTerminal(browser, server.url);
  const shellOf = async () => {
    await typeLine(page, "echo shell $$");
    return Number((await waitFor("the shell's pid", async () => /^shell (\d+)$/m.exec(await screen(page))))[1]);
  };
  const first = await shellOf();
  const firstBelow = descendants(server.proc.pid);
  assert.ok(firstBelow.some((p) => p.pid === first), "the shell runs below the server");
  assert.equal(sessions().length, 1);

  await page.reload();
  await waitFor("the prompt after reloading", async () => (await cursorLine(page)) === PROMPT, 10000);
  const second = await shellOf();
  assert.notEqual(second, first);
  await waitFor("the first bridge and shell to end", () => firstBelow.every((p) => gone(p.pid)), 2000);
  assert.equal(sessions().length, 1);

  await page.close();
  await waitFor("the bridge and the shell to end", () => descendants(server.proc.pid).length === 0, 2000);
});

test("the page says how the program ended and starts a new session on request", async () => {
  const page = await openTerminal(browser, server.url);
  await typeLine(page, "exit 5");
  await page.waitForSelector("#banner:not([hidden])");
  assert.equal(await page.$eval("#banner-text", (e) => e.textContent), "The program exited with code 5.");
  await waitFor("the bridge to end", () => sessions().length === 0);
  await page.click("#restart");
  await waitFor("a new prompt", async () => (await cursorLine(page)) === PROMPT, 5000);
  assert.equal(await page.$eval("#banner", (e) => e.hidden), true);
  await typeLine(page, "echo again $((2+3))");
  await waitFor("the new shell's answer", async () => (await screen(page)).split("\n").includes("again 5"));
  await page.close();
});

test("a paste reaches the program whole, in pieces the server accepts", async () => {
  const page = await openTerminal(browser, server.url);
  await typeLine(page, "stty -echo; wc -c; stty echo");
  await sleep(300);
  // 100 UTF-16 units a line, so the page's 8192-unit pieces would cut a surrogate pair in two.
  const line = `a${"😀".repeat(49)}\n`;
  const lines = 600;
  await page.evaluate((text) => window.quelt.term.paste(text), line.repeat(lines));
  await page.keyboard.down("Control");
  await page.keyboard.press("d");
  await page.keyboard.up("Control");
  const expected = String(lines * Buffer.byteLength(line));
  await waitFor(`wc to count ${expected}`, async () => (await screen(page)).split("\n").includes(expected), 10000);
  await page.close();
});

test("a wrong token, no token and a foreign origin are refused and start no bridge", async () => {
  const page = await browser.newPage();
  const token = new URL(server.url).pathname.split("/")[1];
  const base = new URL(server.url).origin;
  for (const url of [`${base}/`, `${base}/${"0".repeat(32)}/`, `${base}/${token.slice(0, -1)}/`]) {
    const response = await page.goto(url);
    assert.equal(response.status(), 403, url);
  }

  // Another site, open in the same browser, that knows even the token.
  const foreign = createServer((req, res) => {
    res.writeHead(200, { "Content-Type": "text/html" });
    res.end("<!doctype html><title>elsewhere</title>");
  });
  await new Promise((resolve) => foreign.listen(0, "127.0.0.1", resolve));
  try {
    await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
    const wsUrl = server.url.replace("http:", "ws:") + "ws";
    const outcome = await page.evaluate((url) => new Promise((resolve) => {
      const ws = new WebSocket(url);
      ws.onopen = () => resolve("open");
      ws.onclose = (event) => resolve(`closed ${event.code}`);
    }), wsUrl);
    assert.equal(outcome, "closed 1006");
  } finally {
    foreign.close();
  }
  assert.deepEqual(descendants(server.proc.pid), []);
  assert.match(server.stderr, /refused a WebSocket from origin "http:\/\/127\.0\.0\.1:\d+"/);
  await page.close();
});

test("a screenshot of colours and UTF-8 is saved for people to look at", async () => {
  const dir = mkdtempSync(join(tmpdir(), "quelt-web-ls-"));
  try {
    mkdirSync(join(dir, "directory"));
    writeFileSync(join(dir, "script.sh"), "#!/bin/sh\n", { mode: 0o755 });
    writeFileSync(join(dir, "notes.txt"), "");
    writeFileSync(join(dir, "archive.tar.gz"), "");
    symlinkSync("notes.txt", join(dir, "link"));
    const page = await openTerminal(browser, server.url, { width: 900, height: 420 });
    await typeLine(page, `eval "$(dircolors -b)"; cd ${dir} && clear && ls -l --color=always`);
    // A line typed before the listing is done would be echoed into it.
    await waitFor("the listing", async () => (await screen(page)).includes("script.sh"));
    await typeLine(page, "echo 'UTF-8: Grüße, naïve café, Ελληνικά, Кириллица, ½ ≠ ∞, ✓ → ★'");
    await waitFor("the UTF-8 line", async () => (await screen(page)).includes("\nUTF-8: Grüße, naïve café, Ελληνικά, Кириллица, ½ ≠ ∞, ✓ → ★"));
    await sleep(300);
    const path = process.env.QUELT_WEB_SCREENSHOT ?? join(tmpdir(), "quelt-web-screenshot.png");
    await page.screenshot({ path });
    console.log(`screenshot: ${path}`);
    await page.close();
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
