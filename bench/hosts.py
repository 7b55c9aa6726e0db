"""What the hook costs a real host per tool call, registered as the README says (synchronous).

Runs each host on one tool call, with the hook registered and without, pair after pair, and
takes the time from the model's tool call to the host's next request (the call, then its
PostToolUse hooks) as the scripted model server sees it. The figure is the median of the
per-pair differences. Claude Code also reports each hook's start and end; their distance is
shown beside it. Needs .venv-hosts (make test-hosts installs it).
"""

import argparse
import json
import statistics
import sys
import tempfile
from datetime import datetime
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from hosts import claude_code, codex, harness  # noqa: E402
from hosts.harness import Call  # noqa: E402

CASES = {
    "Bash line that names no skill": Call("Bash", {"command": "ls"}),
    "reported skill (Bash line running the CLI)": Call("Bash", {"command": "tovrin skills usage"}),
}


def prepare(host, home: Path, registered: bool):
    if registered and host is claude_code:
        claude_code.register_from_readme(home)
    elif registered:
        codex.register_from_readme(home)
        codex.approve(home)


def one_run(host, folder: Path, call: Call, registered: bool):
    """(ms from the tool call to the next request, hook runs with Claude Code's own timing)"""
    home = harness.new_home(Path(tempfile.mkdtemp(dir=folder)))
    prepare(host, home, registered)
    run = host.run(home, [call])
    assert run.returncode == 0 and len(run.request_times) == 2, run.describe()
    assert len(run.hooks) == registered, run.describe()
    return (run.request_times[1] - run.request_times[0]) * 1000, run


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
    parser.add_argument("--pairs", type=int, default=15)
    pairs = parser.parse_args().pairs
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        for name, host in (("Claude Code", claude_code), ("Codex", codex)):
            host.run(harness.new_home(Path(tempfile.mkdtemp(dir=folder))), [])  # warm the caches
            for case, call in CASES.items():
                differences, own = [], []
                for pair in range(pairs):
                    order = (True, False) if pair % 2 else (False, True)
                    gaps = {}
                    for registered in order:
                        gaps[registered], run = one_run(host, folder, call, registered)
                        if registered and host is claude_code:
                            own.append(claude_hook_ms(run))
                    differences.append(gaps[True] - gaps[False])
                line = f"{name:12} {case:45} +{statistics.median(differences):5.1f} ms"
                if own:
                    line += f"   (hook_started -> hook_response: {statistics.median(own):.0f} ms)"
                print(line + f"   [{pairs} pairs]", flush=True)


if __name__ == "__main__":
    main()
