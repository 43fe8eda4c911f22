// Which bridge binary a terminal runs. One function decides, so that spawn() and an application
// that wants to show the binary it runs get the same answer.

import * as fs from "node:fs";
import * as path from "node:path";
import { PREBUILT_PLATFORMS, prebuiltPlatform } from "./platforms";
import { whyNotRunnable } from "./executable";

export const BRIDGE_NAME = "quelt_local_pty";

export interface ResolveBridgeOptions {
  /** The bridge binary to use; when given, nothing else is looked at. */
  bridgePath?: string;
}

/**
 * Electron serves files inside app.asar from an archive that the operating system cannot execute
 * from; packagers unpack binaries to app.asar.unpacked beside it. A path already there stays.
 */
export function unpackedAsarPath(file: string): string {
  return file.replace(/([\\/])app\.asar([\\/])/, "$1app.asar.unpacked$2");
}

function cannotRun(file: string, source: string, reason: string): Error {
  return new Error(`${BRIDGE_NAME} bridge ${file} (${source}) cannot run: ${reason}`);
}

/** A path the application or the user chose is final: running another bridge would hide their mistake. */
function chosen(file: string, source: string): string {
  const resolved = path.resolve(unpackedAsarPath(file));
  const reason = whyNotRunnable(resolved);
  if (reason === "missing") throw new Error(`${BRIDGE_NAME} bridge not found: looked at ${file} (${source})`);
  if (reason !== null) throw cannotRun(resolved, source, reason);
  return resolved;
}

/** The platform package's directory, or null when it is not installed where this client can see it. */
function platformPackageDir(packageName: string): string | null {
  try {
    // Resolved from this file, as require() from the client itself would be: the package sits
    // beside the client or in a node_modules above it, wherever the application lives.
    return path.dirname(require.resolve(`${packageName}/package.json`));
  } catch {
    return null;
  }
}

/**
 * The client runs from its own source folder (clients/node of a checkout), not from an installed
 * copy: only then is the checkout's build/ this client's bridge. An installed package has no src/.
 */
function checkoutBuild(): string | null {
  const packageDir = path.resolve(__dirname, "..");
  const root = path.resolve(packageDir, "..", "..");
  const fromSource = fs.existsSync(path.join(packageDir, "src", "index.ts")) &&
    fs.existsSync(path.join(packageDir, "tsconfig.json")) && fs.existsSync(path.join(root, "CMakeLists.txt"));
  return fromSource ? path.join(root, "build", BRIDGE_NAME) : null;
}

/**
 * The bridge binary a terminal would run, as an absolute path. In this order: the `bridgePath`
 * option; $QUELT_LOCAL_PTY; the package @quelt-local-pty/PLATFORM-ARCH installed with this client;
 * quelt_local_pty on PATH; the checkout's build/ when this client runs from its source folder.
 * Throws an Error naming every place looked at, or the file found and why it cannot run.
 */
export function resolveBridge(options?: ResolveBridgeOptions): string {
  const bridgePath = options?.bridgePath;
  if (bridgePath !== undefined) {
    if (typeof bridgePath !== "string" || bridgePath === "") {
      throw new TypeError(`bridgePath must be a non-empty string, got ${typeof bridgePath}`);
    }
    return chosen(bridgePath, "the bridgePath option");
  }
  const fromEnv = process.env.QUELT_LOCAL_PTY;
  if (fromEnv) return chosen(fromEnv, "$QUELT_LOCAL_PTY");

  const looked: string[] = ["$QUELT_LOCAL_PTY (not set)"];
  const platform = prebuiltPlatform(process.platform, process.arch);
  if (platform !== undefined) {
    const dir = platformPackageDir(platform.packageName);
    if (dir !== null) {
      const file = unpackedAsarPath(path.join(dir, "bin", BRIDGE_NAME));
      const reason = whyNotRunnable(file);
      // An installed package whose binary is broken is reported rather than passed over: a
      // bridge found further on would hide a damaged install.
      if (reason === "missing") looked.push(`${file} (${platform.packageName}, which lacks its binary)`);
      else if (reason !== null) throw cannotRun(file, platform.packageName, reason);
      else return file;
    }
  }

  const seen = new Set<string>();
  for (const dir of (process.env.PATH ?? "").split(path.delimiter)) {
    if (dir === "") continue;
    const candidate = path.resolve(dir, BRIDGE_NAME);
    if (seen.has(candidate)) continue;
    seen.add(candidate);
    const reason = whyNotRunnable(candidate);
    if (reason === null) return candidate;
    looked.push(reason === "missing" ? candidate : `${candidate} (${reason})`);
  }

  const inCheckout = checkoutBuild();
  if (inCheckout !== null) {
    const file = unpackedAsarPath(inCheckout);
    const reason = whyNotRunnable(file);
    if (reason === null) return file;
    looked.push(reason === "missing" ? `${file} (this checkout's build)` : `${file} (${reason})`);
  }

  const places = `looked at ${looked.join(", ")}`;
  if (platform === undefined) {
    const supported = PREBUILT_PLATFORMS.map((p) => `${p.os}-${p.cpu}`).join(", ");
    throw new Error(`${BRIDGE_NAME} bridge not found: there is no prebuilt bridge for ` +
      `${process.platform}-${process.arch} (there is one for ${supported}); build it from source ` +
      `and give its path with QUELT_LOCAL_PTY or the bridgePath option. ${places}`);
  }
  // A checkout never installs the platform package: its bridge is the one it builds.
  if (inCheckout === null && platformPackageDir(platform.packageName) === null) {
    throw new Error(`${BRIDGE_NAME} bridge not found: the package ${platform.packageName}, which ` +
      `holds the bridge for ${process.platform}-${process.arch}, is not installed. It is an ` +
      `optional dependency of quelt-local-pty, usually missing because the packages were ` +
      `installed with --omit=optional or --no-optional, or because node_modules was copied ` +
      `from a machine with another OS or CPU; install again on this machine without those ` +
      `options. Also ${places}`);
  }
  throw new Error(`${BRIDGE_NAME} bridge not found: ${places}`);
}
