"""The installed hook as a host runs it: the launcher next to the interpreter, on events from
standard input, reporting through the installed stand-in CLI into its database."""

import codecs
import importlib.machinery
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest

from conftest import (EVENTS_DIR, WINDOWS, StandInCLI, expected_reports, home_env, marker, posix_only,
                      recorded_uses, run_hook)

BIN = Path(sysconfig.get_path("scripts"))  # a venv's bin folder, or Scripts\ on Windows
LAUNCHER = BIN / ("tovrin-report-skill-usage" + (".exe" if WINDOWS else ""))
PYTHON_LAUNCHER = BIN / "tovrin-report-skill-usage-python"  # where the native launcher hands over

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


def deliver(event: bytes, home: Path, env: dict | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([str(LAUNCHER)], input=event, env=env or home_env(home),
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
                              stderr=subprocess.PIPE, env=home_env(home)) for _ in events]
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


@pytest.fixture(scope="module")
def nfs_flock(tmp_path_factory) -> Path:
    """A library to preload that gives flock() as Linux's NFS client does (see nfs_flock.c)."""
    library = tmp_path_factory.mktemp("nfs") / "nfs_flock.so"
    subprocess.run([os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror",
                    str(Path(__file__).with_name("nfs_flock.c")), "-o", str(library)], check=True)
    return library


@posix_only("NFS's flock() by LD_PRELOAD, and file modes")
@pytest.mark.parametrize("locks, mode", [
    ("nfs", 0o644),    # an exclusive lock there needs the marker open for writing
    ("local", 0o444),  # a marker that may not be written is still locked, read-only
])
def test_three_deliveries_in_a_row_record_one_use_on_any_home(tmp_path, nfs_flock, locks, mode):
    path = marker(tmp_path, "tov-auth")  # a use of an hour ago: each delivery takes the lock
    path.parent.mkdir(parents=True)
    path.touch(mode)
    if not mode & 0o200 and os.access(path, os.W_OK):
        pytest.skip("this user may write a file of any mode (root)")
    os.utime(path, (path.stat().st_atime - 3600,) * 2)
    env = home_env(tmp_path)
    if locks == "nfs":  # after what is preloaded already (the sanitizer runtime comes first)
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(nfs_flock)]))
    for _ in range(3):
        result = deliver(skill_event("tov-auth"), tmp_path, env)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert recorded_uses(tmp_path) == {"tov-auth": 1}
    assert abs(path.stat().st_mtime - time.time()) < 30  # the use let through is the marker's time


@pytest.fixture(scope="module")
def single_byte_locales(tmp_path_factory) -> Path:
    """A LOCPATH with French locales in Latin-1 and in CP1252, made by glibc's localedef from
    the machine's own locale sources, where it has them."""
    if shutil.which("localedef") is None:
        pytest.skip("no localedef: not a glibc system")
    folder = tmp_path_factory.mktemp("locales")
    for charmap in ("ISO-8859-1", "CP1252"):
        made = subprocess.run(["localedef", "-i", "fr_FR", "-f", charmap, str(folder / f"fr_FR.{charmap}")],
                              capture_output=True, text=True)
        if made.returncode != 0:
            pytest.skip(f"localedef cannot make {charmap} here (its sources: Debian's locales package)")
    return folder


@pytest.mark.parametrize("setting, codec", [
    ("PYTHONIOENCODING", "latin-1"),  # the interpreter's own override: the same on every machine
    ("PYTHONIOENCODING", "cp1252"),
    *[pytest.param("LC_ALL", codec, marks=posix_only("glibc's locales"))  # where this machine can make them
      for codec in ("ISO-8859-1", "CP1252")],
])
def test_the_event_is_read_as_utf8_whatever_the_locale(tmp_path, request, setting, codec):
    env = home_env(tmp_path)
    for variable in ("PYTHONUTF8", "PYTHONIOENCODING"):
        env.pop(variable, None)
    if setting == "LC_ALL":
        env |= {"LOCPATH": str(request.getfixturevalue("single_byte_locales")), "LC_ALL": f"fr_FR.{codec}"}
    else:
        env[setting] = codec
    probe = subprocess.run([sys.executable, "-c", "import sys; print(sys.stdin.encoding)"], env=env,
                           capture_output=True, text=True, check=True)
    assert codecs.lookup(probe.stdout.strip()).name == codecs.lookup(codec).name  # the setting took
    # "données" would be misread in Latin-1; the UTF-8 of "Ő" holds 0x90, which CP1252 lacks.
    event = json.dumps({"tool_name": "Skill", "tool_input": {"skill": "données", "args": "Ő"}},
                       ensure_ascii=False).encode()
    result = deliver(event, tmp_path, env)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert recorded_uses(tmp_path) == {"données": 1}


@posix_only("closing fd 0 in the child before exec")
def test_no_standard_input_at_all_ends_quietly(tmp_path):
    # fd 0 closed: the interpreter has no sys.stdin for the launcher to set to UTF-8.
    result = subprocess.run([str(LAUNCHER)], preexec_fn=lambda: os.close(0), env=home_env(tmp_path),
                            capture_output=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert not (tmp_path / ".tovrin").exists()


@pytest.mark.parametrize("cli_state", ["missing", "fails loudly", "killed",
                                       pytest.param("not executable", marks=posix_only("file modes"))])
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
    launcher = tmp_path / PYTHON_LAUNCHER.name
    launcher.write_text(PYTHON_LAUNCHER.read_text())
    home = tmp_path / "home"
    home.mkdir()
    completed = subprocess.run([sys.executable, str(launcher)], input=b'{"tool_name": "Read"}',
                               capture_output=True, env=home_env(home))
    assert (completed.returncode, completed.stdout, completed.stderr) == (0, b"", b"")


@pytest.mark.skipif(WINDOWS, reason="the embeddable interpreter's ._pth file imports site whatever -S says")
def test_a_hook_module_missing_from_the_search_path_is_named_in_one_line(tmp_path):
    # Without the site module the search path holds the standard library alone: a broken install.
    listed = subprocess.run([sys.executable, "-S", "-c", "import json, sys; print(json.dumps(sys.path[1:]))"],
                            capture_output=True, check=True)
    entries = json.loads(listed.stdout)
    completed = subprocess.run([sys.executable, "-S", str(PYTHON_LAUNCHER)], input=skill_event("tov-auth"),
                               capture_output=True, env=home_env(tmp_path))
    suffixes = "|".join(importlib.machinery.EXTENSION_SUFFIXES)
    assert (completed.returncode, completed.stdout) == (127, b"")
    assert completed.stderr.decode() == (
        f"{PYTHON_LAUNCHER.name}: cannot find the hook's module "
        f"tovrin/skills/hooks/report_skill_usage({suffixes}) in any of: {', '.join(entries)}\n")
    assert not (tmp_path / ".tovrin").exists()
