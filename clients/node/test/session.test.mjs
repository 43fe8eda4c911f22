// The session's life through the client: exit codes, sizes, arguments, errors, late calls.
import { test } from "node:test";
import assert from "node:assert/strict";
import { spawn, waitFor, plainEnv } from "./helpers.mjs";

/** Runs a session to its end; its output as one string and its exit code. */
async function run(file, args, options) {
  const term = spawn(file, args, options);
  let output = "";
  term.onData((data) => (output += data));
  const { exitCode } = await term.exited;
  return { output, exitCode };
}

test("exit codes: a program's status, 1 for a signal, and the ready frame first", async () => {
  const term = spawn("/bin/sh", ["-c", "exit 7"]);
  let readyBeforeExit = false;
  term.ready.then(() => (readyBeforeExit = true));
  term.onExit(() => assert.ok(readyBeforeExit, "onExit before ready"));
  assert.deepEqual(await term.exited, { exitCode: 7 });
  assert.equal((await run("/bin/sh", ["-c", "kill -TERM $$"])).exitCode, 1);
});

test("arguments, environment and working directory reach the program", async () => {
  const { output, exitCode } = await run("/bin/sh", ["-c", 'printf "%s|" "$1" "$QLP_X" "$PWD" "${QLP_GONE-unset}"', "sh", "a b"], {
    cwd: "/tmp",
    env: { ...plainEnv(), QLP_X: "é x", QLP_GONE: undefined },
  });
  assert.equal(exitCode, 0);
  assert.equal(output, "a b|é x|/tmp|unset|");
});

test("stty size after every resize, and the size properties", async () => {
  const term = spawn("/bin/sh", ["-c", "while read x; do stty size; done"], { cols: 100, rows: 30 });
  let output = "";
  term.onData((data) => (output += data));
  await term.ready;
  for (const [cols, rows] of [[100, 30], [80, 20], [1, 1], [0, 0], [65535, 300], [132, 50]]) {
    if (cols !== 100) term.resize(cols, rows);
    assert.equal(term.cols, cols);
    assert.equal(term.rows, rows);
    output = "";
    term.write("\n");
    await waitFor(() => output.includes(`${rows} ${cols}\r\n`), `stty size ${rows} ${cols}, got ${JSON.stringify(output)}`);
  }
  term.kill();
  assert.equal((await term.exited).exitCode, 1);
});

test("bad arguments throw TypeError at once", () => {
  const bad = [
    [() => spawn(42), /file must be a non-empty string, got 42/],
    [() => spawn("/bin/sh", [1]), /args must be an array of strings/],
    [() => spawn("/bin/sh", [], { cols: 80.5 }), /cols must be an integer from 0 to 65535, got 80.5/],
    [() => spawn("/bin/sh", [], { rows: 65536 }), /rows must be an integer from 0 to 65535/],
    [() => spawn("/bin/sh", [], { rows: -1 }), /rows must be an integer/],
    [() => spawn("/bin/sh", [], { cols: "80" }), /cols must be an integer.*"80"/],
    [() => spawn("/bin/sh", [], { encoding: "latin2" }), /encoding must be an encoding Buffer knows \("utf8", "latin1", ...\) or null, got "latin2"/],
    [() => spawn("/bin/sh", "-c exit"), /args must be an array of strings: one string of arguments is a Windows form/],
    [() => spawn("/bin/sh", [], { uid: 0 }), /uid and gid are not supported/],
    [() => spawn("/bin/sh", [], { gid: 0 }), /uid and gid are not supported/],
    [() => spawn("/bin/sh", [], { name: 5 }), /name must be a non-empty string, got 5/],
    [() => spawn("/bin/sh", [], { killTimeout: -1 }), /killTimeout must be a number of milliseconds, got -1/],
    [() => spawn("/bin/sh", [], { env: { A: 1 } }), /env.A must be a string/],
  ];
  for (const [call, message] of bad) assert.throws(call, (e) => e instanceof TypeError && message.test(e.message));
});

