// What a page may send, and the limits on it.
//
// Browser to server, text messages only:
//   {"type":"input","data":STRING}            keys and pastes, sent to the program as UTF-8
//   {"type":"resize","cols":INT,"rows":INT}    the size the page's window has room for
//   {"type":"ack","bytes":INT}                 output bytes the page's terminal has processed
//   {"type":"program"}                         asks for the foreground program's name (a visible
//                                              page asks now and then, for its title)
// Server to browser: the program's output as binary messages, and text messages
//   {"type":"attached","session":ID,"cols":INT,"rows":INT,"keep":SECONDS,"agent":BOOL,"recording":BOOL}
//       the page's terminal is to be reset to this size; the next binary message redraws the
//       screen as it is now, and live output follows. `agent`: an agent opened the session;
//       `recording`: its recording can be downloaded at recording/ID
//   {"type":"size","cols":INT,"rows":INT}      the session's size changed at this point of the output
//   {"type":"program","name":STRING|null}      the foreground program, null when the bridge cannot tell
//   {"type":"exit","exitCode":INT} or {"type":"error","message":STRING}, each followed by the close.

export const MESSAGE_LIMIT = 64 * 1024;
// A message between the limit and this is read whole and refused with a reason; past this the
// WebSocket library refuses it from the frame header alone, before buffering it, with the
// status 1009 and no text.
export const HARD_MESSAGE_LIMIT = 1024 * 1024;

const MAX_SIZE = 65535;
const isSize = (n) => Number.isInteger(n) && n >= 1 && n <= MAX_SIZE;
const hasOnlyKeys = (message, keys) =>
  Object.keys(message).length === keys.length && keys.every((key) => Object.hasOwn(message, key));

// A close reason travels in one control frame and may hold at most 123 bytes.
export function closeReason(text) {
  let reason = text;
  while (Buffer.byteLength(reason) > 123) reason = reason.slice(0, -2) + "…";
  return reason;
}

// Returns the decoded message, or a string saying why it is refused.
export function decodeMessage(data, isBinary) {
  if (isBinary) return "binary messages are not accepted";
  if (data.length > MESSAGE_LIMIT) return `message of ${data.length} bytes exceeds the limit of ${MESSAGE_LIMIT}`;
  let message;
  try {
    message = JSON.parse(data.toString("utf8"));
  } catch {
    return "message is not JSON";
  }
  if (message === null || typeof message !== "object" || Array.isArray(message)) return "message is not a JSON object";
  switch (message.type) {
    case "input":
      if (hasOnlyKeys(message, ["type", "data"]) && typeof message.data === "string") return message;
      return 'input message must be {"type":"input","data":STRING}';
    case "resize":
      if (hasOnlyKeys(message, ["type", "cols", "rows"]) && isSize(message.cols) && isSize(message.rows)) return message;
      return `resize message must be {"type":"resize","cols":1..${MAX_SIZE},"rows":1..${MAX_SIZE}}`;
    case "ack":
      if (hasOnlyKeys(message, ["type", "bytes"]) && Number.isSafeInteger(message.bytes) && message.bytes > 0) return message;
      return 'ack message must be {"type":"ack","bytes":POSITIVE INTEGER}';
    case "program":
      if (hasOnlyKeys(message, ["type"])) return message;
      return 'program message must be {"type":"program"}';
    default:
      return "unknown message type";
  }
}
