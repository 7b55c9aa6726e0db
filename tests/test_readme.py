"""The registration snippets of docs/registration.md: each parses, its matcher lets through
every tool call that can use a skill and no other, and the command it names, once pointed at
the installed launcher, records a Skill call silently."""

import json
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import EVENTS_DIR, expected_reports, home_env, recorded_uses
from support import snippets

BIN = Path(sys.executable).parent
LAUNCHER = BIN / "tovrin-report-skill-usage"
SKILL_EVENT = json.dumps({"hook_event_name": "PostToolUse", "tool_name": "Skill",
                          "tool_input": {"command": "tov-auth"}}).encode()
# Tools that never use a skill: the recommended registration must not start the hook for them.
OTHER_TOOLS = ["Read", "Edit", "Write", "Grep", "Glob", "apply_patch"]


def hook_entries(config: dict) -> list[tuple[str, dict]]:
    """(matcher, hook) for each hook of the PostToolUse entries."""
    return [(group["matcher"], hook)
            for group in config["hooks"]["PostToolUse"] for hook in group["hooks"]]


def host_starts_hook(matcher: str, tool_name: str, anchored: bool) -> bool:
    """Whether a host runs the hook for this tool: a matcher of only letters, digits, `_` and
    `|` lists exact names; any other is a regular expression, which a host may apply as a
    search or to the whole name."""
    if re.fullmatch(r"[A-Za-z0-9_|]+", matcher):
        return tool_name in matcher.split("|")
    return bool((re.fullmatch if anchored else re.search)(matcher, tool_name))


def reported_tool_names() -> set[str]:
    return {json.loads((EVENTS_DIR / name).read_text())["tool_name"]
            for name, skill in expected_reports().items() if skill}


def test_readme_has_a_snippet_per_host_and_form():
    assert len(snippets()) >= 3  # Claude Code, and Codex CLI as hooks.json and as config.toml


@pytest.mark.parametrize("anchored", [False, True], ids=["search", "full-match"])
@pytest.mark.parametrize("config", snippets())
def test_matcher_loses_no_use_and_skips_other_tools(config, anchored):
    for matcher, _ in hook_entries(config):
        for tool_name in reported_tool_names():
            assert host_starts_hook(matcher, tool_name, anchored), (matcher, tool_name)
        for tool_name in OTHER_TOOLS:
            assert not host_starts_hook(matcher, tool_name, anchored), (matcher, tool_name)


@pytest.mark.parametrize("config", snippets())
def test_snippet_registers_a_working_command(tmp_path, config):
    entries = hook_entries(config)
    assert entries, "no PostToolUse hook in the snippet"
    for number, (_, hook) in enumerate(entries):
        assert hook["type"] == "command"
        command = Path(hook["command"])
        assert command.is_absolute() and command.name == LAUNCHER.name
        assert hook.get("timeout", 60) > 10  # the host must not stop the hook before the report's own bound
        home = tmp_path / f"home{number}"
        home.mkdir()
        env = home_env(home)
        # The placeholder path stands for this checkout's environment: run the real launcher.
        run = subprocess.run([str(LAUNCHER)], input=SKILL_EVENT, env=env,
                             capture_output=True, timeout=60)
        assert (run.returncode, run.stdout, run.stderr) == (0, b"", b"")
        assert recorded_uses(home) == {"tov-auth": 1}
