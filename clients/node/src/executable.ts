// Why a bridge file that exists cannot run here. Spawning it would fail with a bare EACCES or
// ENOEXEC, or worse, a truncated executable would start and die of SIGBUS when it touches a page
// the file no longer holds; reading its headers first turns each into a sentence.

import * as fs from "node:fs";

// ELF e_machine numbers, by the name process.arch gives the same CPU.
const ELF_MACHINES: Record<number, string> = {
  3: "ia32", 8: "mips", 20: "ppc", 21: "ppc64", 22: "s390x", 40: "arm", 62: "x64", 183: "arm64",
  243: "riscv64", 258: "loong64",
};
const ELF_CLASS_64 = 2;
const ARCH_BITS: Record<string, number> = { ia32: 32, arm: 32, mips: 32, mipsel: 32, ppc: 32 };

// Mach-O CPU types (CPU_ARCH_ABI64 is 0x01000000).
const MACHO_CPUS: Record<number, string> = { 7: "ia32", 12: "arm", 0x01000007: "x64", 0x0100000c: "arm64" };
const MACHO_MAGIC_64 = 0xfeedfacf;
const MACHO_MAGIC_32 = 0xfeedface;
const MACHO_FAT_MAGIC = 0xcafebabe;
const LC_SEGMENT_64 = 0x19;
const LC_CODE_SIGNATURE = 0x1d;

/** Reads up to `length` bytes at `position`; fewer near the end of the file. */
function readAt(fd: number, position: number, length: number): Buffer {
  const buffer = Buffer.alloc(length);
  let done = 0;
  while (done < length) {
    const n = fs.readSync(fd, buffer, done, length - done, position + done);
    if (n === 0) break;
    done += n;
  }
  return buffer.subarray(0, done);
}

function truncated(kind: string, needed: number, size: number): string {
  return `it is truncated: its ${kind} headers describe ${needed} bytes, the file has ${size}`;
}

function wrongCpu(kind: string, cpu: string | undefined, number: number): string {
  const built = cpu ?? `an unknown CPU (${kind} machine ${number})`;
  return `it is built for ${built}, and this machine's CPU is ${process.arch}`;
}

function checkElf(fd: number, head: Buffer, size: number): string | null {
  if (process.platform === "darwin") return "it is a Linux (ELF) executable, and this machine runs macOS";
  const is64 = head[4] === ELF_CLASS_64;
  if (head.length < (is64 ? 64 : 52)) return truncated("ELF", is64 ? 64 : 52, size);
  const little = head[5] !== 2;
  const u16 = (b: Buffer, o: number) => (little ? b.readUInt16LE(o) : b.readUInt16BE(o));
  const u32 = (b: Buffer, o: number) => (little ? b.readUInt32LE(o) : b.readUInt32BE(o));
  const word = (b: Buffer, o: number) =>
    is64 ? Number(little ? b.readBigUInt64LE(o) : b.readBigUInt64BE(o)) : u32(b, o);
  const machine = u16(head, 18);
  const cpu = ELF_MACHINES[machine];
  if (cpu !== process.arch || (is64 ? 64 : 32) !== (ARCH_BITS[process.arch] ?? 64)) {
    return wrongCpu("ELF", cpu === undefined ? undefined : `${cpu} (${is64 ? 64 : 32}-bit)`, machine);
  }
  const phoff = word(head, is64 ? 32 : 28);
  const shoff = word(head, is64 ? 40 : 32);
  const phentsize = u16(head, is64 ? 54 : 42);
  const phnum = u16(head, is64 ? 56 : 44);
  const shentsize = u16(head, is64 ? 58 : 46);
  const shnum = u16(head, is64 ? 60 : 48);
  // The section table comes last in the file and each loaded segment names its own extent, so
  // a file cut anywhere fails one of these.
  let needed = Math.max(phoff + phnum * phentsize, shnum > 0 ? shoff + shnum * shentsize : 0);
  if (needed > size) return truncated("ELF", needed, size);
  const table = readAt(fd, phoff, phnum * phentsize);
  for (let i = 0; i < phnum; i++) {
    const entry = i * phentsize;
    const offset = word(table, entry + (is64 ? 8 : 4));
    const fileSize = word(table, entry + (is64 ? 32 : 16));
    needed = Math.max(needed, offset + fileSize);
  }
  return needed > size ? truncated("ELF", needed, size) : null;
}

