"""The installed hook as a host runs it: the launcher next to the interpreter, on events from
standard input, reporting through the installed stand-in CLI into its database."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import EVENTS_DIR, StandInCLI, expected_reports, marker, recorded_uses, run_hook

BIN = Path(sys.executable).parent
LAUNCHER = BIN / "tovrin-report-skill-usage"

# Each sample file and the skill it must report, None when it must be ignored, as the
# events' README lists them.
FILES = expected_reports()
# The demo's events that are written inline.
INLINE = {
    "mcp-feedback-submit": (b'{"tool_name": "mcp__tovrin__feedback_submit", "tool_input": {}}',
                            "tov-feedback"),
    "broken-json": (b'{"tool_name": "Skill", "tool_input": {"comm', None),
    "empty-input": (b"", None),
}
EVENTS = {name: ((EVENTS_DIR / name).read_bytes(), skill) for name, skill in FILES.items()}
EVENTS |= INLINE


def skill_event(name: str) -> bytes:
    return json.dumps({"hook_event_name": "PostToolUse", "tool_name": "Skill",
                       "tool_input": {"command": name}}).encode()


def environment(home: Path) -> dict:
    return dict(os.environ, HOME=str(home))


def deliver(event: bytes, home: Path) -> subprocess.CompletedProcess:
    return subprocess.run([str(LAUNCHER)], input=event, env=environment(home),
                          capture_output=True, timeout=60)


def test_every_sample_file_is_covered():
    assert sorted(FILES) == sorted(p.name for p in EVENTS_DIR.glob("*.json"))


@pytest.mark.parametrize("name", sorted(EVENTS))
def test_event_delivered_twice_is_recorded_once_or_not_at_all(tmp_path, name):
    event, skill = EVENTS[name]
    for _ in range(2):  # the second delivery is a repeat within the window
        result = deliver(event, tmp_path)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    if skill is None:
        assert recorded_uses(tmp_path) == {} and not (tmp_path / ".tovrin").exists()
    else:
        assert recorded_uses(tmp_path) == {skill: 1}
        assert marker(tmp_path, skill).read_bytes() == b""


def race(events: list[bytes], home: Path) -> list[subprocess.CompletedProcess]:
    """Start one hook per event, then hand them their events together, so that they race."""
    hooks = [subprocess.Popen([str(LAUNCHER)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=environment(home)) for _ in events]
    for hook, event in zip(hooks, events):
        hook.stdin.write(event)
    for hook in hooks:
        hook.stdin.close()  # each hook reads to the end of its input: this lets it go
        hook.stdin = None   # so that communicate() leaves it alone
    outputs = [h.communicate(timeout=60) for h in hooks]
    return [subprocess.CompletedProcess(h.args, h.returncode, *o) for h, o in zip(hooks, outputs)]


@pytest.mark.parametrize("stale_marker", [False, True])
def test_eight_deliveries_of_one_call_at_once_record_one_use(tmp_path, stale_marker):
    if stale_marker:  # a use of an hour ago: the window has passed
        path = marker(tmp_path, "tov-auth")
        path.parent.mkdir(parents=True)
        path.touch()
        os.utime(path, (path.stat().st_atime - 3600,) * 2)
    results = race([skill_event("tov-auth")] * 8, tmp_path)
    assert [(r.returncode, r.stdout, r.stderr) for r in results] == [(0, b"", b"")] * 8
    assert recorded_uses(tmp_path) == {"tov-auth": 1}


def test_sixteen_skills_at_once_are_all_recorded_uses(tmp_path):
    skills = [f"skill-{n:02}" for n in range(16)]
    results = race([skill_event(s) for s in skills], tmp_path)
    assert [(r.returncode, r.stdout, r.stderr) for r in results] == [(0, b"", b"")] * 16
    assert recorded_uses(tmp_path) == dict.fromkeys(skills, 1)
    assert all(marker(tmp_path, s).exists() for s in skills)


@pytest.mark.parametrize("cli_state", ["missing", "fails loudly", "not executable", "killed"])
def test_a_report_that_cannot_be_made_leaves_the_hook_silent(tmp_path, cli_state):
    folder, home = tmp_path / "bin", tmp_path / "home"
    folder.mkdir()
    home.mkdir()
    bodies = {"fails loudly": "echo out; echo err >&2; exit 3", "killed": "kill -9 $$"}
    cli = StandInCLI(folder, body=bodies.get(cli_state, "exit 0"))
    if cli_state == "missing":
        cli.path.unlink()
    elif cli_state == "not executable":
        cli.path.chmod(0o644)
    for _ in range(2):
        result = run_hook(skill_event("tov-skills"), home=home, executable=cli.interpreter)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    # The use still counts for the window: the second delivery starts no CLI.
    assert marker(home, "tov-skills").exists()
    runs = 1 if cli_state in bodies else 0  # a missing or unexecutable file never runs
    assert cli.calls() == [[str(cli.path), "skills", "report-usage", "tov-skills"]] * runs


def test_nothing_beside_the_launcher_is_imported(tmp_path):
    # A bin folder may hold anything; a json.py there must not stand in for the real one.
    (tmp_path / "json.py").write_text("raise SystemExit('imported the json.py beside the launcher')\n")
    launcher = tmp_path / LAUNCHER.name
    launcher.write_text(LAUNCHER.read_text())
    home = tmp_path / "home"
    home.mkdir()
    completed = subprocess.run([sys.executable, str(launcher)], input=b'{"tool_name": "Read"}',
                               capture_output=True, env=dict(os.environ, HOME=str(home)))
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, b"", b"")
