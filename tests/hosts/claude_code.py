"""Claude Code (the CLI bundled in claude-agent-sdk), run headless (`claude -p`) against a
scripted Anthropic Messages API."""

import json
import os
from pathlib import Path

from . import harness
from .harness import Call, HookRun, Run

BINARY = harness.host_binary("claude_agent_sdk/_bundled/claude")
WINDOWS_BINARY = harness.host_binary("claude.exe", windows=True)


def respond(calls: list[Call], body: dict) -> list[tuple[str, dict]]:
    """The next step of the script: the call after the last tool result, else the final reply."""
    step = sum(block.get("type") == "tool_result"
               for message in body["messages"] if isinstance(message["content"], list)
               for block in message["content"])
    if step < len(calls):
        call = calls[step]
        block = {"type": "tool_use", "id": f"toolu_{step:04d}", "name": call.tool, "input": {}}
        delta = {"type": "input_json_delta", "partial_json": json.dumps(call.input)}
        stop = "tool_use"
    else:
        block, delta, stop = {"type": "text", "text": ""}, {"type": "text_delta", "text": "done"}, "end_turn"
    usage = {"input_tokens": 1, "output_tokens": 1}
    return [
        ("message_start", {"message": {"id": f"msg_{step}", "type": "message", "role": "assistant",
                                       "model": body["model"], "content": [], "stop_reason": None,
                                       "stop_sequence": None, "usage": usage}}),
        ("content_block_start", {"index": 0, "content_block": block}),
        ("content_block_delta", {"index": 0, "delta": delta}),
        ("content_block_stop", {"index": 0}),
        ("message_delta", {"delta": {"stop_reason": stop, "stop_sequence": None}, "usage": usage}),
        ("message_stop", {}),
    ]


def hook_runs(events: list[dict]) -> list[HookRun]:
    """The hook runs that --include-hook-events reports, in order of their start."""
    responses = {e["hook_id"]: e for e in events if e.get("subtype") == "hook_response"}
    runs = []
    for started in (e for e in events if e.get("subtype") == "hook_started"):
        done = responses.get(started["hook_id"], {})
        runs.append(HookRun(event=started["hook_event"],
                            ok=done.get("exit_code") == 0 and done.get("outcome") == "success",
                            output=done.get("stdout", "") + done.get("stderr", "")))
    return runs


def run(home: Path, calls: list[Call], *, cwd: Path | None = None, env: dict | None = None,
        mcp_tools: list[str] = (), args: list[str] = (), windows: bool = False) -> Run:
    """One headless turn of Claude Code in `home` (its user settings: ~/.claude/settings.json;
    on Windows, CLAUDE_CONFIG_DIR points there)."""
    binary = WINDOWS_BINARY if windows else BINARY
    assert binary, "Claude Code is not installed (make test-hosts, make test-hosts-windows)"
    path = harness.windows_path if windows else str
    cwd = cwd or home / "project"
    with harness.ScriptedModel("/v1/messages", lambda body: respond(calls, body)) as model:
        extra = {"ANTHROPIC_BASE_URL": model.url, "ANTHROPIC_API_KEY": "sk-ant-scripted",
                 "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC": "1", "DISABLE_TELEMETRY": "1",
                 "DISABLE_AUTOUPDATER": "1", "DISABLE_ERROR_REPORTING": "1"}
        if windows:
            extra["CLAUDE_CONFIG_DIR"] = path(home / ".claude")
        elif os.geteuid() == 0:  # bypassPermissions refuses root elsewhere than in a sandbox
            extra["IS_SANDBOX"] = "1"
        argv = [path(binary), "-p", "Go.", "--output-format", "stream-json", "--verbose",
                "--permission-mode", "bypassPermissions", "--include-hook-events", *args]
        if mcp_tools:
            config = {"mcpServers": {harness.MCP_SERVER_NAME: harness.mcp_server(list(mcp_tools), windows)}}
            argv += ["--mcp-config", path(harness.write(home / "mcp.json", json.dumps(config)))]
        returncode, stdout, stderr = harness.run_host(argv, harness.host_env(home, extra | (env or {}), windows),
                                                      cwd, windows=windows)
    events = [json.loads(line) for line in stdout.splitlines() if line.startswith("{")]
    results = [block for message in model.requests[-1]["messages"] if isinstance(message["content"], list)
               for block in message["content"] if block.get("type") == "tool_result"] if model.requests else []
    return Run(returncode, stdout, stderr, hook_runs(events), results, model.request_times)


def register_from_readme(folder: Path) -> Path:
    """docs/registration.md's Claude Code block, as .claude/settings.json in `folder`: a home (user
    settings) or a project."""
    return harness.write(folder / ".claude" / "settings.json", harness.readme_block("Claude Code", "json"))


def add_skill(home: Path, name: str) -> Path:
    """A personal skill, ~/.claude/skills/<name>/SKILL.md."""
    return harness.write(home / ".claude" / "skills" / name / "SKILL.md",
                         f"---\nname: {name}\ndescription: The {name} skill.\n---\n\nSay done.\n")
