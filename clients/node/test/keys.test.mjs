// Named keys against the table both clients share: every listed case and refusal, and press()
// through a real terminal, where the program reads the bytes raw.
import { test } from "node:test";
import assert from "node:assert/strict";
import * as fs from "node:fs";
import { keyBytes, keysBytes } from "../dist/keys.mjs";
import { Screen } from "../dist/screen.mjs";
import { spawn, LONG } from "./helpers.mjs";

const table = JSON.parse(fs.readFileSync(new URL("../../shared/keys.json", import.meta.url), "utf8"));

test("keyBytes: every case of the shared table, and every name it refuses", () => {
  for (const [name, applicationCursor, bytes] of table.cases) {
    assert.equal(keyBytes(name, { applicationCursor }), bytes, `${name} (application cursor: ${applicationCursor})`);
  }
  for (const [name, [normal, application]] of Object.entries(table.cursor)) {
    assert.equal(keyBytes(name), normal, name);
    assert.equal(keyBytes(name, { applicationCursor: true }), application, name);
  }
  for (const [name, bytes] of Object.entries(table.named)) {
    assert.equal(keyBytes(name, { applicationCursor: true }), bytes, name);
  }
  for (const name of table.unknown) {
    assert.throws(() => keyBytes(name), { message: `unknown key name ${JSON.stringify(name)}: expected a name such as Enter, Tab, S-Tab, Escape, Up, PageDown, F5, C-c or M-x, or a single character` });
  }
  assert.equal(keysBytes(["Up", "Up", "Enter"]), "\x1b[A\x1b[A\r");
  assert.throws(() => keysBytes(["Up", "Nope"]), /"Nope"/);
});

test("press(): the bytes arrive; an unknown name sends nothing; the arrows follow an attached screen's mode", { timeout: LONG }, async (t) => {
  // The program switches the cursor keys to application mode, then prints what each read gives
  // it, numbered, in hex, in raw mode.
  const script = 'stty raw -echo opost; printf "\\033[?1hready\\n"; n=0; ' +
                 'while :; do n=$((n+1)); printf "%s:" $n; dd bs=64 count=1 2>/dev/null | od -An -tx1 | tr -d " \\n"; echo; done';
  const term = spawn("/bin/sh", ["-c", script]);
  t.after(() => term.kill());
  let output = "";
  term.onData((data) => (output += data));
  const screen = new Screen(term);
  await screen.waitFor("ready", { timeout: LONG });
  const read = (line) => screen.waitFor(new RegExp(`^${line}$`, "m"), { timeout: LONG });

  term.press("C-c", "Tab", "é");
  await read("1:0309c3a9");
  assert.throws(() => term.press("Up", "Nope"), /unknown key name "Nope"/);
  // Had the Up before the unknown name been sent, it would lead this read.
  term.press("M-x");
  await read("2:1b78");
  term.press("Up", "End");
  await read("3:1b4f411b4f46");

  // Without a screen the program's mode is unknown: the arrows send the normal mode's bytes.
  screen.dispose();
  term.press("Up");
  await new Promise((resolve) => {
    const check = term.onData(() => {
      if (output.includes("4:1b5b41\r\n")) resolve(check.dispose());
    });
  });
});
