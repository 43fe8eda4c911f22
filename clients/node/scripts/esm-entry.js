// The ES module entry re-exports the CommonJS build, so `import` and `require` share one
// module instance instead of two copies with separate state. Its names are read from the build,
// so an export added to src/index.ts reaches `import` without a second list to keep.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const dist = path.join(__dirname, "..", "dist");
const names = Object.keys(require(path.join(dist, "index.js"))).filter((name) => name !== "__esModule");
const entry = `import client from "./index.js";\n\n` +
  names.map((name) => `export const ${name} = client.${name};\n`).join("") + `export default client;\n`;
fs.writeFileSync(path.join(dist, "index.mjs"), entry);