function checkMachO(fd: number, head: Buffer, size: number, offset: number): string | null {
  if (process.platform !== "darwin") return "it is a macOS (Mach-O) executable, and this machine runs Linux";
  const magic = head.readUInt32LE(0);
  const cputype = head.readUInt32LE(4);
  if (MACHO_CPUS[cputype] !== process.arch || magic !== MACHO_MAGIC_64) {
    return wrongCpu("Mach-O", MACHO_CPUS[cputype], cputype);
  }
  const ncmds = head.readUInt32LE(16);
  const sizeofcmds = head.readUInt32LE(20);
  let needed = offset + 32 + sizeofcmds;
  if (needed > size) return truncated("Mach-O", needed, size);
  const commands = readAt(fd, offset + 32, sizeofcmds);
  let at = 0;
  for (let i = 0; i < ncmds && at + 8 <= commands.length; i++) {
    const cmd = commands.readUInt32LE(at);
    const cmdsize = commands.readUInt32LE(at + 4);
    if (cmd === LC_SEGMENT_64 && at + 56 <= commands.length) {
      const fileoff = Number(commands.readBigUInt64LE(at + 40));
      const filesize = Number(commands.readBigUInt64LE(at + 48));
      needed = Math.max(needed, offset + fileoff + filesize);
    } else if (cmd === LC_CODE_SIGNATURE && at + 16 <= commands.length) {
      needed = Math.max(needed, offset + commands.readUInt32LE(at + 8) + commands.readUInt32LE(at + 12));
    }
    if (cmdsize < 8) break;
    at += cmdsize;
  }
  return needed > size ? truncated("Mach-O", needed, size) : null;
}

function checkFat(fd: number, head: Buffer, size: number): string | null {
  const count = head.readUInt32BE(4);
  const table = readAt(fd, 8, count * 20);
  const cpus: string[] = [];
  for (let i = 0; i < count && (i + 1) * 20 <= table.length; i++) {
    const cputype = table.readUInt32BE(i * 20);
    const offset = table.readUInt32BE(i * 20 + 8);
    cpus.push(MACHO_CPUS[cputype] ?? String(cputype));
    if (MACHO_CPUS[cputype] === process.arch) {
      return checkMachO(fd, readAt(fd, offset, 32), size, offset);
    }
  }
  if (process.platform !== "darwin") return "it is a macOS (Mach-O) executable, and this machine runs Linux";
  return `it is built for ${cpus.join(" and ")}, and this machine's CPU is ${process.arch}`;
}

function inspect(file: string, stat: fs.Stats): string | null {
  let fd: number;
  try {
    fd = fs.openSync(file, "r");
  } catch (error) {
    return `it cannot be read (${(error as NodeJS.ErrnoException).code ?? String(error)})`;
  }
  try {
    const head = readAt(fd, 0, 64);
    if (head.length >= 2 && head[0] === 0x23 && head[1] === 0x21) return null; // "#!"
    if (head.length >= 4 && head.readUInt32BE(0) === 0x7f454c46) return checkElf(fd, head, stat.size);
    if (head.length >= 8 && head.readUInt32BE(0) === MACHO_FAT_MAGIC) return checkFat(fd, head, stat.size);
    if (head.length >= 4 && [MACHO_MAGIC_64, MACHO_MAGIC_32].includes(head.readUInt32LE(0))) {
      return head.length < 32 ? truncated("Mach-O", 32, stat.size) : checkMachO(fd, head, stat.size, 0);
    }
    if (stat.size === 0) return "it is empty";
    return "it is not an executable this system can run (not ELF, not Mach-O, no #! line)";
  } finally {
    fs.closeSync(fd);
  }
}

// A bridge is checked each time a terminal starts; its headers are read again only when the file
// has changed.
const verdicts = new Map<string, string | null>();

/**
 * Why `file` cannot be run as a program on this machine, or null when it can (as far as its
 * headers tell). `missing` is returned for a path that does not exist.
 */
export function whyNotRunnable(file: string): string | null | "missing" {
  let stat: fs.Stats;
  try {
    stat = fs.statSync(file);
  } catch {
    return "missing";
  }
  if (stat.isDirectory()) return "it is a directory";
  if (!stat.isFile()) return "it is not a regular file";
  try {
    fs.accessSync(file, fs.constants.X_OK);
  } catch {
    const mode = (stat.mode & 0o777).toString(8).padStart(3, "0");
    return `it is not executable (mode ${mode}; it needs the execute bit, as chmod +x gives)`;
  }
  const key = `${file}\0${stat.dev}:${stat.ino}:${stat.size}:${stat.mtimeMs}`;
  if (!verdicts.has(key)) {
    if (verdicts.size > 64) verdicts.clear();
    verdicts.set(key, inspect(file, stat));
  }
  return verdicts.get(key) as string | null;
}
