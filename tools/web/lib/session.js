// One program in one bridge, with the screen it has drawn, and the pages attached to it (none,
// while it waits for one to come back).
import { spawn } from "quelt-local-pty";
import { Recorder } from "./recorder.js";
import { Screen } from "./screen.js";
import { Viewer } from "./viewer.js";

export const MAX_PAGES = 8;

// Output handed to the screen and not parsed yet. Above the high mark the bridge's output stops
// being read until parsing brings it below the low mark, so a program that floods while no page
// watches is slowed to the parser's pace instead of piling its output up in memory.
export const SCREEN_HIGH_WATER = 128 * 1024;
export const SCREEN_LOW_WATER = 32 * 1024;

// How long a page waits for the program to finish a sequence it stopped writing halfway
// before it is given the screen anyway, the sequence's start lost to it.
const BOUNDARY_WAIT_MS = 1000;

export class Session {
  // Starts the program; throws when the bridge cannot be started. `keepMs`: how long the
  // session waits for a page once its last one has gone (0: it ends then). `onEnd(reason)` is
  // called once when it ends, whichever way; `exited` settles once the bridge has ended.
  // `agent`: opened by an agent over MCP, which holds the session (no page needed) until it
  // closes it or lets go. `recordDir`: where its recording goes, if anywhere.
  constructor({ id, file, args, cwd, env, bridgePath, cols, rows, scrollback, keepMs, slowMs, log, onEnd, agent = false, recordDir }) {
    this.id = id;
    this.command = [file, ...args].join(" ");
    this.agent = agent;
    this.heldByAgent = agent;
    /** { exitCode, signal } once the program has ended. */
    this.exit = null;
    /** Called after each chunk of output is parsed into the screen, and when the session ends. */
    this.watchers = new Set();
    this.keepMs = keepMs;
    this.slowMs = slowMs;
    this.log = log;
    this.onEnd = onEnd;
    this.viewers = new Set();
    /** Pages whose snapshot waits for the output to reach the end of a sequence. */
    this.waiting = new Set();
    this.size = { cols, rows };
    this.ended = false;
    this.paused = false;
    this.screenBehind = false;
    this.keepTimer = null;
    this.bridge = spawn(file, args, { cols, rows, cwd, env, bridgePath, encoding: null });
    this.recorder = recordDir
      ? new Recorder({ dir: recordDir, id, cols, rows, file, args, env, log, onFlow: () => this.flowChanged() })
      : null;
    this.screen = new Screen({ cols, rows, scrollback, onReply: (data) => this.bridge.write(data) });
    this.exited = this.bridge.exited.then(() => {}, () => {}).then(() => this.recorder?.close());
    this.bridge.onData((chunk) => this.output(chunk));
    // Told to the pages once the screen has caught up, so that it comes after the last output.
    this.bridge.onExit((event) => { this.exit = { exitCode: event.exitCode, signal: event.signal }; });
    this.bridge.onExit(({ exitCode }) => this.screen.whenParsed(() => {
      this.endWith(`the program exited with code ${exitCode}`, { type: "exit", exitCode }, 1000, "program exited");
    }));
    this.bridge.onError((error) => this.screen.whenParsed(() => {
      this.endWith(`the session failed: ${error.message}`, { type: "error", message: error.message }, 1011,
        `session failed: ${error.message}`);
    }));
  }

  output(chunk) {
    this.recorder?.output(chunk);
    this.screen.write(chunk, () => {
      for (const watcher of this.watchers) watcher();
      for (const viewer of this.viewers) if (viewer.state === "live") viewer.send(chunk);
      if (this.waiting.size > 0 && this.screen.atBoundary()) this.syncWaiting();
      this.flowChanged();
    });
    this.flowChanged();
  }

  // The bridge is read only while the screen keeps up and no live page is holding it up.
  flowChanged() {
    if (this.ended) return;
    if (this.screen.pending > SCREEN_HIGH_WATER) this.screenBehind = true;
    else if (this.screen.pending < SCREEN_LOW_WATER) this.screenBehind = false;
    let pause = this.screenBehind || Boolean(this.recorder?.behind);
    for (const viewer of this.viewers) pause ||= viewer.holding;
    if (pause === this.paused) return;
    this.paused = pause;
    if (pause) this.bridge.pause();
    else this.bridge.resume();
  }

