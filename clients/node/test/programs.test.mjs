// Real interactive programs drawn by a real terminal emulator (@xterm/headless); the tests read
// its screen.
import { test } from "node:test";
import assert from "node:assert/strict";
import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";
import { emulated, plainEnv, LONG } from "./helpers.mjs";

const LEFT = "\x1b[D";
const UP = "\x1b[A";

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "qlp-node-"));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

function numberedFile(t, lines) {
  const dir = tempDir(t);
  const file = path.join(dir, "lines.txt");
  fs.writeFileSync(file, Array.from({ length: lines }, (_, i) => `line ${i + 1}`).join("\n") + "\n");
  return file;
}

test("bash with readline: type, move with the arrows, edit, run; Ctrl-C interrupts sleep", { timeout: 4 * LONG }, async (t) => {
  const s = emulated(t, "bash", ["--norc", "--noprofile", "-i"], { env: plainEnv({ PS1: "$ ", HISTFILE: "/dev/null" }) });
  await s.until((t) => t.cursorLine() === "$", "the prompt");
  s.term.write("echo hello world");
  await s.until((t) => t.cursorLine() === "$ echo hello world", "the typed line");
  s.term.write(LEFT.repeat(5) + "big ");
  await s.until((t) => t.cursorLine() === "$ echo hello big world", "the edited line");
  s.term.write("\r");
  await s.until((t) => t.lines().includes("hello big world"), "the command's output");
  s.term.write(UP);
  await s.until((t) => t.cursorLine() === "$ echo hello big world", "the recalled line");
  s.term.write("\x15echo done\r");
  await s.until((t) => t.lines().includes("done"), "the replaced line's output");

  // Once "started" shows, the job's process group owns the terminal, whether or not sleep has
  // replaced the shell yet; either way Ctrl-C ends the job with status 130.
  s.term.write("sh -c 'echo started; exec sleep 100'\r");
  await s.until((t) => t.lines().includes("started"), "sleep to run");
  s.term.write("\x03");
  await s.until((t) => t.cursorLine() === "$", "the prompt after Ctrl-C");
  s.term.write("echo status $?\r");
  await s.until((t) => t.lines().includes("status 130"), "the interrupted status");
  s.term.write("exit 7\r");
  assert.deepEqual(await s.term.exited, { exitCode: 7 });
});

test("vim -u NONE: jump to line 50, redraw at 80 by 20 after a resize, quit", { timeout: 4 * LONG }, async (t) => {
  const file = numberedFile(t, 200);
  const s = emulated(t, "vim", ["-u", "NONE", "-N", "-i", "NONE", "-n", file], { env: plainEnv() });
  await s.until((t) => t.lines()[0] === "line 1" && t.lines()[22] === "line 23", "the file's first page");
  s.term.write("50G");
  await s.until((t) => t.cursorLine() === "line 50", "the cursor on line 50");
  s.resize(80, 20);
  // Nineteen lines of text and the command line, with line 50 among them.
  await s.until((t) => {
    const lines = t.lines();
    if (lines.length !== 20 || t.cursorLine() !== "line 50") return false;
    const first = Number(/^line (\d+)$/.exec(lines[0])?.[1]);
    return lines.slice(0, 19).every((l, i) => l === `line ${first + i}`);
  }, "the redraw at 20 rows");
  s.term.write(":q\r");
  assert.deepEqual(await s.term.exited, { exitCode: 0 });
});

test("less: page down, search, quit", { timeout: 4 * LONG }, async (t) => {
  const file = numberedFile(t, 200);
  const s = emulated(t, "less", [file], { env: plainEnv({ LESSHISTFILE: "-", LESS: "" }) });
  await s.until((t) => t.lines()[0] === "line 1", "the first page");
  s.term.write(" ");
  await s.until((t) => t.lines()[0] === "line 24", "the second page");
  s.term.write("/line 150\r");
  await s.until((t) => t.lines()[0] === "line 150", "the search hit at the top");
  s.term.write("q");
  assert.deepEqual(await s.term.exited, { exitCode: 0 });
});

test("UTF-8 split across frames: 200,000 characters of two, three and four bytes, no U+FFFD", { timeout: 4 * LONG }, async (t) => {
  const characters = ["é", "€", "😀", "ж", "字", "𝄞"];
  const rows = [];
  let count = 0;
  while (count < 200000) {
    let row = "";
    for (let i = 0; i < 39 && count < 200000; i++, count++) row += characters[(count * 7 + (count >> 3)) % characters.length];
    rows.push(row);
  }
  const text = rows.join("\n") + "\n";
  const file = path.join(tempDir(t), "utf8.txt");
  fs.writeFileSync(file, text);
  const s = emulated(t, "/bin/sh", ["-c", `stty -opost; cat ${file}`], { env: plainEnv() });
  let received = "";
  let chunks = 0;
  s.term.onData((data) => {
    received += data;
    chunks++;
  });
  assert.equal((await s.term.exited).exitCode, 0);
  assert.ok(chunks > 10, "the output came in one piece: no frame boundary was tested");
  assert.equal(received.includes("\ufffd"), false);
  assert.equal(received, text);
  await s.until(() => true, "the emulator to catch up");
  const screen = s.lines().join("\n");
  assert.equal(screen.includes("\ufffd"), false);
  assert.ok(screen.includes(rows.at(-2).slice(0, 10)), "the screen shows the end of the text");
});
