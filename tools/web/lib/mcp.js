// The agent's door: the Model Context Protocol over standard input and output, with tools that
// open and drive sessions of the same kind, and in the same table, as the pages'. A person can
// open an agent's session in the browser from its link, watch it and type into it.
// The SDK as scripts/bundle-mcp.mjs bundles it from the SDK installed at build time.
import { CallToolRequestSchema, ListToolsRequestSchema, Server, StdioServerTransport } from "./vendor/mcp-sdk.js";
import { keyBytes } from "quelt-local-pty/keys";
import { constants } from "node:os";
import { defaultShell } from "./options.js";

const MAX_SIZE = 1000;
const DEFAULT_TIMEOUT_MS = 10000;
const MAX_TIMEOUT_MS = 600000;
// How long terminal_close waits for the program to end after the hang-up.
const CLOSE_WAIT_MS = 5000;
const ID = { type: "string", description: "The terminal's id, as terminal_open returned it." };

export const TOOLS = [
  {
    name: "terminal_open",
    description:
      "Start a program in a new terminal (a pseudo-terminal with a screen, like a terminal window) and return its id. " +
      "Defaults to the user's shell. Then use terminal_wait to wait for its prompt or output, terminal_type to type, " +
      "terminal_screen to read the screen. The result also gives a link a person can open in a browser to watch the " +
      "terminal live and type into it. Close it with terminal_close when done.",
    inputSchema: {
      type: "object",
      properties: {
        command: { type: "string", description: "Program to run, a path or a name looked up in PATH. Default: the user's shell." },
        args: { type: "array", items: { type: "string" }, description: "Its arguments. Default: none." },
        cwd: { type: "string", description: "Working directory. Default: the server's home directory." },
        cols: { type: "integer", minimum: 1, maximum: MAX_SIZE, description: "Columns. Default 80." },
        rows: { type: "integer", minimum: 1, maximum: MAX_SIZE, description: "Rows. Default 24." },
      },
      additionalProperties: false,
    },
  },
  {
    name: "terminal_type",
    description:
      "Type into a terminal, as on a keyboard: first `text` (sent as is; end a line with \"\\n\" or \"\\r\" to run it " +
      "in a shell), then each of `keys` in order. Returns at once: use terminal_wait to see the effect.",
    inputSchema: {
      type: "object",
      properties: {
        id: ID,
        text: { type: "string", description: "Text to type, e.g. \"ls -l\\n\"." },
        keys: {
          type: "array",
          items: { type: "string" },
          description:
            "Keys pressed after the text, by name: Enter, Tab, S-Tab, Escape, Backspace, Space, Insert, Delete, " +
            "PageUp, PageDown, Up, Down, Left, Right, Home, End, F1-F12; any single character; C- before a letter " +
            "or one of @[\\]^_? for Ctrl (C-c interrupts, C-d ends input); M- before any key for Alt. " +
            "Example: [\"Escape\", \":\", \"w\", \"q\", \"Enter\"].",
        },
      },
      required: ["id"],
      additionalProperties: false,
    },
  },
  {
    name: "terminal_screen",
    description:
      "Read a terminal's screen as text, with the cursor position and, where known, the program in the foreground. " +
      "Set `scrollback` to also get that many lines that scrolled off above the screen.",
    inputSchema: {
      type: "object",
      properties: {
        id: ID,
        scrollback: { type: "integer", minimum: 0, description: "Lines from above the screen to include. Default 0." },
      },
      required: ["id"],
      additionalProperties: false,
    },
  },
  {
    name: "terminal_wait",
    description:
      "Wait until a terminal's screen shows `text`, or matches `regex` (a JavaScript regular expression over the screen's " +
      "lines joined by newlines), or until its output has been quiet for `idle_ms`; give exactly one of the three. " +
      "Returns the screen when it held, or says it timed out (after `timeout_ms`) or that the program ended, with the screen.",
    inputSchema: {
      type: "object",
      properties: {
        id: ID,
        text: { type: "string", description: "Text to wait for on the screen." },
        regex: { type: "string", description: "Regular expression to wait for, e.g. \"\\\\$ $\" for a prompt." },
        idle_ms: { type: "integer", minimum: 1, maximum: MAX_TIMEOUT_MS, description: "Wait for this many ms without output." },
        timeout_ms: {
          type: "integer", minimum: 0, maximum: MAX_TIMEOUT_MS,
          description: `Give up after this many ms. Default ${DEFAULT_TIMEOUT_MS}.`,
        },
      },
      required: ["id"],
      additionalProperties: false,
    },
  },
  {
    name: "terminal_resize",
    description: "Change a terminal's size; the program is told (SIGWINCH) and redraws.",
    inputSchema: {
      type: "object",
      properties: {
        id: ID,
        cols: { type: "integer", minimum: 1, maximum: MAX_SIZE, description: "Columns." },
        rows: { type: "integer", minimum: 1, maximum: MAX_SIZE, description: "Rows." },
      },
      required: ["id", "cols", "rows"],
      additionalProperties: false,
    },
  },
  {
    name: "terminal_close",
    description:
      "Close a terminal: hang up its program, as closing a terminal window does, and wait for it to end. Returns how it ended.",
    inputSchema: { type: "object", properties: { id: ID }, required: ["id"], additionalProperties: false },
  },
  {
    name: "terminal_list",
    description:
      "List the terminals: id, command, size, whether it runs or how it ended, who opened it and how many browser pages watch it.",
    inputSchema: { type: "object", properties: {}, additionalProperties: false },
  },
];

