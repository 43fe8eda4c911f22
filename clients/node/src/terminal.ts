// One terminal: a quelt_local_pty bridge process driven over its standard input and output with
// newline-delimited JSON frames, and the events the application sees.

import { spawn as spawnProcess, ChildProcessWithoutNullStreams } from "node:child_process";
import { StringDecoder } from "node:string_decoder";
import { FrameDecoder, FrameEvent } from "./decoder";
import { resolveBridge } from "./resolve";

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
  /** Types into the terminal; strings are sent as UTF-8. Dropped once the session has ended. */
  write(data: string | Uint8Array): void;
  /** Dropped once the session has ended. */
  resize(cols: number, rows: number): void;
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
  private resolveReady!: () => void;
  private rejectReady!: (error: Error) => void;
  private resolveExited!: (e: ExitEvent) => void;
  private rejectExited!: (error: Error) => void;

  private readonly frames: FrameDecoder;
  /** Events decoded but not yet handled (pause() holds them back), and the next one's index. */
  private queue: FrameEvent[] = [];
  private queueIndex = 0;
  /** Output read but not yet decoded. */
  private readonly held: Buffer[] = [];
  private decoderEnded = false;
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
    // Bytes handed to the application are its own; a text decoder copies what it keeps.
    this.frames = new FrameDecoder({ reuseBuffers: this.decoder !== null });
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

  write(data: string | Uint8Array): void {
    let bytes: Buffer;
    if (typeof data === "string") bytes = Buffer.from(data, "utf8");
    else if (data instanceof Uint8Array) bytes = Buffer.from(data.buffer, data.byteOffset, data.byteLength);
    else throw new TypeError(`data must be a string or a Uint8Array, got ${describe(data)}`);
    if (bytes.length === 0) return;
    this.send(`{"type":"input","data":"${bytes.toString("base64")}"}`);
  }

  resize(cols: number, rows: number): void {
    checkSize(cols, "cols");
    checkSize(rows, "rows");
    if (!this.inputOpen) return;
    this._cols = cols;
    this._rows = rows;
    this.send(`{"type":"resize","rows":${rows},"cols":${cols}}`);
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
    // Events held back are handed out later, not from inside the caller's resume().
    process.nextTick(() => {
      if (this.paused) return;
      this.pump();
      if (this.paused) return;
      this.child.stdout.resume();
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
    this.held.push(chunk);
    this.pump();
  }

  /**
   * Hands out the events decoded so far, and decodes what was read meanwhile, until pause()
   * is called: the events after the one during which it was called wait for resume().
   */
  private pump(): void {
    for (;;) {
      while (this.queueIndex < this.queue.length) {
        if (this.paused) return;
        this.handle(this.queue[this.queueIndex++]);
      }
      // Decoded only once the previous chunk's events are out: their bytes may sit in the
      // decoder's reused buffer.
      const chunk = this.held.shift();
      if (chunk === undefined) break;
      this.queue = this.frames.feed(chunk);
      this.queueIndex = 0;
    }
    if (!this.paused) this.maybeFinish();
  }

  private handle(event: FrameEvent): void {
    switch (event.type) {
      case "data":
        this.deliver(event.data);
        break;
      case "ready":
        this.readySeen = true;
        this.resolveReady();
        break;
      case "exit":
        this.exitCode = event.code;
        // The bridge still forwards what the program left in the terminal, then ends.
        this.closeInput();
        break;
      case "error":
        this.inputOpen = false;
        this.fail(new Error(event.message));
        break;
      default:
        break;
    }
  }

  private deliver(bytes: Buffer): void {
    if (this.decoder === null) {
      this.dataListeners.emit(bytes);
      return;
    }
    const text = this.decoder.write(bytes);
    if (text.length > 0) this.dataListeners.emit(text);
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
    if (this.queueIndex < this.queue.length || this.held.length > 0) return;
    if (!this.decoderEnded) {
      this.decoderEnded = true;
      this.queue = this.frames.end();
      this.queueIndex = 0;
      if (this.queue.length > 0) {
        this.pump();
        return;
      }
    }
    this.finished = true;
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
  return new BridgeTerminal(bridge, file, [...args], cols, rows, opts.cwd, env, encoding);
}
