"""Codex CLI (openai-codex-cli-bin), run as `codex exec` against a scripted OpenAI Responses API.

The model provider and the MCP server come as `-c` overrides, so that CODEX_HOME's files hold
only what a user (or an installer) put there: hooks.json, config.toml, approval records."""

import hashlib
import json
import re
import tomllib
import uuid
from pathlib import Path

from . import harness
from .harness import Call, HookRun, Run

BINARY = harness.host_binary("codex_cli_bin/bin/codex")
WINDOWS_BINARY = harness.host_binary("codex.exe", windows=True)
API_KEY_VARIABLE = "SCRIPTED_MODEL_KEY"


def item(call: Call, step: int) -> dict:
    """The Responses API output item through which the model makes this call."""
    ids = {"call_id": f"call_{step}", "id": f"fc_{step}", "status": "completed"}
    if call.tool == "Bash":
        arguments = {"cmd": call.input["command"], "login": False}
        return ids | {"type": "function_call", "name": "exec_command", "arguments": json.dumps(arguments)}
    if call.tool == "apply_patch":
        return ids | {"type": "custom_tool_call", "name": "apply_patch", "input": call.input["patch"]}
    if call.tool.startswith("mcp__"):
        namespace, _, name = call.tool.rpartition("__")
        return ids | {"type": "function_call", "namespace": namespace, "name": name,
                      "arguments": json.dumps(call.input)}
    raise ValueError(f"Codex has no tool {call.tool!r}")


def is_result(entry: dict) -> bool:
    return entry.get("type", "").endswith("call_output")


def respond(calls: list[Call], body: dict) -> list[tuple[str, dict]]:
    """The next step of the script: the call after the last tool output, else the final reply."""
    step = sum(map(is_result, body.get("input", [])))
    if step < len(calls):
        output = item(calls[step], step)
    else:
        output = {"type": "message", "role": "assistant", "id": f"msg_{step}", "status": "completed",
                  "content": [{"type": "output_text", "text": "done", "annotations": []}]}
    usage = {"input_tokens": 1, "input_tokens_details": None, "output_tokens": 1,
             "output_tokens_details": None, "total_tokens": 2}
    return [("response.created", {"response": {"id": f"resp_{step}"}}),
            ("response.output_item.done", {"output_index": 0, "item": output}),
            ("response.completed", {"response": {"id": f"resp_{step}", "usage": usage}})]


