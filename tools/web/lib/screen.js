// A session's screen as the program has drawn it, kept in a headless terminal so that a page
// attaching at any time can be given it whole.
//
// The headless terminal parses what it is given later, in slices of its own, and runs a write's
// callback right after that write's bytes and before the next write's. So whatever must happen
// at one point of the output (handing a chunk on to the pages, taking a snapshot, changing the
// size) is done in the callback of a write made at that point: a snapshot then holds every byte
// before it and none after, and the chunks passed on after it are exactly the rest.
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
// Both packages are CommonJS bundles whose exports Node cannot name for an ES import.
const { Terminal } = require("@xterm/headless");
const { SerializeAddon } = require("@xterm/addon-serialize");

// Strips what could end an OSC string early or start another sequence.
const printable = (text) => text.replace(/[\x00-\x1f\x7f-\x9f]/g, "");

export class Screen {
  // `onReply` receives the terminal's answers to the program's queries (device attributes,
  // cursor position, modes), which must go back to the program as input.
  constructor({ cols, rows, scrollback, onReply }) {
    this.scrollback = scrollback;
    this.term = new Terminal({ cols, rows, scrollback, allowProposedApi: true });
    this.serializer = new SerializeAddon();
    this.term.loadAddon(this.serializer);
    this.title = "";
    this.term.onTitleChange((title) => { this.title = title; });
    this.term.onData(onReply);
    /** Bytes written and not parsed yet: what the server holds for this session beyond the screen. */
    this.pending = 0;
  }

  get cols() { return this.term.cols; }
  get rows() { return this.term.rows; }

  // Parses `chunk` after everything written before it, then calls `then`.
  write(chunk, then) {
    this.pending += chunk.length;
    this.term.write(chunk, () => {
      this.pending -= chunk.length;
      then();
    });
  }

  // Calls `then` once everything written so far is parsed, before anything written later.
  whenParsed(then) {
    this.term.write("", then);
  }

  // True when no escape sequence and no UTF-8 character is half parsed, so that a snapshot
  // taken now leaves the bytes after it nothing to complete. Internal fields again.
  atBoundary() {
    const handler = this.term._core._inputHandler;
    return handler._parser.currentState === 0 && !handler._utf8Decoder.interim[0];
  }

  // The screen as text, with up to `scrollback` lines from above it, and the cursor (1-based,
  // on the screen). Trailing blanks are left out, of each line and of the whole.
  text(scrollback = 0) {
    const buffer = this.term.buffer.active;
    const first = Math.max(0, buffer.baseY - scrollback);
    const lines = [];
    for (let y = first; y < buffer.baseY + this.term.rows; y++) lines.push(buffer.getLine(y)?.translateToString(true) ?? "");
    while (lines.length > 0 && lines[lines.length - 1] === "") lines.pop();
    return { text: lines.join("\n"), cursor: { row: buffer.cursorY + 1, col: buffer.cursorX + 1 }, above: buffer.baseY - first };
  }

  // Cursor keys send other bytes once a program has asked for application mode.
  get applicationCursor() {
    return this.term.modes.applicationCursorKeysMode;
  }

  resize(cols, rows) {
    this.term.resize(cols, rows);
  }

  // The screen, scrollback, cursor, colours and modes as a byte string that redraws them in a
  // terminal of this size that was just reset. Call only from a write's callback.
  snapshot() {
    let text = this.serializer.serialize({ scrollback: this.scrollback });
    // The serializer leaves out some state a full-screen program sets once and counts on
    // afterwards. Internal fields, as the serializer itself reads the current colours; the
    // tests that restore vim's screen would catch a rename.
    const core = this.term._core;
    const buffer = core.buffer;
    if (buffer.scrollTop !== 0 || buffer.scrollBottom !== this.term.rows - 1) {
      // Setting the margins moves the cursor home, so the cursor is saved around it.
      text += `\x1b7\x1b[${buffer.scrollTop + 1};${buffer.scrollBottom + 1}r\x1b8`;
    }
    const encoding = core.coreMouseService?.activeEncoding;
    if (encoding === "SGR") text += "\x1b[?1006h";
    else if (encoding === "SGR_PIXELS") text += "\x1b[?1016h";
    if (core.coreService?.isCursorHidden) text += "\x1b[?25l";
    // Line drawing is the one character set programs still designate (G0 to G3), and the only
    // one told apart here, by what it maps "q" to.
    const charsets = core._charsetService;
    ["(", ")", "*", "+"].forEach((designator, g) => {
      if (charsets?._charsets?.[g]?.q === "\u2500") text += `\x1b${designator}0`;
    });
    text += ["", "\x0e", "\x1bn", "\x1bo"][charsets?.glevel] ?? "";
    if (this.title) text = `\x1b]0;${printable(this.title)}\x07${text}`;
    return text;
  }
}
