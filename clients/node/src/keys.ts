// Key names to the bytes a terminal sends for them. The table is clients/shared/keys.json, which
// the Python client reads too; the build copies it beside this file, so both clients answer
// every name alike and a key is added in one place.

interface KeyTable {
  named: Record<string, string>;
  /** Each cursor key's bytes in the normal cursor-key mode, then in application mode. */
  cursor: Record<string, [string, string]>;
}

const table: KeyTable = require("./keys.json");

export interface KeyOptions {
  /**
   * The program has switched the terminal's cursor keys to application mode (ESC [ ? 1 h), as
   * full-screen programs do: the arrows, Home and End then send ESC O x instead of ESC [ x.
   */
  applicationCursor?: boolean;
}

function unknown(name: string): Error {
  return new Error(`unknown key name ${JSON.stringify(name)}: expected a name such as Enter, Tab, ` +
                   `S-Tab, Escape, Up, PageDown, F5, C-c or M-x, or a single character`);
}

/** The bytes of one key, as a string: ASCII, or the character itself for a single typed character. */
export function keyBytes(name: string, options: KeyOptions = {}): string {
  if (typeof name !== "string") throw new TypeError(`a key name must be a string, got ${typeof name}`);
  const bytes = lookup(name, options.applicationCursor === true);
  if (bytes === null) throw unknown(name);
  return bytes;
}

/** The bytes of several keys pressed one after the other; no bytes when any name is unknown. */
export function keysBytes(names: readonly string[], options: KeyOptions = {}): string {
  return names.map((name) => keyBytes(name, options)).join("");
}

function lookup(name: string, application: boolean): string | null {
  if (Object.prototype.hasOwnProperty.call(table.named, name)) return table.named[name];
  if (Object.prototype.hasOwnProperty.call(table.cursor, name)) return table.cursor[name][application ? 1 : 0];
  // One character sends itself, whatever its length in UTF-16.
  if (name !== "" && [...name].length === 1) return name;
  if (name.length > 2 && name.startsWith("M-")) {
    const rest = lookup(name.slice(2), application);
    return rest === null ? null : "\x1b" + rest;
  }
  if (name.length > 2 && name.startsWith("C-")) return control(name.slice(2), application);
  return null;
}

/** The control code of `rest`, which may itself carry the meta prefix (C-M-x). */
function control(rest: string, application: boolean): string | null {
  if (rest === "Space") return "\x00";
  if (rest === "?") return "\x7f";
  if (rest.length > 2 && rest.startsWith("M-")) {
    const inner = control(rest.slice(2), application);
    return inner === null ? null : "\x1b" + inner;
  }
  if (rest.length !== 1) return null;
  let code = rest.charCodeAt(0);
  if (code >= 0x61 && code <= 0x7a) code -= 0x20;
  // @ A-Z [ \ ] ^ _ : the codes 0x40 to 0x5f, whose control codes are 0x00 to 0x1f.
  if (code < 0x40 || code > 0x5f) return null;
  return String.fromCharCode(code - 0x40);
}
