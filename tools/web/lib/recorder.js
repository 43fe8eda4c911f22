// A session's recording: an asciicast v2 file written by the client's writer through a stream
// whose buffer is bounded. While the stream is behind, the session stops reading its bridge, so
// a program that floods is slowed to the disk's pace instead of filling the server's memory.
import { createWriteStream } from "node:fs";
import { join } from "node:path";
import { AsciicastWriter, commandLine } from "quelt-local-pty/recording";

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
  constructor({ dir, id, cols, rows, file, args, env, log, onFlow }) {
    const startedAt = new Date();
    this.name = recordingName(startedAt, id);
    this.path = join(dir, this.name);
    this.behind = false;
    const stream = createWriteStream(this.path, { flags: "wx", mode: 0o600, highWaterMark: HIGH_WATER });
    /** Settles once the file is complete on disk. */
    this.finished = new Promise((resolve) => stream.on("close", resolve));
    const flow = (behind) => () => {
      this.behind = behind;
      onFlow();
    };
    // A full disk or a folder removed: the session goes on unrecorded rather than held up.
    this.writer = new AsciicastWriter(stream, {
      cols, rows, command: commandLine(file, args), env: { TERM: env.TERM ?? "", SHELL: env.SHELL ?? "" },
      timestamp: Math.floor(startedAt.getTime() / 1000),
    }, { pause: flow(true), resume: flow(false) }, (error) => log(`the recording ${this.name} stopped: ${error.message}`));
  }

  output(chunk) { this.writer.output(chunk); }
  input(data) { this.writer.input(data); }
  resize(cols, rows) { this.writer.resize(cols, rows); }

  close() {
    this.writer.end();
    return this.finished;
  }
}
