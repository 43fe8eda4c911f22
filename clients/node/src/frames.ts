// The bridge's data frames as bytes: the terminal's output is almost all data frames, so they are
// recognised and measured on Buffers, without JSON.parse or a string per line.

// The exact prefix and suffix of every data frame the bridge writes ("type" is always first).
export const DATA_PREFIX = Buffer.from('{"type":"data","data":"', "latin1");
export const DATA_SUFFIX_LENGTH = 2; // `"}`
export const NEWLINE = 0x0a;

export function isDataLine(chunk: Buffer, start: number, end: number): boolean {
  if (end - start < DATA_PREFIX.length + DATA_SUFFIX_LENGTH) return false;
  if (chunk[end - 1] !== 0x7d || chunk[end - 2] !== 0x22) return false;
  return chunk.compare(DATA_PREFIX, 0, DATA_PREFIX.length, start, start + DATA_PREFIX.length) === 0;
}

/** The number of bytes the padded Base64 text chunk[from, to) decodes to. */
export function base64Length(chunk: Buffer, from: number, to: number): number {
  const length = to - from;
  let bytes = (length >> 2) * 3;
  if (length >= 2 && chunk[to - 1] === 0x3d) bytes -= chunk[to - 2] === 0x3d ? 2 : 1;
  return bytes;
}
