#!/usr/bin/env -S node --max-semi-space-size=4
import { parseArgs, UsageError, USAGE } from "../lib/options.js";
import { mkdirSync, readFileSync } from "node:fs";
import { isLoopback, startServer } from "../lib/server.js";

const say = (text) => process.stderr.write(`quelt-web: ${text}\n`);

let options;
try {
  options = parseArgs(process.argv.slice(2));
} catch (error) {
  if (!(error instanceof UsageError)) throw error;
  say(error.message);
  process.stderr.write(`${USAGE}\n`);
  process.exit(2);
}
if (options.help) {
  process.stdout.write(`${USAGE}\n`);
  process.exit(0);
}

// The programs run in xterm.js, which understands what these promise.
const env = { ...process.env, TERM: "xterm-256color", COLORTERM: "truecolor" };

if (options.recordDir !== undefined) {
  try {
    mkdirSync(options.recordDir, { recursive: true, mode: 0o700 });
  } catch (error) {
    say(`cannot make the recordings' folder ${options.recordDir}: ${error.message}`);
    process.exit(1);
  }
}

let server;
try {
  server = await startServer({
    host: options.host,
    port: options.port,
    program: { file: options.file, args: options.args },
    keepSeconds: options.keepSeconds,
    scrollback: options.scrollback,
    env,
    bridgePath: options.bridgePath,
    log: say,
    web: options.web,
    recordDir: options.recordDir,
  });
} catch (error) {
  say(`cannot listen on ${options.host} port ${options.port}: ${error.message}`);
  process.exit(1);
}
if (options.web && !isLoopback(server.address)) {
  say(`warning: listening on ${server.address}, beyond loopback: anyone who can reach this ` +
    "address and learns the URL gets a shell as you");
}
let stopping = false;
async function stop(code) {
  if (stopping) process.exit(1);
  stopping = true;
  await server.close();
  process.exit(code);
}

if (options.mcp) {
  // Standard output carries the protocol and nothing else.
  if (options.web) say(`open ${server.url}`);
  const { serveMcp } = await import("../lib/mcp.js");
  const { version } = JSON.parse(readFileSync(new URL("../package.json", import.meta.url), "utf8"));
  let agentGone = false;
  // Once the agent has gone the server lives on only for the sessions left (pages' ones, or
  // the agent's that a page holds or that wait out --keep), and ends with the last.
  const maybeEnd = () => {
    if (agentGone && server.sessions.size === 0) stop(0);
  };
  server.sessions.onChange = maybeEnd;
  await serveMcp({
    sessions: server.sessions,
    link: (id) => (options.web ? `${server.url}#${id}` : null),
    // Without pages nothing could come back to a session.
    keepMs: options.web ? options.keepSeconds * 1000 : 0,
    version,
    onClose: () => {
      agentGone = true;
      maybeEnd();
    },
  });
} else {
  process.stdout.write(`quelt-web: open ${server.url}\n`);
}

// A second signal does not wait: the bridges see their input end with this process and hang
// their programs up by themselves.
for (const signal of ["SIGINT", "SIGTERM", "SIGHUP"]) process.on(signal, () => stop(0));
