"""Key names for `press`: the table is keys.json, a copy of clients/shared/keys.json that both
clients read (a test keeps the two equal), so that a name means the same bytes everywhere."""

import json
import os
from typing import Dict, Iterable, List, Optional, Tuple

_TABLE_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "keys.json")

with open(_TABLE_PATH, encoding="utf-8") as _file:
    _TABLE = json.load(_file)

NAMED: Dict[str, str] = _TABLE["named"]
# name -> (normal mode, application mode)
CURSOR: Dict[str, Tuple[str, str]] = {name: (pair[0], pair[1])
                                      for name, pair in _TABLE["cursor"].items()}
# The characters that C- turns into control codes: @ A-Z [ \ ] ^ _ give 0 to 31, ? gives DEL.
_CONTROLLABLE = "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_"

# The cursor-key mode's bit in pyte's set of modes: private modes are shifted by 5.
DECCKM = 1 << 5


def _one(name: str, application: bool) -> Optional[str]:
    """The text that `name` sends, or None when it names no key."""
    rest, meta, control = name, False, False
    # Modifiers in either order, each at most once; "C-" or "M-" alone names nothing.
    while len(rest) > 2 and rest[1] == "-" and rest[0] in "CM":
        if rest[0] == "M" and not meta:
            meta = True
        elif rest[0] == "C" and not control:
            control = True
        else:
            return None
        rest = rest[2:]
    if control:
        if rest == "Space":
            text = "\x00"
        elif rest == "?":
            text = "\x7f"
        elif len(rest) == 1 and rest.upper() in _CONTROLLABLE:
            text = chr(ord(rest.upper()) - 64)
        else:
            return None
    elif rest in NAMED:
        text = NAMED[rest]
    elif rest in CURSOR:
        text = CURSOR[rest][1 if application else 0]
    elif len(rest) == 1:
        text = rest
    else:
        return None
    return "\x1b" + text if meta else text


def key_bytes(names: Iterable[str], application: bool = False) -> bytes:
    """The bytes that pressing `names` in turn sends; `application` is the cursor-key mode.
    Raises ValueError naming every unknown name, before anything is sent."""
    texts: List[str] = []
    unknown: List[str] = []
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"key names are str, got {type(name).__name__}")
        text = _one(name, application)
        if text is None:
            unknown.append(name)
        else:
            texts.append(text)
    if unknown:
        raise ValueError(f"unknown key name{'s' if len(unknown) > 1 else ''}: "
                         f"{', '.join(repr(name) for name in unknown)} (known: single characters, "
                         f"{', '.join([*NAMED, *CURSOR])}, with C- and M- prefixes)")
    return "".join(texts).encode("utf-8")


def application_cursor(term: object) -> bool:
    """Whether the program asked for application cursor keys, as far as an attached Screen saw."""
    screen = getattr(term, "_screen", None)
    return screen is not None and screen._application_cursor()
