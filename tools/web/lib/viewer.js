// One page attached to a session through its WebSocket: what it sends, and how far behind the
// program's output it is.
import { closeReason, decodeMessage } from "./messages.js";

// Output sent but not yet processed by the page. Above the high mark the page holds the bridge
// up (its output stops being read, so the bridge and then the program block) until the page's
// acknowledgements bring it below the low mark. The marks bound the server's memory per page and
// keep what a page must still draw after a Ctrl-C small.
export const HIGH_WATER = 128 * 1024;
export const LOW_WATER = 32 * 1024;

export class Viewer {
  // `size` is the size the page's window has room for. `slowMs`: how long the page may hold the
  // bridge up before it is taken off the live output.
  constructor(ws, session, { size, slowMs, log }) {
    this.ws = ws;
    this.session = session;
    this.log = log;
    this.slowMs = slowMs;
    this.wanted = size;
    /**
     * "syncing": a snapshot is on its way and nothing is sent until it is taken; "live": every
     * chunk is sent; "behind": nothing is sent until the page has processed all it was sent,
     * then it is synced afresh; "closed".
     */
    this.state = "syncing";
    this.unacked = 0;
    /** The part of `unacked` that is the last snapshot: a page does not hold the bridge up for it. */
    this.snapshotBytes = 0;
    /** True from passing the high mark until falling below the low mark. */
    this.holding = false;
    this.slowTimer = null;
    /**
     * Set once the page has been taken off the live output for being slow (a background tab,
     * most likely); then it is taken off again at once rather than holding the bridge up, until
     * it shows it is in use by sending input or a resize.
     */
    this.lagging = false;
    this.alive = true;
    ws.on("message", (data, isBinary) => this.receive(data, isBinary));
    ws.on("pong", () => { this.alive = true; });
    ws.on("close", () => this.gone());
    ws.on("error", () => this.gone());
  }

  get open() {
    return this.state !== "closed";
  }

  // Sends one chunk of live output.
  send(chunk) {
    this.ws.send(chunk, { binary: true });
    this.unacked += chunk.length;
    if (this.holding || this.unacked - this.snapshotBytes <= HIGH_WATER) return;
    if (this.lagging) return this.fallBehind();
    this.holding = true;
    this.slowTimer = setTimeout(() => this.fallBehind(), this.slowMs);
    this.session.flowChanged();
  }

  // Starts the page over from `snapshot`, a Buffer: the screen at this point of the output.
  sync(snapshot, attached) {
    this.sendControl(attached);
    if (snapshot.length > 0) this.ws.send(snapshot, { binary: true });
    this.unacked += snapshot.length;
    this.snapshotBytes = this.unacked;
    this.state = "live";
  }

  sendControl(message) {
    if (this.open) this.ws.send(JSON.stringify(message));
  }

  fallBehind() {
    if (this.state !== "live") return;
    this.state = "behind";
    this.lagging = true;
    this.release();
    if (this.unacked === 0) this.session.sync(this);
  }

  release() {
    clearTimeout(this.slowTimer);
    this.slowTimer = null;
    if (!this.holding) return;
    this.holding = false;
    this.session.flowChanged();
  }

  receive(data, isBinary) {
    if (!this.open) return;
    const message = decodeMessage(data, isBinary);
    if (typeof message === "string") {
      this.log(`closing a connection: ${message}`);
      this.close(message.startsWith("message of") ? 1009 : 1008, message);
      return;
    }
    if (message.type === "input") {
      this.lagging = false;
      this.session.input(this, message.data);
    } else if (message.type === "program") {
      this.session.foreground().then((name) => this.sendControl({ type: "program", name }));
    } else if (message.type === "resize") {
      this.lagging = false;
      this.wanted = { cols: message.cols, rows: message.rows };
      this.session.resizeTo(this.wanted);
    } else {
      if (message.bytes > this.unacked) {
        this.close(1008, "ack message acknowledges more bytes than were sent");
        return;
      }
      this.unacked -= message.bytes;
      this.snapshotBytes = Math.max(0, this.snapshotBytes - message.bytes);
      if (this.holding && this.unacked - this.snapshotBytes < LOW_WATER) this.release();
      if (this.state === "behind" && this.unacked === 0) this.session.sync(this);
    }
  }

  // Starts the closing handshake, whose end is not waited for: the session forgets the page at
  // once.
  close(code, reason) {
    this.gone();
    this.ws.close(code, closeReason(reason));
  }

  gone() {
    if (!this.open) return;
    this.state = "closed";
    this.release();
    this.session.detach(this);
  }

  // Called by the server's heartbeat: a connection lost without a word (a network gone, a
  // laptop closed) lets go of its session after at most two beats.
  heartbeat() {
    if (!this.open) return;
    if (!this.alive) {
      this.gone();
      this.ws.terminate();
      return;
    }
    this.alive = false;
    this.ws.ping();
  }
}
