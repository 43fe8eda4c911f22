// quelt-web in a real browser: Debian's Chromium, headless, driven through puppeteer-core.
import assert from "node:assert/strict";
import { mkdirSync, mkdtempSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { after, before, test } from "node:test";
import {
  PROMPT, SCALE, SHELL, cursorLine, descendants, launchBrowser, openTerminal, rssKiB, screen, sleep,
  startCli, typeLine, waitFor,
} from "./helpers.js";

let browser;
let server;
before(async () => {
  browser = await launchBrowser();
  server = await startCli(["--port", "0", ...SHELL]).ready;
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
