// A snapshot redraws the screen so exactly that output written after it lands where it would
// have landed without the break. Each row stops at a point a full-screen program may leave the
// terminal in, then writes on.
import assert from "node:assert/strict";
import { test } from "node:test";
import { Screen } from "../lib/screen.js";

const written = (screen, bytes) => new Promise((resolve) => screen.write(Buffer.from(bytes), resolve));

// Everything the terminal shows and everything that changes what later output does.
function state({ term }) {
  const buffer = term.buffer.active;
  const lines = [];
  for (let i = 0; i < buffer.length; i++) lines.push(buffer.getLine(i).translateToString(false));
  const core = term._core;
  return {
    type: buffer.type, lines, cursor: [buffer.cursorX, buffer.cursorY], modes: { ...term.modes },
    hidden: core.coreService.isCursorHidden, mouse: core.coreMouseService.activeEncoding, title: core._title,
  };
}

test("a snapshot restores what later output depends on", async () => {
  const rows = [
    ["a full last column, the wrap pending", "0123456789", "X"],
    ["scrolling margins", "\x1b[2;3r\x1b[3;1H", "\n\n\nA"],
    ["margins with origin mode", "\x1b[2;3r\x1b[?6h\x1b[1;1H", "O\x1b[1;1HP"],
    ["the alternate screen", "main\x1b[?1049halt\x1b[2;2H", "Z\x1b[?1049l"],
    ["a hidden cursor, SGR mouse reports, bracketed paste", "\x1b[?25l\x1b[?1002h\x1b[?1006h\x1b[?2004h", "x"],
    ["colours", "\x1b[1;38;5;202mbold orange", " more\x1b[0m plain"],
    ["line drawing in G0", "\x1b(0", "lqk\x1b(Bq"],
    ["line drawing in G1, shifted out", "\x1b)0\x0e", "lqk\x0fq"],
    ["a title", "\x1b]0;the title\x07", "x"],
  ];
  for (const [what, before, after] of rows) {
    const make = () => new Screen({ cols: 10, rows: 4, scrollback: 100, onReply: () => {} });
    const original = make();
    const restored = make();
    await written(original, before);
    await written(restored, original.snapshot());
    await written(original, after);
    await written(restored, after);
    assert.deepEqual(state(restored), state(original), what);
  }
});

test("half a sequence or half a character is no place for a snapshot", async () => {
  const screen = new Screen({ cols: 20, rows: 5, scrollback: 0, onReply: () => {} });
  const euro = Buffer.from("€");
  for (const [part, boundary] of [["a\x1b", false], ["[3", false], ["1m", true], [euro.subarray(0, 2), false],
    [euro.subarray(2), true], ["\x1b]0;tit", false], ["le\x07", true]]) {
    await written(screen, part);
    assert.equal(screen.atBoundary(), boundary, JSON.stringify(String(part)));
  }
});

test("the program's queries are answered by the screen", async () => {
  const replies = [];
  const screen = new Screen({ cols: 20, rows: 5, scrollback: 0, onReply: (data) => replies.push(data) });
  await written(screen, "ab\x1b[6n\x1b[c");
  assert.deepEqual(replies, ["\x1b[1;3R", "\x1b[?1;2c"]);
});
