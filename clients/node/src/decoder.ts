// The bridge's standard output as events, with no I/O: bytes in, events out. BridgeTerminal feeds
// it whatever a read returned and acts on the events; framing, Base64 and partial lines are
// handled here alone, and clients/shared/frame_decoder_cases.json pins what it does (the Python
// client's decoder runs the same table).

/** Terminal output: the decoded bytes of one or more consecutive data frames. */
export interface DataFrame {
  type: "data";
  data: Buffer;
}

/** The program runs. A bridge that accepted features names them and gives the program's pid. */
export interface ReadyFrame {
  type: "ready";
  pid?: number;
  features?: string[];
}

/** The program ended with `code` (1 when a signal ended it); more output may follow. */
export interface ExitFrame {
  type: "exit";
  code: number;
  /** The name of the signal that ended the program ("SIGKILL"), when the bridge says so. */
  signal?: string;
}

/** The session failed; nothing follows. `message` is the bridge's text, unchanged. */
export interface ErrorFrame {
  type: "error";
  message: string;
  /** The wrapped error's own message, when the bridge says so. */
  cause?: string;
  /** The symbolic name of the operating-system error behind the failure ("ENOENT"). */
  code?: string;
}

/** The terminal's foreground process, answering a query; a member that cannot be known is null. */
export interface ProcessFrame {
  type: "process";
  pid: number | null;
  name: string | null;
  cwd: string | null;
}

export type FrameEvent = DataFrame | ReadyFrame | ExitFrame | ErrorFrame | ProcessFrame;

export interface FrameDecoderOptions {
  /**
   * Decode data into one buffer reused from feed to feed: a data event's bytes are then valid
   * only until the next feed() or end(). For a caller that copies them at once (a text decoder).
   */
  reuseBuffers?: boolean;
}

// The bridge writes compact JSON with "type" first, so nearly every line of its output, a data
// frame, is recognised and measured on the Buffer, without JSON.parse or a string per line.
// The exact prefix and suffix of every data frame the bridge writes ("type" is always first).
const DATA_PREFIX = Buffer.from('{"type":"data","data":"', "latin1");
const DATA_SUFFIX_LENGTH = 2; // `"}`
const NEWLINE = 0x0a;

function isDataLine(chunk: Buffer, start: number, end: number): boolean {
  if (end - start < DATA_PREFIX.length + DATA_SUFFIX_LENGTH) return false;
  if (chunk[end - 1] !== 0x7d || chunk[end - 2] !== 0x22) return false;
  return chunk.compare(DATA_PREFIX, 0, DATA_PREFIX.length, start, start + DATA_PREFIX.length) === 0;
}

/** The number of bytes the padded Base64 text chunk[from, to) decodes to. */
function base64Length(chunk: Buffer, from: number, to: number): number {
  const length = to - from;
  let bytes = (length >> 2) * 3;
  if (length >= 2 && chunk[to - 1] === 0x3d) bytes -= chunk[to - 2] === 0x3d ? 2 : 1;
  return bytes;
}

/** How much of a line that is not a frame its error message shows, in characters. */
const PREVIEW_LENGTH = 200;

/** Splits the bridge's standard output into lines and lines into events. */
export class FrameDecoder {
  private readonly reuse: boolean;
  /** The start of a line whose line feed has not arrived yet. */
  private partial: Buffer | null = null;
  /** The run of data frames not yet handed out: their buffers and Base64 ranges in them. */
  private readonly runBuffers: Buffer[] = [];
  private readonly runRanges: number[] = [];
  private runLength = 0;
  private scratch = Buffer.alloc(0);
  /** How much of `scratch` the events of the current feed hold. */
  private scratchUsed = 0;

  constructor(options: FrameDecoderOptions = {}) {
    this.reuse = options.reuseBuffers === true;
  }

  /** The events that `chunk` completes; consecutive data frames come as one data event. */
  feed(chunk: Buffer): FrameEvent[] {
    const events: FrameEvent[] = [];
    this.scratchUsed = 0;
    let start = 0;
    if (this.partial !== null) {
      const newline = chunk.indexOf(NEWLINE);
      if (newline < 0) {
        this.partial = Buffer.concat([this.partial, chunk]);
        return events;
      }
      const line = Buffer.concat([this.partial, chunk.subarray(0, newline)]);
      this.partial = null;
      this.decodeLine(line, 0, line.length, events);
      start = newline + 1;
    }
    const last = chunk.lastIndexOf(NEWLINE);
    let position = start;
    while (position <= last) {
      const end = chunk.indexOf(NEWLINE, position);
      this.decodeLine(chunk, position, end, events);
      position = end + 1;
    }
    if (position < chunk.length) this.partial = chunk.subarray(position);
    this.flushRun(events);
    return events;
  }

