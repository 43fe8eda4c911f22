import { userInfo } from "node:os";

export const USAGE = `usage: quelt-web [--host HOST] [--port PORT] [--keep SECONDS] [--scrollback LINES]
                 [--bridge PATH] [--record DIR] [--mcp [--no-web]] [-- PROGRAM ARGS...]

Serves a terminal in the browser running your shell (or PROGRAM) and prints the URL to open.
  --host HOST          address to listen on (default 127.0.0.1; anything beyond loopback is
                       reachable from other machines)
  --port PORT          port to listen on (default 0: any free port)
  --keep SECONDS       how long a session waits for a page to come back once its last one
                       has gone (default 300; 0 ends it with its last page)
  --scrollback LINES   lines kept above the screen for a page that comes back (default 5000)
  --bridge PATH        the quelt_local_pty binary (default: $QUELT_LOCAL_PTY, then the bridge
                       package for this platform, then PATH, then the checkout's build/)
  --record DIR         write each session's recording there (asciicast v2), offered for
                       download by its pages
  --mcp                also serve terminals to an agent over the Model Context Protocol on
                       standard input and output; the URL goes to standard error, and the
                       server ends once the agent has gone and no session remains
  --no-web             with --mcp: serve no pages
  -h, --help           show this text`;

export class UsageError extends Error {}

// The user's shell: $SHELL, else the login shell of the user database, else /bin/sh.
export function defaultShell(env = process.env) {
  if (env.SHELL) return env.SHELL;
  try {
    const shell = userInfo().shell;
    if (shell) return shell;
  } catch {
    // No entry for this user (a container's arbitrary uid): fall through.
  }
  return "/bin/sh";
}

// A whole number from 0 to `max`, written in at most 7 digits.
function count(option, value, max) {
  if (!/^[0-9]{1,7}$/.test(value) || Number(value) > max) throw new UsageError(`${option} must be a number from 0 to ${max}, not ${value}`);
  return Number(value);
}

// Returns { help } or { host, port, keepSeconds, scrollback, bridgePath, file, args }; throws
// UsageError.
export function parseArgs(argv, env = process.env) {
  const result = {
    host: "127.0.0.1", port: 0, keepSeconds: 300, scrollback: 5000, bridgePath: undefined, file: undefined, args: [],
    mcp: false, web: true, recordDir: undefined,
  };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === "-h" || arg === "--help") return { help: true };
    if (arg === "--mcp") {
      result.mcp = true;
      continue;
    }
    if (arg === "--no-web") {
      result.web = false;
      continue;
    }
    if (arg === "--") {
      [result.file, ...result.args] = argv.slice(i + 1);
      if (result.file === undefined) throw new UsageError("-- must be followed by a program");
      break;
    }
    const match = /^(--host|--port|--keep|--scrollback|--bridge|--record)(?:=(.*))?$/s.exec(arg);
    if (!match) {
      throw new UsageError(arg.startsWith("-") ? `unknown option ${arg}` : `unexpected argument ${arg} (put the program after --)`);
    }
    let value = match[2];
    if (value === undefined) {
      if (i + 1 >= argv.length) throw new UsageError(`${match[1]} needs a value`);
      value = argv[++i];
    }
    if (match[1] === "--host") {
      if (value === "") throw new UsageError("--host needs a value");
      result.host = value;
    } else if (match[1] === "--port") {
      result.port = count("--port", value, 65535);
    } else if (match[1] === "--keep") {
      // Capped well below the 24.8 days a timer can wait.
      result.keepSeconds = count("--keep", value, 604800);
    } else if (match[1] === "--scrollback") {
      result.scrollback = count("--scrollback", value, 1000000);
    } else if (match[1] === "--record") {
      if (value === "") throw new UsageError("--record needs a folder");
      result.recordDir = value;
    } else {
      result.bridgePath = value;
    }
  }
  if (!result.web && !result.mcp) throw new UsageError("--no-web needs --mcp: without either door nothing could open a session");
  result.file ??= defaultShell(env);
  return result;
}
