// Key names for the agent's terminal_type, as the clients' press() reads them: one table for
// every client, clients/shared/keys.json. The Node client is to export its reading of it; until
// an installed client does, the checkout's table is read directly.
import { readFileSync } from "node:fs";

let table = null;

async function loadTable() {
  try {
    const keys = await import("quelt-local-pty/keys");
    if (typeof keys.keyBytes === "function") return { bytes: keys.keyBytes };
  } catch {
    // A client without the export: read the table ourselves.
  }
  try {
    const json = JSON.parse(readFileSync(new URL("../../../clients/shared/keys.json", import.meta.url), "utf8"));
    return { bytes: (name, application) => fromTable(json, name, application) };
  } catch {
    return null;
  }
}

export async function keyTable() {
  table ??= await loadTable();
  return table;
}

// The bytes for `name`, or null for a name the table does not know. `application`: the terminal
// is in application cursor-key mode.
function fromTable(json, name, application) {
  if (Object.hasOwn(json.named, name)) return json.named[name];
  if (Object.hasOwn(json.cursor, name)) return json.cursor[name][application ? 1 : 0];
  if ([...name].length === 1) return name;
  if (name.startsWith("M-") && name.length > 2) {
    const rest = fromTable(json, name.slice(2), application);
    return rest === null ? null : `\x1b${rest}`;
  }
  if (name.startsWith("C-M-") && name.length > 4) {
    const rest = fromTable(json, `C-${name.slice(4)}`, application);
    return rest === null ? null : `\x1b${rest}`;
  }
  if (name.startsWith("C-")) {
    const base = name.slice(2);
    if (base === "Space") return "\x00";
    if (base === "?") return "\x7f";
    if (base.length === 1 && /[@A-Z[\\\]^_]/.test(base.toUpperCase())) return String.fromCharCode(base.toUpperCase().charCodeAt(0) & 0x1f);
  }
  return null;
}
