"""Terminals for Python through the quelt_local_pty bridge: blocking here, asyncio in `aio`.

    import quelt_local_pty as qlp
    with qlp.spawn("bash") as term:
        term.write("echo hi\\r")
        term.expect("hi")
"""

from . import aio
from ._blocking import Terminal, spawn
from ._bridge import resolve_bridge
from ._errors import BridgeError
from ._session import Foreground

__all__ = ["BridgeError", "Foreground", "Terminal", "aio", "resolve_bridge", "spawn"]
__version__ = "0.1.0"
