// Writes the npm packages of a release into OUT_DIR/npm/ (see pack.sh). The platform packages
// are generated from one template and the release's table of platforms (packaging/platforms.json),
// which the client's own table must equal, so their names, `os`, `cpu` and version cannot drift
// from what the client looks for.
import { execFileSync } from "node:child_process";
import * as fs from "node:fs";
import { createRequire } from "node:module";
import * as path from "node:path";
import { fileURLToPath } from "node:url";

const require = createRequire(import.meta.url);
const clientDir = fileURLToPath(new URL("../../clients/node/", import.meta.url));
const table = JSON.parse(fs.readFileSync(new URL("../platforms.json", import.meta.url), "utf8"));
const PLATFORMS = table.platforms.map(({ name, node }) => ({ name, packageName: node.package, os: node.os, cpu: node.cpu }));
const { PREBUILT_PLATFORMS: clientPlatforms } = require(path.join(clientDir, "dist", "platforms.js"));
const client = JSON.parse(fs.readFileSync(path.join(clientDir, "package.json"), "utf8"));
const BRIDGE = "quelt_local_pty";
// Node's names for what a person reads.
const OS_NAMES = { linux: "Linux", darwin: "macOS" };
const CPU_NAMES = { x64: "x86-64", arm64: "arm64" };

const out = path.resolve(process.argv[2] ?? "");
if (process.argv.length !== 3) {
  console.error("usage: node pack.mjs OUT_DIR");
  process.exit(2);
}
const npmDir = path.join(out, "npm");
const stage = fs.mkdtempSync(path.join(out, ".npm-stage-"));

function fail(message) {
  fs.rmSync(stage, { recursive: true, force: true });
  console.error(`pack.mjs: ${message}`);
  process.exit(1);
}

function writeJson(file, value) {
  fs.writeFileSync(file, `${JSON.stringify(value, null, 2)}\n`);
}

/** Packs `dir` into OUT_DIR/npm and returns npm's summary of the tarball. */
function pack(dir) {
  const json = execFileSync("npm", ["pack", "--json", "--pack-destination", npmDir, dir],
                            { encoding: "utf8", stdio: ["ignore", "pipe", "inherit"] });
  return JSON.parse(json)[0];
}

function platformManifest({ packageName, os, cpu }) {
  return {
    name: packageName,
    version: client.version,
    description: `The ${BRIDGE} bridge for ${OS_NAMES[os] ?? os} on ${CPU_NAMES[cpu] ?? cpu}, used by ${client.name}`,
    ...(client.license ? { license: client.license } : {}),
    os: [os],
    cpu: [cpu],
    files: [`bin/${BRIDGE}`],
    // Yarn's Plug'n'Play keeps packages zipped unless told otherwise; an executable must be a file.
    preferUnplugged: true,
    // A scoped package is published private unless it says otherwise.
    publishConfig: { access: "public" },
  };
}

function platformReadme({ packageName, os, cpu }) {
  const linking = os === "linux" ? "a static executable, for any Linux distribution" : "an executable";
  return `# ${packageName}\n` +
    `The \`${BRIDGE}\` bridge for ${OS_NAMES[os] ?? os} on ${CPU_NAMES[cpu] ?? cpu}, ${linking}.\n` +
    `Installed by \`${client.name}\` as an optional dependency, for that platform only; not meant to be used on its own.\n`;
}

// quelt-web names the client as a peer at one exact version: a release that moved one and not the
// other would install a quelt-web that npm refuses or pairs with an old client.
const web = JSON.parse(fs.readFileSync(new URL("../../tools/web/package.json", import.meta.url), "utf8"));
if (web.peerDependencies?.[client.name] !== client.version) {
  fail(`tools/web/package.json wants ${client.name} ${web.peerDependencies?.[client.name]}, the client is ${client.version}`);
}

// The published client finds its bridge by its own table: a row missing there, or different,
// would install a package that nothing looks for.
const rows = (list) => JSON.stringify(list.map(({ packageName, os, cpu }) => ({ packageName, os, cpu })));
if (rows(clientPlatforms) !== rows(PLATFORMS)) {
  fail(`clients/node/src/platforms.ts differs from packaging/platforms.json: ${rows(clientPlatforms)} against ${rows(PLATFORMS)}`);
}

fs.rmSync(npmDir, { recursive: true, force: true });
fs.mkdirSync(npmDir, { recursive: true });
const packed = [];
for (const platform of PLATFORMS) {
  const binary = path.join(out, platform.name, BRIDGE);
  if (!fs.existsSync(binary)) fail(`${binary} is missing: build the release bridges first (packaging/release.sh)`);
  const dir = path.join(stage, platform.name);
  fs.mkdirSync(path.join(dir, "bin"), { recursive: true });
  fs.copyFileSync(binary, path.join(dir, "bin", BRIDGE));
  fs.chmodSync(path.join(dir, "bin", BRIDGE), 0o755);
  writeJson(path.join(dir, "package.json"), platformManifest(platform));
  fs.writeFileSync(path.join(dir, "README.md"), platformReadme(platform));
  packed.push(pack(dir));
}

// The client as published: the files it ships, and a manifest that depends on every platform
// package at exactly its own version. The checkout's own package.json leaves them out, since
// `npm ci` there would fail on packages that exist only once a release is published. Nothing
// in it runs at install time.
const clientStage = path.join(stage, "client");
const files = JSON.parse(execFileSync("npm", ["pack", "--dry-run", "--json"], { cwd: clientDir, encoding: "utf8" }))[0].files;
for (const { path: file } of files) {
  if (file === "package.json") continue;
  fs.mkdirSync(path.dirname(path.join(clientStage, file)), { recursive: true });
  fs.copyFileSync(path.join(clientDir, file), path.join(clientStage, file));
}
const { scripts, devDependencies, ...published } = client;
void scripts, void devDependencies;
published.optionalDependencies = Object.fromEntries(PLATFORMS.map((p) => [p.packageName, client.version]));
writeJson(path.join(clientStage, "package.json"), published);
packed.push(pack(clientStage));

fs.rmSync(stage, { recursive: true, force: true });
const kib = (bytes) => `${(bytes / 1024).toFixed(0)} KiB`;
for (const tarball of packed) {
  console.log(`${tarball.filename.padEnd(40)} ${kib(tarball.size).padStart(8)} packed, ${kib(tarball.unpackedSize).padStart(8)} unpacked`);
}
