// One terminal: a quelt_local_pty bridge process driven over its standard input and output with
// newline-delimited JSON frames, and the events the application sees.

import { spawn as spawnProcess, ChildProcessWithoutNullStreams } from "node:child_process";
import { StringDecoder } from "node:string_decoder";
import { DATA_PREFIX, DATA_SUFFIX_LENGTH, NEWLINE, base64Length, isDataLine } from "./frames";
import { resolveBridge } from "./resolve";
import { applicationCursorKeys } from "./attach";
import { keysBytes } from "./keys";
import { RecordingTarget, recordTerminal } from "./recording";

export interface SpawnOptions {
  /** Terminal columns, an integer from 0 to 65535; default 80. */
  cols?: number;
  /** Terminal rows, an integer from 0 to 65535; default 24. */
  rows?: number;
  /** The program's working directory; default: the bridge's rule (the home directory). */
  cwd?: string;
  /** The program's whole environment (undefined values are left out); default process.env. */
  env?: Record<string, string | undefined>;
  /** "utf8" (default): onData gets strings, decoded as a stream; null: Buffers. */
  encoding?: "utf8" | null;
  /** The bridge binary; default: what resolveBridge() finds. */
  bridgePath?: string;
  /**
   * Records the session in the asciicast v2 format: to this file path, complete when the exit
   * event comes, or into this writable stream, ended after the exit event.
   */
  record?: RecordingTarget;
}

export interface TerminalSize {
  cols: number;
  rows: number;
}

export interface ExitEvent {
  exitCode: number;
}

export interface Disposable {
  dispose(): void;
}

export interface Terminal {
  readonly cols: number;
  readonly rows: number;
  /** Resolves on the ready frame; rejects with the bridge's error message. */
  readonly ready: Promise<void>;
  /** Resolves after the last byte of output has been delivered and the bridge has ended. */
  readonly exited: Promise<ExitEvent>;
  onData(listener: (data: string | Buffer) => void): Disposable;
  onExit(listener: (e: ExitEvent) => void): Disposable;
  onError(listener: (error: Error) => void): Disposable;
  /** Told of each resize() that is sent to the program. */
  onResize(listener: (size: TerminalSize) => void): Disposable;
  /** Types into the terminal; strings are sent as UTF-8. Dropped once the session has ended. */
  write(data: string | Uint8Array): void;
  /** Dropped once the session has ended. */
  resize(cols: number, rows: number): void;
  /**
   * Types keys by name ("Enter", "C-c", "Up", "F5", "M-x", or one character), one after the other.
   * The arrows, Home and End follow the program's cursor-key mode while a Screen is attached.
   * An unknown name throws, and nothing is sent.
   */
  press(...names: string[]): void;
  /** Hangs the program up and ends the session. Dropped once the session has ended. */
  kill(): void;
  /** Stops reading the bridge's output, which in turn stops the program when it writes more. */
  pause(): void;
  resume(): void;
}

function checkSize(value: unknown, name: string, fallback?: number): number {
  if (value === undefined && fallback !== undefined) return fallback;
  if (typeof value !== "number" || !Number.isInteger(value) || value < 0 || value > 65535) {
    throw new TypeError(`${name} must be an integer from 0 to 65535, got ${describe(value)}`);
  }
  return value;
}

function describe(value: unknown): string {
  if (typeof value === "string") return JSON.stringify(value);
  if (typeof value === "number" || typeof value === "boolean" || value == null) return String(value);
  return typeof value;
}

function environment(env: Record<string, string | undefined>): NodeJS.ProcessEnv {
  const result: NodeJS.ProcessEnv = {};
  for (const [key, value] of Object.entries(env)) {
    if (value === undefined) continue;
    if (typeof value !== "string") {
      throw new TypeError(`env.${key} must be a string or undefined, got ${describe(value)}`);
    }
    result[key] = value;
  }
  return result;
}

function signalName(signal: NodeJS.Signals | null, code: number | null): string {
  if (signal) return signal;
  return `exit status ${code ?? "unknown"}`;
}

class Listeners<T> {
  private list: Array<(value: T) => void> = [];

  add(listener: (value: T) => void): Disposable {
    if (typeof listener !== "function") throw new TypeError("listener must be a function");
    // A wrapper per registration, so disposing one of two identical registrations removes one.
    const entry = (value: T) => listener(value);
    this.list = [...this.list, entry];
    return {
      dispose: () => {
        this.list = this.list.filter((l) => l !== entry);
      },
    };
  }

  emit(value: T): void {
    for (const listener of this.list) listener(value);
  }
}

class BridgeTerminal implements Terminal {
  readonly ready: Promise<void>;
  readonly exited: Promise<ExitEvent>;

