// The server's sessions by id, and why recent ones ended.
//
// An id is 128 random bits. It is only ever looked at after the request has shown the server's
// token, so it does not stand in for the token; it only picks one of the token holder's
// sessions. Ids are never written to the log.
import { randomBytes } from "node:crypto";
import { Session } from "./session.js";

// Enough to tell a page coming back after days that its session ended rather than that it is
// unknown; each entry is an id and a sentence.
const ENDED_REMEMBERED = 1000;

export class Sessions {
  constructor(options) {
    /** Everything a Session needs but its id, size and end callback. */
    this.options = options;
    this.live = new Map();
    this.endedWhy = new Map();
    /** Recordings of ended sessions by id: { path, name }. */
    this.endedRecordings = new Map();
  }

  get size() {
    return this.live.size;
  }

  [Symbol.iterator]() {
    return this.live.values();
  }

  // Starts a program at `size`; throws when its bridge cannot be started.
  // `size` is { cols, rows }, and may also name the program ({ file, args, cwd }) and say that
  // an agent opened it ({ agent: true }).
  create(size) {
    const id = randomBytes(16).toString("hex");
    const session = new Session({
      ...this.options,
      ...size,
      id,
      onEnd: (why) => {
        this.live.delete(id);
        this.endedWhy.set(id, why);
        if (session.recorder) {
          this.endedRecordings.set(id, { path: session.recorder.path, name: session.recorder.name });
          if (this.endedRecordings.size > ENDED_REMEMBERED) this.endedRecordings.delete(this.endedRecordings.keys().next().value);
        }
        if (this.endedWhy.size > ENDED_REMEMBERED) this.endedWhy.delete(this.endedWhy.keys().next().value);
        this.onChange?.();
      },
    });
    this.live.set(id, session);
    return session;
  }

  // { path, name } of the session's recording, live or ended, or undefined.
  recording(id) {
    const recorder = this.live.get(id)?.recorder;
    return recorder ? { path: recorder.path, name: recorder.name } : this.endedRecordings.get(id);
  }

  // { session } for a live id, { ended: why } for one that ended lately, {} otherwise.
  find(id) {
    const session = this.live.get(id);
    if (session) return { session };
    const why = this.endedWhy.get(id);
    return why === undefined ? {} : { ended: why };
  }
}
