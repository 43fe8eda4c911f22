// The table of key names is shared with the Python client; the package carries a copy of it
// beside the code that reads it.
"use strict";
const fs = require("node:fs");
const path = require("node:path");

fs.mkdirSync(path.join(__dirname, "..", "dist"), { recursive: true });
fs.copyFileSync(path.join(__dirname, "..", "..", "shared", "keys.json"),
                path.join(__dirname, "..", "dist", "keys.json"));
