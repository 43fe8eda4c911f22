// The one table of prebuilt bridges. The resolver reads it to pick the package for this machine,
// and the release packaging reads it (from dist/) to generate one package per row and the main
// package's optionalDependencies, so a platform added here is added everywhere.

export interface PrebuiltPlatform {
  /** The npm package holding bin/quelt_local_pty for this platform. */
  readonly packageName: string;
  /** process.platform, which is also the package's `os`. */
  readonly os: NodeJS.Platform;
  /** process.arch, which is also the package's `cpu`. */
  readonly cpu: string;
}

export const PREBUILT_PLATFORMS: readonly PrebuiltPlatform[] = [
  { packageName: "@quelt-local-pty/linux-x64", os: "linux", cpu: "x64" },
  { packageName: "@quelt-local-pty/linux-arm64", os: "linux", cpu: "arm64" },
  { packageName: "@quelt-local-pty/darwin-x64", os: "darwin", cpu: "x64" },
  { packageName: "@quelt-local-pty/darwin-arm64", os: "darwin", cpu: "arm64" },
];

/** The row for an OS and CPU as Node names them, or undefined where nothing is prebuilt. */
export function prebuiltPlatform(os: string, cpu: string): PrebuiltPlatform | undefined {
  return PREBUILT_PLATFORMS.find((p) => p.os === os && p.cpu === cpu);
}
