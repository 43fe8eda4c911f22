// Pseudo-terminals for Node.js, Electron, Bun and Deno through the quelt_local_pty bridge process.
// No native code, so the package runs unchanged in every runtime version.

export { spawn } from "./terminal";
export type { Disposable, ExitEvent, ForegroundProcess, SpawnOptions, Terminal, TerminalError, TerminalSize } from "./terminal";
export { resolveBridge } from "./resolve";
export type { ResolveBridgeOptions } from "./resolve";
export { PREBUILT_PLATFORMS } from "./platforms";
export type { PrebuiltPlatform } from "./platforms";
