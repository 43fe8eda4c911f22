// One WebSocket, one bridge, one program.
//
// Browser to server, text messages only:
//   {"type":"input","data":STRING}            keys and pastes, sent to the program as UTF-8
//   {"type":"resize","cols":INT,"rows":INT}    the terminal's new size
//   {"type":"ack","bytes":INT}                 output bytes the page's terminal has processed
// Server to browser: the program's output as binary messages, then one text message
//   {"type":"exit","exitCode":INT} or {"type":"error","message":STRING}.
import { spawn } from "quelt-local-pty";

export const MESSAGE_LIMIT = 64 * 1024;
// A message between the limit and this is read whole and refused with a reason; past this the
// WebSocket library refuses it from the frame header alone, before buffering it, with the
// status 1009 and no text.
export const HARD_MESSAGE_LIMIT = 1024 * 1024;

// Output sent but not yet processed by the page. Above the high mark the bridge's output stops
// being read, so the bridge and then the program block; the page's acknowledgements bring it
// below the low mark and reading goes on. The marks bound the server's memory per session and
// keep what the page must still draw after a Ctrl-C small.
export const HIGH_WATER = 128 * 1024;
export const LOW_WATER = 32 * 1024;

const MAX_SIZE = 65535;
const isSize = (n) => Number.isInteger(n) && n >= 1 && n <= MAX_SIZE;
const hasOnlyKeys = (message, keys) =>
  Object.keys(message).length === keys.length && keys.every((key) => Object.hasOwn(message, key));

// A close reason travels in one control frame and may hold at most 123 bytes.
function closeReason(text) {
  let reason = text;
  while (Buffer.byteLength(reason) > 123) reason = reason.slice(0, -2) + "…";
  return reason;
}

// Returns the decoded message, or a string saying why it is refused.
export function decodeMessage(data, isBinary) {
  if (isBinary) return "binary messages are not accepted";
  if (data.length > MESSAGE_LIMIT) return `message of ${data.length} bytes exceeds the limit of ${MESSAGE_LIMIT}`;
  let message;
  try {
    message = JSON.parse(data.toString("utf8"));
  } catch {
    return "message is not JSON";
  }
  if (message === null || typeof message !== "object" || Array.isArray(message)) return "message is not a JSON object";
  switch (message.type) {
    case "input":
      if (hasOnlyKeys(message, ["type", "data"]) && typeof message.data === "string") return message;
      return 'input message must be {"type":"input","data":STRING}';
    case "resize":
      if (hasOnlyKeys(message, ["type", "cols", "rows"]) && isSize(message.cols) && isSize(message.rows)) return message;
      return `resize message must be {"type":"resize","cols":1..${MAX_SIZE},"rows":1..${MAX_SIZE}}`;
    case "ack":
      if (hasOnlyKeys(message, ["type", "bytes"]) && Number.isSafeInteger(message.bytes) && message.bytes > 0) return message;
      return 'ack message must be {"type":"ack","bytes":POSITIVE INTEGER}';
    default:
      return "unknown message type";
  }
}

export class Session {
  // `ws` is an open WebSocket. `exited` settles once the bridge has ended, whichever way.
  constructor(ws, { file, args, env, cols, rows, bridgePath, log }) {
    this.ws = ws;
    this.log = log;
    this.unacked = 0;
    this.paused = false;
    this.closed = false;
    this.alive = true;
    try {
      this.term = spawn(file, args, { cols, rows, env, bridgePath, encoding: null });
    } catch (error) {
      this.term = null;
      log(error.message);
      this.sendControl({ type: "error", message: error.message });
      this.close(1011, closeReason(`could not start the bridge: ${error.message}`));
      this.exited = Promise.resolve();
      return;
    }
    const term = this.term;
    this.exited = term.exited.then(() => {}, () => {});
    term.onData((chunk) => this.forward(chunk));
    term.onExit(({ exitCode }) => {
      this.sendControl({ type: "exit", exitCode });
      this.close(1000, "program exited");
    });
    term.onError((error) => {
      this.sendControl({ type: "error", message: error.message });
      this.close(1011, closeReason(`session failed: ${error.message}`));
    });
    ws.on("message", (data, isBinary) => this.receive(data, isBinary));
    ws.on("pong", () => { this.alive = true; });
    ws.on("close", () => this.end());
    ws.on("error", () => this.end());
  }

  forward(chunk) {
    if (this.closed) return;
    this.ws.send(chunk, { binary: true });
    this.unacked += chunk.length;
    if (!this.paused && this.unacked > HIGH_WATER) {
      this.paused = true;
      this.term.pause();
    }
  }

  receive(data, isBinary) {
    if (this.closed) return;
    const message = decodeMessage(data, isBinary);
    if (typeof message === "string") {
      this.log(`closing a connection: ${message}`);
      this.close(message.startsWith("message of") ? 1009 : 1008, closeReason(message));
      return;
    }
    if (message.type === "input") {
      this.term?.write(message.data);
    } else if (message.type === "resize") {
      this.term?.resize(message.cols, message.rows);
    } else {
      if (message.bytes > this.unacked) {
        this.close(1008, "ack message acknowledges more bytes than were sent");
        return;
      }
      this.unacked -= message.bytes;
      if (this.paused && this.unacked < LOW_WATER) {
        this.paused = false;
        this.term.resume();
      }
    }
  }

  sendControl(message) {
    if (!this.closed) this.ws.send(JSON.stringify(message));
  }

  // Ends the session at once and starts the closing handshake, whose end is not waited for:
  // the bridge must not outlive a peer that never answers it.
  close(code, reason) {
    this.end();
    this.ws.close(code, reason);
  }

  // The connection is gone or going: the program is hung up now. Reading resumes so that the
  // bridge can write its last frames and end; what it still sends is dropped.
  end() {
    if (this.closed) return;
    this.closed = true;
    if (this.term) {
      this.term.resume();
      this.term.kill();
    }
  }

  // Called by the server's heartbeat: a connection lost without a word (a network gone, a
  // laptop closed) ends its session after at most two beats.
  heartbeat() {
    if (this.closed) return;
    if (!this.alive) {
      this.end();
      this.ws.terminate();
      return;
    }
    this.alive = false;
    this.ws.ping();
  }
}
