// A session's recording: one asciicast v2 file, a header line and then one JSON array per event,
// [seconds, "o" | "i" | "r", text], written as the session goes. The file is written through a
// stream whose buffer is bounded: while it is behind, the session stops reading its bridge, so
// a program that floods is slowed to the disk's pace instead of filling the server's memory.
import { createWriteStream } from "node:fs";
import { join } from "node:path";
import { StringDecoder } from "node:string_decoder";

// What may wait in memory for the disk before the session is held up.
const HIGH_WATER = 256 * 1024;

// "20261209T211503Z-1a2b3c4d.cast": sorted by start, and naming the session by a short prefix
// of its id only, since the full id opens the session to whoever holds the server's token.
export function recordingName(startedAt, id) {
  const stamp = startedAt.toISOString().replace(/[-:]/g, "").replace(/\.\d+Z$/, "Z");
  return `${stamp}-${id.slice(0, 8)}.cast`;
}

export class Recorder {
  // `onFlow()` is called when the recorder stops or starts being behind.
  constructor({ dir, id, cols, rows, command, env, onFlow }) {
    this.startedAt = new Date();
    this.name = recordingName(this.startedAt, id);
    this.path = join(dir, this.name);
    this.start = performance.now();
    this.onFlow = onFlow;
    this.outDecoder = new StringDecoder("utf8");
    this.inDecoder = new StringDecoder("utf8");
    this.closed = false;
    this.stream = createWriteStream(this.path, { flags: "wx", mode: 0o600, highWaterMark: HIGH_WATER });
    this.stream.on("drain", () => this.onFlow());
    this.stream.on("error", () => {
      // A full disk or a folder removed: the session goes on unrecorded rather than held up.
      this.closed = true;
      this.onFlow();
    });
    /** Settles once the file is complete on disk. */
    this.finished = new Promise((resolve) => this.stream.on("close", resolve));
    const header = {
      version: 2, width: cols, height: rows, timestamp: Math.floor(this.startedAt.getTime() / 1000),
      command, env: { TERM: env.TERM, SHELL: env.SHELL },
    };
    this.stream.write(`${JSON.stringify(header)}\n`);
  }

  get behind() {
    return !this.closed && this.stream.writableNeedDrain;
  }

  event(code, text) {
    if (this.closed || text === "") return;
    const seconds = Math.round(performance.now() - this.start) / 1000;
    this.stream.write(`${JSON.stringify([seconds, code, text])}\n`);
  }

  // Output and input are decoded as streams: a chunk may end inside a UTF-8 character.
  output(chunk) { this.event("o", this.outDecoder.write(chunk)); }
  input(data) { this.event("i", typeof data === "string" ? data : this.inDecoder.write(data)); }
  resize(cols, rows) { this.event("r", `${cols}x${rows}`); }

  close() {
    if (this.closed) return this.finished;
    this.event("o", this.outDecoder.end());
    this.closed = true;
    this.stream.end();
    return this.finished;
  }
}
