// What consumers attached to a terminal ask of it: holding its output back while they cannot keep
// up (a screen whose emulator parses later, a recording whose stream is full), and the program's
// cursor-key mode as an attached screen follows it, which press() needs.

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
