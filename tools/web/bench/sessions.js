#!/usr/bin/env node
// What keeping sessions costs, measured side by side in one run (see README.md, "Measured"):
//   1. the time from a reload to the restored screen, next to a reload that starts a new
//      session (--keep 0), for screens of growing weight;
//   2. the server's CPU and RSS per session while the program floods, detached and attached.
// Run from tools/web after the build: node bench/sessions.js [REPEATS]
import { readFileSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import {
  PROMPT, SHELL, connectSession, cursorLine, descendants, launchBrowser, rssKiB, screen, sleep, startCli, typeLine, waitFor,
} from "../test/helpers.js";

const REPEATS = Number(process.argv[2] ?? 7);
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// Reloads the page and resolves to the milliseconds from the reload to the moment xterm.js has
// parsed a buffer whose length, last line and cursor are the ones `expected` describes,
// measured inside the page from its navigation's start.
async function reloadTime(page, expected) {
  await page.evaluateOnNewDocument((expected) => {
    let quelt;
    window.restored = new Promise((resolve) => {
      Object.defineProperty(window, "quelt", {
        configurable: true,
        get: () => quelt,
        set(value) {
          quelt = value;
          value.term.onWriteParsed(() => {
            const buffer = value.term.buffer.active;
            const last = buffer.getLine(buffer.baseY + buffer.cursorY)?.translateToString(true);
            if ((expected.length < 0 || buffer.length === expected.length) && last === expected.last && buffer.cursorX === expected.x) {
              resolve(performance.now());
            }
          });
        },
      });
    });
  }, expected);
  await page.reload();
  return page.evaluate(() => Promise.race([window.restored, new Promise((resolve, reject) => setTimeout(() => {
    const buffer = window.quelt.term.buffer.active;
    reject(new Error(`not restored: ${buffer.length} ${buffer.getLine(buffer.baseY + buffer.cursorY)?.translateToString(true)} ${buffer.cursorX}`));
  }, 20000))]));
}

const describe = (page) => page.evaluate(() => {
  const buffer = window.quelt.term.buffer.active;
  return { length: buffer.length, last: buffer.getLine(buffer.baseY + buffer.cursorY).translateToString(true), x: buffer.cursorX };
});

async function reloads(browser) {
  const dir = mkdtempSync(join(tmpdir(), "quelt-web-bench-"));
  const fresh = await startCli(["--port", "0", "--keep", "0", ...SHELL]).ready;
  const kept = await startCli(["--port", "0", ...SHELL]).ready;
  const rows = [];
  try {
    const measure = async (name, url, setUp, expectFresh = false) => {
      const page = await browser.newPage();
      await page.setViewport({ width: 1200, height: 800 });
      await page.goto(url);
      await waitFor("the prompt", async () => (await cursorLine(page)) === PROMPT, 10000);
      await setUp(page);
      const times = [];
      for (let i = 0; i < REPEATS; i++) {
        const expected = expectFresh ? { length: -1, last: PROMPT, x: PROMPT.length } : await describe(page);
        times.push(await reloadTime(page, expected));
      }
      const bytes = expectFresh ? 0 : Buffer.byteLength(await screen(page));
      rows.push([name, median(times), Math.max(...times), bytes]);
      await page.close();
    };
    await measure("--keep 0: a new session's prompt", fresh.url, async () => {}, true);
    await measure("a prompt", kept.url, async () => {});
    await measure("vim on a 700-line file", kept.url, async (page) => {
      await typeLine(page, `seq 700 > ${dir}/f; vim -u NONE -N ${dir}/f`);
      await waitFor("vim", async () => (await screen(page)).includes("700L"));
    });
    await measure("5,000 lines of scrollback, 80 columns each", kept.url, async (page) => {
      await typeLine(page, `yes "$(printf '%079d' 7)" | head -n 6000`);
      await waitFor("the prompt", async () => (await cursorLine(page)) === PROMPT, 20000);
    });
    await measure("5,000 coloured lines of scrollback", kept.url, async (page) => {
      await typeLine(page, `for i in $(seq 6000); do printf '\\e[3%dm%05d \\e[1;4%dm%s\\e[0m\\n' $((i%8)) $i $((i%7)) ${"x".repeat(60)}; done`);
      await waitFor("the prompt", async () => (await cursorLine(page)) === PROMPT, 60000);
    });
  } finally {
    await fresh.stop();
    await kept.stop();
    rmSync(dir, { recursive: true, force: true });
  }
  console.log(`\nReload to restored screen, ${REPEATS} reloads each (ms):`);
  console.log("| screen | median | max | text on the screen |");
  console.log("|---|---:|---:|---:|");
  for (const [name, mid, max, bytes] of rows) console.log(`| ${name} | ${mid.toFixed(0)} | ${max.toFixed(0)} | ${!bytes ? "-" : bytes < 10240 ? `${bytes} B` : `${(bytes / 1024).toFixed(0)} KiB`} |`);
}

// Clock ticks of CPU the process has used, user and system.
function cpuTicks(pid) {
  const fields = readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
  return Number(fields[11]) + Number(fields[12]);
}

async function floods() {
  const SECONDS = 5;
  const TICKS = 100;
  const dir = mkdtempSync(join(tmpdir(), "quelt-web-bench-"));
  console.log(`\nServer cost while every session's program floods (yes, 80-column lines), over ${SECONDS} s:`);
  console.log("| sessions | pages | server CPU | bridges' CPU | server RSS | output per session |");
  console.log("|---:|---|---:|---:|---:|---:|");
  for (const [count, attached] of [[0, false], [1, false], [2, false], [4, false], [1, true], [2, true]]) {
    const server = await startCli(["--port", "0", ...SHELL]).ready;
    try {
      const sessions = [];
      for (let i = 0; i < count; i++) {
        const session = await connectSession(server.url);
        await waitFor("a prompt", () => session.output().includes(PROMPT));
        session.type(`yes "$(printf '%079d' 7)" | timeout ${SECONDS + 2} tee /dev/tty | wc -c > ${dir}/count${i}\r`);
        sessions.push(session);
      }
      if (!attached) for (const session of sessions) session.ws.close();
      await sleep(1000);
      const rssBefore = rssKiB(server.proc.pid);
      const bridges = descendants(server.proc.pid).filter((p) => p.comm === "quelt_local_pty").map((p) => p.pid);
      const bridgeTicks = () => bridges.reduce((sum, pid) => sum + cpuTicks(pid), 0);
      const start = cpuTicks(server.proc.pid);
      const bridgeStart = bridgeTicks();
      await sleep(SECONDS * 1000);
      const cpu = (cpuTicks(server.proc.pid) - start) / TICKS / SECONDS;
      const bridgeCpu = (bridgeTicks() - bridgeStart) / TICKS / SECONDS;
      const rss = rssKiB(server.proc.pid);
      await sleep(2500);
      let total = 0;
      for (let i = 0; i < count; i++) total += Number(readFileSync(`${dir}/count${i}`, "utf8"));
      const rate = count ? `${(total / count / (SECONDS + 2) / 1048576).toFixed(1)} MiB/s` : "-";
      console.log(`| ${count} | ${attached ? "one each, reading all" : "none"} | ${(cpu * 100).toFixed(0)} % | ${(bridgeCpu * 100).toFixed(0)} % | ${(Math.max(rss, rssBefore) / 1024).toFixed(0)} MiB | ${rate} |`);
      for (const session of sessions) session.ws.close();
    } finally {
      await server.stop();
    }
  }
  rmSync(dir, { recursive: true, force: true });
}

const browser = await launchBrowser();
try {
  await reloads(browser);
} finally {
  await browser.close();
}
await floods();
