"""Finding the bridge binary and starting it."""

import os
import subprocess
import sys
from typing import List, Mapping, Optional

from ._platforms import PLATFORMS

BRIDGE_NAME = "quelt_local_pty"
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
# Where the platform wheels put the bridge.
BUNDLED = os.path.join(_PACKAGE_DIR, "bin", BRIDGE_NAME)
# The package imported from a checkout's clients/python/, whose build/ holds the bridge.
IN_CHECKOUT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(_PACKAGE_DIR))),
                           "build", BRIDGE_NAME)


def _is_executable_file(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def _wheel_for_this_machine() -> Optional[str]:
    machine = os.uname().machine
    for system, arch, tag in PLATFORMS.values():
        if sys.platform.startswith(system) and machine == arch:
            return tag
    return None


def _bundled_missing() -> str:
    if os.path.exists(BUNDLED):
        return f"{BUNDLED} (not an executable file)"
    tag = _wheel_for_this_machine()
    if tag is None:
        return (f"{BUNDLED} (no wheel carries a bridge for {sys.platform} "
                f"{os.uname().machine}: build one from the repository)")
    return (f"{BUNDLED} (not in this installation: the wheel for this machine is "
            f"quelt_local_pty-*-py3-none-{tag}.whl, which pip picks over the py3-none-any "
            f"wheel unless it was told otherwise or that wheel was not offered)")


def resolve_bridge(bridge: Optional[str] = None) -> str:
    """The bridge that `spawn` runs: the `bridge` argument, else `$QUELT_LOCAL_PTY`, else the
    one inside this package, else `quelt_local_pty` on `PATH`, else the checkout's `build/`.

    A path given by the argument or the variable is final: when it is not an executable file,
    running another bridge in its place would hide the mistake. Raises `FileNotFoundError`
    naming every place looked at."""
    if bridge is not None:
        bridge = os.fspath(bridge)
        if not isinstance(bridge, str):
            raise TypeError(f"bridge must be a str path, got {type(bridge).__name__}")
        if _is_executable_file(bridge):
            return os.path.abspath(bridge)
        raise FileNotFoundError(
            f"{BRIDGE_NAME} bridge not found: looked at {bridge} (the bridge argument)")
    from_env = os.environ.get("QUELT_LOCAL_PTY")
    if from_env:
        if _is_executable_file(from_env):
            return os.path.abspath(from_env)
        raise FileNotFoundError(
            f"{BRIDGE_NAME} bridge not found: looked at {from_env} ($QUELT_LOCAL_PTY)")
    looked: List[str] = ["$QUELT_LOCAL_PTY (not set)"]
    if _is_executable_file(BUNDLED):
        return BUNDLED
    looked.append(_bundled_missing())
    for directory in os.environ.get("PATH", "").split(os.pathsep):
        if not directory:
            continue
        candidate = os.path.join(directory, BRIDGE_NAME)
        if _is_executable_file(candidate):
            return os.path.abspath(candidate)
        looked.append(candidate)
    if _is_executable_file(IN_CHECKOUT):
        return IN_CHECKOUT
    looked.append(IN_CHECKOUT)
    raise FileNotFoundError(f"{BRIDGE_NAME} bridge not found: looked at {', '.join(looked)}")


def start_bridge(path: str, env: Mapping[str, str]) -> "subprocess.Popen[bytes]":
    """The bridge process, with pipes on its standard input and output.

    `env` becomes the bridge's environment, which it hands on to the program whole. The
    bridge gets a session of its own so that a Ctrl-C typed where the application runs, which
    goes to the application's process group, does not end every terminal with it; it still
    ends with the application, whose end closes its standard input, even by SIGKILL. Its
    standard error is the application's: the bridge writes there only when it cannot start a
    thread."""
    return subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=dict(env), start_new_session=True, bufsize=0)
