// How an installed client finds its bridge, and what it says when it cannot: the packed client in
// a project of its own, outside any checkout, each case in a fresh Node process.
import { test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";

const PACKAGE_DIR = new URL("..", import.meta.url).pathname;
const NPM = process.env.QLP_NPM || "npm";
const BRIDGE = process.env.QUELT_LOCAL_PTY;

// Runs resolveBridge(options) in the project with `env` as the whole environment, after making
// process.platform and process.arch what `machine` says; returns the path or the error's message.
const PROBE = `
  const [platform, arch, options] = JSON.parse(process.argv[2]);
  if (platform) Object.defineProperty(process, "platform", { value: platform });
  if (arch) Object.defineProperty(process, "arch", { value: arch });
  try {
    console.log(JSON.stringify(require("quelt-local-pty").resolveBridge(options)));
  } catch (error) {
    console.log(JSON.stringify({ error: error.message }));
  }`;

test("the lookup in an installed client: its order, Electron's asar, and every way it fails", { timeout: 240000 }, (t) => {
  const work = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), "qlp-lookup-")));
  t.after(() => fs.rmSync(work, { recursive: true, force: true }));
  const tarball = path.join(work, execFileSync(NPM, ["pack", "--silent", "--pack-destination", work], { cwd: PACKAGE_DIR, encoding: "utf8" }).trim().split("\n").pop());
  const project = path.join(work, "app");
  fs.mkdirSync(project);
  fs.writeFileSync(path.join(project, "package.json"), JSON.stringify({ name: "app", version: "1.0.0", private: true }));
  execFileSync(NPM, ["install", "--offline", "--no-audit", "--no-fund", tarball], { cwd: project, env: { ...process.env, npm_config_cache: path.join(work, "cache") } });
  fs.writeFileSync(path.join(project, "probe.cjs"), PROBE);
  const resolve = (env, options, [platform, arch] = []) =>
    JSON.parse(execFileSync(process.execPath, ["probe.cjs", JSON.stringify([platform, arch, options])], { cwd: project, encoding: "utf8", env }));

  // Bridges as they turn up in the field.
  const file = (name, bytes, mode = 0o755) => {
    const target = path.join(work, name);
    fs.mkdirSync(path.dirname(target), { recursive: true });
    fs.writeFileSync(target, bytes, { mode });
    return target;
  };
  const good = fs.readFileSync(BRIDGE);
  const onPath = file("bin/quelt_local_pty", good);
  const noExec = file("noexec/quelt_local_pty", good, 0o644);
  const arm64 = Buffer.from(good);
  arm64.writeUInt16LE(183, 18); // e_machine: AArch64
  const wrongCpu = file("arm64/quelt_local_pty", arm64);
  const cut = file("cut/quelt_local_pty", good.subarray(0, good.length >> 1));
  const unpacked = file("resources/app.asar.unpacked/node_modules/bin/quelt_local_pty", good);
  const inAsar = unpacked.replace("app.asar.unpacked", "app.asar");

  const missingA = path.join(work, "missing-a");
  const missingB = path.join(work, "missing-b");
  const nothing = { PATH: [missingA, missingA, missingB].join(":") };
  const also = `looked at $QUELT_LOCAL_PTY (not set), ${missingA}/quelt_local_pty, ${missingB}/quelt_local_pty`;
  const cases = [
    ["the bridgePath option comes first", { PATH: path.dirname(onPath), QUELT_LOCAL_PTY: BRIDGE }, { bridgePath: unpacked }, unpacked],
    ["then $QUELT_LOCAL_PTY", { PATH: path.dirname(onPath), QUELT_LOCAL_PTY: unpacked }, undefined, unpacked],
    ["then PATH, with no platform package installed", { PATH: `${missingA}:${path.dirname(onPath)}` }, undefined, onPath],
    ["a path inside app.asar runs from app.asar.unpacked", {}, { bridgePath: inAsar }, unpacked],
    ["a path already unpacked stays", {}, { bridgePath: unpacked }, unpacked],
    ["a platform package not installed: its name, why, then each place looked at once", nothing, undefined, {
      error: "quelt_local_pty bridge not found: the package @quelt-local-pty/linux-x64, which holds the bridge for " +
        "linux-x64, is not installed. It is an optional dependency of quelt-local-pty, usually missing because the " +
        "packages were installed with --omit=optional or --no-optional, or because node_modules was copied from a " +
        `machine with another OS or CPU; install again on this machine without those options. Also ${also}`,
    }, ["linux", "x64"]],
    ["a platform with no prebuilt bridge", nothing, undefined, {
      error: "quelt_local_pty bridge not found: there is no prebuilt bridge for freebsd-x64 (there is one for " +
        "linux-x64, linux-arm64, darwin-x64, darwin-arm64); build it from source and give its path with " +
        `QUELT_LOCAL_PTY or the bridgePath option. ${also}`,
    }, ["freebsd", "x64"]],
    ["no execute bit", {}, { bridgePath: noExec }, {
      error: `quelt_local_pty bridge ${noExec} (the bridgePath option) cannot run: it is not executable (mode 644; ` +
        "it needs the execute bit, as chmod +x gives)",
    }],
    ["another CPU", { QUELT_LOCAL_PTY: wrongCpu }, undefined, {
      error: `quelt_local_pty bridge ${wrongCpu} ($QUELT_LOCAL_PTY) cannot run: it is built for arm64 (64-bit), ` +
        "and this machine's CPU is x64",
    }],
    ["a truncated file", {}, { bridgePath: cut }, {
      error: `quelt_local_pty bridge ${cut} (the bridgePath option) cannot run: it is truncated: its ELF headers ` +
        `describe ${good.length} bytes, the file has ${good.length >> 1}`,
    }],
  ];
  for (const [name, env, options, expected, machine] of cases) {
    // Only where this machine's own bridge can be the subject.
    if (!machine && (process.platform !== "linux" || process.arch !== "x64")) continue;
    assert.deepEqual(resolve(env, options, machine), expected, name);
  }
});
