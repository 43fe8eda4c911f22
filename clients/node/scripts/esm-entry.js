// The ES module entry re-exports the CommonJS build, so `import` and `require` share one
// module instance instead of two copies with separate state.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

const entry = `import client from "./index.js";\n\nexport const spawn = client.spawn;\nexport default client;\n`;
fs.writeFileSync(path.join(__dirname, "..", "dist", "index.mjs"), entry);
