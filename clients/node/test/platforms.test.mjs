// The client's table of prebuilt platforms is the release's (packaging/platforms.json), row for
// row: a package the release packs but the client does not look for, or the other way round,
// breaks installs on that platform only.
import { test } from "node:test";
import assert from "node:assert/strict";
import * as fs from "node:fs";
import { PREBUILT_PLATFORMS } from "../dist/index.mjs";

test("PREBUILT_PLATFORMS equals packaging/platforms.json", () => {
  const table = JSON.parse(fs.readFileSync(new URL("../../../packaging/platforms.json", import.meta.url), "utf8"));
  assert.deepEqual(
    PREBUILT_PLATFORMS.map((p) => ({ ...p })),
    table.platforms.map(({ node }) => ({ packageName: node.package, os: node.os, cpu: node.cpu })),
  );
  for (const { name, node } of table.platforms) assert.equal(name, `${node.os}-${node.cpu}`);
});
