// Recordings as a player reads them: replayed into a fresh emulator, read line by line as JSON,
// written under a flood to a file and to a stream that is slower than the program.
import { test } from "node:test";
import assert from "node:assert/strict";
import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";
import { Writable } from "node:stream";
import { finished } from "node:stream/promises";
import xterm from "@xterm/headless";
import { Screen } from "../dist/screen.mjs";
import { spawn, plainEnv, sleep, LONG } from "./helpers.mjs";

const wait = { timeout: LONG };

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "qlp-node-rec-"));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

/** Every line of a recording as JSON: the header and the events. */
function parse(text) {
  const [header, ...events] = text.trimEnd().split("\n").map((line) => JSON.parse(line));
  return { header, events };
}

/** The visible rows a player shows at the end of a recording: output and resizes in order. */
async function replay({ header, events }) {
  const term = new xterm.Terminal({ cols: header.width, rows: header.height, allowProposedApi: true });
  for (const [, code, data] of events) {
    if (code === "o") await new Promise((resolve) => term.write(data, resolve));
    if (code === "r") term.resize(...data.split("x").map(Number));
  }
  const buffer = term.buffer.active;
  return Array.from({ length: term.rows }, (_, y) => buffer.getLine(buffer.viewportY + y).translateToString(true).replace(/ +$/, ""));
}