test("a missing bridge throws at once, naming every place looked at", () => {
  assert.throws(() => spawn("/bin/sh", [], { bridgePath: "/nonexistent/bridge" }),
                /bridge not found: looked at \/nonexistent\/bridge \(the bridgePath option\)/);
  const saved = { QUELT_LOCAL_PTY: process.env.QUELT_LOCAL_PTY, PATH: process.env.PATH };
  try {
    delete process.env.QUELT_LOCAL_PTY;
    process.env.PATH = "/nonexistent/a:/nonexistent/b";
    // This checkout's build/ may hold a bridge: then that is what is found.
    let error;
    try {
      spawn("/bin/sh", ["-c", "exit 0"]).kill();
    } catch (e) {
      error = e;
    }
    if (error) {
      assert.match(error.message, /looked at \$QUELT_LOCAL_PTY \(not set\), \/nonexistent\/a\/quelt_local_pty, \/nonexistent\/b\/quelt_local_pty, \/.*\/build\/quelt_local_pty \(this checkout's build\)$/);
    }
    process.env.QUELT_LOCAL_PTY = "/nonexistent/env-bridge";
    assert.throws(() => spawn("/bin/sh"), /looked at \/nonexistent\/env-bridge \(\$QUELT_LOCAL_PTY\)/);
  } finally {
    Object.assign(process.env, saved);
  }
});

test("the bridge's error message rejects ready and exited and reaches onError, unhandled or not", async () => {
  const unhandled = [];
  const onUnhandled = (reason) => unhandled.push(reason);
  process.on("unhandledRejection", onUnhandled);
  try {
    const term = spawn("/nope");
    const errors = [];
    term.onError((e) => errors.push(e.message));
    // A bridge with the errors feature adds the cause.
    const error = await term.ready.then(() => null, (e) => e);
    assert.match(error.message, /^failed to spawn shell \/nope(: Unable to spawn \/nope because .*)?$/);
    await assert.rejects(term.exited, error);
    assert.deepEqual(errors, [error.message]);
    term.write("late");
    term.resize(10, 10);
    term.kill();

    // Nobody listens or awaits here.
    const ignored = spawn("/nope");
    await new Promise((resolve) => ignored.exited.catch(resolve));
    await new Promise((resolve) => setTimeout(resolve, 50));
    assert.deepEqual(unhandled, []);
  } finally {
    process.off("unhandledRejection", onUnhandled);
  }
});

test("a bridge that dies is an error naming its signal; late calls are dropped", async () => {
  const term = spawn("/bin/sh", ["-c", "echo $PPID; exec sleep 100"], { encoding: null });
  let output = Buffer.alloc(0);
  term.onData((data) => {
    assert.ok(Buffer.isBuffer(data));
    output = Buffer.concat([output, data]);
  });
  const bridgePid = Number(await waitFor(() => /^(\d+)\r\n/.exec(output.toString())?.[1], "the bridge's pid"));
  const exits = [];
  term.onExit((e) => exits.push(e));
  const errors = [];
  term.onError((e) => errors.push(e.message));
  process.kill(bridgePid, "SIGKILL");
  await assert.rejects(term.exited, { message: "bridge ended unexpectedly: SIGKILL" });
  assert.deepEqual(errors, ["bridge ended unexpectedly: SIGKILL"]);
  // Exactly one exit event after the error, so that code cleaning up on it does not wait.
  assert.deepEqual(exits, [{ exitCode: 1 }]);
  term.write("a key pressed after the end");
  term.resize(80, 24);
  term.kill();
  await assert.doesNotReject(term.ready);
});

test("writes after the program's exit are dropped without an exception", async () => {
  const term = spawn("/bin/sh", ["-c", "exit 3"]);
  assert.equal((await term.exited).exitCode, 3);
  term.write("x");
  term.write(new Uint8Array([1, 2, 3]));
  term.resize(10, 10);
  term.kill();
  assert.throws(() => term.write(5), TypeError);
  // Written and dropped: give a stray EPIPE the chance to surface.
  await new Promise((resolve) => setTimeout(resolve, 50));
});

test("what code written for in-process terminal libraries passes and calls", async () => {
  // name sets TERM; any Buffer encoding decodes the output; on()/off() beside onData/onExit.
  for (const encoding of ["latin1", "hex", null]) {
    const term = spawn("/bin/sh", ["-c", 'stty -opost; read line; printf "%s|%s|" "$line" "$TERM"'], { name: "xterm-mono", encoding, env: plainEnv({ TERM: "dumb" }) });
    const chunks = [];
    const dropped = [];
    const drop = (d) => dropped.push(d);
    term.on("data", (d) => chunks.push(d)).on("data", drop).off("data", drop);
    const exit = new Promise((resolve) => term.on("exit", (...args) => resolve(args)));
    term.resize(100, 30, { width: 800, height: 600 });
    term.clear();
    term.write(Buffer.from("é\r"));
    assert.deepEqual(await exit, [0, undefined]);
    // After the echo of the typed line, the program's own output, decoded as asked.
    const text = encoding === null ? Buffer.concat(chunks).toString("latin1") : chunks.join("");
    const tail = Buffer.from("é|xterm-mono|").toString(encoding ?? "latin1");
    assert.ok(text.endsWith(tail), `${encoding}: ${JSON.stringify(text)}`);
    if (encoding === null) assert.ok(chunks.every((c) => Buffer.isBuffer(c)));
    assert.deepEqual(dropped, []);
    assert.equal(term.cols, 100);
  }
  const term = spawn("/nope");
  const errors = [];
  term.on("error", (e) => errors.push(e.message));
  await term.exited.catch(() => {});
  assert.equal(errors.length, 1);
  assert.throws(() => term.on("close", () => {}), /event must be "data", "exit" or "error", got "close"/);
});