  /**
   * The output has ended: the events of a last line without its line feed, decoded like any
   * other (a bridge that died while writing it leaves such a line).
   */
  end(): FrameEvent[] {
    const events: FrameEvent[] = [];
    this.scratchUsed = 0;
    if (this.partial !== null) {
      const line = this.partial;
      this.partial = null;
      this.decodeLine(line, 0, line.length, events);
      this.flushRun(events);
    }
    return events;
  }

  /** Decodes the line buffer[start, end), its line feed left out. */
  private decodeLine(buffer: Buffer, start: number, end: number, events: FrameEvent[]): void {
    // Nearly every line is a data frame in the bridge's exact bytes: no JSON.parse, no string.
    if (isDataLine(buffer, start, end)) {
      const from = start + DATA_PREFIX.length;
      const to = end - DATA_SUFFIX_LENGTH;
      this.runBuffers.push(buffer);
      this.runRanges.push(from, to);
      this.runLength += base64Length(buffer, from, to);
      return;
    }
    if (isBlank(buffer, start, end)) return;
    const event = decodeFrame(buffer.toString("utf8", start, end));
    // Lines that carry nothing for the client do not cut a run of data in two.
    if (event === null) return;
    if (event.type === "data") {
      this.runBuffers.push(event.data);
      this.runRanges.push(-1, -1);
      this.runLength += event.data.length;
      return;
    }
    this.flushRun(events);
    events.push(event);
  }

  /** Decodes the run of data frames into one buffer, sized exactly, as one event. */
  private flushRun(events: FrameEvent[]): void {
    const buffers = this.runBuffers;
    if (buffers.length === 0) return;
    const ranges = this.runRanges;
    const target = this.target(this.runLength);
    let length = 0;
    for (let i = 0; i < buffers.length; i++) {
      const from = ranges[2 * i];
      if (from < 0) {
        length += buffers[i].copy(target, length);
      } else {
        length += target.write(buffers[i].toString("latin1", from, ranges[2 * i + 1]), length, "base64");
      }
    }
    buffers.length = 0;
    ranges.length = 0;
    this.runLength = 0;
    if (length > 0) events.push({ type: "data", data: target.subarray(0, length) });
  }

  private target(length: number): Buffer {
    if (!this.reuse) return Buffer.allocUnsafe(length);
    if (this.scratch.length - this.scratchUsed < length) {
      // Earlier events of this feed still hold the start of the scratch buffer.
      if (this.scratchUsed > 0) return Buffer.allocUnsafe(length);
      this.scratch = Buffer.allocUnsafe(Math.max(length, 2 * this.scratch.length));
    }
    const target = this.scratch.subarray(this.scratchUsed, this.scratchUsed + length);
    this.scratchUsed += length;
    return target;
  }
}

/** A line of JSON whitespace only (space, tab, carriage return) or none. */
function isBlank(buffer: Buffer, start: number, end: number): boolean {
  for (let i = start; i < end; i++) {
    const byte = buffer[i];
    if (byte !== 0x20 && byte !== 0x09 && byte !== 0x0d) return false;
  }
  return true;
}

function notAFrame(text: string): ErrorFrame {
  // Characters, not UTF-16 units, so that the Python client cuts the same text.
  const preview = Array.from(text.slice(0, 2 * PREVIEW_LENGTH)).slice(0, PREVIEW_LENGTH).join("");
  return { type: "error", message: `bridge sent a line that is not a frame: ${preview}` };
}

const isInteger = (value: unknown): value is number => Number.isInteger(value);
const orNull = <T>(value: unknown, check: (v: unknown) => v is T): T | null => (check(value) ? value : null);
const isString = (value: unknown): value is string => typeof value === "string";

/** The event of one frame that is not in the data frame's exact bytes; null when it carries none. */
export function decodeFrame(text: string): FrameEvent | null {
  let frame: unknown;
  try {
    frame = JSON.parse(text);
  } catch {
    return notAFrame(text);
  }
  if (frame === null || typeof frame !== "object" || Array.isArray(frame)) return notAFrame(text);
  const f = frame as Record<string, unknown>;
  switch (f.type) {
    case "data":
      return typeof f.data === "string" ? { type: "data", data: Buffer.from(f.data, "base64") } : null;
    case "ready": {
      const event: ReadyFrame = { type: "ready" };
      if (isInteger(f.pid)) event.pid = f.pid;
      if (Array.isArray(f.features)) event.features = f.features.filter(isString);
      return event;
    }
    case "exit": {
      const event: ExitFrame = { type: "exit", code: isInteger(f.code) ? f.code : 1 };
      if (isString(f.signal)) event.signal = f.signal;
      return event;
    }
    case "error": {
      const event: ErrorFrame = { type: "error", message: isString(f.message) ? f.message : "bridge error" };
      if (isString(f.cause)) event.cause = f.cause;
      if (isString(f.code)) event.code = f.code;
      return event;
    }
    case "process":
      return { type: "process", pid: orNull(f.pid, isInteger), name: orNull(f.name, isString), cwd: orNull(f.cwd, isString) };
    default:
      // Frame types added later are not this client's business.
      return null;
  }
}