  private _cols: number;
  private _rows: number;
  private readonly child: ChildProcessWithoutNullStreams;
  private readonly decoder: StringDecoder | null;
  private readonly dataListeners = new Listeners<string | Buffer>();
  private readonly exitListeners = new Listeners<ExitEvent>();
  private readonly errorListeners = new Listeners<Error>();
  private readonly resizeListeners = new Listeners<TerminalSize>();
  /** Sees every input that is sent, for a recording. */
  inputTap: ((bytes: Buffer) => void) | null = null;
  private resolveReady!: () => void;
  private rejectReady!: (error: Error) => void;
  private resolveExited!: (e: ExitEvent) => void;
  private rejectExited!: (error: Error) => void;

  /** Start and end of each Base64 text in a run of data frames; reused. */
  private readonly base64Ranges: number[] = [];
  private scratch = Buffer.alloc(0);
  /** Output read but not yet handed out: a partial line, or lines held back by pause(). */
  private pending: Buffer | null = null;
  private paused = false;
  private inputOpen = true;
  private readySeen = false;
  private exitCode: number | null = null;
  private error: Error | null = null;
  private bridgeEnded: { code: number | null; signal: NodeJS.Signals | null } | null = null;
  private finished = false;
  private stderrTail = "";

  constructor(bridge: string, file: string, args: string[], cols: number, rows: number,
              cwd: string | undefined, env: NodeJS.ProcessEnv, encoding: "utf8" | null) {
    this._cols = cols;
    this._rows = rows;
    this.decoder = encoding === "utf8" ? new StringDecoder("utf8") : null;
    this.ready = new Promise<void>((resolve, reject) => {
      this.resolveReady = resolve;
      this.rejectReady = reject;
    });
    this.exited = new Promise<ExitEvent>((resolve, reject) => {
      this.resolveExited = resolve;
      this.rejectExited = reject;
    });
    // An application that never awaits these must not be brought down by their rejection;
    // one that does still sees it.
    this.ready.catch(() => {});
    this.exited.catch(() => {});

    // A session of its own: a Ctrl-C typed at the terminal the application runs in goes to the
    // application's process group and must not end every bridge with it. The bridge still ends
    // with the application, which closes its standard input whatever way it ends.
    this.child = spawnProcess(bridge, [], { stdio: ["pipe", "pipe", "pipe"], env, detached: true });
    const spawnFrame: Record<string, unknown> = { type: "spawn", shellPath: file, shellArgs: args };
    if (cwd !== undefined) spawnFrame.cwd = cwd;
    spawnFrame.rows = rows;
    spawnFrame.cols = cols;
    this.send(JSON.stringify(spawnFrame));

    // A bridge that has gone away makes writes fail with EPIPE; its end is reported through
    // the close of its output instead.
    this.child.stdin.on("error", () => {
      this.inputOpen = false;
    });
    this.child.stdout.on("data", (chunk: Buffer) => this.receive(chunk));
    this.child.stderr.setEncoding("utf8");
    this.child.stderr.on("data", (text: string) => {
      this.stderrTail = (this.stderrTail + text).slice(-2000);
    });
    this.child.on("error", (error: Error) => {
      this.inputOpen = false;
      this.fail(new Error(`cannot start the bridge ${bridge}: ${error.message}`));
      if (this.child.pid === undefined) this.onBridgeEnded(null, null);
    });
    this.child.on("close", (code: number | null, signal: NodeJS.Signals | null) => {
      this.onBridgeEnded(code, signal);
    });
  }

  get cols(): number {
    return this._cols;
  }

  get rows(): number {
    return this._rows;
  }

  onData(listener: (data: string | Buffer) => void): Disposable {
    return this.dataListeners.add(listener);
  }

  onExit(listener: (e: ExitEvent) => void): Disposable {
    return this.exitListeners.add(listener);
  }

  onError(listener: (error: Error) => void): Disposable {
    return this.errorListeners.add(listener);
  }

  onResize(listener: (size: TerminalSize) => void): Disposable {
    return this.resizeListeners.add(listener);
  }

  press(...names: string[]): void {
    this.write(keysBytes(names, { applicationCursor: applicationCursorKeys(this) }));
  }

  write(data: string | Uint8Array): void {
    let bytes: Buffer;
    if (typeof data === "string") bytes = Buffer.from(data, "utf8");
    else if (data instanceof Uint8Array) bytes = Buffer.from(data.buffer, data.byteOffset, data.byteLength);
    else throw new TypeError(`data must be a string or a Uint8Array, got ${describe(data)}`);
    if (bytes.length === 0) return;
    if (this.inputOpen) this.inputTap?.(bytes);
    this.send(`{"type":"input","data":"${bytes.toString("base64")}"}`);
  }

