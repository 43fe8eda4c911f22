"""The platform wheels' setup: build_wheels.sh puts this file and a bridge into a copy of
clients/python, whose pyproject.toml alone makes the py3-none-any wheel."""

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


if not os.path.exists(BRIDGE) or not os.environ.get("QLP_WHEEL_PLATFORM"):
    raise SystemExit(f"a platform wheel needs {BRIDGE} and QLP_WHEEL_PLATFORM, its platform tag")
# The bridge is package data by pyproject.toml already.
setup(cmdclass={"bdist_wheel": PlatformWheel})
