// Shared by the tests: the client as built, a headless terminal emulator fed by a session, and
// waiting for what the emulator shows.
import xterm from "@xterm/headless";
import { spawn } from "../dist/index.mjs";

export { spawn };

// Deadlines stretch on slow or loaded machines.
const multiplier = Number(process.env.QLP_TEST_TIMEOUT_MULTIPLIER ?? "1") || 1;
export const LONG = 30000 * multiplier;

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

/** Polls `predicate` until it returns a true value, which is returned; fails after `timeout`. */
export async function waitFor(predicate, what, timeout = LONG) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await predicate();
    if (value) return value;
    if (Date.now() > deadline) {
      throw new Error(`timed out waiting for ${typeof what === "function" ? what() : what}`);
    }
    await sleep(20);
  }
}

/**
 * A session whose output is rendered by @xterm/headless, and whose replies go back to it. The
 * test context `t` kills it when the test ends, so a failed test cannot keep the run waiting.
 */
export function emulated(t, file, args, options = {}) {
  const cols = options.cols ?? 80;
  const rows = options.rows ?? 24;
  const screen = new xterm.Terminal({ cols, rows, allowProposedApi: true, scrollback: 1000 });
  const term = spawn(file, args, { ...options, cols, rows });
  t.after(() => term.kill());
  let pendingWrites = 0;
  term.onData((data) => {
    pendingWrites++;
    screen.write(data, () => pendingWrites--);
  });
  screen.onData((reply) => term.write(reply));
  return {
    term,
    screen,
    /** The screen's visible lines, right-trimmed. */
    lines() {
      const buffer = screen.buffer.active;
      const result = [];
      for (let y = 0; y < screen.rows; y++) {
        result.push(buffer.getLine(buffer.viewportY + y)?.translateToString(true).trimEnd() ?? "");
      }
      return result;
    },
    cursorLine() {
      const buffer = screen.buffer.active;
      return buffer.getLine(buffer.baseY + buffer.cursorY)?.translateToString(true).trimEnd() ?? "";
    },
    /** Waits until the emulator has parsed all output so far and `predicate(this)` holds. */
    async until(predicate, what, timeout) {
      return waitFor(() => pendingWrites === 0 && predicate(this),
                     () => `${what}; screen:\n${this.lines().join("\n")}`, timeout);
    },
    resize(newCols, newRows) {
      screen.resize(newCols, newRows);
      term.resize(newCols, newRows);
    },
  };
}

/** An environment for interactive programs that does not depend on the user's files. */
export function plainEnv(extra = {}) {
  return {
    PATH: process.env.PATH,
    HOME: process.env.HOME,
    TERM: "xterm-256color",
    LANG: "C.UTF-8",
    LC_ALL: "C.UTF-8",
    ...extra,
  };
}
