// One terminal: a quelt_local_pty bridge process driven over its standard input and output with
// newline-delimited JSON frames, and the events the application sees.

import { spawn as spawnProcess, ChildProcessWithoutNullStreams } from "node:child_process";
import * as path from "node:path";
import { StringDecoder } from "node:string_decoder";
import { FrameDecoder, FrameEvent } from "./decoder";
import { resolveBridge } from "./resolve";
import { applicationCursorKeys } from "./attach";
import { keysBytes } from "./keys";
import { RecordingTarget, recordTerminal } from "./recording";
import { isSignalName, killSession, signalNumber } from "./signals";

/** What the client asks the bridge for; a bridge that names none in its ready frame is older. */
const FEATURES = ["pid", "process", "signal", "errors"];
/** How long term.process trusts the last answer, in milliseconds. */
const PROCESS_NAME_AGE = 100;

export interface SpawnOptions {
  /** Terminal columns, an integer from 0 to 65535; default 80. */
  cols?: number;
  /** Terminal rows, an integer from 0 to 65535; default 24. */
  rows?: number;
  /** The program's working directory; default: the bridge's rule (the home directory). */
  cwd?: string;
  /** The program's whole environment (undefined values are left out); default process.env. */
  env?: Record<string, string | undefined>;
  /**
   * An encoding Buffer knows ("utf8", the default; "latin1", ...): onData gets strings, decoded
   * as a stream; null: Buffers.
   */
  encoding?: BufferEncoding | null;
  /** The bridge binary; default: what resolveBridge() finds. */
  bridgePath?: string;
  /** Sets TERM in the program's environment. */
  name?: string;
  /**
   * Milliseconds from kill() to SIGKILL for a program that has not ended (its process group
   * and session, or the bridge when it does not give the program's pid); default 5000.
   */
  killTimeout?: number;
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
  /** The program's exit status; 1 when a signal ended it or the session failed. */
  exitCode: number;
  /** The number os.constants.signals gives for the signal that ended the program, if one did. */
  signal?: number;
}

/** The terminal's foreground process group's leader; what cannot be known is null. */
export interface ForegroundProcess {
  pid: number | null;
  name: string | null;
  cwd: string | null;
}

/** An error of the session; `code` is the operating-system error's name ("ENOENT") when known. */
export interface TerminalError extends Error {
  code?: string;
}

export interface Disposable {
  dispose(): void;
}

