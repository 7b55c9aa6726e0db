"""The hosts' Windows builds, under wine, run the hook of the Windows wheel as a Windows user
registers it: Scripts\\tovrin-skill-hooks.exe install, Codex's approval as /hooks records it,
then status. Every use is counted by the stand-in tovrin.exe, not taken from the host's word."""

import json
import shutil

import pytest

from conftest import recorded_uses

from . import claude_code, codex, harness
from .harness import Call, windows_path

WINDOWS_HOSTS = True  # the hosts' Windows builds (tests/hosts/conftest.py)
CLI = harness.WINDOWS_ENV / "tovrin.exe"
AUTH_LOGIN = Call("Bash", {"command": "tovrin auth login"})
# A program that names no skill, by its path, which the stand-in powershell.exe runs.
HOSTNAME = r'& "C:\windows\system32\hostname.exe"'
NO_SKILL = Call("Bash", {"command": HOSTNAME})
MCP_CALL = Call(f"mcp__{harness.MCP_SERVER_NAME}__query_run", {})
SKILL_CALL = Call("Skill", {"skill": "tov-auth"})
QUERY_BY_PATH = Call("PowerShell", {"command": f'& "{windows_path(CLI)}" query run x'})
PS_NO_SKILL = Call("PowerShell", {"command": HOSTNAME})

# Each scenario: the calls of each turn (a turn per tuple, in one home), the uses afterwards.
CODEX = {
    "cli-line": ([(AUTH_LOGIN,)], {"tov-auth": 1}),
    "cli-line-again-within-30-s": ([(AUTH_LOGIN,), (AUTH_LOGIN,)], {"tov-auth": 1}),
    "no-skill": ([(NO_SKILL,)], {}),
    "mcp-tool": ([(MCP_CALL,)], {"tov-dataset-query": 1}),
}
CLAUDE_CODE = {
    "skill-tool": ([(SKILL_CALL,)], {"tov-auth": 1}),
    "powershell-cli-by-path": ([(QUERY_BY_PATH,)], {"tov-dataset-query": 1}),
    "powershell-no-skill": ([(PS_NO_SKILL,)], {}),
    "mcp-tool": ([(MCP_CALL,)], {"tov-dataset-query": 1}),
}
TABLE = [pytest.param(codex, *s, id=f"codex-{name}") for name, s in CODEX.items()] + \
        [pytest.param(claude_code, *s, id=f"claude-code-{name}") for name, s in CLAUDE_CODE.items()]


def skill_hooks(home, env_folder, *args):
    env = harness.host_env(home, {"CODEX_HOME": windows_path(home / ".codex"),
                                  "CLAUDE_CONFIG_DIR": windows_path(home / ".claude")}, windows=True)
    program = windows_path(env_folder / "Scripts" / "tovrin-skill-hooks.exe")
    return harness.run_host([program, *args], env, home, windows=True)


def register(home, host, env_folder=harness.WINDOWS_ENV) -> dict:
    """install, Codex's approval, status: the entry status found, which must be ready."""
    name = "codex" if host is codex else "claude"
    (home / f".{name}").mkdir(exist_ok=True)
    returncode, _, stderr = skill_hooks(home, env_folder, "install", name)
    assert (returncode, stderr) == (0, ""), stderr
    if host is codex:
        codex.approve(home, home / ".codex" / "hooks.json", windows=True)
    returncode, stdout, stderr = skill_hooks(home, env_folder, "status", "--json")
    entries = [entry for report in json.loads(stdout)["hosts"] if report["host"] == name
               for record in report["files"] for entry in record["entries"]]
    assert len(entries) == 1 and entries[0]["ready"], stdout
    assert (returncode, stderr) == (0, ""), stdout
    return entries[0]


def take_turns(host, home, turns) -> None:
    if host is claude_code:
        claude_code.add_skill(home, "tov-auth")
    for calls in turns:
        mcp_tools = ["query_run"] if MCP_CALL in calls else []
        run = host.run(home, list(calls), mcp_tools=mcp_tools, windows=True)
        assert run.returncode == 0, run.describe()
        assert len(run.results) == len(calls), run.describe()
        assert [(h.event, h.ok) for h in run.hooks] == [("PostToolUse", True)] * len(calls), run.describe()


@pytest.mark.parametrize("host, turns, uses", TABLE)
def test_scenario(tmp_path, host, turns, uses):
    home = harness.new_home(tmp_path)
    register(home, host)
    take_turns(host, home, turns)
    assert recorded_uses(home, windows=True) == uses


def test_product_folder_with_a_space(tmp_path):
    """The product's environment in a folder with a space: install registers the folder's 8.3
    name (wine keeps such names too), which each host runs, and the use is counted."""
    product = tmp_path / "product env"
    shutil.copytree(harness.WINDOWS_ENV, product, ignore=shutil.ignore_patterns("site-packages", "Scripts", "*.log"))
    pip = next((harness.ROOT / "build" / "windows" / "wheels").glob("pip-*.whl")) / "pip"
    wheel = next((harness.ROOT / "dist").glob("*-win_amd64.whl"))
    returncode, _, stderr = harness.run_host(
        [windows_path(product / "python.exe"), windows_path(pip), "install", "--quiet", "--no-index", "--no-deps",
         "--disable-pip-version-check", "--no-warn-script-location", windows_path(wheel)],
        harness.host_env(tmp_path, windows=True), tmp_path, windows=True)
    assert returncode == 0, stderr
    for host, call in ((codex, AUTH_LOGIN), (claude_code, SKILL_CALL)):
        home = harness.new_home(tmp_path, host.__name__)
        assert "product env" not in register(home, host, product)["command"]
        take_turns(host, home, [(call,)])
        assert recorded_uses(home, windows=True) == {"tov-auth": 1}