class ToolError extends Error {}

const text = (body, isError = false) => ({ content: [{ type: "text", text: body }], ...(isError ? { isError: true } : {}) });

// Checks `args` against the few shapes the schemas above use; throws ToolError naming the member.
function check(tool, args) {
  const schema = TOOLS.find((t) => t.name === tool).inputSchema;
  for (const name of Object.keys(args)) {
    if (!Object.hasOwn(schema.properties, name)) throw new ToolError(`${tool} takes no argument \`${name}\``);
  }
  for (const name of schema.required ?? []) {
    if (args[name] === undefined) throw new ToolError(`${tool} needs \`${name}\``);
  }
  for (const [name, value] of Object.entries(args)) {
    const want = schema.properties[name];
    const ok = want.type === "string" ? typeof value === "string"
      : want.type === "integer" ? Number.isInteger(value) && value >= (want.minimum ?? -Infinity) && value <= (want.maximum ?? Infinity)
        : Array.isArray(value) && value.every((item) => typeof item === "string");
    if (!ok) {
      const range = want.type === "integer" ? ` from ${want.minimum} to ${want.maximum ?? "any"}` : "";
      throw new ToolError(`\`${name}\` must be ${want.type === "array" ? "an array of strings" : `a${want.type === "integer" ? "n" : ""} ${want.type}${range}`}`);
    }
  }
}

// The client gives the signal that ended a program as its number, where the bridge reports it.
const signalName = (signal) =>
  typeof signal === "number" ? Object.keys(constants.signals).find((name) => constants.signals[name] === signal) ?? `signal ${signal}` : signal;

export function describeExit(exit) {
  if (!exit) return "ended";
  return exit.signal ? `was ended by ${signalName(exit.signal)}` : `exited with code ${exit.exitCode}`;
}

