import { Terminal } from "./xterm.mjs";
import { FitAddon } from "./addon-fit.mjs";

// Output is acknowledged once xterm.js has processed it, at least this much at a time (or all
// that is left when it has caught up), so that the server stops the program while the page
// is behind instead of piling output up in memory.
const ACK_STEP = 16 * 1024;
// The server refuses messages over 64 KiB; a paste is sent in pieces well below that even when
// every character needs a six-byte JSON escape.
const INPUT_CHUNK = 8192;
// The waits before each attempt to reconnect; the last one repeats until an answer comes.
const RETRY_MS = [250, 500, 1000, 2000, 4000];
const STORED = "quelt-web session";
const SESSION_ID = /^[0-9a-f]{32}$/;

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

// The server's own copy of the screen answers the program's queries, attached page or not.
// Were the pages to answer too, a program watched by two of them would read the second answer
// as typed text.
for (const id of [
  { final: "c" }, { prefix: ">", final: "c" }, // device attributes
  { final: "n" }, { prefix: "?", final: "n" }, // status and cursor position
  { intermediates: "$", final: "p" }, { prefix: "?", intermediates: "$", final: "p" }, // modes
]) {
  term.parser.registerCsiHandler(id, () => true);
}
term.parser.registerDcsHandler({ intermediates: "$", final: "q" }, () => true); // settings

const banner = document.getElementById("banner");
const bannerText = document.getElementById("banner-text");
const restartButton = document.getElementById("restart");
const copyButton = document.getElementById("copy-link");
const agentMark = document.getElementById("agent");
const recordingLink = document.getElementById("recording");
// How often a visible page asks for the foreground program, for its title.
const PROGRAM_POLL_MS = 2000;
restartButton.addEventListener("click", restart);
copyButton.addEventListener("click", copyLink);

// The session this tab shows: the one its link names, else the one it showed before a reload.
// The id then leaves the address bar, so that the address, bookmarked or copied, opens a new
// session; "Copy link" gives the session's.
let sessionId = null;
{
  const named = location.hash.slice(1);
  const kept = sessionStorage.getItem(STORED);
  if (SESSION_ID.test(named)) sessionId = named;
  else if (kept && SESSION_ID.test(kept)) sessionId = kept;
  if (location.hash) history.replaceState(null, "", location.pathname + location.search);
}

let socket = null;
let attached = false;
// The session is over for this page, which offers a new one.
let ended = false;
let retries = 0;
let retryTimer = null;
let pendingInput = [];
// The size this window has room for, which the session takes when this page types or resizes.
let wanted = roomFor();

function roomFor() {
  const proposed = fit.proposeDimensions();
  if (proposed && Number.isInteger(proposed.cols) && Number.isInteger(proposed.rows) && proposed.cols > 0 && proposed.rows > 0) {
    return { cols: proposed.cols, rows: proposed.rows };
  }
  return { cols: term.cols, rows: term.rows };
}

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

function showBanner(text, offerNew) {
  bannerText.textContent = text;
  restartButton.hidden = !offerNew;
  banner.hidden = false;
}

// The page's last word on its session, shown after the output before it.
function finish(text, { forget = true } = {}) {
  if (ended) return;
  ended = true;
  attached = false;
  if (forget) {
    sessionId = null;
    sessionStorage.removeItem(STORED);
  }
  copyButton.hidden = true;
  agentMark.hidden = true;
  program = null;
  showTitle();
  term.write("", () => showBanner(text, true));
}

function connect() {
  const url = new URL("ws", location.href);
  url.protocol = location.protocol === "https:" ? "wss:" : "ws:";
  const query = new URLSearchParams({ cols: wanted.cols, rows: wanted.rows });
  if (sessionId) query.set("session", sessionId);
  url.search = query;
  const ws = new WebSocket(url);
  ws.binaryType = "arraybuffer";
  socket = ws;
  let processed = 0;
  let outstanding = 0;

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
    // Each takes effect through the terminal's queue, at its place in the output.
    if (message.type === "attached") {
      attachedTo(message);
    } else if (message.type === "program") {
      program = message.name;
      showTitle();
    } else if (message.type === "size") {
      term.write("", () => term.resize(message.cols, message.rows));
    } else if (message.type === "exit") {
      finish(`The program exited with code ${message.exitCode}.`);
    } else if (message.type === "error") {
      finish(`The session failed: ${message.message}`);
    }
  };
  ws.onclose = (event) => {
    if (ws === socket) closed(event);
  };
}

