// The linux-arm64 bridge, as its package ships it, runs under qemu's user-mode emulator. The
// program it starts is this machine's own /bin/sh: qemu hands exec to the kernel, so the bridge
// is arm64 code and its program native.
import { constants } from "node:os";
import { test } from "node:test";
import assert from "node:assert/strict";
import { createHash, randomBytes } from "node:crypto";
import { execFileSync } from "node:child_process";
import * as fs from "node:fs";
import * as path from "node:path";
import { spawn } from "../../dist/index.mjs";
import { LONG, needsRelease, tarball, workDir } from "./helpers.mjs";

function findQemu() {
  for (const dir of (process.env.PATH ?? "").split(":")) {
    const file = path.join(dir || ".", "qemu-aarch64-static");
    if (fs.existsSync(file)) return file;
  }
  return null;
}
const qemu = findQemu();
const options = needsRelease.skip ? needsRelease :
  qemu ? { timeout: 4 * LONG } : { skip: "qemu-aarch64-static not found: install Debian's qemu-user-static" };

/** The packaged arm64 bridge behind a launcher that runs it under qemu (no binfmt_misc needed). */
function emulatedBridge(t) {
  const dir = workDir(t, "arm64");
  execFileSync("tar", ["-xzf", tarball("linux-arm64"), "-C", dir]);
  const bridge = path.join(dir, "package", "bin", "quelt_local_pty");
  assert.match(execFileSync("file", ["-b", bridge], { encoding: "utf8" }), /ARM aarch64.*statically linked/);
  const launcher = path.join(dir, "bridge");
  fs.writeFileSync(launcher, `#!/bin/sh\nexec '${qemu}' '${bridge}'\n`, { mode: 0o755 });
  return { dir, launcher };
}

/** Starts `script` under the emulated bridge; resolves with the output bytes and the exit event. */
function session(launcher, script, { onData, ...spawnOptions } = {}) {
  const term = spawn("/bin/sh", ["-c", script], { bridgePath: launcher, encoding: null, ...spawnOptions });
  const chunks = [];
  term.onData((data) => {
    chunks.push(data);
    onData?.(term, Buffer.concat(chunks));
  });
  return { term, done: term.exited.then((e) => ({ out: Buffer.concat(chunks), ...e })) };
}

test("the arm64 bridge under qemu: output, resize, 1 MiB exactly, exit code, kill", options, async (t) => {
  const { dir, launcher } = emulatedBridge(t);

  await t.test("output, a resize seen by stty size, exit code 7", async () => {
    let typed = false;
    const { done } = session(launcher, "printf ready; read line; stty size; exit 7", {
      cols: 80, rows: 24,
      onData(term, out) {
        if (typed || !out.includes("ready")) return;
        typed = true;
        term.resize(132, 43);
        term.write("\r");
      },
    });
    assert.deepEqual(await done, { out: Buffer.from("ready\r\n43 132\r\n"), exitCode: 7 });
  });

  await t.test("1 MiB of random bytes arrives exactly", async () => {
    const data = randomBytes(1024 * 1024);
    const file = path.join(dir, "random.bin");
    fs.writeFileSync(file, data);
    // Raw output: the terminal passes every byte through unchanged.
    const { done } = session(launcher, `stty raw -echo; cat '${file}'`);
    const { out, exitCode } = await done;
    assert.equal(exitCode, 0);
    assert.equal(out.length, data.length);
    assert.equal(createHash("sha256").update(out).digest("hex"), createHash("sha256").update(data).digest("hex"));
  });

  await t.test("kill() hangs the program up and ends the session", async () => {
    let killed = false;
    const { done } = session(launcher, "printf started; exec sleep 600", {
      onData(term, out) {
        if (killed || !out.includes("started")) return;
        killed = true;
        term.kill();
      },
    });
    // A program ended by SIGHUP has exit code 1, and the bridge names the signal.
    assert.deepEqual(await done, { out: Buffer.from("started"), exitCode: 1, signal: constants.signals.SIGHUP });
  });
});