// Serves the tools on `input`/`output` over `sessions`. `link(id)` gives a session's page link
// (null without pages). `onClose()` is called once the client has gone; the agent's sessions are
// let go of then, each ending after `keepMs` unless a page holds it.
export async function serveMcp({ sessions, link, keepMs, input = process.stdin, output = process.stdout, onClose, version }) {
  /** The sessions this agent opened, ended ones too, by id: terminal_list shows how they ended. */
  const mine = new Map();
  const server = new Server({ name: "quelt-web", version }, {
    capabilities: { tools: {} },
    instructions:
      "Terminals on this machine: terminal_open starts a shell or program, terminal_type types into it, terminal_wait " +
      "waits for output, terminal_screen reads the screen. A person may watch and type into the same terminal from a browser.",
  });

  // The live session, or a ToolError saying why there is none.
  function live(id) {
    const { session, ended } = sessions.find(id);
    if (session) return session;
    if (ended !== undefined) {
      const exit = mine.get(id)?.exit;
      throw new ToolError(`terminal ${id} has ended: ${exit ? `the program ${describeExit(exit)}` : ended}`);
    }
    throw new ToolError(`unknown terminal id ${JSON.stringify(id)}; terminal_list shows the terminals`);
  }

  async function screenOf(session, scrollback = 0) {
    const { text: body, cursor, above } = session.screen.text(scrollback);
    const program = await session.foreground();
    const head = [
      `terminal ${session.id}`, `${session.screen.cols}x${session.screen.rows}`,
      `cursor at row ${cursor.row}, column ${cursor.col}`,
      ...(program ? [`foreground: ${program}`] : []),
      ...(above > 0 ? [`${above} lines of scrollback first`] : []),
      ...(session.ended ? [`the program ${describeExit(session.exit)}`] : []),
    ];
    return `[${head.join(" · ")}]\n${body}`;
  }

  // Resolves with a sentence once `holds()` is true after some output, the program ends, or
  // the time is up; `idleMs` instead waits for that long without output.
  function waitOn(session, { holds, idleMs, timeoutMs }) {
    return new Promise((resolve) => {
      let idleTimer = null;
      const finish = (why) => {
        clearTimeout(idleTimer);
        clearTimeout(timeout);
        session.watchers.delete(watcher);
        resolve(why);
      };
      const watcher = () => {
        if (session.ended) return finish("ended");
        if (idleMs !== undefined) {
          clearTimeout(idleTimer);
          idleTimer = setTimeout(() => finish("held"), idleMs);
        } else if (holds()) {
          finish("held");
        }
      };
      const timeout = setTimeout(() => finish("timeout"), timeoutMs);
      session.watchers.add(watcher);
      // What has been written may already be on the screen, or be all there is.
      session.screen.whenParsed(watcher);
    });
  }

  const handlers = {
    async terminal_open(args) {
      const file = args.command ?? defaultShell();
      const session = sessions.create({
        cols: args.cols ?? 80, rows: args.rows ?? 24, file, args: args.args ?? [], cwd: args.cwd, agent: true,
      });
      mine.set(session.id, session);
      try {
        await session.bridge.ready;
      } catch (error) {
        throw new ToolError(`could not start ${file}: ${error.message}`);
      }
      const url = link(session.id);
      return `Opened terminal ${session.id} running ${session.command} (${session.size.cols}x${session.size.rows}).` +
        (url ? `\nA person can watch it and type into it at ${url}` : "");
    },

    async terminal_type(args) {
      const session = live(args.id);
      if (args.text === undefined && args.keys === undefined) throw new ToolError("terminal_type needs `text` or `keys`");
      let bytes = args.text ?? "";
      for (const key of args.keys ?? []) {
        try {
          bytes += keyBytes(key, { applicationCursor: session.screen.applicationCursor });
        } catch (error) {
          throw new ToolError(`${error.message}; nothing was typed`);
        }
      }
      session.type(bytes);
      return `Typed ${bytes.length} characters into terminal ${session.id}.`;
    },

    async terminal_screen(args) {
      const session = live(args.id);
      return new Promise((resolve) => session.screen.whenParsed(() => resolve(screenOf(session, args.scrollback ?? 0))));
    },

    async terminal_wait(args) {
      const session = live(args.id);
      const given = ["text", "regex", "idle_ms"].filter((name) => args[name] !== undefined);
      if (given.length !== 1) throw new ToolError("terminal_wait needs exactly one of `text`, `regex` and `idle_ms`");
      let holds = null;
      if (args.text !== undefined) {
        holds = () => session.screen.text().text.includes(args.text);
      } else if (args.regex !== undefined) {
        let pattern;
        try {
          pattern = new RegExp(args.regex, "m");
        } catch (error) {
          throw new ToolError(`bad regex ${JSON.stringify(args.regex)}: ${error.message}`);
        }
        holds = () => pattern.test(session.screen.text().text);
      }
      const timeoutMs = args.timeout_ms ?? DEFAULT_TIMEOUT_MS;
      const started = Date.now();
      const outcome = await waitOn(session, { holds, idleMs: args.idle_ms, timeoutMs });
      const screen = await screenOf(session);
      if (outcome === "held") return { text: `${screen}`, isError: false };
      if (outcome === "ended") return { text: `The program ended before that showed.\n${screen}`, isError: false };
      return { text: `Timed out after ${Date.now() - started} ms; the screen:\n${screen}`, isError: false };
    },

    async terminal_resize(args) {
      const session = live(args.id);
      session.resizeTo({ cols: args.cols, rows: args.rows });
      return `Terminal ${session.id} is now ${args.cols}x${args.rows}.`;
    },

    async terminal_close(args) {
      const session = live(args.id);
      session.end("an agent closed it");
      const ended = await Promise.race([
        session.exited.then(() => true),
        new Promise((resolve) => setTimeout(resolve, CLOSE_WAIT_MS, false)),
      ]);
      if (!ended) return `Hung up terminal ${session.id}; its program has not ended within ${CLOSE_WAIT_MS / 1000} s.`;
      return `Closed terminal ${session.id}: the program ${describeExit(session.exit)}.`;
    },

    async terminal_list() {
      const rows = new Map();
      for (const session of sessions) rows.set(session.id, session);
      for (const [id, session] of mine) rows.set(id, session);
      if (rows.size === 0) return "No terminals.";
      return [...rows.values()].map((s) => {
        const state = s.ended ? `ended: the program ${describeExit(s.exit)}` : "running";
        return `${s.id}  ${s.command}  ${s.size.cols}x${s.size.rows}  ${state}  ` +
          `opened by ${s.agent ? "an agent" : "a page"}  ${s.viewers.size} page(s) attached`;
      }).join("\n");
    },
  };

  server.setRequestHandler(ListToolsRequestSchema, async () => ({ tools: TOOLS }));
  server.setRequestHandler(CallToolRequestSchema, async (request) => {
    const { name, arguments: args = {} } = request.params;
    const handler = Object.hasOwn(handlers, name) ? handlers[name] : null;
    if (!handler) return text(`unknown tool ${JSON.stringify(name)}`, true);
    try {
      check(name, args);
      const result = await handler(args);
      return typeof result === "string" ? text(result) : text(result.text, result.isError);
    } catch (error) {
      if (error instanceof ToolError) return text(error.message, true);
      throw error;
    }
  });

  let closed = false;
  const close = () => {
    if (closed) return;
    closed = true;
    for (const session of mine.values()) session.letGo(keepMs);
    onClose?.();
  };
  // The host stopping the server, or dying, closes its end of our standard input.
  input.on("end", close);
  input.on("close", close);
  output.on("error", close);
  await server.connect(new StdioServerTransport(input, output));
  return { server, close };
}
