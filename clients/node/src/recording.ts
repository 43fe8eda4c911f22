// Sessions recorded in the asciicast v2 format, which terminal players and converters read: one
// JSON header line, then one JSON array per event, [seconds since the start, code, data], with
// "o" for output, "i" for input and "r" for a resize ("COLSxROWS").
//
// Players need each line to be valid JSON and output to be whole characters, so bytes are
// decoded as one UTF-8 stream per direction: a character split between two reads is written
// whole with the later event, and invalid bytes become U+FFFD.

import * as fs from "node:fs";
import * as os from "node:os";
import { StringDecoder } from "node:string_decoder";
import { holdOutput } from "./attach";
import type { Terminal } from "./terminal";

export interface RecordingHeader {
  /** Terminal columns and rows at the start. */
  cols: number;
  rows: number;
  /** The command line recorded, as a player shows it. */
  command?: string;
  /** Usually TERM and SHELL, which players read to know what the output was written for. */
  env?: Record<string, string>;
  /** Seconds since 1970 at the start; default now. */
  timestamp?: number;
  title?: string;
}

export interface RecordingFlow {
  /** Called when the stream's buffer is full: stop the source. */
  pause(): void;
  /** Called when the stream has drained. */
  resume(): void;
}

/** Where a recording goes: a file path (written synchronously) or a writable stream. */
export type RecordingTarget = string | NodeJS.WritableStream;

/**
 * Writes one session's events as they happen. A path is written synchronously, so the file is
 * complete whenever a method returns and a flood cannot outrun it; a stream is written with its
 * backpressure passed on through `flow`, and ended by end() unless it is standard output or error.
 */
export class AsciicastWriter {
  /** Set once writing has failed; later events are dropped. */
  error: Error | null = null;

  private readonly started = process.hrtime.bigint();
  private readonly output$ = new StringDecoder("utf8");
  private readonly input$ = new StringDecoder("utf8");
  private fd: number | null = null;
  private readonly stream: NodeJS.WritableStream | null = null;
  private waiting = false;
  private ended = false;

  constructor(target: RecordingTarget, header: RecordingHeader,
              private readonly flow: RecordingFlow | null = null,
              private readonly onError: ((error: Error) => void) | null = null) {
    checkSize(header.cols, "cols");
    checkSize(header.rows, "rows");
    if (typeof target === "string") {
      // Opened here, so that a path that cannot be written is the caller's error at once.
      this.fd = fs.openSync(target, "w");
    } else if (target !== null && typeof target === "object" && typeof target.write === "function") {
      this.stream = target;
      this.stream.on("error", (error: Error) => this.fail(error));
      this.stream.on("drain", () => {
        if (!this.waiting) return;
        this.waiting = false;
        this.flow?.resume();
      });
    } else {
      throw new TypeError("record must be a file path or a writable stream");
    }
    const line: Record<string, unknown> = {
      version: 2,
      width: header.cols,
      height: header.rows,
      timestamp: Math.floor(header.timestamp ?? Date.now() / 1000),
    };
    if (header.env !== undefined) line.env = header.env;
    if (header.command !== undefined) line.command = header.command;
    if (header.title !== undefined) line.title = header.title;
    this.put(JSON.stringify(line) + "\n");
  }

  /** Seconds since the writer was made, to the microsecond, as the events carry them. */
  elapsed(): number {
    return Math.round(Number(process.hrtime.bigint() - this.started) / 1000) / 1e6;
  }

  output(data: string | Uint8Array): void {
    this.event("o", typeof data === "string" ? data : this.output$.write(toBuffer(data)));
  }

  input(data: string | Uint8Array): void {
    this.event("i", typeof data === "string" ? data : this.input$.write(toBuffer(data)));
  }

  resize(cols: number, rows: number): void {
    checkSize(cols, "cols");
    checkSize(rows, "rows");
    this.event("r", `${cols}x${rows}`);
  }

