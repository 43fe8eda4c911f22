import { Terminal } from "./xterm.mjs";
import { FitAddon } from "./addon-fit.mjs";

// Output is acknowledged once xterm.js has processed it, at least this much at a time (or all
// that is left when it has caught up), so that the server stops the program while the page
// is behind instead of piling output up in memory.
const ACK_STEP = 16 * 1024;
// The server refuses messages over 64 KiB; a paste is sent in pieces well below that even when
// every character needs a six-byte JSON escape.
const INPUT_CHUNK = 8192;

const term = new Terminal({
  cursorBlink: true,
  scrollback: 5000,
  fontFamily: '"DejaVu Sans Mono", Menlo, Consolas, "Liberation Mono", monospace',
  fontSize: 15,
});
const fit = new FitAddon();
term.loadAddon(fit);
term.open(document.getElementById("terminal"));
fit.fit();
term.focus();

const banner = document.getElementById("banner");
const bannerText = document.getElementById("banner-text");
document.getElementById("restart").addEventListener("click", restart);

let socket = null;
let ended = false;
let pendingInput = [];

function send(message) {
  if (socket?.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function sendInput(data) {
  for (let start = 0; start < data.length; ) {
    let end = Math.min(start + INPUT_CHUNK, data.length);
    // Never split a surrogate pair: each half alone would reach the program as U+FFFD.
    const last = data.charCodeAt(end - 1);
    if (end < data.length && last >= 0xd800 && last <= 0xdbff) end--;
    send({ type: "input", data: data.slice(start, end) });
    start = end;
  }
}

function showEnd(text) {
  if (ended) return;
  ended = true;
  bannerText.textContent = text;
  banner.hidden = false;
}

function connect() {
  ended = false;
  banner.hidden = true;
  const url = new URL("ws", location.href);
  url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
  url.search = `?cols=${term.cols}&rows=${term.rows}`;
  const ws = new WebSocket(url);
  ws.binaryType = "arraybuffer";
  socket = ws;
  let processed = 0;
  let outstanding = 0;

  ws.onopen = () => {
    for (const data of pendingInput) sendInput(data);
    pendingInput = [];
  };
  ws.onmessage = (event) => {
    if (ws !== socket) return;
    if (typeof event.data !== "string") {
      const bytes = new Uint8Array(event.data);
      outstanding++;
      term.write(bytes, () => {
        outstanding--;
        processed += bytes.length;
        if (processed >= ACK_STEP || outstanding === 0) {
          if (ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: "ack", bytes: processed }));
          processed = 0;
        }
      });
      return;
    }
    const message = JSON.parse(event.data);
    // Written through the terminal's queue, so that the note comes after the last output.
    if (message.type === "exit") {
      term.write("", () => showEnd(`The program exited with code ${message.exitCode}.`));
    } else if (message.type === "error") {
      term.write("", () => showEnd(`The session failed: ${message.message}`));
    }
  };
  ws.onclose = (event) => {
    if (ws !== socket) return;
    term.write("", () => showEnd(`The connection closed${event.reason ? `: ${event.reason}` : "."}`));
  };
}

function restart() {
  if (socket && socket.readyState !== WebSocket.CLOSED) socket.close();
  socket = null;
  pendingInput = [];
  term.reset();
  connect();
  term.focus();
}

term.onData((data) => {
  if (ended) {
    if (data === "\r") restart();
    return;
  }
  if (socket?.readyState === WebSocket.CONNECTING) pendingInput.push(data);
  else sendInput(data);
});
term.onResize(({ cols, rows }) => send({ type: "resize", cols, rows }));
term.onTitleChange((title) => { document.title = title || "quelt-web"; });

let fitScheduled = false;
window.addEventListener("resize", () => {
  if (fitScheduled) return;
  fitScheduled = true;
  requestAnimationFrame(() => {
    fitScheduled = false;
    fit.fit();
  });
});

// For people debugging the page from the browser's console, and for the tests.
window.quelt = { term, get ended() { return ended; } };

connect();
