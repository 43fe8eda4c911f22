"""The one exception type of the package's own, and how a bridge's end is described."""

import errno
import signal
from typing import Dict, Optional, Type, cast


class BridgeError(Exception):
    """The session failed: the bridge's error message unchanged ("failed to spawn shell /nope"),
    followed by its cause when the bridge reports one ("failed to spawn shell /nope: Unable to
    spawn /nope because it doesn't exist on the filesystem (ENOENT: No such file or
    directory)"), or "bridge ended unexpectedly: SIGKILL" (or "exit status N") when it ended
    without a word.

    `code` is the operating system's error name behind the failure ("ENOENT") and `cause` the
    cause's text, both None when the bridge does not report them. With a code Python knows, the
    error is also the matching `OSError` subclass (`FileNotFoundError` for ENOENT) with `errno`
    set, as `subprocess.Popen` raises."""

    code: Optional[str] = None
    cause: Optional[str] = None

    def __str__(self) -> str:
        # OSError's own form would put "[Errno 2]" before the bridge's words.
        return str(self.args[0]) if self.args else ""


_WITH_OS_ERROR: Dict[Type[OSError], Type[BridgeError]] = {}


def bridge_error(message: str, cause: Optional[str] = None,
                 code: Optional[str] = None) -> BridgeError:
    """The error for an error frame."""
    text = message if cause is None else f"{message}: {cause}"
    number = getattr(errno, code, None) if code is not None and code.startswith("E") else None
    if not isinstance(number, int):
        error = BridgeError(text)
    else:
        # OSError picks its subclass from the number: FileNotFoundError, PermissionError...
        os_error = type(OSError(number, text))
        kind = _WITH_OS_ERROR.get(os_error)
        if kind is None:
            kind = type(f"Bridge{os_error.__name__}", (BridgeError, os_error),
                        {"__module__": __name__})
            _WITH_OS_ERROR[os_error] = kind
        error = kind(text)
        # Set rather than passed: OSError's constructor would put "[Errno 2]" in the text.
        cast(OSError, error).errno = number
        cast(OSError, error).strerror = cause if cause is not None else message
    error.code = code
    error.cause = cause
    return error


def unexpected_end(returncode: int) -> BridgeError:
    if returncode < 0:
        try:
            how = signal.Signals(-returncode).name
        except ValueError:
            how = f"signal {-returncode}"
    else:
        how = f"exit status {returncode}"
    return BridgeError(f"bridge ended unexpectedly: {how}")