export interface Terminal {
  readonly cols: number;
  readonly rows: number;
  /**
   * The program's process id once `ready` has resolved; before that (and with a bridge that
   * does not give it), the bridge's own, whose end ends the program too. Undefined only when the
   * bridge could not be started.
   */
  readonly pid: number | undefined;
  /**
   * The foreground program's name: the last answer of the bridge, asked again when that is more
   * than 100 ms old; the program's file name until the first answer.
   */
  readonly process: string;
  /** Resolves on the ready frame; rejects with the bridge's error message. */
  readonly ready: Promise<void>;
  /** Resolves after the last byte of output has been delivered and the bridge has ended. */
  readonly exited: Promise<ExitEvent>;
  onData(listener: (data: string | Buffer) => void): Disposable;
  onExit(listener: (e: ExitEvent) => void): Disposable;
  onError(listener: (error: TerminalError) => void): Disposable;
  /** Event-emitter style: ("data", data), ("exit", exitCode, signal), ("error", error). */
  on(event: "data", listener: (data: string | Buffer) => void): this;
  on(event: "exit", listener: (exitCode: number, signal?: number) => void): this;
  on(event: "error", listener: (error: TerminalError) => void): this;
  /** Removes one registration of `listener` made with on(). */
  off(event: "data" | "exit" | "error", listener: (...args: any[]) => void): this;
  /** Types into the terminal; strings are sent as UTF-8. Dropped once the session has ended. */
  write(data: string | Uint8Array): void;
  /** Dropped once the session has ended. The pixel size is not passed on. */
  resize(cols: number, rows: number, pixelSize?: { width: number; height: number }): void;
  /** Nothing to do here: the terminal keeps no screen of its own. */
  clear(): void;
  /** The foreground process, asked afresh; all null once the session has ended. */
  foreground(): Promise<ForegroundProcess>;
  /**
   * Without a signal: hangs the program up and ends the session; a program still running
   * `killTimeout` later is killed. With a signal name ("SIGTERM"): sends it to the program, and
   * the session goes on until the program ends. Dropped once the session has ended.
   */
  kill(signal?: string): void;
  /** Ends the session as kill() does. */
  dispose(): void;
  /** Told of each resize() that is sent to the program. */
  onResize(listener: (size: TerminalSize) => void): Disposable;
  /**
   * Types keys by name ("Enter", "C-c", "Up", "F5", "M-x", or one character), one after the other.
   * The arrows, Home and End follow the program's cursor-key mode while a Screen is attached.
   * An unknown name throws, and nothing is sent.
   */
  press(...names: string[]): void;
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

function bridgeEnd(signal: NodeJS.Signals | null, code: number | null): string {
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
  private readonly errorListeners = new Listeners<TerminalError>();
  /** Registrations made with on(), for off(). */
  private readonly registrations: Array<{ event: string; listener: unknown; disposable: Disposable }> = [];
  private readonly resizeListeners = new Listeners<TerminalSize>();
  /** Sees every input that is sent, for a recording. */
  inputTap: ((bytes: Buffer) => void) | null = null;
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
  /** What the bridge accepted of FEATURES; empty for an older bridge. */
  private features: ReadonlySet<string> = new Set();
  private programPid: number | undefined;
  private exitSignal: string | undefined;
  private processName: string;
  private processNameAt = -Infinity;
  private refreshing = false;
  /** Resolvers of the queries sent, oldest first: the bridge answers in order. */
  private readonly queries: Array<(answer: ForegroundProcess) => void> = [];
  private readonly killTimeout: number;
  private killTimer: NodeJS.Timeout | null = null;
  /** The bridge was killed here, as the last resort of kill(): its end is the session's. */
  private killedBridge = false;

  constructor(bridge: string, file: string, args: string[], cols: number, rows: number,
              cwd: string | undefined, env: NodeJS.ProcessEnv, encoding: BufferEncoding | null,
              killTimeout = 5000) {
    this._cols = cols;
    this._rows = rows;
    this.processName = path.basename(file);
    this.killTimeout = killTimeout;
    this.decoder = encoding === null ? null : new StringDecoder(encoding);
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
    // An older bridge ignores the member and answers as it always has.
    spawnFrame.features = FEATURES;
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

  get pid(): number | undefined {
    return this.programPid ?? this.child.pid;
  }

  get process(): string {
    if (!this.refreshing && performance.now() - this.processNameAt > PROCESS_NAME_AGE && this.query()) {
      this.refreshing = true;
      this.queries.push(() => (this.refreshing = false));
    }
    return this.processName;
  }

  async foreground(): Promise<ForegroundProcess> {
    try {
      await this.ready;
    } catch {
      return { pid: null, name: null, cwd: null };
    }
    return new Promise((resolve) => {
      if (this.query()) this.queries.push(resolve);
      else if (!this.features.has("process") && this.inputOpen) resolve({ pid: null, name: this.processName, cwd: null });
      else resolve({ pid: null, name: null, cwd: null });
    });
  }

  /** Sends a query when the bridge answers them and still reads; false otherwise. */
  private query(): boolean {
    if (!this.features.has("process") || !this.inputOpen) return false;
    this.send('{"type":"query"}');
    return true;
  }

  onData(listener: (data: string | Buffer) => void): Disposable {
    return this.dataListeners.add(listener);
  }

  onExit(listener: (e: ExitEvent) => void): Disposable {
    return this.exitListeners.add(listener);
  }

  onError(listener: (error: TerminalError) => void): Disposable {
    return this.errorListeners.add(listener);
  }

  onResize(listener: (size: TerminalSize) => void): Disposable {
    return this.resizeListeners.add(listener);
  }

  press(...names: string[]): void {
    this.write(keysBytes(names, { applicationCursor: applicationCursorKeys(this) }));
  }

  on(event: "data", listener: (data: string | Buffer) => void): this;
  on(event: "exit", listener: (exitCode: number, signal?: number) => void): this;
  on(event: "error", listener: (error: TerminalError) => void): this;
  on(event: string, listener: (...args: any[]) => void): this {
    let disposable: Disposable;
    if (event === "data") disposable = this.onData(listener);
    else if (event === "exit") {
      if (typeof listener !== "function") throw new TypeError("listener must be a function");
      disposable = this.onExit((e) => listener(e.exitCode, e.signal));
    } else if (event === "error") disposable = this.onError(listener);
    else throw new TypeError(`event must be "data", "exit" or "error", got ${describe(event)}`);
    this.registrations.push({ event, listener, disposable });
    return this;
  }

  off(event: string, listener: (...args: any[]) => void): this {
    const i = this.registrations.findIndex((r) => r.event === event && r.listener === listener);
    if (i >= 0) this.registrations.splice(i, 1)[0].disposable.dispose();
    return this;
  }

  clear(): void {}

  write(data: string | Uint8Array): void {
    let bytes: Buffer;
    if (typeof data === "string") bytes = Buffer.from(data, "utf8");
    else if (data instanceof Uint8Array) bytes = Buffer.from(data.buffer, data.byteOffset, data.byteLength);
    else throw new TypeError(`data must be a string or a Uint8Array, got ${describe(data)}`);
    if (bytes.length === 0) return;
    if (this.inputOpen) this.inputTap?.(bytes);
    this.send(`{"type":"input","data":"${bytes.toString("base64")}"}`);
  }

  resize(cols: number, rows: number, _pixelSize?: { width: number; height: number }): void {
    checkSize(cols, "cols");
    checkSize(rows, "rows");
    if (!this.inputOpen) return;
    this._cols = cols;
    this._rows = rows;
    this.send(`{"type":"resize","rows":${rows},"cols":${cols}}`);
    this.resizeListeners.emit({ cols, rows });
  }

  kill(signal?: string): void {
    if (signal !== undefined) {
      if (!isSignalName(signal)) {
        throw new TypeError(`signal must be a signal name such as "SIGTERM", got ${describe(signal)}`);
      }
      if (!this.readySeen && this.error === null) {
        // Whether the bridge sends signals is known from its ready frame.
        this.ready.then(() => this.kill(signal), () => {});
        return;
      }
      if (this.features.has("signal")) {
        this.send(JSON.stringify({ type: "signal", signal }));
        return;
      }
      // An older bridge sends the program no signal but the hang-up that ends the session.
    }
    if (!this.inputOpen) return;
    this.send('{"type":"kill"}');
    // The bridge reads nothing after a kill frame.
    this.closeInput();
    if (this.killTimer === null && this.bridgeEnded === null) {
      this.killTimer = setTimeout(() => this.killHarder(), this.killTimeout);
    }
  }

  dispose(): void {
    this.kill();
  }

  /**
   * A program that ignores or defers the hang-up keeps its bridge waiting for its end: SIGKILL
   * it, as a service manager ends a stop that takes too long; the bridge then reports its exit.
   * Without the program's pid, SIGKILL the bridge, whose end closes the terminal's master side:
   * the hang-up that the kernel itself gives the terminal's foreground.
   */
  private killHarder(): void {
    this.killTimer = null;
    if (this.bridgeEnded !== null) return;
    if (this.programPid !== undefined && this.exitCode === null) {
      killSession(this.programPid);
    } else {
      this.killedBridge = true;
      this.child.kill("SIGKILL");
    }
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
        if (event.features !== undefined) this.features = new Set(event.features);
        if (this.features.has("pid")) this.programPid = event.pid;
        this.resolveReady();
        break;
      case "exit":
        this.exitCode = event.code;
        this.exitSignal = event.signal;
        // The bridge still forwards what the program left in the terminal, then ends.
        this.closeInput();
        break;
      case "error": {
        this.inputOpen = false;
        // As Node's own errors of child_process: the cause in the message, the errno's name in code.
        const error: TerminalError = new Error(event.cause === undefined ? event.message : `${event.message}: ${event.cause}`);
        if (event.code !== undefined) error.code = event.code;
        this.fail(error);
        break;
      }
      case "process":
        this.processNameAt = performance.now();
        if (event.name !== null) this.processName = event.name;
        this.queries.shift()?.({ pid: event.pid, name: event.name, cwd: event.cwd });
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

  private fail(error: TerminalError): void {
    if (this.error !== null) return;
    this.error = error;
    if (!this.readySeen) this.rejectReady(error);
    this.errorListeners.emit(error);
  }

  private onBridgeEnded(code: number | null, signal: NodeJS.Signals | null): void {
    if (this.bridgeEnded !== null) return;
    this.bridgeEnded = { code, signal };
    this.inputOpen = false;
    if (this.killTimer !== null) clearTimeout(this.killTimer);
    this.killTimer = null;
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
    for (const answer of this.queries.splice(0)) answer({ pid: null, name: null, cwd: null });
    // Killed here because its program would not end: the hang-up ended the session.
    if (this.error === null && this.exitCode === null && this.killedBridge) this.exitCode = 1;
    if (this.error === null && this.exitCode === null) {
      const { code, signal } = this.bridgeEnded;
      const detail = this.stderrTail.trim().split("\n").pop();
      this.fail(new Error(`bridge ended unexpectedly: ${bridgeEnd(signal, code)}` +
                          (detail ? ` (${detail})` : "")));
    }
    // Exactly one exit event, also after an error: code that cleans up on it must not wait.
    const event: ExitEvent = { exitCode: this.exitCode ?? 1 };
    const signalNo = signalNumber(this.exitSignal);
    if (signalNo !== undefined) event.signal = signalNo;
    this.exitListeners.emit(event);
    if (this.error !== null) this.rejectExited(this.error);
    else this.resolveExited(event);
  }
}

/** Starts `file` with `args` in a new terminal served by its own bridge process. */
export function spawn(file: string, args?: string[], options?: SpawnOptions): Terminal {
  if (typeof file !== "string" || file === "") {
    throw new TypeError(`file must be a non-empty string, got ${describe(file)}`);
  }
  if (args === undefined || args === null) args = [];
  if (typeof args === "string") {
    throw new TypeError("args must be an array of strings: one string of arguments is a Windows form, which has no meaning here");
  }
  if (!Array.isArray(args) || !args.every((a) => typeof a === "string")) {
    throw new TypeError("args must be an array of strings");
  }
  const opts: SpawnOptions & { uid?: unknown; gid?: unknown } = options ?? {};
  if (typeof opts !== "object") throw new TypeError(`options must be an object, got ${describe(opts)}`);
  if (opts.uid !== undefined || opts.gid !== undefined) {
    throw new TypeError("uid and gid are not supported: the program runs as the user who runs the bridge");
  }
  const cols = checkSize(opts.cols, "cols", 80);
  const rows = checkSize(opts.rows, "rows", 24);
  if (opts.cwd !== undefined && typeof opts.cwd !== "string") {
    throw new TypeError(`cwd must be a string, got ${describe(opts.cwd)}`);
  }
  const encoding = opts.encoding === undefined ? "utf8" : opts.encoding;
  if (encoding !== null && (typeof encoding !== "string" || !Buffer.isEncoding(encoding))) {
    throw new TypeError(`encoding must be an encoding Buffer knows ("utf8", "latin1", ...) or null, got ${describe(encoding)}`);
  }
  if (opts.name !== undefined && (typeof opts.name !== "string" || opts.name === "")) {
    throw new TypeError(`name must be a non-empty string, got ${describe(opts.name)}`);
  }
  const killTimeout = opts.killTimeout ?? 5000;
  if (typeof killTimeout !== "number" || !(killTimeout >= 0) || killTimeout > 2 ** 31 - 1) {
    throw new TypeError(`killTimeout must be a number of milliseconds, got ${describe(killTimeout)}`);
  }
  if (opts.env !== undefined && (opts.env === null || typeof opts.env !== "object")) {
    throw new TypeError(`env must be an object, got ${describe(opts.env)}`);
  }
  if (opts.bridgePath !== undefined && typeof opts.bridgePath !== "string") {
    throw new TypeError(`bridgePath must be a string, got ${describe(opts.bridgePath)}`);
  }
  const env = environment(opts.env ?? process.env);
  if (opts.name !== undefined) env.TERM = opts.name;
  const bridge = resolveBridge({ bridgePath: opts.bridgePath });
  const term = new BridgeTerminal(bridge, file, [...args], cols, rows, opts.cwd, env, encoding, killTimeout);
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
