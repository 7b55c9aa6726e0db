"""The wheel for a package index as a user gets it: installed into a fresh environment, its
launcher runs the hook on an event and its stand-in CLI records the use.

Runs on the wheel that TOVRIN_WHEEL names (`make wheel` sets it); skipped otherwise."""

import json
import os
import subprocess
import sys

import pytest

WHEEL = os.environ.get("TOVRIN_WHEEL")


@pytest.mark.skipif(not WHEEL, reason="TOVRIN_WHEEL names no wheel (make wheel runs this)")
def test_installed_wheel_records_a_skill_use(tmp_path):
    bin_dir = tmp_path / "env" / "bin"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(tmp_path / "env")],
                   check=True, timeout=120)
    subprocess.run([sys.executable, "-m", "pip", "--python", str(bin_dir / "python"), "install",
                    "--quiet", "--disable-pip-version-check", "--no-index", "--no-deps", WHEEL],
                   check=True, timeout=120)
    home = tmp_path / "home"
    home.mkdir()
    # Nothing but the new environment may supply the package.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"} | {"HOME": str(home)}
    event = json.dumps({"tool_name": "Skill", "tool_input": {"command": "tov-auth"}}).encode()

    # The registered command is the native launcher, built for the wheel's glibc like the module.
    assert (bin_dir / "tovrin-report-skill-usage").read_bytes()[:4] == b"\x7fELF"
    hook = subprocess.run([str(bin_dir / "tovrin-report-skill-usage")], input=event, env=env,
                          capture_output=True, timeout=60)
    assert (hook.returncode, hook.stdout, hook.stderr) == (0, b"", b"")
    listing = subprocess.run([str(bin_dir / "tovrin"), "skills", "usage", "--json"], env=env,
                             capture_output=True, text=True, check=True, timeout=60)
    assert [(row["skill"], row["count"]) for row in json.loads(listing.stdout)] == [("tov-auth", 1)]
