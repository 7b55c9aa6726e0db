"""The hook as the real hosts run it, registered by the documented blocks: which tool calls
start it, that it exits 0 silently, and which uses end up recorded."""

import json
import re
from dataclasses import dataclass

import pytest

from . import claude_code, codex, harness
from .harness import Call

CLI_LINE = Call("Bash", {"command": "tovrin skills usage"})
FAILING_CLI_LINE = Call("Bash", {"command": "tovrin auth status"})  # the stand-in exits 2
MCP_CALL = Call(f"mcp__{harness.MCP_SERVER_NAME}__query_run", {})
SKILL_CALL = Call("Skill", {"skill": "tov-auth"})
PATCH = Call("apply_patch", {"patch": "*** Begin Patch\n*** Add File: notes.txt\n+hi\n*** End Patch\n"})


@dataclass(frozen=True)
class Scenario:
    calls: tuple[Call, ...]
    uses: dict          # what `tovrin skills usage` lists afterwards
    hook_runs: int      # PostToolUse runs of the hook, each exiting 0 and printing nothing
    form: str = "json"  # the documented block the registration comes from
    approved: bool = True  # Codex: the approval record /hooks writes
    project: bool = False  # Codex: registered in the project's .codex/, the project trusted
    args: tuple = ()
    powershell: bool = False  # Claude Code's PowerShell tool on, with a pwsh that exits 0


CLAUDE_CODE = {
    "cli-line": Scenario((CLI_LINE,), {"tov-skills": 1}, 1),
    "skill-tool": Scenario((SKILL_CALL,), {"tov-auth": 1}, 1),
    "mcp-tool": Scenario((MCP_CALL,), {"tov-dataset-query": 1}, 1),
    "read-starts-no-hook": Scenario((Call("Read", {"file_path": str(harness.REGISTRATION)}),),
                                    {}, 0),
    # A command that exits non-zero raises PostToolUseFailure, which nothing is registered for.
    "failed-cli-line-not-counted": Scenario((FAILING_CLI_LINE,), {}, 0),
    "powershell-cli-line": Scenario((Call("PowerShell", {"command": "tovrin auth status"}),),
                                    {"tov-auth": 1}, 1, powershell=True),
}
CODEX = {
    "cli-line": Scenario((CLI_LINE,), {"tov-skills": 1}, 1),
    "cli-line-config-toml": Scenario((CLI_LINE,), {"tov-skills": 1}, 1, form="toml"),
    "mcp-tool": Scenario((MCP_CALL,), {"tov-dataset-query": 1}, 1),
    "apply-patch-starts-no-hook": Scenario((PATCH,), {}, 0),
    # Codex sends PostToolUse whatever the exit status.
    "failed-cli-line-counted": Scenario((FAILING_CLI_LINE,), {"tov-auth": 1}, 1),
    "project-hooks-json": Scenario((CLI_LINE,), {"tov-skills": 1}, 1, project=True),
    "unapproved-hook-skipped": Scenario((CLI_LINE,), {}, 0, approved=False),
    "unapproved-hook-with-bypass-flag": Scenario((CLI_LINE,), {"tov-skills": 1}, 1, approved=False,
                                                 args=("--dangerously-bypass-hook-trust",)),
}
TABLE = [pytest.param(claude_code, s, id=f"claude-code-{name}") for name, s in CLAUDE_CODE.items()] + \
        [pytest.param(codex, s, id=f"codex-{name}") for name, s in CODEX.items()]


def prepare(host, home, scenario: Scenario) -> dict:
    """Register the hook as docs/registration.md says, and return the host's extra environment."""
    if host is claude_code:
        claude_code.register_from_readme(home)
        claude_code.add_skill(home, "tov-auth")
    else:
        registration = codex.register_from_readme(home / "project" if scenario.project else home,
                                                  scenario.form)
        if scenario.project:
            codex.trust_project(home, home / "project")
        if scenario.approved:
            codex.approve(home, registration)
    if not scenario.powershell:
        return {}
    pwsh = harness.write(home / "pwsh-bin" / "pwsh", "#!/bin/sh\nexit 0\n")
    pwsh.chmod(0o755)
    return {"CLAUDE_CODE_USE_POWERSHELL_TOOL": "1", "PATH": f"{pwsh.parent}:{harness.BASE_PATH}"}


def check(run: harness.Run, scenario: Scenario):
    assert run.returncode == 0, run.describe()
    assert len(run.results) == len(scenario.calls), run.describe()  # every call was made
    failed = re.search(r"xit(?:ed with)? code 2\b", json.dumps(run.results))
    assert bool(failed) == (FAILING_CLI_LINE in scenario.calls), run.results
    assert [(h.event, h.ok, h.output or "") for h in run.hooks] == \
        [("PostToolUse", True, "")] * scenario.hook_runs, run.describe()


@pytest.mark.parametrize("host, scenario", TABLE)
def test_scenario(tmp_path, host, scenario):
    home = harness.new_home(tmp_path)
    env = prepare(host, home, scenario)
    mcp_tools = ["query_run"] if MCP_CALL in scenario.calls else []
    run = host.run(home, list(scenario.calls), env=env, mcp_tools=mcp_tools, args=list(scenario.args))
    check(run, scenario)
    assert harness.recorded_uses(home) == scenario.uses


# The reliability case: the model answers at once after the tool call, so the turn ends as soon
# as the host lets it; a hook still running then must not lose the use.
RELIABILITY = [pytest.param(claude_code, CLAUDE_CODE["skill-tool"], id="claude-code"),
               pytest.param(codex, CODEX["cli-line"], id="codex")]


@pytest.mark.parametrize("attempt", range(5))
@pytest.mark.parametrize("host, scenario", RELIABILITY)
def test_recommended_registration_records_every_use(tmp_path, host, scenario, attempt):
    test_scenario(tmp_path, host, scenario)
