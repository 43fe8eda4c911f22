"""The one exception type of the package's own, and how a bridge's end is described."""

import signal


class BridgeError(Exception):
    """The session failed: the bridge's error message unchanged ("failed to spawn shell /nope"),
    or "bridge ended unexpectedly: SIGKILL" (or "exit status N") when it ended without a word."""


def unexpected_end(returncode: int) -> BridgeError:
    if returncode < 0:
        try:
            how = signal.Signals(-returncode).name
        except ValueError:
            how = f"signal {-returncode}"
    else:
        how = f"exit status {returncode}"
    return BridgeError(f"bridge ended unexpectedly: {how}")
