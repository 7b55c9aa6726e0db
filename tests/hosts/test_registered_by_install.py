"""`tovrin-skill-hooks` against the real hosts: what install registers, each host runs and
records; what status calls ready, runs; after uninstall, the host starts no hook."""

import json
import subprocess

import pytest

from . import claude_code, codex, harness
from .harness import Call

COMMAND = harness.BIN / "tovrin-skill-hooks"
CLI_LINE = Call("Bash", {"command": "tovrin skills usage"})


def command(home, *args) -> subprocess.CompletedProcess:
    # The user-level folders as the harness runs the hosts: ~/.claude, and CODEX_HOME=~/.codex.
    env = harness.host_env(home, {"CODEX_HOME": str(home / ".codex")})
    return subprocess.run([str(COMMAND), *args], env=env, cwd=home / "project",
                          capture_output=True, text=True, timeout=120)


def codex_entry(home) -> tuple[int, dict]:
    shown = command(home, "status", "--json")
    [entry] = [e for host in json.loads(shown.stdout)["hosts"] if host["host"] == "codex"
               for record in host["files"] for e in record["entries"]]
    return shown.returncode, entry


@pytest.mark.parametrize("scope", ["user", "project"])
@pytest.mark.parametrize("host", [claude_code, codex], ids=["claude-code", "codex"])
def test_install_runs_status_tells_uninstall_removes(tmp_path, host, scope):
    home = harness.new_home(tmp_path)
    where = ["--project", str(home / "project")] if scope == "project" else []
    name = "claude" if host is claude_code else "codex"
    installed = command(home, "install", name, *where)
    assert installed.returncode == 0, installed.stderr

    if host is codex:
        # Not approved yet: status says so, and Codex skips the hook, as it does without /hooks.
        code, entry = codex_entry(home)
        assert (code, entry["approval"], entry["ready"]) == (1, "waiting", False)
        assert "/hooks" in command(home, "status").stdout
        skipped = host.run(home, [CLI_LINE])
        assert (skipped.returncode, skipped.hooks) == (0, []), skipped.describe()
        # The record /hooks writes, made by the harness from its own reading of Codex; a
        # project's file is read only once the project is trusted.
        registered = (home / "project" if where else home) / ".codex" / "hooks.json"
        codex.approve(home, registered)
        if where:
            assert any("trusted" in p for p in codex_entry(home)[1]["problems"])
            codex.trust_project(home, home / "project")
        code, entry = codex_entry(home)
        assert (code, entry["approval"], entry["ready"]) == (0, "approved", True)
    else:
        assert command(home, "status").returncode == 0

    ran = host.run(home, [CLI_LINE])
    assert ran.returncode == 0, ran.describe()
    assert [(h.event, h.ok, h.output or "") for h in ran.hooks] == [("PostToolUse", True, "")], ran.describe()
    assert harness.recorded_uses(home) == {"tov-skills": 1}

    removed = command(home, "uninstall", name, *where)
    assert removed.returncode == 0, removed.stderr
    again = host.run(home, [CLI_LINE])
    assert (again.returncode, again.hooks, len(again.results)) == (0, [], 1), again.describe()


# "disableAllHooks" in user, project and local settings (None: not set), and whether Claude
# Code 2.1.337 then runs the hook registered in the user's settings: the last value set wins.
HOOKS_OFF = {
    "on in the same file": ((True, None, None), False),
    "on in the project's local settings": ((None, None, True), False),
    "on for the user, off again locally": ((True, None, False), True),
}


@pytest.mark.parametrize("case", sorted(HOOKS_OFF))
def test_status_says_what_claude_code_does_with_disable_all_hooks(tmp_path, case):
    values, runs = HOOKS_OFF[case]
    home = harness.new_home(tmp_path)
    assert command(home, "install", "claude").returncode == 0
    files = [home / ".claude/settings.json", home / "project/.claude/settings.json",
             home / "project/.claude/settings.local.json"]
    for file, value in zip(files, values):
        if value is not None:
            settings = json.loads(file.read_text()) if file.exists() else {}
            harness.write(file, json.dumps(settings | {"disableAllHooks": value}))
    shown = command(home, "status")
    assert (shown.returncode == 0) == runs and ("hooks are off" in shown.stdout) != runs, shown.stdout
    ran = claude_code.run(home, [CLI_LINE])
    assert (len(ran.hooks), harness.recorded_uses(home)) == ((1, {"tov-skills": 1}) if runs else (0, {})), \
        ran.describe()
