"""Runs the installed hook as an agent host would, on a handful of events in a row, in a
throwaway home folder, and tells for each what came of it; then shows the recorded uses.

What happened is read off the stand-in CLI's records and the hook's marker files."""

import json
import os
import subprocess
import sys
import tempfile
import tomllib
from pathlib import Path

BIN = Path(sys.executable).parent          # the launcher and the stand-in CLI live here
HOOK = BIN / "tovrin-report-skill-usage"
CLI = BIN / "tovrin"
EVENTS = Path(__file__).resolve().parents[1] / "examples" / "events"
OUTCOMES = tomllib.loads((EVENTS / "outcomes.toml").read_text(encoding="utf-8"))


def sample(file_name: str) -> tuple[str | None, bytes]:
    """The skill a sample event must report (None: none), as the events' outcomes.toml says,
    and the event as the host writes it."""
    return OUTCOMES[file_name].get("reports"), (EVENTS / file_name).read_bytes()


def inline(tool_name: str, tool_input: dict) -> bytes:
    """A tool call that no sample shows, written as the host would."""
    return json.dumps({"hook_event_name": "PostToolUse", "tool_name": tool_name,
                       "tool_input": tool_input}).encode()


# (what it is, the skill its tool call names or None, the event as the host writes it)
SKILL_CALL = sample("skill-legacy.json")
STEPS = [
    ("Skill tool, older form {command}", *SKILL_CALL),
    ("the same Skill call again", *SKILL_CALL),
    ("MCP tool mcp__tovrin__feedback_submit", "tov-feedback",
     inline("mcp__tovrin__feedback_submit", {"text": "works"})),
    ("Bash: python -m tovrin skills list", *sample("bash-python-m.json")),
    ("Skill tool, current form {skill, args}", *sample("skill-current.json")),
    ("Read of a source file", *sample("read-large.json")),
    ("broken JSON", None, b'{"tool_name": "Skill", "tool_input": {"comm'),
]


def counts(env: dict) -> dict:
    out = subprocess.run([str(CLI), "skills", "usage", "--json"], env=env, check=True,
                         capture_output=True, text=True).stdout
    return {row["skill"]: row["count"] for row in json.loads(out)}


def markers(home: Path) -> dict:
    folder = home / ".tovrin" / "hooks"
    return {p.name.removeprefix(".dedup_"): p.stat().st_mtime_ns
            for p in folder.glob(".dedup_*")} if folder.is_dir() else {}


def outcome(named, before, after, marks_before, marks_after) -> str:
    reported = [s for s in after if after[s] > before.get(s, 0)]
    if reported:
        return "reported " + ", ".join(reported)
    touched = [s for s in marks_after if marks_after[s] != marks_before.get(s)]
    if touched:  # let through by the marker, yet the stand-in recorded nothing
        return "let through, but nothing recorded: " + ", ".join(touched)
    if named is not None and named in marks_before:
        return "suppressed as a repeat"
    return "ignored"


def main() -> int:
    print(f"hook:   {HOOK}\nevents: {EVENTS}\n")
    with tempfile.TemporaryDirectory(prefix="tovrin-demo-") as folder:
        home = Path(folder)
        env = dict(os.environ, HOME=str(home))
        for number, (what, named, data) in enumerate(STEPS, 1):
            before, marks_before = counts(env), markers(home)
            run = subprocess.run([str(HOOK)], input=data, env=env, capture_output=True)
            result = outcome(named, before, counts(env), marks_before, markers(home))
            print(f"{number}. {what:<40} {result:<32} exit {run.returncode}")
            for stream, text in (("stdout", run.stdout), ("stderr", run.stderr)):
                if text:  # the hook is meant to print nothing: show it if it does
                    print(f"   {stream}: {text.decode(errors='replace').strip()}")
        print("\n$ tovrin skills usage")
        sys.stdout.flush()
        subprocess.run([str(CLI), "skills", "usage"], env=env, check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
