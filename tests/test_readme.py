"""The registration snippets of the README: valid JSON, and the command each names, once
pointed at the installed launcher, records a Skill call silently."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BIN = Path(sys.executable).parent
LAUNCHER = BIN / "tovrin-report-skill-usage"
SKILL_EVENT = json.dumps({"hook_event_name": "PostToolUse", "tool_name": "Skill",
                          "tool_input": {"command": "tov-auth"}}).encode()


def json_blocks() -> list[str]:
    return re.findall(r"^```json\n(.*?)^```$", README.read_text(), flags=re.M | re.S)


def hook_entries(config: dict) -> list[tuple[str, dict]]:
    """(matcher, hook) for each hook of the PostToolUse entries."""
    return [(group["matcher"], hook)
            for group in config["hooks"]["PostToolUse"] for hook in group["hooks"]]


def test_readme_has_a_snippet_per_host():
    assert len(json_blocks()) >= 2  # Claude Code and Codex CLI


@pytest.mark.parametrize("block", json_blocks())
def test_snippet_registers_a_working_command(tmp_path, block):
    config = json.loads(block)
    entries = hook_entries(config)
    assert entries, "no PostToolUse hook in the snippet"
    for number, (matcher, hook) in enumerate(entries):
        # The hook filters by itself, so it must see every tool call.
        assert all(re.fullmatch(matcher, tool) for tool in ("Skill", "Bash", "Read", "mcp__x__y"))
        assert hook["type"] == "command"
        command = Path(hook["command"])
        assert command.is_absolute() and command.name == LAUNCHER.name
        home = tmp_path / f"home{number}"
        home.mkdir()
        env = dict(os.environ, HOME=str(home))
        # The placeholder path stands for this checkout's environment: run the real launcher.
        run = subprocess.run([str(LAUNCHER)], input=SKILL_EVENT, env=env,
                             capture_output=True, timeout=60)
        assert (run.returncode, run.stdout, run.stderr) == (0, b"", b"")
        usage = subprocess.run([str(BIN / "tovrin"), "skills", "usage", "--json"], env=env,
                               capture_output=True, text=True, check=True, timeout=60)
        assert [(u["skill"], u["count"]) for u in json.loads(usage.stdout)] == [("tov-auth", 1)]
