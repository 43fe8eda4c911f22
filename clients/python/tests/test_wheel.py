"""The wheels as users get them: built by packaging/python/build_wheels.sh from the release's static bridges,
installed offline into a fresh virtual environment with no bridge on PATH, and run."""

import json
import os
import shutil
import subprocess
import sys
import zipfile

import pytest

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGING = os.path.join(HERE, "..", "..", "packaging")
RELEASE = os.environ.get("QLP_RELEASE_DIR", "")
with open(os.path.join(PACKAGING, "platforms.json"), encoding="utf-8") as _table:
    PLATFORMS = [row["name"] for row in json.load(_table)["platforms"]]

SESSION = r"""
import sys, quelt_local_pty as qlp
bridge = sys.argv[1] if len(sys.argv) > 1 else None
print(qlp.resolve_bridge(bridge))
with qlp.spawn("sh", ["-c", "echo wheel-$((6*7)); exit 5"], bridge=bridge) as term:
    term.expect("wheel-42")
    print(term.wait())
"""


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    missing = [p for p in PLATFORMS if not os.path.isfile(os.path.join(RELEASE, p, "quelt_local_pty"))]
    if missing:
        pytest.skip(f"no release bridges for {', '.join(missing)} in QLP_RELEASE_DIR={RELEASE!r} "
                    "(run packaging/release.sh into it first)")
    out = tmp_path_factory.mktemp("wheels")
    subprocess.run([os.path.join(PACKAGING, "python", "build_wheels.sh"), RELEASE, str(out)], check=True,
                   stdout=subprocess.DEVNULL)
    return out


def test_wheels_carry_the_bridges_and_install_offline(wheels, tmp_path):
    names = {}
    for wheel in os.listdir(wheels):
        with zipfile.ZipFile(wheels / wheel) as archive:
            bridge = [i for i in archive.infolist() if i.filename.endswith("bin/quelt_local_pty")]
        names[wheel.split("-", 4)[4]] = oct(bridge[0].external_attr >> 16) if bridge else None
    assert names == {
        "any.whl": None,
        "manylinux_2_17_x86_64.musllinux_1_1_x86_64.whl": "0o100755",
        "manylinux_2_17_aarch64.musllinux_1_1_aarch64.whl": "0o100755",
        "macosx_11_0_x86_64.whl": "0o100755",
        "macosx_11_0_arm64.whl": "0o100755",
    }

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    # No bridge anywhere but in the wheel: not on PATH, not in the environment, and run from
    # outside the checkout.
    env = {k: v for k, v in os.environ.items() if k not in ("QUELT_LOCAL_PTY", "PYTHONPATH")}
    env["PATH"] = os.pathsep.join(d for d in env["PATH"].split(os.pathsep)
                                  if not os.path.exists(os.path.join(d, "quelt_local_pty")))

    def run(*args):
        done = subprocess.run([python, *args], env=env, cwd=tmp_path, capture_output=True,
                              text=True)
        assert done.returncode == 0, done.stderr
        return done.stdout

    run("-m", "pip", "install", "-q", "--no-index", "--find-links", str(wheels), "quelt-local-pty")
    bundled, code = run("-c", SESSION).split()
    assert bundled.startswith(str(venv)) and bundled.endswith("quelt_local_pty/bin/quelt_local_pty")
    assert code == "5"

    # The aarch64 wheel's bridge, run by qemu, serves the same session.
    qemu = shutil.which("qemu-aarch64-static")
    if qemu is None:
        pytest.skip("qemu-aarch64-static is not installed (Debian: qemu-user-static)")
    arm = next(w for w in os.listdir(wheels) if "aarch64" in w)
    with zipfile.ZipFile(wheels / arm) as archive:
        arm_bridge = archive.extract("quelt_local_pty/bin/quelt_local_pty", tmp_path / "arm")
    os.chmod(arm_bridge, 0o755)  # zipfile drops the mode that pip keeps
    wrapper = tmp_path / "arm-bridge"
    wrapper.write_text(f"#!/bin/sh\nexec {qemu} {arm_bridge}\n")
    wrapper.chmod(0o755)
    assert run("-c", SESSION, str(wrapper)).split() == [str(wrapper), "5"]

    # Without a bundled bridge the lookup names every place and the wheel that has one.
    run("-m", "pip", "install", "-q", "--no-index", "--force-reinstall",
        str(wheels / next(w for w in os.listdir(wheels) if w.endswith("any.whl"))))
    failed = subprocess.run([python, "-c", "import quelt_local_pty as q; q.resolve_bridge()"],
                            env=env, cwd=tmp_path, capture_output=True, text=True)
    assert "FileNotFoundError: quelt_local_pty bridge not found: looked at $QUELT_LOCAL_PTY " \
           "(not set), " in failed.stderr
    assert "py3-none-manylinux_2_17_x86_64.musllinux_1_1_x86_64.whl" in failed.stderr
