// A terminal's screen as a person would see it, kept by a headless xterm.js that follows every
// byte of the terminal's output, and waits on what it shows.
//
// xterm.js parses what it is given later, in slices of its own, and calls a write's callback
// right after that write's bytes and before the next write's. So the waits are checked in those
// callbacks: a wait resolves at the first write after which its text is on the screen, never by
// polling, and an end or a resize is applied at its place among the writes.

import type { Terminal as HeadlessTerminal } from "@xterm/headless";
import { followCursorKeyMode, holdOutput } from "./attach";
import type { Disposable, Terminal } from "./terminal";

export interface ScreenOptions {
  /** Rows kept above the visible screen once they scroll off; default 1000. */
  scrollback?: number;
}

export interface WaitOptions {
  /** Milliseconds before the wait fails; default 10000. */
  timeout?: number;
}

export interface Cursor {
  /** 0-based, from the top of the visible screen. */
  row: number;
  col: number;
}

/** A wait that failed, with the screen as it was then. */
export class ScreenWaitError extends Error {
  override name = "ScreenWaitError";

  constructor(message: string,
              /** Why: the timeout passed, or the program ended and the screen can change no more. */
              readonly reason: "timeout" | "exit" | "disposed",
              /** The visible screen, as text() gave it. */
              readonly screen: string) {
    super(`${message}; the screen:\n${screen.replace(/\n+$/, "").split("\n").map((l) => `  |${l}`).join("\n")}`);
  }
}

// Output waiting to be parsed beyond this holds the terminal back, and flows again below the
// low mark: a flood then waits for the emulator instead of piling up in memory (xterm.js throws
// its data away beyond 50 MB).
const HIGH_WATER = 4 * 1024 * 1024;
const LOW_WATER = 1024 * 1024;
const DEFAULT_TIMEOUT = 10000;

// The serialize addon's typings name the browser package's types, which are not installed here;
// this is the part of it used.
interface SerializeAddon {
  serialize(options?: { scrollback?: number }): string;
  activate(terminal: unknown): void;
  dispose(): void;
}

interface TextWait {
  pattern: RegExp;
  what: string;
  resolve(match: RegExpExecArray): void;
  reject(error: Error): void;
  timer: NodeJS.Timeout;
}

interface IdleWait {
  quiet: number;
  since: number;
  resolve(): void;
  reject(error: Error): void;
  timer: NodeJS.Timeout | null;
  deadline: NodeJS.Timeout;
}

function load<T>(name: string, what: string): T {
  try {
    return require(name) as T;
  } catch (error) {
    if ((error as NodeJS.ErrnoException).code === "MODULE_NOT_FOUND" && String((error as Error).message).includes(name)) {
      throw new Error(`${what} needs the package ${name}, an optional peer dependency of quelt-local-pty ` +
                      `that is not installed: npm install ${name}`);
    }
    throw error;
  }
}

export class Screen {
  private readonly xterm: HeadlessTerminal;
  private readonly scrollback: number;
  private serializer: SerializeAddon | null = null;
  private _title = "";
  /** Bytes given to the emulator and not parsed yet. */
  private unparsed = 0;
  private release: (() => void) | null = null;
  private readonly textWaits = new Set<TextWait>();
  private readonly idleWaits = new Set<IdleWait>();
  /** When the last output arrived, in performance.now() time. */
  private lastOutput = 0;
  /** Set once the terminal has ended and all its output is parsed, or the screen is disposed. */
  private over: "exit" | "disposed" | null = null;
  private readonly subscriptions: Array<Disposable | (() => void)>;

