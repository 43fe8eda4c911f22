// `npm pack` makes a package that installs with no registry: the libraries travel inside it, and
// the client, which it names as a peer so that npm brings the client's bridge along, is packed here.
// The MCP SDK travels as the one file the build bundles from it.
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { fileURLToPath } from "node:url";
import { test } from "node:test";
import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";
import { PROMPT, connectSession, startCli, waitFor } from "./helpers.js";

const npm = process.env.QLP_NPM ?? "npm";
const packageDir = fileURLToPath(new URL("..", import.meta.url));
const clientDir = fileURLToPath(new URL("../../../clients/node", import.meta.url));

test("the packed tarball installs with npm install -g and runs quelt-web", async () => {
  const dir = mkdtempSync(join(tmpdir(), "quelt-web-pack-"));
  try {
    const quiet = { cwd: dir, encoding: "utf8", stdio: ["ignore", "pipe", "pipe"] };
    const pack = (from) => join(dir, execFileSync(npm, ["pack", "--silent", "--pack-destination", dir, from], quiet).trim().split("\n").pop());
    const tarballs = [pack(packageDir), pack(clientDir)];
    const prefix = join(dir, "prefix");
    execFileSync(npm, ["install", "-g", "--offline", "--no-audit", "--no-fund", "--prefix", prefix, ...tarballs], quiet);

    const server = await startCli(["--port", "0", "--", "/bin/bash", "--norc"], { command: [join(prefix, "bin", "quelt-web")] }).ready;
    try {
      const session = await connectSession(server.url);
      await waitFor("the prompt", () => session.output().includes(PROMPT));
      session.type("echo $((6*7))\r");
      await waitFor("42", () => /\r42\r\n/.test(session.output()));
      session.ws.close();
    } finally {
      assert.deepEqual(await server.stop(), { code: 0, signal: null });
    }

    // The agent's door works from the package alone, with the SDK's parts it carries.
    const agent = new Client({ name: "pack-test", version: "0" });
    await agent.connect(new StdioClientTransport({ command: join(prefix, "bin", "quelt-web"), args: ["--mcp", "--no-web"] }));
    try {
      assert.equal((await agent.listTools()).tools.length, 7);
    } finally {
      await agent.close();
    }
  } finally {
    rmSync(dir, { recursive: true, force: true });
  }
});
