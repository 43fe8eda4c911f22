// Shared by the tests of a release's npm packages: where the tarballs are, and a machine as a
// user has it, with no checkout around, no bridge on PATH and no QUELT_LOCAL_PTY.
import { execFileSync } from "node:child_process";
import * as fs from "node:fs";
import * as os from "node:os";
import * as path from "node:path";
import { fileURLToPath } from "node:url";

const CLIENT_DIR = fileURLToPath(new URL("../../", import.meta.url));
export const VERSION = JSON.parse(fs.readFileSync(path.join(CLIENT_DIR, "package.json"), "utf8")).version;
export const RELEASE_DIR = process.env.QLP_RELEASE_DIR ?? path.resolve(CLIENT_DIR, "..", "..", "build-release");
export const NPM_DIR = path.join(RELEASE_DIR, "npm");
export const NPM = process.env.QLP_NPM || "npm";
const multiplier = Number(process.env.QLP_TEST_TIMEOUT_MULTIPLIER ?? "1") || 1;
export const LONG = 60000 * multiplier;

/** The test option that skips, with the reason, when the release has not been packed. */
export const needsRelease = fs.existsSync(NPM_DIR) ? {} : {
  skip: `no release packages in ${NPM_DIR}: run packaging/release.sh ${RELEASE_DIR} (or set QLP_RELEASE_DIR)`,
};

/** The tarball of the client (no argument) or of a platform package such as "linux-x64". */
export function tarball(platform) {
  return path.join(NPM_DIR, platform ? `quelt-local-pty-${platform}-${VERSION}.tgz` : `quelt-local-pty-${VERSION}.tgz`);
}

/** A temporary directory outside any checkout, removed when the test ends. */
export function workDir(t, name) {
  const dir = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), `qlp-${name}-`)));
  for (let up = dir; up !== path.dirname(up); up = path.dirname(up)) {
    if (fs.existsSync(path.join(up, "CMakeLists.txt"))) throw new Error(`${dir} lies inside a checkout (${up})`);
  }
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

/**
 * The environment of a user who installed only the packages: QUELT_LOCAL_PTY unset, and PATH
 * holding the system's directories and this node, none of which has a quelt_local_pty.
 */
export function userEnv(extra = {}) {
  const env = { ...process.env, ...extra };
  delete env.QUELT_LOCAL_PTY;
  const dirs = [path.dirname(process.execPath), "/usr/local/bin", "/usr/bin", "/bin"];
  env.PATH = [...new Set(dirs)].filter((dir) => !fs.existsSync(path.join(dir, "quelt_local_pty"))).join(":");
  return env;
}

export function npm(args, cwd, env) {
  return execFileSync(NPM, [...args, "--offline", "--no-audit", "--no-fund"],
                      { cwd, encoding: "utf8", env: { ...env, npm_config_cache: path.join(cwd, ".npm-cache") } });
}

/** An empty project with the given tarballs installed from their files, no registry reached. */
export function installedProject(t, name, tarballs) {
  const project = workDir(t, name);
  fs.writeFileSync(path.join(project, "package.json"), JSON.stringify({ name: "app", version: "1.0.0", private: true }));
  npm(["install", ...tarballs], project, userEnv());
  return project;
}

/** The entries of a tarball: { name: { mode, size } }. */
export function tarEntries(file) {
  const entries = {};
  for (const line of execFileSync("tar", ["-tvzf", file], { encoding: "utf8" }).split("\n").filter(Boolean)) {
    const fields = line.trim().split(/\s+/);
    entries[fields[fields.length - 1]] = { mode: fields[0], size: Number(fields[2]) };
  }
  return entries;
}

export function tarFile(file, entry) {
  return execFileSync("tar", ["-xzOf", file, entry], { encoding: "utf8" });
}