  /** Follows every byte `term` writes from now on, at the terminal's size. */
  constructor(private readonly term: Terminal, options: ScreenOptions = {}) {
    const scrollback = options.scrollback ?? 1000;
    if (!Number.isInteger(scrollback) || scrollback < 0) {
      throw new TypeError(`scrollback must be an integer of 0 or more, got ${String(scrollback)}`);
    }
    this.scrollback = scrollback;
    const xterm = load<typeof import("@xterm/headless")>("@xterm/headless", "Screen");
    this.xterm = new xterm.Terminal({
      cols: Math.max(term.cols, 1),
      rows: Math.max(term.rows, 1),
      scrollback,
      allowProposedApi: true,
    });
    this.xterm.onTitleChange((title) => {
      this._title = title;
    });
    this.subscriptions = [
      term.onData((data) => this.write(data)),
      term.onResize(({ cols, rows }) => {
        // Output that came before the resize was drawn for the old size.
        this.xterm.write("", () => {
          if (this.over === "disposed") return;
          if (cols > 0 && rows > 0) this.xterm.resize(cols, rows);
          this.check();
        });
      }),
      followCursorKeyMode(term, () => this.xterm.modes.applicationCursorKeysMode),
    ];
    const ended = () => this.xterm.write("", () => this.end("exit"));
    term.exited.then(ended, ended);
  }

  /** The visible rows, each without trailing blanks, joined with "\n". */
  text(): string {
    return this.lines().join("\n");
  }

  /** The visible rows without trailing blanks; with `scrollback`, the rows above them first. */
  lines(options: { scrollback?: boolean } = {}): string[] {
    const buffer = this.xterm.buffer.active;
    const first = options.scrollback ? 0 : buffer.viewportY;
    const result: string[] = [];
    for (let y = first; y < buffer.baseY + this.xterm.rows; y++) {
      result.push(buffer.getLine(y)?.translateToString(true) ?? "");
    }
    return result;
  }

  get cursor(): Cursor {
    const buffer = this.xterm.buffer.active;
    return { row: buffer.cursorY, col: buffer.cursorX };
  }

  /** The window title the program last set. */
  get title(): string {
    return this._title;
  }

  get cols(): number {
    return this.xterm.cols;
  }

  get rows(): number {
    return this.xterm.rows;
  }

  /** The screen and its scrollback as escape sequences that redraw them in a fresh terminal. */
  serialize(): string {
    if (this.serializer === null) {
      const addon = load<{ SerializeAddon: new () => SerializeAddon }>("@xterm/addon-serialize", "Screen.serialize()");
      this.serializer = new addon.SerializeAddon();
      this.xterm.loadAddon(this.serializer);
    }
    return this.serializer.serialize({ scrollback: this.scrollback });
  }

  /**
   * Resolves with the match once `pattern` is on the visible screen (rows joined with "\n", so a
   * pattern may span rows); rejects with a ScreenWaitError after `timeout` ms, or as soon as the
   * program has ended without it showing.
   */
  waitFor(pattern: string | RegExp, options: WaitOptions = {}): Promise<RegExpExecArray> {
    const timeout = checkTimeout(options.timeout);
    let regexp: RegExp;
    if (typeof pattern === "string") {
      regexp = new RegExp(pattern.replace(/[.*+?^${}()|[\]\\]/g, "\\$&"));
    } else if (pattern instanceof RegExp) {
      // Without g or y, exec() keeps no state between checks.
      regexp = new RegExp(pattern.source, pattern.flags.replace(/[gy]/g, ""));
    } else {
      throw new TypeError("waitFor needs a string or a RegExp");
    }
    const what = typeof pattern === "string" ? JSON.stringify(pattern) : String(pattern);
    return new Promise((resolve, reject) => {
      const screen = this.text();
      const match = regexp.exec(screen);
      if (match !== null) {
        resolve(match);
        return;
      }
      if (this.over !== null) {
        reject(new ScreenWaitError(this.overMessage(what), this.over, screen));
        return;
      }
      const wait: TextWait = {
        pattern: regexp,
        what,
        resolve,
        reject,
        timer: setTimeout(() => {
          this.textWaits.delete(wait);
          reject(new ScreenWaitError(`timed out after ${timeout} ms waiting for ${what}`, "timeout", this.text()));
        }, timeout),
      };
      this.textWaits.add(wait);
    });
  }

