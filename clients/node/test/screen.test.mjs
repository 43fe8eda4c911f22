// Real programs driven the way a test runner or an agent drives them: a Screen to read, waits
// on what it shows, keys by name.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";
import { Writable } from "node:stream";
import { Screen, ScreenWaitError } from "../dist/screen.mjs";
import { spawn, plainEnv, LONG } from "./helpers.mjs";

const wait = { timeout: LONG };

function tempDir(t) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "qlp-node-screen-"));
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

function numberedFile(t, lines) {
  const file = path.join(tempDir(t), "lines.txt");
  fs.writeFileSync(file, Array.from({ length: lines }, (_, i) => `line ${i + 1}`).join("\n") + "\n");
  return file;
}

/** A program in a terminal with a Screen on it, killed when the test ends. */
function start(t, file, args, options = {}) {
  const term = spawn(file, args, { env: plainEnv(), ...options });
  t.after(() => term.kill());
  return { term, screen: new Screen(term) };
}

function bash(t, options) {
  return start(t, "bash", ["--norc", "--noprofile", "-i"], { env: plainEnv({ PS1: "$ ", HISTFILE: "/dev/null" }), ...options });
}

function which(name) {
  try {
    return execFileSync("sh", ["-c", `command -v ${name}`], { encoding: "utf8" }).trim() || null;
  } catch {
    return null;
  }
}

test("bash: wait for the prompt, see printf's output, C-c interrupts sleep 100", { timeout: 4 * LONG }, async (t) => {
  const { term, screen } = bash(t);
  // Rows come without trailing blanks: the prompt "$ " is "$" at the end of its row.
  await screen.waitFor(/^\$$/m, wait);
  assert.deepEqual(screen.cursor, { row: 0, col: 2 });
  term.write("printf '%s-%s\\n' one two 'a b' 3\r");
  const match = await screen.waitFor(/one-two\na b-3\n\$$/m, wait);
  assert.equal(match.index, screen.text().indexOf("one-two"));
  assert.deepEqual(screen.lines().slice(0, 4), ["$ printf '%s-%s\\n' one two 'a b' 3", "one-two", "a b-3", "$"]);
  assert.deepEqual(screen.cursor, { row: 3, col: 2 });
  assert.equal(screen.text().split("\n").length, 24);

  // Once "started" shows, sleep's process group owns the terminal, whether or not sleep has
  // replaced the shell yet.
  term.write("sh -c 'echo started; exec sleep 100'; echo after $?\r");
  await screen.waitFor(/^started$/m, wait);
  const before = Date.now();
  term.press("C-c");
  await screen.waitFor(/\^C\n\$$/m, wait);
  assert.ok(Date.now() - before < 5000, "sleep ran on");
  assert.doesNotMatch(screen.text(), /after \d/, "C-c ended the whole line, as in a real terminal");
  term.write("printf '\\033]0;%s\\007' 'my title'; exit 3\r");
  assert.deepEqual(await term.exited, { exitCode: 3 });
  assert.equal(screen.title, "my title");
});

test("vim -u NONE on 300 lines: G shows the end, Up moves in application cursor mode, :q! by keys", { timeout: 4 * LONG }, async (t) => {
  const file = numberedFile(t, 300);
  let recorded = "";
  const record = new Writable({ write: (chunk, _, done) => done(null, recorded += chunk) });
  const { term, screen } = start(t, "vim", ["-u", "NONE", "-N", "-i", "NONE", "-n", file], { record });
  await screen.waitFor(/^line 1\n(.*\n){21}line 23$/m, wait);
  term.press("G");
  await screen.waitFor(/^line 300$/m, wait);
  // The last line of the file on the last row of text, above the command line.
  const lines = screen.lines();
  assert.equal(lines[22], "line 300");
  assert.deepEqual(lines.slice(0, 22), Array.from({ length: 22 }, (_, i) => `line ${278 + i}`));
  assert.deepEqual(screen.cursor, { row: 22, col: 0 });
  // vim switches the cursor keys to application mode (and takes both forms of the arrows); the
  // recording shows which was sent, the ruler where the cursor went.
  term.press(":", ..."set ruler", "Enter");
  await screen.waitFor(/300,1\s+Bot$/, wait);
  term.press("Up", "Up");
  await screen.waitFor(/298,1\s+Bot$/, wait);
  assert.deepEqual(screen.cursor, { row: 20, col: 0 });
  assert.ok(recorded.includes('"i","\\u001bOA\\u001bOA"'), "the arrows were not sent in application mode");
  assert.equal(screen.lines()[22], "line 300", "vim read the arrows as something else");
  term.press("Escape", ":", "q", "!", "Enter");
  assert.deepEqual(await term.exited, { exitCode: 0 });
});

