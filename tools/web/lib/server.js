// The HTTP and WebSocket server. Everything it serves lives under /TOKEN/: the page and its
// files, and the WebSocket at /TOKEN/ws. A request without the token gets 403 and nothing else.
import { randomBytes, timingSafeEqual } from "node:crypto";
import { createReadStream } from "node:fs";
import { createServer } from "node:http";
import { isIP } from "node:net";
import { WebSocketServer } from "ws";
import { loadAssets } from "./assets.js";
import { HARD_MESSAGE_LIMIT, closeReason } from "./messages.js";
import { MAX_PAGES } from "./session.js";
import { Sessions } from "./sessions.js";

const SHUTDOWN_GRACE_MS = 3000;

const SECURITY_HEADERS = {
  // The page loads only its own files and talks only to its own server.
  "Content-Security-Policy":
    "default-src 'none'; script-src 'self'; style-src 'self' 'unsafe-inline'; connect-src 'self'; " +
    "img-src 'self' data:; font-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
  "X-Content-Type-Options": "nosniff",
  "X-Frame-Options": "DENY",
  // The token is in every URL; it must not leave in a Referer header.
  "Referrer-Policy": "no-referrer",
  "Cache-Control": "no-store",
};

export function isLoopback(address) {
  if (isIP(address) === 4) return address.startsWith("127.");
  const v6 = address.toLowerCase();
  return v6 === "::1" || v6.startsWith("::ffff:127.");
}

// Compares in constant time: a wrong token's first matching characters must not show in the
// time the answer takes. Lengths may differ freely; the token's own length is no secret.
export function tokenMatches(candidate, token) {
  const given = Buffer.from(candidate, "utf8");
  const expected = Buffer.from(token, "utf8");
  return given.length === expected.length && timingSafeEqual(given, expected);
}

// "/TOKEN/NAME?QUERY" -> { token, name, query }; name is "" for the page itself and null for
// "/TOKEN" without its slash.
function splitPath(url) {
  const [path, query = ""] = url.split("?", 2);
  const match = /^\/([^/]*)(\/(.*))?$/s.exec(path);
  if (!match) return { token: "", name: null, query };
  return { token: match[1], name: match[2] === undefined ? null : match[3], query };
}

// The Origin a browser sends must be the one under which it loaded the page, which is the
// Host it asks for: a page of another site, open in the same browser, sends its own.
export function originMatches(origin, host) {
  if (!origin || !host) return false;
  try {
    const from = new URL(origin);
    const own = new URL(`http://${host}`);
    return (from.protocol === "http:" || from.protocol === "https:") && from.host === own.host && from.pathname === "/";
  } catch {
    return false;
  }
}

// A server on loopback answers only to loopback names. A web site can point its own name at
// 127.0.0.1 (DNS rebinding): its pages then share the server's origin, and the Host header,
// which they cannot choose, is what still tells them apart. A forwarded port (ssh -L) keeps a
// loopback name.
export function hostAllowed(host, loopbackOnly) {
  if (!loopbackOnly) return true;
  if (!host) return false;
  let name;
  try {
    name = new URL(`http://${host}`).hostname;
  } catch {
    return false;
  }
  return name === "localhost" || name.endsWith(".localhost") || name === "[::1]" || (isIP(name) === 4 && name.startsWith("127."));
}

// The WebSocket's query: the page's size, and the session it comes back to, if any.
function parseQuery(query) {
  const params = new URLSearchParams(query);
  const value = (name, fallback) => {
    const text = params.get(name);
    if (text === null) return fallback;
    return /^[1-9][0-9]{0,4}$/.test(text) && Number(text) <= 65535 ? Number(text) : NaN;
  };
  const cols = value("cols", 80);
  const rows = value("rows", 24);
  if (Number.isNaN(cols) || Number.isNaN(rows)) return null;
  return { size: { cols, rows }, session: params.get("session") };
}

// Why a page cannot attach, told after the handshake: a refused handshake shows a browser no
// status at all, and the page must tell "gone" from "unreachable" to know whether to retry.
export const CLOSE_UNKNOWN = 4404;
export const CLOSE_ENDED = 4410;
export const CLOSE_FULL = 4429;

function refuseUpgrade(socket, status, text) {
  const body = `${text}\n`;
  socket.end(
    `HTTP/1.1 ${status} ${text}\r\nConnection: close\r\nContent-Type: text/plain; charset=utf-8\r\n` +
      `Content-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`,
  );
}