  /** Writes what the decoders still hold and closes the file or ends the stream. Idempotent. */
  end(): void {
    if (this.ended) return;
    this.event("o", this.output$.end());
    this.event("i", this.input$.end());
    this.ended = true;
    if (this.fd !== null) {
      try {
        fs.closeSync(this.fd);
      } catch (error) {
        this.fail(error as Error);
      }
      this.fd = null;
    } else if (this.stream !== null && this.stream !== process.stdout && this.stream !== process.stderr) {
      this.stream.end();
    }
    if (this.waiting) {
      this.waiting = false;
      this.flow?.resume();
    }
  }

  private event(code: "o" | "i" | "r", text: string): void {
    if (text.length === 0 || this.ended) return;
    this.put(JSON.stringify([this.elapsed(), code, text]) + "\n");
  }

  private put(line: string): void {
    if (this.error !== null) return;
    if (this.fd !== null) {
      try {
        const bytes = Buffer.from(line, "utf8");
        for (let offset = 0; offset < bytes.length;) offset += fs.writeSync(this.fd, bytes, offset);
      } catch (error) {
        this.fail(error as Error);
      }
      return;
    }
    if (this.stream !== null && !this.stream.write(line) && !this.waiting) {
      this.waiting = true;
      this.flow?.pause();
    }
  }

  private fail(error: Error): void {
    if (this.error !== null) return;
    this.error = error;
    if (this.waiting) {
      this.waiting = false;
      this.flow?.resume();
    }
    this.onError?.(error);
  }
}

function toBuffer(data: Uint8Array): Buffer {
  if (!(data instanceof Uint8Array)) throw new TypeError("data must be a string or a Uint8Array");
  return Buffer.isBuffer(data) ? data : Buffer.from(data.buffer, data.byteOffset, data.byteLength);
}

function checkSize(value: unknown, name: string): void {
  if (typeof value !== "number" || !Number.isInteger(value) || value < 0 || value > 65535) {
    throw new TypeError(`${name} must be an integer from 0 to 65535`);
  }
}

/** A command line as a POSIX shell would read it back, for the header's `command`. */
export function commandLine(file: string, args: readonly string[]): string {
  return [file, ...args].map((word) => /^[\w@%+=:,./-]+$/.test(word) ? word : `'${word.replace(/'/g, "'\\''")}'`).join(" ");
}

/** Records `term` from now until its end; the writer is ended before the exit event's listeners run. */
export function recordTerminal(term: Terminal & { inputTap: ((bytes: Buffer) => void) | null },
                               target: RecordingTarget, file: string, args: readonly string[],
                               env: NodeJS.ProcessEnv): AsciicastWriter {
  let release: (() => void) | null = null;
  const flow: RecordingFlow = {
    pause: () => {
      release ??= holdOutput(term);
    },
    resume: () => {
      release?.();
      release = null;
    },
  };
  const header = {
    cols: term.cols,
    rows: term.rows,
    command: commandLine(file, args),
    // The bridge gives the program the login shell as SHELL when it has none.
    env: { TERM: env.TERM ?? "", SHELL: env.SHELL ?? loginShell() },
  };
  const writer = new AsciicastWriter(target, header, flow, (error) => {
    process.emitWarning(`the recording of ${header.command} stopped: ${error.message}`);
  });
  term.onData((data) => writer.output(data));
  term.onResize(({ cols, rows }) => writer.resize(cols, rows));
  term.inputTap = (bytes) => writer.input(bytes);
  // The exit listener is the first registered, so the recording is complete before the
  // application hears of the end; a bridge that failed ends it too.
  term.onExit(() => writer.end());
  term.exited.then(() => writer.end(), () => writer.end());
  return writer;
}

function loginShell(): string {
  try {
    return os.userInfo().shell ?? "/bin/sh";
  } catch {
    return "/bin/sh";
  }
}
