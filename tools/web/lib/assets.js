// The only files the server ever sends. Each name a request may ask for maps to one file
// found at start-up, read once into memory: the request's path is looked up in this table and
// never joined to a directory, so no request can reach any other file.
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";

const require = createRequire(import.meta.url);
const publicFile = (name) => fileURLToPath(new URL(`../public/${name}`, import.meta.url));

const SOURCES = [
  ["", publicFile("index.html"), "text/html; charset=utf-8"],
  ["page.js", publicFile("page.js"), "text/javascript; charset=utf-8"],
  ["page.css", publicFile("page.css"), "text/css; charset=utf-8"],
  ["xterm.mjs", require.resolve("@xterm/xterm/lib/xterm.mjs"), "text/javascript; charset=utf-8"],
  ["xterm.css", require.resolve("@xterm/xterm/css/xterm.css"), "text/css; charset=utf-8"],
  ["addon-fit.mjs", require.resolve("@xterm/addon-fit/lib/addon-fit.mjs"), "text/javascript; charset=utf-8"],
];

// The libraries end with a source-map comment; the map is not served, and the comment would
// only make a browser's developer tools ask for it.
const stripSourceMap = (body) => body.replace(/\n\/\/# sourceMappingURL=\S+\s*$/, "\n");

export function loadAssets() {
  const assets = new Map();
  for (const [name, file, type] of SOURCES) {
    let body = readFileSync(file);
    if (type.startsWith("text/javascript")) body = Buffer.from(stripSourceMap(body.toString("utf8")));
    assets.set(name, { body, type });
  }
  return assets;
}
