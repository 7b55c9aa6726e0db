"""Scripts\\tovrin-skill-hooks.exe, as pip installs it on Windows: install, status and uninstall
for both hosts, in the user's folders under USERPROFILE or where CLAUDE_CONFIG_DIR and CODEX_HOME
point."""

import json
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from conftest import home_env

SCRIPTS = Path(sysconfig.get_path("scripts"))
LAUNCHER = SCRIPTS / "tovrin-report-skill-usage.exe"


def run(env: dict, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(SCRIPTS / "tovrin-skill-hooks.exe"), *args], env=env, cwd=env["USERPROFILE"],
                          capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("configured", [False, True])
def test_install_status_uninstall(tmp_path, configured):
    home = tmp_path / "home"
    home.mkdir()
    env = {k: v for k, v in home_env(home).items() if k not in ("CLAUDE_CONFIG_DIR", "CODEX_HOME")}
    files = {"claude": home / ".claude" / "settings.json", "codex": home / ".codex" / "hooks.json"}
    if configured:
        env |= {"CLAUDE_CONFIG_DIR": str(tmp_path / "claude"), "CODEX_HOME": str(tmp_path / "codex")}
        files = {"claude": tmp_path / "claude" / "settings.json", "codex": tmp_path / "codex" / "hooks.json"}
    for host in files:
        installed = run(env, "install", host)
        assert (installed.returncode, installed.stderr) == (0, "")
    assert sorted(tmp_path.rglob("*.json")) == sorted(files.values())
    # The form that Git Bash, PowerShell and cmd all run, for a path without a space.
    assert " " not in str(LAUNCHER)
    assert [[hook["command"] for group in json.loads(file.read_text())["hooks"]["PostToolUse"]
             for hook in group["hooks"]] for file in files.values()] == [[LAUNCHER.as_posix()]] * 2

    shown = run(env, "status", "--json")
    entries = {host["host"]: [entry for record in host["files"] for entry in record["entries"]]
               for host in json.loads(shown.stdout)["hosts"]}
    cli = str(Path(sys.executable).with_name("tovrin.exe"))
    assert [(e["ready"], e["cli"]) for e in entries["claude"]] == [(True, cli)]
    # Codex runs a new hook once its user approves it: until then, status fails.
    assert [(e["approval"], e["cli"]) for e in entries["codex"]] == [("waiting", cli)]
    assert (shown.returncode, shown.stderr) == (1, "")

    for host, file in files.items():
        removed = run(env, "uninstall", host)
        assert (removed.returncode, removed.stderr) == (0, "")
        assert not file.exists()  # the file install made, left empty