  /**
   * Resolves once no output has arrived for `ms` milliseconds, counted from this call at the
   * earliest, and all output is on the screen; at once when the program has ended.
   */
  waitForIdle(ms: number, options: WaitOptions = {}): Promise<void> {
    if (typeof ms !== "number" || !(ms >= 0) || !Number.isFinite(ms)) {
      throw new TypeError(`waitForIdle needs a number of milliseconds, got ${String(ms)}`);
    }
    const timeout = checkTimeout(options.timeout);
    return new Promise((resolve, reject) => {
      if (this.over !== null) {
        resolve();
        return;
      }
      const wait: IdleWait = {
        quiet: ms,
        since: performance.now(),
        resolve,
        reject,
        timer: null,
        deadline: setTimeout(() => {
          this.finishIdle(wait);
          reject(new ScreenWaitError(`timed out after ${timeout} ms waiting for ${ms} ms without output`,
                                     "timeout", this.text()));
        }, timeout),
      };
      this.idleWaits.add(wait);
      this.armIdle(wait);
    });
  }

  /** Stops following the terminal; pending waits reject. */
  dispose(): void {
    if (this.over === "disposed") return;
    this.end("disposed");
    this.xterm.dispose();
  }

  private write(data: string | Buffer): void {
    if (this.over !== null) return;
    const size = data.length;
    this.lastOutput = performance.now();
    this.unparsed += size;
    if (this.unparsed > HIGH_WATER && this.release === null) this.release = holdOutput(this.term);
    this.xterm.write(data, () => {
      this.unparsed -= size;
      if (this.release !== null && this.unparsed < LOW_WATER) {
        this.release();
        this.release = null;
      }
      this.check();
    });
  }

  private check(): void {
    if (this.textWaits.size === 0) return;
    const screen = this.text();
    for (const wait of this.textWaits) {
      const match = wait.pattern.exec(screen);
      if (match === null) continue;
      clearTimeout(wait.timer);
      this.textWaits.delete(wait);
      wait.resolve(match);
    }
  }

  private armIdle(wait: IdleWait): void {
    const quietSince = Math.max(wait.since, this.lastOutput);
    const left = quietSince + wait.quiet - performance.now();
    wait.timer = setTimeout(() => {
      wait.timer = null;
      if (!this.idleWaits.has(wait)) return;
      if (Math.max(wait.since, this.lastOutput) !== quietSince) {
        this.armIdle(wait);
        return;
      }
      // Quiet long enough; resolve once what did arrive is on the screen.
      this.xterm.write("", () => {
        if (!this.idleWaits.has(wait)) return;
        if (Math.max(wait.since, this.lastOutput) !== quietSince) {
          this.armIdle(wait);
          return;
        }
        this.finishIdle(wait);
        wait.resolve();
      });
    }, Math.max(0, Math.ceil(left)));
  }

  private finishIdle(wait: IdleWait): void {
    this.idleWaits.delete(wait);
    clearTimeout(wait.deadline);
    if (wait.timer !== null) clearTimeout(wait.timer);
  }

  private overMessage(what: string): string {
    return this.over === "exit" ? `the program ended without ${what} on the screen`
                                : `the screen was disposed while waiting for ${what}`;
  }

  private end(reason: "exit" | "disposed"): void {
    if (this.over !== null) return;
    if (reason === "exit") this.check();
    this.over = reason;
    for (const s of this.subscriptions) {
      if (typeof s === "function") s();
      else s.dispose();
    }
    this.release?.();
    this.release = null;
    const screen = this.text();
    for (const wait of this.textWaits) {
      clearTimeout(wait.timer);
      wait.reject(new ScreenWaitError(this.overMessage(wait.what), reason, screen));
    }
    this.textWaits.clear();
    for (const wait of [...this.idleWaits]) {
      this.finishIdle(wait);
      if (reason === "exit") wait.resolve();
      else wait.reject(new ScreenWaitError("the screen was disposed while waiting for no output", reason, screen));
    }
  }
}

function checkTimeout(timeout: unknown): number {
  if (timeout === undefined) return DEFAULT_TIMEOUT;
  if (typeof timeout !== "number" || !(timeout >= 0) || !Number.isFinite(timeout)) {
    throw new TypeError(`timeout must be a number of milliseconds, got ${String(timeout)}`);
  }
  return timeout;
}