test("less: PageDown, search by keys, quit", { timeout: 4 * LONG }, async (t) => {
  const file = numberedFile(t, 300);
  const { term, screen } = start(t, "less", [file], { env: plainEnv({ LESSHISTFILE: "-", LESS: "" }) });
  await screen.waitFor(/^line 1\n/, wait);
  term.press("PageDown");
  await screen.waitFor(/^line 24\n/, wait);
  term.press("/", ..."line 150", "Enter");
  await screen.waitFor(/^line 150\n/, wait);
  term.press("q");
  assert.deepEqual(await term.exited, { exitCode: 0 });
});

const htop = which("htop");
const top = which("top");
test(`${htop ? "htop" : "top"}: its header, then a resize redrawn at the new size`, { skip: !htop && !top && "neither htop nor top is installed", timeout: 4 * LONG }, async (t) => {
  const home = tempDir(t);
  if (htop) {
    // htop draws its function keys on the last row, whatever the size.
    const { term, screen } = start(t, htop, ["-d", "5"], { env: plainEnv({ HOME: home }) });
    await screen.waitFor(/Tasks:/, wait);
    await screen.waitFor(/F1\s*Help.*F10\s*Quit\s*$/, wait);
    term.resize(100, 30);
    // Found only once the screen has 30 rows and htop has drawn them.
    await screen.waitFor(/^(.*\n){29}.*F10\s*Quit/, wait);
    assert.equal(screen.rows, 30);
    assert.equal(screen.cols, 100);
    assert.match(screen.lines()[29], /F1\s*Help/);
    term.press("q");
  } else {
    const { term, screen } = start(t, top, ["-d", "5"], { env: plainEnv({ HOME: home }) });
    await screen.waitFor(/^top - .*\nTasks:/, wait);
    // top draws nothing at a fixed place from the bottom, so the redraw is taken as done once
    // it has been quiet for a while: a weaker check than htop's.
    term.resize(120, 30);
    await screen.waitForIdle(500, wait);
    assert.equal(screen.lines().length, 30);
    assert.match(screen.text(), /^top - .*\nTasks:/);
    term.press("q");
  }
});

test("waits: a timeout shows the screen; at the program's end a wait fails at once; idle", { timeout: 4 * LONG }, async (t) => {
  const { term, screen } = start(t, "/bin/sh", ["-c", "printf 'first\\nsecond\\n'; read x; printf 'late\\n'; sleep 1; exit 0"]);
  await screen.waitFor("second", wait);
  const error = await screen.waitFor("absent", { timeout: 100 }).catch((e) => e);
  assert.ok(error instanceof ScreenWaitError);
  assert.equal(error.reason, "timeout");
  assert.equal(error.screen, screen.text());
  assert.equal(error.message, 'timed out after 100 ms waiting for "absent"; the screen:\n  |first\n  |second');

  // Idle counts from the call: output that comes 100 ms later puts it off.
  const t0 = Date.now();
  setTimeout(() => term.write("\r"), 100);
  await screen.waitForIdle(400, wait);
  assert.ok(Date.now() - t0 >= 500, `idle after ${Date.now() - t0} ms`);
  assert.match(screen.text(), /late/);

  const never = screen.waitFor(/never/, wait).catch((e) => e);
  await term.exited;
  const ended = Date.now();
  const late = await never;
  assert.ok(Date.now() - ended < 1000, "the wait outlived the program");
  assert.equal(late.reason, "exit");
  assert.match(late.message, /^the program ended without \/never\/ on the screen; the screen:\n  \|first\n/);
  // Once the program has ended, what is on the screen is found and anything else fails at once.
  assert.equal((await screen.waitFor("late"))[0], "late");
  await assert.rejects(screen.waitFor("never"), { reason: "exit" });
  await screen.waitForIdle(10000);
});

test("a 4 MiB flood through a Screen: nothing lost, the last lines on screen, serialize() redraws it", { timeout: 4 * LONG }, async (t) => {
  const { term, screen } = start(t, "/bin/sh", ["-c", "seq 1 300000 | sed 's/$/ xxxxx/'"], { cols: 40, rows: 10 });
  const tail = screen.waitFor(/^300000 xxxxx\n$/m, wait);
  assert.equal((await term.exited).exitCode, 0);
  await tail;
  assert.deepEqual(screen.lines(), [...Array.from({ length: 9 }, (_, i) => `${299992 + i} xxxxx`), ""]);
  assert.equal(screen.lines({ scrollback: true }).length, 1000 + 10);
  assert.equal(screen.lines({ scrollback: true })[0], `${299992 - 1000} xxxxx`);
  const { Terminal } = (await import("@xterm/headless")).default;
  const copy = new Terminal({ cols: 40, rows: 10, scrollback: 1000, allowProposedApi: true });
  await new Promise((resolve) => copy.write(screen.serialize(), resolve));
  const buffer = copy.buffer.active;
  const copied = Array.from({ length: 10 }, (_, y) => buffer.getLine(buffer.baseY + y).translateToString(true));
  assert.deepEqual(copied, screen.lines());
});
