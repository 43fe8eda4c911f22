"""The frame decoder against the table both clients run (clients/shared/frame_decoder_cases.json),
read for read as the table gives them, and cut once at every byte of the whole stream."""

import json
import os

import pytest

from quelt_local_pty import _frames

TABLE = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "frame_decoder_cases.json")
# The cases of the opt-in frames' members run once this decoder carries them. (Not skipped:
# CTest would report the whole file as skipped.)
HAS_FEATURES = "pid" in _frames.Ready.__slots__
with open(TABLE, encoding="utf-8") as table_file:
    CASES = [c for c in json.load(table_file)["cases"] if HAS_FEATURES or not c.get("features")]


def _bytes(chunk):
    return chunk.encode("utf-8") if isinstance(chunk, str) else bytes.fromhex(chunk["hex"])


def _reads(case):
    chunks = [_bytes(c) for c in case["chunks"]]
    size = case.get("read_size")
    if size is None:
        return chunks
    whole = b"".join(chunks)
    return [whole[i:i + size] for i in range(0, len(whole), size)]


def _canonical(event):
    """The event as the table writes it: members that are None left out, data as bytes."""
    result = {"type": type(event).__name__.lower()}
    for name in type(event).__slots__:
        value = getattr(event, name)
        if value is not None:
            result[name] = list(value) if isinstance(value, tuple) else value
    return result


def _expected(case):
    return [dict(e, data=e["data"].encode("utf-8")) if e["type"] == "data" else e for e in case["events"]]


def _decode(chunks):
    decoder = _frames.FrameDecoder()
    events = []
    for chunk in chunks:
        events += decoder.feed(chunk)
    events += decoder.end()
    return [_canonical(e) for e in events]


def _joined(events):
    """Adjacent data events joined: what a cut between reads may change."""
    result = []
    for event in events:
        if event["type"] == "data" and result and result[-1]["type"] == "data":
            result[-1] = dict(result[-1], data=result[-1]["data"] + event["data"])
        else:
            result.append(event)
    return result


@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_case(case):
    assert _decode(_reads(case)) == _expected(case)
    whole = b"".join(_bytes(c) for c in case["chunks"])
    want = _joined(_expected(case))
    for cut in range(len(whole) + 1):
        assert _joined(_decode([whole[:cut], whole[cut:]])) == want, f"cut at byte {cut}"