def toml(value) -> str:
    """A TOML value, inline (strings, booleans, numbers, lists and tables)."""
    if isinstance(value, dict):
        return "{" + ", ".join(f"{key} = {toml(v)}" for key, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ", ".join(map(toml, value)) + "]"
    return json.dumps(value)


def overrides(model_url: str, mcp_tools: list[str], windows: bool) -> list[str]:
    settings = {
        "model": "gpt-5.5", "model_provider": "scripted",
        "model_providers.scripted": {"name": "scripted", "base_url": model_url + "/v1",
                                     "env_key": API_KEY_VARIABLE, "wire_api": "responses",
                                     "request_max_retries": 0, "stream_max_retries": 0,
                                     "supports_websockets": False},
        "approval_policy": "never", "sandbox_mode": "danger-full-access",
        "check_for_update_on_startup": False, "features.plugins": False,
    }
    if mcp_tools:
        settings[f"mcp_servers.{harness.MCP_SERVER_NAME}"] = harness.mcp_server(list(mcp_tools), windows)
    return [arg for key, value in settings.items() for arg in ("-c", f"{key}={toml(value)}")]


def hook_runs(stderr: str) -> list[HookRun]:
    """`codex exec` prints "hook: <event>" when it starts a hook and "hook: <event> <status>"
    when it ends; it does not show what the hook printed."""
    runs, pending = [], []
    for event, status in re.findall(r"^hook: (\w+)(?: (\w+))?$", stderr, flags=re.M):
        if not status:
            runs.append(HookRun(event=event, ok=False, output=None))
            pending.append(runs[-1])
        else:
            started = next(r for r in pending if r.event == event)
            pending.remove(started)
            started.ok = status == "Completed"
    return runs


def run(home: Path, calls: list[Call], *, cwd: Path | None = None, env: dict | None = None,
        mcp_tools: list[str] = (), args: list[str] = (), windows: bool = False) -> Run:
    """One `codex exec` in `home`, with CODEX_HOME at ~/.codex."""
    binary = WINDOWS_BINARY if windows else BINARY
    assert binary, "Codex is not installed (make test-hosts, make test-hosts-windows)"
    cwd = cwd or home / "project"
    (home / ".codex").mkdir(parents=True, exist_ok=True)  # Codex refuses a CODEX_HOME that is missing
    if windows:
        # Under wine, Codex cannot unlock this file to write it the first time (wine's server
        # answers the second UnlockFile with a lock conflict): it is written before.
        installation = home / ".codex" / "installation_id"
        if not installation.exists():
            installation.write_text(str(uuid.uuid4()))
    path = harness.windows_path if windows else str
    with harness.ScriptedModel("/v1/responses", lambda body: respond(calls, body)) as model:
        extra = {"CODEX_HOME": path(home / ".codex"), API_KEY_VARIABLE: "scripted"}
        argv = [path(binary), "exec", "--skip-git-repo-check", "--dangerously-bypass-approvals-and-sandbox",
                *overrides(model.url, mcp_tools, windows), *args, "Go."]
        returncode, stdout, stderr = harness.run_host(argv, harness.host_env(home, extra | (env or {}), windows),
                                                      cwd, windows=windows)
    results = [entry for entry in model.requests[-1].get("input", []) if is_result(entry)] if model.requests else []
    return Run(returncode, stdout, stderr, hook_runs(stderr), results, model.request_times)


def register_from_readme(folder: Path, form: str = "json") -> Path:
    """docs/registration.md's Codex block, as .codex/hooks.json (json) or .codex/config.toml
    (toml) in `folder`: a home (user settings) or a project."""
    name = {"json": "hooks.json", "toml": "config.toml"}[form]
    return harness.write(folder / ".codex" / name, harness.readme_block("Codex CLI", form))


def trusted_hash(event: str, matcher: str | None, hook: dict) -> str:
    """The hash Codex records when a hook is approved in /hooks: over the entry's normal form,
    without the fields that are not set."""
    entry = {"event_name": event, "hooks": [{"async": False} | hook]}
    if matcher is not None:
        entry["matcher"] = matcher
    text = json.dumps(entry, sort_keys=True, separators=(",", ":"))
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def approve(home: Path, *files: Path, windows: bool = False) -> None:
    """Approve every hook of these files (by default ~/.codex/hooks.json and config.toml), as a
    user does once in /hooks: one record per hook in ~/.codex/config.toml, keyed by the file's
    absolute path (as Windows writes it, under wine)."""
    config = home / ".codex" / "config.toml"
    records = []
    for path in files or (home / ".codex" / "hooks.json", config):
        if not path.exists():
            continue
        settings = json.loads(path.read_text()) if path.suffix == ".json" else tomllib.loads(path.read_text())
        for event, groups in settings.get("hooks", {}).items():
            if not isinstance(groups, list):  # earlier approval records
                continue
            snake = re.sub(r"(?<!^)(?=[A-Z])", "_", event).lower()
            for g, group in enumerate(groups):
                for h, hook in enumerate(group["hooks"]):
                    where = harness.windows_path(path.resolve()) if windows else path.resolve()
                    key = f"{where}:{snake}:{g}:{h}"
                    records.append(f"\n[hooks.state.{json.dumps(key)}]\n"
                                   f"trusted_hash = {json.dumps(trusted_hash(snake, group.get('matcher'), hook))}\n")
    add_to_config(home, "".join(records))


def trust_project(home: Path, project: Path) -> None:
    """Mark a project trusted, as Codex records it when the user trusts the folder."""
    add_to_config(home, f"\n[projects.{json.dumps(str(project.resolve()))}]\ntrust_level = \"trusted\"\n")


def add_to_config(home: Path, tables: str) -> None:
    config = home / ".codex" / "config.toml"
    harness.write(config, (config.read_text() if config.exists() else "") + tables)
