// What consumers attached to a terminal ask of it: holding its output back while they cannot keep
// up (a screen whose emulator parses later, a recording whose stream is full), and the program's
// cursor-key mode as an attached screen follows it, which press() needs; and the recording that
// spawn()'s record option attaches.

import * as os from "node:os";
import { AsciicastWriter, RecordingFlow, RecordingTarget, commandLine } from "./recording";
import type { Terminal } from "./terminal";

interface Gate {
  holds: number;
  pausedByApplication: boolean;
  pause(): void;
  resume(): void;
}

const gates = new WeakMap<Terminal, Gate>();

function gate(term: Terminal): Gate {
  const found = gates.get(term);
  if (found !== undefined) return found;
  const g: Gate = {
    holds: 0,
    pausedByApplication: false,
    pause: term.pause.bind(term),
    resume: term.resume.bind(term),
  };
  // The application's pause() keeps its meaning, and its resume() lets output flow again only
  // when no consumer still holds it; otherwise a consumer's hold could be lifted under it, or its
  // release undo the application's pause.
  term.pause = () => {
    g.pausedByApplication = true;
    g.pause();
  };
  term.resume = () => {
    g.pausedByApplication = false;
    if (g.holds === 0) g.resume();
  };
  gates.set(term, g);
  return g;
}

/** Stops the terminal's output until the returned function is called (once; later calls do nothing). */
export function holdOutput(term: Terminal): () => void {
  const g = gate(term);
  g.holds++;
  if (g.holds === 1) g.pause();
  let released = false;
  return () => {
    if (released) return;
    released = true;
    g.holds--;
    if (g.holds === 0 && !g.pausedByApplication) g.resume();
  };
}

const cursorModes = new WeakMap<Terminal, () => boolean>();

/**
 * Lets press() ask `applicationCursor` whether the program has switched the cursor keys to
 * application mode, until the returned function is called. The last screen attached answers.
 */
export function followCursorKeyMode(term: Terminal, applicationCursor: () => boolean): () => void {
  cursorModes.set(term, applicationCursor);
  return () => {
    if (cursorModes.get(term) === applicationCursor) cursorModes.delete(term);
  };
}

/** True when a screen attached to `term` has seen the program switch to application cursor keys. */
export function applicationCursorKeys(term: Terminal): boolean {
  return cursorModes.get(term)?.() ?? false;
}

/**
 * Opens the recording of a session about to start, so that a target that cannot be written is
 * the caller's error before anything runs; the function returned records the terminal from then
 * until its end, and the writer is ended before the exit event's other listeners run.
 */
export function openRecording(target: RecordingTarget, file: string, args: readonly string[],
                              env: NodeJS.ProcessEnv, cols: number, rows: number):
    (term: Terminal & { inputTap: ((bytes: Buffer) => void) | null }) => void {
  let release: (() => void) | null = null;
  let held: Terminal | null = null;
  const flow: RecordingFlow = {
    pause: () => {
      if (held !== null) release ??= holdOutput(held);
    },
    resume: () => {
      release?.();
      release = null;
    },
  };
  const header = {
    cols,
    rows,
    command: commandLine(file, args),
    // The bridge gives the program the login shell as SHELL when it has none.
    env: { TERM: env.TERM ?? "", SHELL: env.SHELL ?? loginShell() },
  };
  const writer = new AsciicastWriter(target, header, flow, (error) => {
    process.emitWarning(`the recording of ${header.command} stopped: ${error.message}`);
  });
  return (term) => {
    held = term;
    term.onData((data) => writer.output(data));
    term.onResize((size) => writer.resize(size.cols, size.rows));
    term.inputTap = (bytes) => writer.input(bytes);
    // The first exit listener, so the recording is complete before the application hears of
    // the end; a bridge that failed ends it too.
    term.onExit(() => writer.end());
    term.exited.then(() => writer.end(), () => writer.end());
  };
}

function loginShell(): string {
  try {
    return os.userInfo().shell ?? "/bin/sh";
  } catch {
    return "/bin/sh";
  }
}