// Starts listening and resolves to { url, token, address, port, sessions, close() }.
// `program` is { file, args }; `env` the programs' environment. A session whose last page has
// gone waits `keepSeconds` for one to come back (0: it ends at once), and keeps `scrollback`
// lines above its screen for pages that attach. A page that holds the program up for `slowMs`
// is taken off the live output until it catches up. Every `heartbeatMs` each connection is
// pinged; one that has not answered the previous ping is dropped.
export async function startServer({
  host = "127.0.0.1", port = 0, program, env, bridgePath, log = () => {}, heartbeatMs = 15000,
  keepSeconds = 300, scrollback = 5000, slowMs = 2000, web = true, recordDir,
}) {
  const token = randomBytes(16).toString("hex");
  const assets = loadAssets();
  const sessions = new Sessions({
    ...program, env, bridgePath, log, scrollback, slowMs, keepMs: keepSeconds * 1000, recordDir,
  });

  let closing = null;
  let loopbackOnly = true;

  const server = createServer((req, res) => {
    const { token: given, name } = splitPath(req.url ?? "");
    const reply = (status, text, headers = {}) => {
      res.writeHead(status, { "Content-Type": "text/plain; charset=utf-8", ...SECURITY_HEADERS, ...headers });
      res.end(req.method === "HEAD" ? undefined : `${text}\n`);
    };
    if (!hostAllowed(req.headers.host, loopbackOnly) || !tokenMatches(given, token)) return reply(403, "Forbidden");
    if (req.method !== "GET" && req.method !== "HEAD") return reply(405, "Method Not Allowed", { Allow: "GET, HEAD" });
    if (name === null) return reply(301, "Moved Permanently", { Location: `/${token}/` });
    if (name.startsWith("recording/")) return sendRecording(name.slice("recording/".length), req, res, reply);
    const asset = assets.get(name);
    if (!asset) return reply(404, "Not Found");
    res.writeHead(200, { ...SECURITY_HEADERS, "Content-Type": asset.type, "Content-Length": asset.body.length });
    res.end(req.method === "HEAD" ? undefined : asset.body);
  });

  const wss = new WebSocketServer({ noServer: true, maxPayload: HARD_MESSAGE_LIMIT, perMessageDeflate: false });

  server.on("upgrade", (req, socket, head) => {
    socket.on("error", () => {});
    const { token: given, name, query } = splitPath(req.url ?? "");
    if (!hostAllowed(req.headers.host, loopbackOnly) || !tokenMatches(given, token)) {
      return refuseUpgrade(socket, 403, "Forbidden");
    }
    if (!originMatches(req.headers.origin, req.headers.host)) {
      log(`refused a WebSocket from origin ${JSON.stringify(req.headers.origin ?? null)}`);
      return refuseUpgrade(socket, 403, "Forbidden");
    }
    if (name !== "ws") return refuseUpgrade(socket, 404, "Not Found");
    const wanted = parseQuery(query);
    if (!wanted) return refuseUpgrade(socket, 400, "Bad Request");
    if (closing) return refuseUpgrade(socket, 503, "Service Unavailable");
    wss.handleUpgrade(req, socket, head, (ws) => {
      ws.on("error", () => {});
      if (wanted.session !== null) return attach(ws, wanted);
      let session;
      try {
        session = sessions.create(wanted.size);
      } catch (error) {
        log(error.message);
        ws.send(JSON.stringify({ type: "error", message: error.message }));
        ws.close(1011, closeReason(`could not start the bridge: ${error.message}`));
        return;
      }
      session.attach(ws, wanted.size);
    });
  });

  // The recording of a session, live or ended, for a page that knows the session's id.
  function sendRecording(id, req, res, reply) {
    const recording = sessions.recording(id);
    if (!recording) return reply(404, "Not Found");
    const stream = createReadStream(recording.path);
    stream.on("error", () => {
      if (!res.headersSent) reply(404, "Not Found");
      else res.destroy();
    });
    stream.on("open", () => {
      res.writeHead(200, {
        ...SECURITY_HEADERS, "Content-Type": "application/x-asciicast",
        "Content-Disposition": `attachment; filename="${recording.name}"`,
      });
      if (req.method === "HEAD") {
        stream.destroy();
        res.end();
      } else {
        stream.pipe(res);
      }
    });
  }

  function attach(ws, { session: id, size }) {
    const { session, ended } = sessions.find(id);
    if (ended) return ws.close(CLOSE_ENDED, closeReason(`session ended: ${ended}`));
    if (!session) return ws.close(CLOSE_UNKNOWN, "unknown session");
    if (!session.attach(ws, size)) ws.close(CLOSE_FULL, `this session already has ${MAX_PAGES} pages open`);
  }

  const beat = setInterval(() => { for (const session of sessions) session.heartbeat(); }, heartbeatMs);
  beat.unref();

  async function endAll() {
    clearInterval(beat);
    const ending = [...sessions];
    for (const session of ending) session.end("the server shut down", 1001, "server shutting down");
    const grace = new Promise((resolve) => setTimeout(resolve, SHUTDOWN_GRACE_MS).unref());
    await Promise.race([Promise.all(ending.map((s) => s.exited)), grace]);
  }

  if (!web) {
    // Sessions without pages: the agent's door alone.
    return {
      url: null, token, address: null, port: null, sessions,
      close: () => (closing ??= endAll()),
    };
  }
  await new Promise((resolve, reject) => {
    server.once("error", reject);
    server.listen(port, host, () => {
      server.off("error", reject);
      resolve();
    });
  });
  const address = server.address();
  loopbackOnly = isLoopback(address.address);
  // A wildcard address is reached from this machine through loopback.
  const shown = address.address === "0.0.0.0" ? "127.0.0.1" : address.address === "::" ? "::1" : address.address;
  const urlHost = isIP(shown) === 6 ? `[${shown}]` : shown;

  // Ends every session, detached ones too, waits (a little) for their bridges to end, and stops
// listening.
  function close() {
    closing ??= (async () => {
      server.close();
      await endAll();
      server.closeAllConnections?.();
    })();
    return closing;
  }

  return {
    url: `http://${urlHost}:${address.port}/${token}/`,
    token,
    address: address.address,
    port: address.port,
    sessions,
    close,
  };
}