  resize(cols: number, rows: number): void {
    checkSize(cols, "cols");
    checkSize(rows, "rows");
    if (!this.inputOpen) return;
    this._cols = cols;
    this._rows = rows;
    this.send(`{"type":"resize","rows":${rows},"cols":${cols}}`);
    this.resizeListeners.emit({ cols, rows });
  }

  kill(): void {
    if (!this.inputOpen) return;
    this.send('{"type":"kill"}');
    // The bridge reads nothing after a kill frame.
    this.closeInput();
  }

  pause(): void {
    if (this.paused) return;
    this.paused = true;
    this.child.stdout.pause();
  }

  resume(): void {
    if (!this.paused) return;
    this.paused = false;
    // Lines held back are handed out later, not from inside the caller's resume().
    process.nextTick(() => {
      if (this.paused) return;
      if (this.pending !== null && this.pending.indexOf(NEWLINE) >= 0) {
        const held = this.pending;
        this.pending = null;
        this.receive(held);
        if (this.paused) return;
      }
      this.child.stdout.resume();
      this.maybeFinish();
    });
  }

  private send(line: string): void {
    if (!this.inputOpen) return;
    this.child.stdin.write(line + "\n");
  }

  private closeInput(): void {
    if (!this.inputOpen) return;
    this.inputOpen = false;
    this.child.stdin.end();
  }

  private receive(chunk: Buffer): void {
    let start = 0;
    if (this.pending !== null) {
      const newline = chunk.indexOf(NEWLINE);
      if (newline < 0) {
        this.pending = Buffer.concat([this.pending, chunk]);
        return;
      }
      const line = Buffer.concat([this.pending, chunk.subarray(0, newline)]);
      this.pending = null;
      this.handleLines(line, 0, line.length, true);
      start = newline + 1;
      if (this.paused) {
        if (start < chunk.length) this.pending = chunk.subarray(start);
        return;
      }
    }
    this.handleLines(chunk, start, chunk.length, false);
  }

  /**
   * Handles the lines in chunk[start, end). With `whole`, the range is one line without its
   * line feed; otherwise a partial last line is kept in `pending`, and so is everything after
   * the line during which pause() was called.
   */
  private handleLines(chunk: Buffer, start: number, end: number, whole: boolean): void {
    let position = start;
    while (position < end && !this.paused) {
      // A run of data frames, the bulk of all output, is decoded into one buffer and handed out
      // as one piece; a flood's read holds half a dozen of them.
      const runs = this.base64Ranges;
      let decodedLength = 0;
      let lineEnd = -1;
      while (position < end) {
        lineEnd = whole ? end : chunk.indexOf(NEWLINE, position);
        if (lineEnd < 0) break;
        if (!isDataLine(chunk, position, lineEnd)) break;
        const from = position + DATA_PREFIX.length;
        const to = lineEnd - DATA_SUFFIX_LENGTH;
        runs.push(from, to);
        decodedLength += base64Length(chunk, from, to);
        position = lineEnd + 1;
        if (whole) break;
      }
      if (runs.length > 0) {
        this.deliverRanges(chunk, runs, decodedLength);
        runs.length = 0;
        continue;
      }
      if (lineEnd < 0) break;
      this.handleFrame(chunk.toString("utf8", position, lineEnd));
      position = lineEnd + 1;
      if (whole) break;
    }
    if (!whole && position < end) {
      this.pending = chunk.subarray(position, end);
    }
  }

  /** Decodes the Base64 texts chunk[runs[i], runs[i + 1]) and hands out their bytes. */
  private deliverRanges(chunk: Buffer, runs: number[], decodedLength: number): void {
    let target: Buffer;
    if (this.decoder === null) {
      // Handed to the application, which may keep it: a buffer of its own.
      target = Buffer.allocUnsafe(decodedLength);
    } else {
      // Only the decoder reads it, and copies what it keeps: one buffer reused.
      if (this.scratch.length < decodedLength) {
        this.scratch = Buffer.allocUnsafe(Math.max(decodedLength, 2 * this.scratch.length));
      }
      target = this.scratch;
    }
    let length = 0;
    for (let i = 0; i < runs.length; i += 2) {
      length += target.write(chunk.toString("latin1", runs[i], runs[i + 1]), length, "base64");
    }
    this.deliver(target.subarray(0, length));
  }

  private deliver(bytes: Buffer): void {
    if (bytes.length === 0) return;
    if (this.decoder === null) {
      this.dataListeners.emit(bytes);
      return;
    }
    const text = this.decoder.write(bytes);
    if (text.length > 0) this.dataListeners.emit(text);
  }

