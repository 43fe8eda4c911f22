// The frame decoder against the table both clients run (clients/shared/frame_decoder_cases.json),
// read for read as the table gives them, and cut once at every byte of the whole stream.
import { test } from "node:test";
import assert from "node:assert/strict";
import * as fs from "node:fs";
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
const { FrameDecoder } = require("../dist/decoder.js");
const table = JSON.parse(fs.readFileSync(new URL("../../shared/frame_decoder_cases.json", import.meta.url), "utf8"));

const bytes = (chunk) => (typeof chunk === "string" ? Buffer.from(chunk, "utf8") : Buffer.from(chunk.hex, "hex"));

function reads(testCase) {
  const chunks = testCase.chunks.map(bytes);
  if (testCase.read_size === undefined) return chunks;
  const all = Buffer.concat(chunks);
  const result = [];
  for (let i = 0; i < all.length; i += testCase.read_size) result.push(all.subarray(i, i + testCase.read_size));
  return result;
}

/** The events as the table writes them: absent and null members left out, data as bytes. */
function canonical(event) {
  const result = {};
  for (const [key, value] of Object.entries(event)) if (value !== undefined && value !== null) result[key] = value;
  if (result.type === "data") result.data = Buffer.from(result.data);
  return result;
}

/** Decodes `chunks`; with `reuse`, copies each data event at once, as the contract asks. */
function decode(chunks, reuse) {
  const decoder = new FrameDecoder({ reuseBuffers: reuse });
  const events = [];
  for (const chunk of chunks) events.push(...decoder.feed(chunk).map(canonical));
  events.push(...decoder.end().map(canonical));
  return events;
}

/** Joins adjacent data events: what a cut between reads may change. */
function joined(events) {
  const result = [];
  for (const event of events) {
    const last = result[result.length - 1];
    if (event.type === "data" && last?.type === "data") last.data = Buffer.concat([last.data, event.data]);
    else result.push({ ...event });
  }
  return result;
}

const expected = (testCase) => testCase.events.map((e) => canonical(e.type === "data" ? { ...e, data: Buffer.from(e.data, "utf8") } : e));

for (const testCase of table.cases) {
  test(testCase.name, () => {
    for (const reuse of [false, true]) {
      assert.deepStrictEqual(decode(reads(testCase), reuse), expected(testCase), `reuseBuffers: ${reuse}`);
    }
    const all = Buffer.concat(testCase.chunks.map(bytes));
    const want = joined(expected(testCase));
    for (let cut = 0; cut <= all.length; cut++) {
      const got = joined(decode([all.subarray(0, cut), all.subarray(cut)], cut % 2 === 0));
      assert.deepStrictEqual(got, want, `cut at byte ${cut}`);
    }
  });
}

test("a data event from a reused buffer stays intact beside the other events of its read", () => {
  const decoder = new FrameDecoder({ reuseBuffers: true });
  const line = (text) => `{"type":"data","data":"${Buffer.from(text).toString("base64")}"}\n`;
  const events = decoder.feed(Buffer.from(line("first") + '{"type":"ready"}\n' + line("second") + "\n" + line("x".repeat(5000))));
  assert.deepStrictEqual(events.map((e) => (e.type === "data" ? e.data.toString() : e.type)),
                         ["first", "ready", "second" + "x".repeat(5000)]);
});
