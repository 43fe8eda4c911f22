import { userInfo } from "node:os";

export const USAGE = `usage: quelt-web [--host HOST] [--port PORT] [--bridge PATH] [-- PROGRAM ARGS...]

Serves a terminal in the browser running your shell (or PROGRAM) and prints the URL to open.
  --host HOST    address to listen on (default 127.0.0.1; anything beyond loopback is
                 reachable from other machines)
  --port PORT    port to listen on (default 0: any free port)
  --bridge PATH  the quelt_local_pty binary (default: $QUELT_LOCAL_PTY, then PATH, then the
                 checkout's build/)
  -h, --help     show this text`;

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

// Returns { help } or { host, port, bridgePath, file, args }; throws UsageError.
export function parseArgs(argv, env = process.env) {
  const result = { host: "127.0.0.1", port: 0, bridgePath: undefined, file: undefined, args: [] };
  for (let i = 0; i < argv.length; i++) {
    const arg = argv[i];
    if (arg === "-h" || arg === "--help") return { help: true };
    if (arg === "--") {
      [result.file, ...result.args] = argv.slice(i + 1);
      if (result.file === undefined) throw new UsageError("-- must be followed by a program");
      break;
    }
    const match = /^(--host|--port|--bridge)(?:=(.*))?$/s.exec(arg);
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
      if (!/^[0-9]{1,5}$/.test(value) || Number(value) > 65535) throw new UsageError(`--port must be a number from 0 to 65535, not ${value}`);
      result.port = Number(value);
    } else {
      result.bridgePath = value;
    }
  }
  result.file ??= defaultShell(env);
  return result;
}