  // Attaches the page behind `ws`, which has room for `size`; returns false, and leaves the
  // socket alone, when the session already has all the pages it may.
  attach(ws, size) {
    if (this.viewers.size >= MAX_PAGES) return false;
    clearTimeout(this.keepTimer);
    this.keepTimer = null;
    // A page coming back to a session nobody watches takes it over at its own size; one that
    // watches an agent's session leaves it at the agent's size until the person types.
    if (this.viewers.size === 0 && !this.heldByAgent) this.resizeTo(size);
    const viewer = new Viewer(ws, this, { size, slowMs: this.slowMs, log: this.log });
    this.viewers.add(viewer);
    this.sync(viewer);
    return true;
  }

  // Sends `viewer` the screen as of everything parsed so far, then everything after. A snapshot
  // cannot hold half an escape sequence or character: taken then, the page would get the rest
  // of it without its start and show it as text. So it waits for the output to reach the end.
  sync(viewer) {
    viewer.state = "syncing";
    this.screen.whenParsed(() => {
      if (viewer.state !== "syncing") return;
      this.waiting.add(viewer);
      if (this.screen.atBoundary()) return this.syncWaiting();
      setTimeout(() => {
        if (this.waiting.has(viewer)) this.screen.whenParsed(() => this.syncWaiting());
      }, BOUNDARY_WAIT_MS).unref();
    });
  }

  // Call only from the screen's write callbacks.
  syncWaiting() {
    const snapshot = Buffer.from(this.screen.snapshot(), "utf8");
    const attached = {
      type: "attached", session: this.id, cols: this.screen.cols, rows: this.screen.rows, keep: this.keepMs / 1000,
      agent: this.agent, recording: this.recorder !== null,
    };
    for (const viewer of this.waiting) if (viewer.state === "syncing") viewer.sync(snapshot, attached);
    this.waiting.clear();
  }

  detach(viewer) {
    if (!this.viewers.delete(viewer)) return;
    this.flowChanged();
    if (this.viewers.size > 0 || this.ended || this.heldByAgent) return;
    this.waitForPage();
  }

  // The agent that opened the session is gone; a page may still hold it.
  letGo(keepMs = this.keepMs) {
    if (!this.heldByAgent) return;
    this.heldByAgent = false;
    if (this.viewers.size === 0 && !this.ended) this.waitForPage(keepMs);
  }

  waitForPage(keepMs = this.keepMs) {
    if (keepMs === 0) {
      this.end("its page closed");
      return;
    }
    this.keepTimer = setTimeout(() => this.end(`no page came back within ${keepMs / 1000} s`), keepMs);
    this.keepTimer.unref();
  }

  // Input from a page makes the session take that page's size.
  input(viewer, data) {
    if (this.ended) return;
    this.resizeTo(viewer.wanted);
    this.type(data);
  }

  type(data) {
    if (this.ended) return;
    this.recorder?.input(data);
    this.bridge.write(data);
  }

  // The foreground program's name, or null when the bridge cannot tell. A client whose bridge
  // cannot tell answers with no pid (and the program's own file name, which would stay in the
  // title whatever runs).
  async foreground() {
    if (this.ended || typeof this.bridge.foreground !== "function") return null;
    try {
      const { pid, name } = await this.bridge.foreground();
      return Number.isInteger(pid) && typeof name === "string" && name !== "" ? name : null;
    } catch {
      return null;
    }
  }

  resizeTo({ cols, rows }) {
    if (this.ended || (cols === this.size.cols && rows === this.size.rows)) return;
    this.size = { cols, rows };
    this.bridge.resize(cols, rows);
    this.recorder?.resize(cols, rows);
    // What the program wrote before the resize was meant for the old size, and is parsed at it.
    this.screen.whenParsed(() => {
      this.screen.resize(cols, rows);
      for (const viewer of this.viewers) if (viewer.state === "live") viewer.sendControl({ type: "size", cols, rows });
    });
  }

  // Hangs the program up and closes every page with `code` and `reason`.
  end(why, code = 1001, reason = "session ended") {
    this.endWith(why, null, code, reason);
  }

  endWith(why, control, code, reason) {
    if (this.ended) return;
    this.ended = true;
    clearTimeout(this.keepTimer);
    for (const viewer of [...this.viewers]) {
      if (control) viewer.sendControl(control);
      viewer.close(code, reason);
    }
    // Reading resumes so that the bridge can write its last frames and end; what it still
    // sends goes to the screen alone.
    this.bridge.resume();
    this.bridge.kill();
    this.why = why;
    this.onEnd(why);
    for (const watcher of this.watchers) watcher();
  }

  heartbeat() {
    for (const viewer of this.viewers) viewer.heartbeat();
  }
}
