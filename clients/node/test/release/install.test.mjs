// The release's npm packages as a user meets them: an empty project installs the client and the
// linux-x64 package from their tarballs, and a terminal runs through require, import, Bun and Deno
// with nothing else on the machine pointing at a bridge.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import * as fs from "node:fs";
import * as path from "node:path";
import { LONG, VERSION, installedProject, needsRelease, tarEntries, tarFile, tarball, userEnv, workDir } from "./helpers.mjs";

const PLATFORMS = [["linux", "x64"], ["linux", "arm64"], ["darwin", "x64"], ["darwin", "arm64"]];
const RUNTIMES = process.env.QLP_JS_RUNTIMES;

test("the platform packages hold only the executable bridge, the client depends on them at its own version", needsRelease, () => {
  for (const [os, cpu] of PLATFORMS) {
    const file = tarball(`${os}-${cpu}`);
    const entries = tarEntries(file);
    assert.deepEqual(Object.keys(entries).sort(), ["package/README.md", "package/bin/quelt_local_pty", "package/package.json"], file);
    assert.equal(entries["package/bin/quelt_local_pty"].mode, "-rwxr-xr-x", file);
    assert.ok(entries["package/bin/quelt_local_pty"].size <= 2 * 1024 * 1024, `${file}: the bridge is larger than 2 MiB`);
    assert.equal(tarFile(file, "package/README.md").trimEnd().split("\n").length, 3, file);
    const manifest = JSON.parse(tarFile(file, "package/package.json"));
    assert.deepEqual({ name: manifest.name, version: manifest.version, os: manifest.os, cpu: manifest.cpu },
                     { name: `@quelt-local-pty/${os}-${cpu}`, version: VERSION, os: [os], cpu: [cpu] }, file);
    for (const key of ["libc", "scripts", "dependencies", "optionalDependencies", "peerDependencies", "bin"]) {
      assert.equal(manifest[key], undefined, `${file} has ${key}`);
    }
  }
  const client = JSON.parse(tarFile(tarball(), "package/package.json"));
  assert.deepEqual(client.optionalDependencies,
                   Object.fromEntries(PLATFORMS.map(([os, cpu]) => [`@quelt-local-pty/${os}-${cpu}`, VERSION])));
  assert.equal(client.scripts, undefined);
  assert.equal(client.dependencies, undefined);
});

// Waits for "hi" before resizing and typing, so that the echo of the Return cannot come first;
// `stty size` then shows the size the resize set. Prints what the terminal showed.
const SESSION = `
  const term = spawn("/bin/sh", ["-c", "printf hi; read line; stty size; exit 3"], { cols: 80, rows: 24 });
  let out = "";
  let typed = false;
  term.onData((data) => {
    out += data;
    if (!typed && out.includes("hi")) {
      typed = true;
      term.resize(100, 30);
      term.write("\\r");
    }
  });
  term.exited.then((e) => console.log(JSON.stringify({ bridge: resolveBridge(), out, ...e })),
                   (error) => { console.error(error.message); process.exitCode = 1; });`;
const EXPECTED = { out: "hi\r\n30 100\r\n", exitCode: 3 };

function writeScripts(project) {
  fs.writeFileSync(path.join(project, "cjs.cjs"), `const { spawn, resolveBridge } = require("quelt-local-pty");\n${SESSION}\n`);
  fs.writeFileSync(path.join(project, "esm.mjs"), `import { spawn, resolveBridge } from "quelt-local-pty";\n${SESSION}\n`);
}

function run(command, args, project, env = userEnv()) {
  const out = execFileSync(command, args, { cwd: project, encoding: "utf8", env, timeout: LONG });
  return JSON.parse(out.trim().split("\n").pop());
}

test("an empty project installs the client and linux-x64 offline and runs a terminal in Node, Bun and Deno", { ...needsRelease, timeout: 4 * LONG }, async (t) => {
  const project = installedProject(t, "install", [tarball(), tarball("linux-x64")]);
  writeScripts(project);
  const bridge = path.join(project, "node_modules", "@quelt-local-pty", "linux-x64", "bin", "quelt_local_pty");
  const expected = { bridge, ...EXPECTED };

  await t.test("Node, require", () => assert.deepEqual(run(process.execPath, ["cjs.cjs"], project), expected));
  await t.test("Node, import", () => assert.deepEqual(run(process.execPath, ["esm.mjs"], project), expected));
  await t.test("the platform package comes before a bridge on PATH", () => {
    const elsewhere = workDir(t, "path-bridge");
    fs.copyFileSync(bridge, path.join(elsewhere, "quelt_local_pty"));
    fs.chmodSync(path.join(elsewhere, "quelt_local_pty"), 0o755);
    const env = userEnv();
    env.PATH = `${elsewhere}:${env.PATH}`;
    const found = execFileSync(process.execPath, ["-p", 'require("quelt-local-pty").resolveBridge()'], { cwd: project, encoding: "utf8", env });
    assert.equal(found.trim(), bridge);
  });

  // Their executables straight from the platform packages, so that nothing rests on the install
  // scripts of the bun and deno packages having run.
  const runtime = (name) => path.join(RUNTIMES ?? "", "node_modules",
                                      name === "bun" ? "@oven/bun-linux-x64/bin/bun" : "@deno/linux-x64-glibc/deno");
  const noRuntimes = RUNTIMES && fs.existsSync(runtime("bun")) && fs.existsSync(runtime("deno")) ? false :
    `Bun and Deno are not installed in ${RUNTIMES ?? "(QLP_JS_RUNTIMES unset)"}: configure the build again once the release is packed`;
  // Their caches go to the test's own folder, not the user's home.
  const home = workDir(t, "runtime-home");
  const env = userEnv({ HOME: home, DENO_DIR: path.join(home, "deno"), DENO_NO_UPDATE_CHECK: "1", BUN_RUNTIME_TRANSPILER_CACHE_PATH: "0" });
  await t.test("Bun", { skip: noRuntimes }, () => assert.deepEqual(run(runtime("bun"), ["esm.mjs"], project, env), expected));
  await t.test("Deno", { skip: noRuntimes }, () => {
    assert.deepEqual(run(runtime("deno"), ["run", "--allow-all", "--cached-only", "esm.mjs"], project, env), expected);
  });
});
