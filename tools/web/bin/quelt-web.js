#!/usr/bin/env -S node --max-semi-space-size=4
import { parseArgs, UsageError, USAGE } from "../lib/options.js";
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
  });
} catch (error) {
  say(`cannot listen on ${options.host} port ${options.port}: ${error.message}`);
  process.exit(1);
}
if (!isLoopback(server.address)) {
  say(`warning: listening on ${server.address}, beyond loopback: anyone who can reach this ` +
    "address and learns the URL gets a shell as you");
}
process.stdout.write(`quelt-web: open ${server.url}\n`);

let stopping = false;
for (const signal of ["SIGINT", "SIGTERM", "SIGHUP"]) {
  process.on(signal, async () => {
    // A second signal does not wait: the bridges see their input end with this process and
    // hang their programs up by themselves.
    if (stopping) process.exit(1);
    stopping = true;
    await server.close();
    process.exit(0);
  });
}