// The title: the foreground program where the server can tell, else the one the program set.
let program = null;
let programTitle = "";
function showTitle() {
  document.title = program ? `${program} — quelt-web` : programTitle || "quelt-web";
}

function askProgram() {
  if (attached && document.visibilityState === "visible") send({ type: "program" });
}
setInterval(askProgram, PROGRAM_POLL_MS);
document.addEventListener("visibilitychange", askProgram);

function attachedTo({ session, cols, rows, keep, agent, recording }) {
  sessionId = session;
  // Without a grace period the session ends with this page, and a reload must start afresh.
  if (keep > 0) sessionStorage.setItem(STORED, session);
  else sessionStorage.removeItem(STORED);
  attached = true;
  retries = 0;
  // CAN ends any sequence the previous connection was cut off in; RIS clears screen and
  // scrollback. The snapshot that follows is drawn at the session's size.
  term.write("\x18\x1bc", () => term.resize(cols, rows));
  banner.hidden = true;
  copyButton.hidden = false;
  agentMark.hidden = !agent;
  recordingLink.hidden = !recording;
  if (recording) {
    recordingLink.href = `recording/${session}`;
    recordingLink.download = "";
  }
  for (const data of pendingInput) sendInput(data);
  askProgram();
  pendingInput = [];
}

function closed({ code, reason }) {
  attached = false;
  if (ended) return;
  if (code === 4404) return finish("This session is not known to the server: it ended long ago, or the server was restarted.");
  if (code === 4410) return finish(`The session has ended: ${reason.replace(/^session ended: /, "")}.`);
  if (code === 4429) return finish(`Not attached: ${reason}.`, { forget: false });
  if (code === 1001) return finish("The server has shut down, and the session with it.");
  if (code === 1000 || code === 1008 || code === 1009 || code === 1011) {
    return finish(`The connection closed${reason ? `: ${reason}` : "."}`);
  }
  // Lost on the way (a network gone, a laptop asleep, a proxy restarted): the server keeps the
  // session for a while, so try again, less and less often.
  showBanner("Connection lost. Reconnecting…", false);
  retryTimer = setTimeout(connect, RETRY_MS[Math.min(retries, RETRY_MS.length - 1)]);
  retries++;
}

function restart() {
  clearTimeout(retryTimer);
  if (socket && socket.readyState !== WebSocket.CLOSED) socket.close();
  socket = null;
  sessionId = null;
  sessionStorage.removeItem(STORED);
  ended = false;
  attached = false;
  retries = 0;
  pendingInput = [];
  banner.hidden = true;
  term.reset();
  connect();
  term.focus();
}

function sessionLink() {
  return sessionId ? `${location.origin}${location.pathname}#${sessionId}` : null;
}

async function copyLink() {
  const link = sessionLink();
  if (!link) return;
  try {
    await navigator.clipboard.writeText(link);
    copyButton.textContent = "Copied";
    setTimeout(() => { copyButton.textContent = "Copy link"; }, 1500);
  } catch {
    // No clipboard outside a secure context (a plain-http address beyond loopback).
    window.prompt("A link that opens this session in another tab:", link);
  }
  term.focus();
}

term.onData((data) => {
  if (ended) {
    if (data === "\r") restart();
    return;
  }
  if (attached) sendInput(data);
  else pendingInput.push(data);
});
term.onTitleChange((title) => {
  programTitle = title;
  showTitle();
});

let fitScheduled = false;
window.addEventListener("resize", () => {
  if (fitScheduled) return;
  fitScheduled = true;
  requestAnimationFrame(() => {
    fitScheduled = false;
    const room = roomFor();
    if (room.cols === wanted.cols && room.rows === wanted.rows) return;
    wanted = room;
    send({ type: "resize", ...wanted });
  });
});

// For people debugging the page from the browser's console, and for the tests.
window.quelt = {
  term,
  get ended() { return ended; },
  get attached() { return attached; },
  get session() { return sessionId; },
  get link() { return sessionLink(); },
};

connect();
