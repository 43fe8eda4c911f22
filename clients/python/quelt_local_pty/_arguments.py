"""`spawn`'s arguments checked where the mistake was made, not later as an error frame."""

import os
from typing import List, Mapping, Optional, Tuple


def check_spawn_arguments(file: object, args: object, cols: object, rows: object, cwd: object,
                          env: object) -> Tuple[str, List[str], Optional[str], Mapping[str, str]]:
    """`spawn`'s arguments checked, so that a mistake raises where it was made, not later as
    an error frame; returns them in the form the bridge needs."""
    if isinstance(file, os.PathLike):
        file = os.fspath(file)
    if not isinstance(file, str) or file == "":
        raise TypeError(f"file must be a non-empty str, got {file!r}")
    if isinstance(args, (str, bytes)):
        raise TypeError(f"args must be a sequence of str, not a single {type(args).__name__}: "
                        f"{args!r}")
    try:
        arg_list = list(args)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"args must be a sequence of str, got {type(args).__name__}") from None
    for arg in arg_list:
        if not isinstance(arg, str):
            raise TypeError(f"args must be a sequence of str, got an element {arg!r}")
    check_size(cols, "cols")
    check_size(rows, "rows")
    if cwd is not None:
        if isinstance(cwd, os.PathLike):
            cwd = os.fspath(cwd)
        if not isinstance(cwd, str):
            raise TypeError(f"cwd must be a str path or None, got {cwd!r}")
    environment = os.environ if env is None else env
    if not isinstance(environment, Mapping):
        raise TypeError(f"env must be a mapping of str to str, got {type(environment).__name__}")
    for key, value in environment.items():
        if not isinstance(key, str) or not isinstance(value, str):
            raise TypeError(f"env must map str to str, got {key!r}: {value!r}")
    return file, arg_list, cwd, environment


def check_size(value: object, name: str) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int from 0 to 65535, got {value!r}")
    if not 0 <= value <= 65535:
        raise ValueError(f"{name} must be from 0 to 65535, got {value}")
