"""The client's platform table is the release's (packaging/platforms.json), row for row: the
wheels are built from that file, and the lookup's advice names them from this one."""

import json
import os

from quelt_local_pty._platforms import PLATFORMS

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "packaging",
                     "platforms.json")


def test_platforms_equal_the_release_table():
    with open(TABLE, encoding="utf-8") as f:
        rows = json.load(f)["platforms"]
    assert PLATFORMS == {r["name"]: (r["python"]["system"], r["python"]["machine"],
                                     r["python"]["wheel_tag"]) for r in rows}
