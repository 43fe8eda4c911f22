// The packed tarball installs into a project of its own without the network (no runtime
// dependencies) and runs a session through both `require` and `import`.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";

const PACKAGE_DIR = new URL("..", import.meta.url).pathname;
const NPM = process.env.QLP_NPM || "npm";

test("npm pack, install into a temporary project offline, run with require and with import", { timeout: 240000 }, () => {
  const work = fs.mkdtempSync(path.join(os.tmpdir(), "qlp-node-pack-"));
  try {
    const npm = (args, cwd) => execFileSync(NPM, args, { cwd, encoding: "utf8", env: { ...process.env, npm_config_cache: path.join(work, "cache") } });
    const tarball = path.join(work, npm(["pack", "--silent", "--pack-destination", work], PACKAGE_DIR).trim().split("\n").pop());
    const listing = execFileSync("tar", ["-tzf", tarball], { encoding: "utf8" }).split("\n").filter(Boolean).sort();
    const dist = ["attach", "decoder", "executable", "index", "keys", "platforms", "recording", "resolve", "screen", "signals", "terminal"]
      .flatMap((name) => [`package/dist/${name}.d.ts`, `package/dist/${name}.js`]);
    const esm = ["index", "keys", "recording", "screen"].map((name) => `package/dist/${name}.mjs`);
    assert.deepEqual(listing, ["package/README.md", ...dist, ...esm, "package/dist/keys.json", "package/package.json"].sort());

    const project = path.join(work, "app");
    fs.mkdirSync(project);
    fs.writeFileSync(path.join(project, "package.json"), JSON.stringify({ name: "app", version: "1.0.0", private: true }));
    npm(["install", "--offline", "--no-audit", "--no-fund", tarball], project);

    const session = (load) => `${load}
      const term = spawn("/bin/sh", ["-c", "echo \\"from $0\\"; exit 4", "sh"]);
      let out = "";
      term.onData((d) => (out += d));
      term.exited.then((e) => console.log(JSON.stringify({ out, ...e })));`;
    fs.writeFileSync(path.join(project, "cjs.cjs"), session('const { spawn } = require("quelt-local-pty");'));
    fs.writeFileSync(path.join(project, "esm.mjs"), session('import { spawn } from "quelt-local-pty";'));
    // The shipped types, as a strict TypeScript consumer of the ES module entry sees them.
    fs.writeFileSync(path.join(project, "typed.mts"), `import { spawn, type Terminal } from "quelt-local-pty";
      import { Screen } from "quelt-local-pty/screen";
      const term: Terminal = spawn("sh", ["-c", "exit 0"], { cols: 80, encoding: null, env: { A: undefined } });
      term.onData((data: string | Buffer) => data.length).dispose();
      term.press("Enter", "C-c");
      const screen = new Screen(term, { scrollback: 10 });
      const found: Promise<RegExpExecArray> = screen.waitFor(/\\$ $/, { timeout: 1 });
      const row: number = screen.cursor.row;
      void found, void row;
      const code: Promise<number> = term.exited.then((e) => e.exitCode);
      // @ts-expect-error: sizes are numbers
      spawn("sh", [], { rows: "24" });
      void code;\n`);
    const tsc = path.join(PACKAGE_DIR, "node_modules", "typescript", "bin", "tsc");
    execFileSync(process.execPath, [tsc, "--strict", "--noEmit", "--module", "nodenext", "--moduleResolution", "nodenext",
                                    "--types", "node", "--typeRoots", path.join(PACKAGE_DIR, "node_modules", "@types"), "typed.mts"],
                 { cwd: project, encoding: "utf8" });
    for (const script of ["cjs.cjs", "esm.mjs"]) {
      const out = execFileSync(process.execPath, [script], { cwd: project, encoding: "utf8" });
      assert.deepEqual(JSON.parse(out), { out: "from sh\r\n", exitCode: 4 }, script);
    }

    // The subpath entries, without the optional peer dependencies: keys and recordings work, and
    // a Screen names the package it needs.
    const extras = (load) => `${load}
      const term = spawn("/bin/sh", ["-c", "exit 0"]);
      let error = "";
      try { new Screen(term); } catch (e) { error = e.message; }
      const writer = new AsciicastWriter(process.stdout, { cols: 2, rows: 1 });
      writer.output(keyBytes("Up", { applicationCursor: true }) + error);
      writer.end();`;
    fs.writeFileSync(path.join(project, "extras.cjs"), extras(`const { spawn } = require("quelt-local-pty");
      const { Screen } = require("quelt-local-pty/screen");
      const { keyBytes } = require("quelt-local-pty/keys");
      const { AsciicastWriter } = require("quelt-local-pty/recording");`));
    fs.writeFileSync(path.join(project, "extras.mjs"), extras(`import { spawn } from "quelt-local-pty";
      import { Screen } from "quelt-local-pty/screen";
      import { keyBytes } from "quelt-local-pty/keys";
      import { AsciicastWriter } from "quelt-local-pty/recording";`));
    for (const script of ["extras.cjs", "extras.mjs"]) {
      const [header, event] = execFileSync(process.execPath, [script], { cwd: project, encoding: "utf8" }).trim().split("\n").map((l) => JSON.parse(l));
      assert.deepEqual(header, { version: 2, width: 2, height: 1, timestamp: header.timestamp }, script);
      assert.equal(event[1], "o");
      assert.equal(event[2], "\x1bOAScreen needs the package @xterm/headless, an optional peer dependency of quelt-local-pty that is not installed: npm install @xterm/headless", script);
    }
  } finally {
    fs.rmSync(work, { recursive: true, force: true });
  }
});
