// The ES module entries re-export the CommonJS build, so `import` and `require` share one
// module instance instead of two copies with separate state. Their names are read from the build,
// so an export added to a src/ entry reaches `import` without a second list to keep.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const dist = path.join(__dirname, "..", "dist");
for (const entry of ["index", "screen", "keys", "recording"]) {
  const names = Object.keys(require(path.join(dist, `${entry}.js`))).filter((name) => name !== "__esModule");
  const text = `import client from "./${entry}.js";\n\n` +
    names.map((name) => `export const ${name} = client.${name};\n`).join("") + `export default client;\n`;
  fs.writeFileSync(path.join(dist, `${entry}.mjs`), text);
}
