// Builds lib/vendor/mcp-sdk.js: the parts of the MCP TypeScript SDK that the stdio server uses
// (the server, its stdio transport, the protocol's schemas) with the libraries they load, in
// one file. The package carries this file instead of the SDK and its own dependencies, most of
// which serve the HTTP transports that quelt-web does not use: a tenth of the weight, and an
// install that takes seconds. Run by the build and before packing.
import { build } from "esbuild";
import { readdirSync, readFileSync, writeFileSync } from "node:fs";
import { fileURLToPath } from "node:url";

const here = (path) => fileURLToPath(new URL(path, import.meta.url));
const { version } = JSON.parse(readFileSync(here("../node_modules/@modelcontextprotocol/sdk/package.json"), "utf8"));

const result = await build({
  metafile: true,
  stdin: {
    contents: [
      'export { Server } from "@modelcontextprotocol/sdk/server/index.js";',
      'export { StdioServerTransport } from "@modelcontextprotocol/sdk/server/stdio.js";',
      'export { CallToolRequestSchema, ListToolsRequestSchema } from "@modelcontextprotocol/sdk/types.js";',
    ].join("\n"),
    resolveDir: here(".."),
    loader: "js",
  },
  bundle: true,
  platform: "node",
  format: "esm",
  target: "node18",
  outfile: here("../lib/vendor/mcp-sdk.js"),
  // The CommonJS libraries inside (ajv) call require, which an ES module lacks.
  banner: {
    js: `// @modelcontextprotocol/sdk ${version} and the libraries it loads, bundled by scripts/bundle-mcp.mjs.\n` +
      'import { createRequire as __createRequire } from "node:module";\nconst require = __createRequire(import.meta.url);',
  },
  legalComments: "inline",
  minifyWhitespace: true,
  logLevel: "warning",
});

// The licences of what went into the bundle, which travel with it.
const packages = new Set();
for (const input of Object.keys(result.metafile.inputs)) {
  const match = /node_modules\/((?:@[^/]+\/)?[^/]+)\//.exec(input);
  if (match) packages.add(match[1]);
}
const notices = [...packages].sort().map((name) => {
  const dir = here(`../node_modules/${name}`);
  const { version: v, license } = JSON.parse(readFileSync(`${dir}/package.json`, "utf8"));
  const file = readdirSync(dir).find((entry) => /^licen[cs]e/i.test(entry));
  const text = file ? readFileSync(`${dir}/${file}`, "utf8").trim() : `License: ${license}`;
  return `${name} ${v}\n\n${text}\n`;
});
writeFileSync(here("../lib/vendor/LICENSES.txt"),
  `The libraries bundled in mcp-sdk.js, with their licences.\n\n${notices.join(`\n${"-".repeat(72)}\n\n`)}`);
