"""What the hook costs a real host per tool call, registered as docs/registration.md
says (synchronous).

Runs each host on one tool call in three arms: with nothing registered, with `true` registered
in the hook's place (the least any registered command costs), and with the hook, in turn,
round after round (rotating which arm goes first), and takes the time from the model's tool
call to the host's next request (the call, then its PostToolUse hooks) as the scripted model
server sees it. The figures are medians of the per-round differences against no hook, and of
the per-round ratios of the hook's time to `true`'s. Beside them: the launcher run by itself on
the same event in the same moments, and, for Claude Code, the distance between the hook's start
and end as the host reports them. Needs .venv-hosts (make test-hosts installs it).
"""

import argparse
import json
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from hosts import claude_code, codex, harness  # noqa: E402
from hosts.harness import Call  # noqa: E402

TRUE = shutil.which("true")
CLI_LINE = Call("Bash", {"command": "tovrin skills usage"})  # the skill tov-skills
# Each case: the tool call, and the skill whose marker is fresh when the call is made.
CASES = {
    "Bash line that names no skill": (Call("Bash", {"command": "ls"}), None),
    "suppressed repeat (Bash line running the CLI)": (CLI_LINE, "tov-skills"),
    "reported skill (Bash line running the CLI)": (CLI_LINE, None),
}
ARMS = ("none", "true", "hook")


def prepare(host, home: Path, arm: str, fresh_marker: str | None):
    # A home that has recorded a use before: the figure is a call's, not the first use's, which
    # also creates the database.
    subprocess.run([str(harness.BIN / "tovrin"), "skills", "report-usage", "earlier-skill"],
                   env=harness.host_env(home), check=True, timeout=60)
    if fresh_marker:
        marker = home / ".tovrin" / "hooks" / f".dedup_{fresh_marker}"
        marker.parent.mkdir(parents=True, exist_ok=True)
        marker.touch()
    if arm != "none":
        settings = (claude_code if host is claude_code else codex).register_from_readme(home)
        if arm == "true":
            settings.write_text(settings.read_text().replace(str(harness.LAUNCHER), TRUE))
        if host is codex:
            codex.approve(home)


def one_run(host, folder: Path, call: Call, arm: str, fresh_marker: str | None):
    """(ms from the tool call to the next request, the host's run)"""
    home = harness.new_home(Path(tempfile.mkdtemp(dir=folder)))
    prepare(host, home, arm, fresh_marker)
    run = host.run(home, [call])
    assert run.returncode == 0 and len(run.request_times) == 2, run.describe()
    assert len(run.hooks) == (arm != "none") and all(hook.ok for hook in run.hooks), run.describe()
    return (run.request_times[1] - run.request_times[0]) * 1000, run


def hook_alone_ms(folder: Path, call: Call, fresh_marker: str | None) -> float:
    """The launcher run by itself on the same call's event, in a home like the hosts'."""
    home = harness.new_home(Path(tempfile.mkdtemp(dir=folder)))
    prepare(None, home, "none", fresh_marker)
    event = json.dumps({"hook_event_name": "PostToolUse", "tool_name": call.tool, "tool_input": call.input})
    start = time.perf_counter()
    subprocess.run([str(harness.LAUNCHER)], input=event.encode(), env=harness.host_env(home),
                   check=True, timeout=60)
    return (time.perf_counter() - start) * 1000


def claude_hook_ms(run) -> float:
    """Claude Code's own hook_started -> hook_response distance, in ms."""
    stamps = {}
    for line in run.stdout.splitlines():
        event = json.loads(line) if line.startswith("{") else {}
        if event.get("subtype") in ("hook_started", "hook_response"):
            stamps[event["subtype"]] = datetime.fromisoformat(event["written_at"].replace("Z", "+00:00"))
    return (stamps["hook_response"] - stamps["hook_started"]).total_seconds() * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=15)
    rounds = parser.parse_args().rounds
    print("the machine is shared: other work ran beside these figures", flush=True)
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        for name, host in (("Claude Code", claude_code), ("Codex", codex)):
            host.run(harness.new_home(Path(tempfile.mkdtemp(dir=folder))), [])  # warm the caches
            for case, (call, fresh_marker) in CASES.items():
                hook_extra, true_extra, beyond_true, ratios, own, alone = [], [], [], [], [], []
                for index in range(rounds):
                    gaps = {}
                    for arm in ARMS[index % 3:] + ARMS[:index % 3]:
                        gaps[arm], run = one_run(host, folder, call, arm, fresh_marker)
                        if arm == "hook" and host is claude_code:
                            own.append(claude_hook_ms(run))
                    hook_extra.append(gaps["hook"] - gaps["none"])
                    true_extra.append(gaps["true"] - gaps["none"])
                    beyond_true.append(gaps["hook"] - gaps["true"])
                    ratios.append(gaps["hook"] / gaps["true"])
                    alone.append(hook_alone_ms(folder, call, fresh_marker))
                line = (f"{name:12} {case:46} hook +{statistics.median(hook_extra):4.0f} ms"
                        f"  true +{statistics.median(true_extra):4.0f} ms"
                        f"  hook/true {statistics.median(ratios):5.2f}"
                        f" (+{statistics.median(beyond_true):4.0f} ms)"
                        f"   hook alone {statistics.median(alone):4.0f} ms")
                if own:
                    line += f"   hook_started -> hook_response {statistics.median(own):4.0f} ms"
                print(line + f"   [{rounds} rounds]", flush=True)


if __name__ == "__main__":
    main()