  private handleFrame(text: string): void {
    if (text.trim() === "") return;
    let frame: { type?: unknown; data?: unknown; code?: unknown; message?: unknown };
    try {
      frame = JSON.parse(text);
    } catch {
      this.fail(new Error(`bridge sent a line that is not JSON: ${text.slice(0, 200)}`));
      return;
    }
    switch (frame.type) {
      case "data":
        if (typeof frame.data === "string") this.deliver(Buffer.from(frame.data, "base64"));
        break;
      case "ready":
        this.readySeen = true;
        this.resolveReady();
        break;
      case "exit":
        this.exitCode = typeof frame.code === "number" ? frame.code : 1;
        // The bridge still forwards what the program left in the terminal, then ends.
        this.closeInput();
        break;
      case "error":
        this.inputOpen = false;
        this.fail(new Error(typeof frame.message === "string" ? frame.message : "bridge error"));
        break;
      default:
        // Frame types added later are not this client's business.
        break;
    }
  }

  private fail(error: Error): void {
    if (this.error !== null) return;
    this.error = error;
    if (!this.readySeen) this.rejectReady(error);
    this.errorListeners.emit(error);
  }

  private onBridgeEnded(code: number | null, signal: NodeJS.Signals | null): void {
    if (this.bridgeEnded !== null) return;
    this.bridgeEnded = { code, signal };
    this.inputOpen = false;
    this.maybeFinish();
  }

  /** Reports the end once the bridge has ended and everything read has been handed out. */
  private maybeFinish(): void {
    if (this.finished || this.bridgeEnded === null || this.paused) return;
    if (this.pending !== null && this.pending.indexOf(NEWLINE) >= 0) return;
    this.finished = true;
    if (this.pending !== null && this.pending.length > 0) {
      // A last line without its line feed: the bridge died while writing it.
      const last = this.pending;
      this.pending = null;
      this.handleLines(last, 0, last.length, true);
    }
    if (this.decoder !== null) {
      const rest = this.decoder.end();
      if (rest.length > 0) this.dataListeners.emit(rest);
    }
    if (this.error === null && this.exitCode === null) {
      const { code, signal } = this.bridgeEnded;
      const detail = this.stderrTail.trim().split("\n").pop();
      this.fail(new Error(`bridge ended unexpectedly: ${signalName(signal, code)}` +
                          (detail ? ` (${detail})` : "")));
    }
    if (this.error !== null) {
      this.rejectExited(this.error);
      return;
    }
    const event = { exitCode: this.exitCode as number };
    this.exitListeners.emit(event);
    this.resolveExited(event);
  }
}

/** Starts `file` with `args` in a new terminal served by its own bridge process. */
export function spawn(file: string, args?: string[], options?: SpawnOptions): Terminal {
  if (typeof file !== "string" || file === "") {
    throw new TypeError(`file must be a non-empty string, got ${describe(file)}`);
  }
  if (args === undefined || args === null) args = [];
  if (!Array.isArray(args) || !args.every((a) => typeof a === "string")) {
    throw new TypeError("args must be an array of strings");
  }
  const opts: SpawnOptions = options ?? {};
  if (typeof opts !== "object") throw new TypeError(`options must be an object, got ${describe(opts)}`);
  const cols = checkSize(opts.cols, "cols", 80);
  const rows = checkSize(opts.rows, "rows", 24);
  if (opts.cwd !== undefined && typeof opts.cwd !== "string") {
    throw new TypeError(`cwd must be a string, got ${describe(opts.cwd)}`);
  }
  const encoding = opts.encoding === undefined ? "utf8" : opts.encoding;
  if (encoding !== "utf8" && encoding !== null) {
    throw new TypeError(`encoding must be "utf8" or null, got ${describe(encoding)}`);
  }
  if (opts.env !== undefined && (opts.env === null || typeof opts.env !== "object")) {
    throw new TypeError(`env must be an object, got ${describe(opts.env)}`);
  }
  if (opts.bridgePath !== undefined && typeof opts.bridgePath !== "string") {
    throw new TypeError(`bridgePath must be a string, got ${describe(opts.bridgePath)}`);
  }
  const env = environment(opts.env ?? process.env);
  const bridge = resolveBridge({ bridgePath: opts.bridgePath });
  const term = new BridgeTerminal(bridge, file, [...args], cols, rows, opts.cwd, env, encoding);
  if (opts.record !== undefined) {
    try {
      recordTerminal(term, opts.record, file, args, env);
    } catch (error) {
      term.kill();
      throw error;
    }
  }
  return term;
}
