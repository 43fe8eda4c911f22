// What the server refuses: requests without the token, WebSockets from other sites, files off
// its list, and messages it does not understand.
import assert from "node:assert/strict";
import { request } from "node:http";
import { after, before, test } from "node:test";
import { originMatches, tokenMatches } from "../lib/server.js";
import { PROMPT, SHELL, connectSession, descendants, startCli, waitFor } from "./helpers.js";

let server;
let base;
let token;
before(async () => {
  // A session ends with its connection here, as a test below expects.
  server = await startCli(["--port", "0", "--keep", "0", ...SHELL]).ready;
  base = new URL(server.url).origin;
  token = new URL(server.url).pathname.split("/")[1];
});
after(() => server?.stop());

// A raw GET, so that the path reaches the server exactly as written.
function get(path, headers = {}) {
  return new Promise((resolve, reject) => {
    const { hostname, port } = new URL(base);
    const req = request({ hostname, port, path, method: "GET", headers }, (res) => {
      let body = "";
      res.on("data", (d) => { body += d; });
      res.on("end", () => resolve({ status: res.statusCode, headers: res.headers, body }));
    });
    req.on("error", reject);
    req.end();
  });
}

const bridges = () => descendants(server.proc.pid).filter((p) => p.comm === "quelt_local_pty");

test("the token: 128 random bits, compared whole", async () => {
  assert.match(token, /^[0-9a-f]{32}$/);
  const other = await startCli(["--port", "0", ...SHELL]).ready;
  assert.notEqual(new URL(other.url).pathname, `/${token}/`);
  await other.stop();

  assert.equal(tokenMatches(token, token), true);
  for (const wrong of ["", token.slice(0, -1), `${token}0`, token.toUpperCase(), `${token.slice(0, -1)}é`]) {
    assert.equal(tokenMatches(wrong, token), false, wrong);
  }
  const own = new URL(base).host;
  assert.equal(originMatches(`http://${own}`, own), true);
  for (const origin of [undefined, "null", `http://${own}.evil.example`, "http://127.0.0.1:1", `file://${own}`, `http://${own}/x`]) {
    assert.equal(originMatches(origin, own), false, String(origin));
  }
});

test("only the page's own files are served, and only with the token", async () => {
  const page = await get(`/${token}/`);
  assert.equal(page.status, 200);
  assert.match(page.body, /<script type="module" src="page.js">/);
  assert.match(page.headers["content-security-policy"], /default-src 'none'/);
  assert.equal(page.headers["referrer-policy"], "no-referrer");
  for (const name of ["page.js", "page.css", "xterm.mjs", "xterm.css", "addon-fit.mjs"]) {
    assert.equal((await get(`/${token}/${name}`)).status, 200, name);
  }
  assert.equal((await get(`/${token}`)).headers.location, `/${token}/`);

  for (const path of ["/", "/index.html", "/page.js", `/${token.slice(0, -1)}/`, `/${token}x/page.js`, `/${token.toUpperCase()}/`, "/ws"]) {
    const answer = await get(path);
    assert.equal(answer.status, 403, path);
    assert.equal(answer.body, "Forbidden\n", path);
  }
  // A site that points its own name at this machine (DNS rebinding) gets nothing either.
  const port = new URL(base).port;
  assert.equal((await get(`/${token}/`, { host: `evil.example:${port}` })).status, 403);
  assert.equal((await get(`/${token}/`, { host: `localhost:${port}` })).status, 200);
  for (const name of ["../package.json", "%2e%2e/package.json", "lib/server.js", "public/page.js",
    "node_modules/ws/package.json", "xterm.js", "xterm.mjs.map", "page.js/", "./page.js", "//etc/passwd", "index.html",
    `recording/${"0".repeat(32)}`, "recording/../../package.json", "recording/"]) {
    assert.equal((await get(`/${token}/${name}`)).status, 404, name);
  }
});

test("a WebSocket without the token or from another origin is refused and starts no bridge", async () => {
  const refusals = [
    [`${base}/ws`, {}],
    [`${base}/${"f".repeat(32)}/ws`, {}],
    [server.url, { origin: "http://evil.example" }],
    [server.url, { origin: `http://localhost:${new URL(base).port}` }],
    [server.url, { origin: null }],
    [server.url, { origin: `http://evil.example:${new URL(base).port}`, host: `evil.example:${new URL(base).port}` }],
  ];
  for (const [url, options] of refusals) {
    await assert.rejects(connectSession(url, options), { status: 403 }, `${url} ${JSON.stringify(options)}`);
  }
  await assert.rejects(connectSession(server.url, { path: "ws?cols=0&rows=24" }), { status: 400 });
  assert.deepEqual(bridges(), []);
});

test("a malformed or oversized message closes its own connection with a reason and ends its session", async () => {
  const bystander = await connectSession(server.url);
  await waitFor("the bystander's prompt", () => bystander.output().includes(PROMPT));
  const cases = [
    ["not json", 1008, "message is not JSON"],
    ["[1,2]", 1008, "message is not a JSON object"],
    ['{"type":"launch"}', 1008, "unknown message type"],
    ['{"type":"input","data":42}', 1008, 'input message must be {"type":"input","data":STRING}'],
    ['{"type":"input","data":"x","extra":1}', 1008, 'input message must be {"type":"input","data":STRING}'],
    ['{"type":"resize","cols":80.5,"rows":24}', 1008, /^resize message must be/],
    ['{"type":"resize","cols":80,"rows":70000}', 1008, /^resize message must be/],
    ['{"type":"ack","bytes":1e12}', 1008, "ack message acknowledges more bytes than were sent"],
    ['{"type":"program","name":"vim"}', 1008, 'program message must be {"type":"program"}'],
    [Buffer.from("binary"), 1008, "binary messages are not accepted"],
    [JSON.stringify({ type: "input", data: "x".repeat(100000) }), 1009, /^message of 100026 bytes exceeds the limit of 65536$/],
    ["x".repeat(2 * 1024 * 1024), 1009, ""],
  ];
  for (const [message, code, reason] of cases) {
    const victim = await connectSession(server.url);
    await waitFor("a prompt", () => victim.output().includes(PROMPT));
    assert.equal(bridges().length, 2);
    victim.ws.send(message);
    const closed = await victim.closed;
    assert.equal(closed.code, code, String(message).slice(0, 60));
    if (reason instanceof RegExp) assert.match(closed.reason, reason);
    else assert.equal(closed.reason, reason);
    await waitFor("the session's bridge to end", () => bridges().length === 1, 2000);
  }
  bystander.type("echo still $((40+2))\r");
  await waitFor("the bystander's answer", () => bystander.output().includes("still 42"));
  bystander.ws.close();
});