test("a session (prompt, ls --color, a resize, vim) replays to the live screen's final text", { timeout: 4 * LONG }, async (t) => {
  const dir = tempDir(t);
  fs.mkdirSync(path.join(dir, "a directory"));
  fs.writeFileSync(path.join(dir, "notes.txt"), "first\nsecond\n");
  const cast = path.join(tempDir(t), "session.cast");
  const term = spawn("bash", ["--norc", "--noprofile", "-i"], {
    cwd: dir, cols: 70, rows: 20, record: cast,
    env: plainEnv({ PS1: "$ ", HISTFILE: "/dev/null", SHELL: "/bin/bash" }),
  });
  t.after(() => term.kill());
  const screen = new Screen(term);
  await screen.waitFor(/^\$$/m, wait);
  term.write("ls --color=always\r");
  await screen.waitFor(/notes\.txt\n\$$/m, wait);
  term.resize(60, 16);
  term.write("vim -u NONE -N -i NONE -n notes.txt\r");
  await screen.waitFor(/^second\n~/m, wait);
  term.press("G", "o");
  term.write("a third line é");
  term.press("Escape", ":", "w", "q", "Enter");
  await screen.waitFor(/^\$$/m, wait);
  term.write("cat notes.txt; exit\r");
  await term.exited;
  // Complete as the exit event comes: nothing more is written after it.
  const recorded = fs.readFileSync(cast, "utf8");

  const { header, events } = parse(recorded);
  assert.deepEqual(header, {
    version: 2, width: 70, height: 20, timestamp: header.timestamp,
    env: { TERM: "xterm-256color", SHELL: "/bin/bash" }, command: "bash --norc --noprofile -i",
  });
  assert.ok(Math.abs(header.timestamp - Date.now() / 1000) < 60);
  assert.ok(events.every(([time], i) => typeof time === "number" && time >= (events[i - 1]?.[0] ?? 0)), "times go back");
  assert.deepEqual(events.filter(([, code]) => code === "r"), [[events.find(([, c]) => c === "r")[0], "r", "60x16"]]);
  const input = events.filter(([, code]) => code === "i").map(([, , data]) => data).join("");
  assert.equal(input, "ls --color=always\rvim -u NONE -N -i NONE -n notes.txt\rGoa third line é\x1b:wq\rcat notes.txt; exit\r");
  const output = events.filter(([, code]) => code === "o").map(([, , data]) => data).join("");
  assert.match(output, /\x1b\[[0-9;]*m'a directory'\x1b\[0?m/, "ls wrote no colour");

  assert.deepEqual(await replay({ header, events }), screen.lines());
  assert.match(screen.text(), /^first\nsecond\na third line é\n/m);
});

test("a 10 MiB flood recorded to a file: every line valid JSON, every byte there, flat memory", { timeout: 4 * LONG }, async (t) => {
  const cast = path.join(tempDir(t), "flood.cast");
  const TOTAL = 10 * 1024 * 1024;
  // Two- and three-byte characters, so that reads split some of them.
  const term = spawn("/bin/sh", ["-c", `stty -opost; yes 'é€ flood' | head -c ${TOTAL}`], { record: cast });
  const start = process.memoryUsage().rss;
  let peak = start;
  let chunks = 0;
  term.onData(() => {
    if (++chunks % 16 === 0) peak = Math.max(peak, process.memoryUsage().rss);
  });
  assert.equal((await term.exited).exitCode, 0);
  const grownMiB = (peak - start) / 1024 / 1024;
  assert.ok(grownMiB < 48, `the client grew ${grownMiB.toFixed(1)} MiB`);
  const { events } = parse(fs.readFileSync(cast, "utf8"));
  assert.ok(events.length > 20, "the output came in one piece: no split was tested");
  // The last line is cut inside "€", which ends the recording as U+FFFD.
  const expected = Buffer.from("é€ flood\n".repeat(TOTAL / 12 + 1)).subarray(0, TOTAL).toString("utf8");
  assert.ok(expected.endsWith("é\ufffd"));
  assert.ok(events.map(([, , data]) => data).join("") === expected, "the recorded output differs from the program's");
});

test("UTF-8 as one stream: a character split across reads is written whole, invalid bytes as U+FFFD", { timeout: LONG }, async (t) => {
  for (const encoding of ["utf8", null]) {
    const cast = path.join(tempDir(t), "utf8.cast");
    const term = spawn("/bin/sh", ["-c", "stty -opost; printf 'a\\303'; sleep 0.3; printf '\\251b\\377c\\342\\202'"], { record: cast, encoding });
    await term.exited;
    const output = parse(fs.readFileSync(cast, "utf8")).events.filter(([, code]) => code === "o").map(([, , data]) => data);
    // What is left of a character at the end is written when the recording ends.
    assert.deepEqual(output, ["a", "éb\ufffdc", "\ufffd"], `encoding ${encoding}`);
  }
});

test("a stream slower than the program holds the terminal back, and the application's pause() stays", { timeout: 4 * LONG }, async () => {
  const TOTAL = 4 * 1024 * 1024;
  let buffered = 0;
  let peakBuffered = 0;
  let received = "";
  let held = null;
  const sink = new Writable({
    highWaterMark: 64 * 1024,
    decodeStrings: false,
    write(chunk, _, done) {
      received += chunk;
      if (held) held.push(done);
      else setTimeout(done, 2);
    },
  });
  const term = spawn("/bin/sh", ["-c", `stty -opost; yes | head -c ${TOTAL}`], { record: sink });
  let delivered = 0;
  term.onData((data) => {
    delivered += data.length;
    buffered = sink.writableLength;
    peakBuffered = Math.max(peakBuffered, buffered);
  });
  while (delivered < TOTAL / 4) await sleep(10);
  // The stream stops taking lines, the application pauses; the stream drains: output stays
  // paused until the application resumes.
  held = [];
  await sleep(300);
  term.pause();
  const atPause = delivered;
  const waiting = held;
  held = null;
  for (const done of waiting) done();
  await sleep(300);
  assert.equal(delivered, atPause, "the stream's drain undid the application's pause()");
  term.resume();
  assert.equal((await term.exited).exitCode, 0);
  await finished(sink);
  assert.ok(peakBuffered < 1024 * 1024, `the stream buffered ${peakBuffered} bytes`);
  const { events } = parse(received);
  assert.equal(events.map(([, , data]) => data).join(""), "y\n".repeat(TOTAL / 2));
});

test("a record option that cannot be written is spawn()'s error before anything starts", async () => {
  for (const [record, expected] of [
    ["/nonexistent-dir/session.cast", { code: "ENOENT" }],
    [42, { name: "TypeError", message: "record must be a file path or a writable stream" }],
  ]) {
    assert.throws(() => spawn("/bin/sh", ["-c", "sleep 100"], { record }), expected);
  }
});
