"""A platform wheel when a bridge has been put into the package (the wheel builder does that in
a copy of this directory), a py3-none-any wheel otherwise."""

import os

from setuptools import setup
from wheel.bdist_wheel import bdist_wheel

BRIDGE = os.path.join("quelt_local_pty", "bin", "quelt_local_pty")


class PlatformWheel(bdist_wheel):
    # The files stay at the wheel's root (Root-Is-Purelib): the bridge is a program the package
    # runs, not a module the interpreter loads, so which of purelib and platlib it lands in is
    # of no consequence.
    def get_tag(self):  # type: ignore[no-untyped-def]
        # The bridge is a static program that Python never loads, so any Python 3 and any ABI
        # will do; the tag (compressed sets such as manylinux...musllinux...) is used as given,
        # which bdist_wheel's own --plat-name would mangle.
        return "py3", "none", os.environ["QLP_WHEEL_PLATFORM"]


if os.path.exists(BRIDGE):
    if not os.environ.get("QLP_WHEEL_PLATFORM"):
        raise SystemExit(f"{BRIDGE} is present: set QLP_WHEEL_PLATFORM to the wheel's platform tag")
    setup(package_data={"quelt_local_pty": ["py.typed", "keys.json", "bin/quelt_local_pty"]},
          cmdclass={"bdist_wheel": PlatformWheel})
else:
    setup(package_data={"quelt_local_pty": ["py.typed", "keys.json"]})
