"""The hook's entry: from a host event on standard input to one report, or none, and the exit status."""

import io
import os
import subprocess
import sys

import pytest

from conftest import (EVENTS_DIR, MODULE_NAME, StandInCLI, expected_reports, home_env, marker, posix_only, run_hook,
                      tree)


EVENTS = expected_reports()


def run_code(code, stdin, home, *args):
    return subprocess.run([sys.executable, "-c", code, *args], input=stdin, capture_output=True,
                          env=home_env(home), timeout=60)


def test_every_sample_event_is_listed():
    assert sorted(EVENTS) == sorted(p.name for p in EVENTS_DIR.glob("*.json"))


@pytest.mark.parametrize("name", sorted(EVENTS))
def test_sample_events_and_their_repeat(home, cli, name):
    skill = EVENTS[name]
    for _ in range(2):  # the host delivers it twice: the repeat starts no child
        result = run_hook((EVENTS_DIR / name).read_bytes(), home=home, executable=cli.interpreter)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    if skill is None:
        assert cli.calls() == [] and tree(home) == []
    else:
        assert cli.calls() == [[str(cli.path), "skills", "report-usage", skill]]
        assert os.listdir(home / ".tovrin" / "hooks") == [".dedup_" + skill]


@pytest.mark.parametrize("stdin, env", [
    (b"", {}), (b"  \n", {}), (b"{}", {}), (b'{"tool_name": "Skill", "tool_input": {"command": "tov-au', {}),
    (b"\xff\xfe\x00\x81", {}), (b'{"tool_name": "Skill", "tool_input": {"command": ""}}', {}),
    (b'{"tool_name": "mcp__tovrin__list_tables"}', {}), (b'{"tool_name": "Skill", "tool_input": {}}', {}),
    (b'{"tool_name": "Skill", "tool_input": {"command": "tov-auth\xff"}}', {"PYTHONIOENCODING": "utf-8:strict"}),
])
def test_input_without_a_skill_use_ends_quietly(home, cli, monkeypatch, stdin, env):
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    result = run_hook(stdin, home=home, executable=cli.interpreter)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert cli.calls() == [] and tree(home) == []


@pytest.mark.parametrize("stdin, last_line, inner", [
    ("[]", "TypeError: Argument 'data' has incorrect type (expected dict, got list)", []),
    ("null", "TypeError: Argument 'data' has incorrect type (expected dict, got NoneType)", []),
    ("3", "TypeError: Argument 'data' has incorrect type (expected dict, got int)", []),
    ('{"tool_name": null}', "AttributeError: 'NoneType' object has no attribute 'startswith'", []),
    ('{"tool_name": "Skill", "tool_input": {"command": 3}}', "TypeError: Expected str, got int", []),
    ('{"tool_name": "Bash", "tool_input": {"command": null}}',
     "TypeError: Argument 'command' has incorrect type (expected str, got NoneType)", ["_resolve_bash_tovrin_command"]),
])
def test_unhandled_errors_end_with_a_traceback(home, cli, stdin, last_line, inner):
    result = run_hook(stdin, home=home, executable=cli.interpreter)
    err = result.stderr.decode()
    assert (result.returncode, result.stdout) == (1, b"")
    assert err.splitlines()[0] == "Traceback (most recent call last):"
    assert err.splitlines()[-1] == last_line
    frames = [line.rsplit(", in ", 1)[1] for line in err.splitlines() if line.startswith("  File ")]
    assert [f for f in frames if f.startswith(MODULE_NAME)] == [
        f"{MODULE_NAME}.{name}" for name in ["main", "_resolve_skill_name", *inner]]
    assert cli.calls() == [] and tree(home) == []


@pytest.mark.parametrize("trouble", ["missing", "failing",
                                     pytest.param("not executable", marks=posix_only("file modes"))])
def test_a_broken_cli_goes_unnoticed_and_still_counts(home, tmp_path, trouble):
    folder = tmp_path / "bin"
    folder.mkdir()
    if trouble != "missing":
        cli = StandInCLI(folder, body='echo out; echo err >&2; exit 1')
        cli.path.chmod(0o755 if trouble == "failing" else 0o644)
    event = (EVENTS_DIR / "skill-legacy.json").read_bytes()
    for _ in range(2):
        result = run_hook(event, home=home, executable=str(folder / "python"))
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    if trouble == "failing":
        assert len(cli.calls()) == 1
    assert marker(home, "tov-dataset-query").is_file()


PROBE = f"""
import sys
sys.executable = sys.argv[1]
from {MODULE_NAME} import main
for name in ("time", "subprocess"):
    sys.modules.pop(name, None)
try:
    main()
finally:
    print(sorted(name for name in ("time", "subprocess") if name in sys.modules))
"""


@pytest.mark.parametrize("name, imported", [
    ("edit.json", []), ("bash-git.json", []), ("read-large.json", []),
    ("skill-legacy.json", ["subprocess", "time"]),
])
def test_events_without_a_skill_take_the_short_path(home, cli, name, imported):
    result = run_code(PROBE, (EVENTS_DIR / name).read_bytes(), home, cli.interpreter)
    assert (result.returncode, result.stdout.decode().splitlines(), result.stderr) == (0, [repr(imported)], b"")
    assert (tree(home) == []) is (imported == [])


SKILL = '{"tool_name": "Skill", "tool_input": {"command": "tov-inproc"}}'


@pytest.mark.parametrize("replacement", ["recording", "raising", "deleted"])
def test_report_errors_are_dropped(hook, home, monkeypatch, capfd, replacement):
    seen = []

    def report(name):
        seen.append(name)
        if replacement == "raising":
            raise ValueError("no report")

    if replacement == "deleted":
        monkeypatch.delattr(hook, "_report_usage")
    else:
        monkeypatch.setattr(hook, "_report_usage", report)
    monkeypatch.setattr(sys, "stdin", io.StringIO(SKILL))
    assert hook.main() is None
    assert seen == ([] if replacement == "deleted" else ["tov-inproc"])
    assert capfd.readouterr() == ("", "")
    assert marker(home, "tov-inproc").is_file()


@pytest.mark.parametrize("stdin, error, message", [
    ("", UnboundLocalError, "local variable 'data' referenced before assignment"),
    ("{}", TypeError, "Argument 'skill_name' has incorrect type (expected str, got NoneType)"),
])
def test_main_relies_on_exit_raising(hook, home, monkeypatch, stdin, error, message):
    codes = []
    monkeypatch.setattr(sys, "exit", lambda *args: codes.append(args))
    monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
    with pytest.raises(error) as info:
        hook.main()
    assert str(info.value) == message
    assert codes == [(0,)] and type(codes[0][0]) is int
    assert tree(home) == []


class Unreadable:
    def __init__(self, error):
        self.error = error

    def read(self):
        raise self.error


@pytest.mark.parametrize("stdin, outcome", [
    (Unreadable(OSError("gone")), SystemExit), (Unreadable(ValueError("closed")), SystemExit),
    (None, SystemExit), (Unreadable(KeyboardInterrupt()), KeyboardInterrupt),
])
def test_unreadable_input(hook, home, monkeypatch, stdin, outcome):
    monkeypatch.setattr(sys, "stdin", stdin)
    with pytest.raises(outcome) as info:
        hook.main()
    if outcome is SystemExit:
        assert info.value.code == 0
    assert tree(home) == []


AS_MAIN = f"""
import ctypes, importlib.machinery, importlib.util, sys
sys.executable = sys.argv[1]
origin = importlib.util.find_spec("{MODULE_NAME}").origin
assert "{MODULE_NAME}" not in sys.modules
init = ctypes.PyDLL(origin).PyInit_report_skill_usage
init.restype = ctypes.py_object
definition = init()
as_main = importlib.machinery.ModuleSpec("__main__", None, origin=origin)
create = ctypes.pythonapi.PyModule_FromDefAndSpec2
create.argtypes, create.restype = [ctypes.py_object, ctypes.py_object, ctypes.c_int], ctypes.py_object
execute = ctypes.pythonapi.PyModule_ExecDef
execute.argtypes, execute.restype = [ctypes.py_object, ctypes.py_object], ctypes.c_int
execute(create(definition, as_main, 1013), definition)
"""
IMPORTED = f"import sys; sys.executable = sys.argv[1]; import {MODULE_NAME}"


@pytest.mark.parametrize("code, name, reported", [
    (AS_MAIN, "skill-legacy.json", True), (AS_MAIN, "edit.json", False), (IMPORTED, "skill-legacy.json", False),
])
def test_executed_as_the_main_program_it_runs_main(home, cli, code, name, reported):
    result = run_code(code, (EVENTS_DIR / name).read_bytes(), home, cli.interpreter)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert cli.calls() == ([[str(cli.path), "skills", "report-usage", "tov-dataset-query"]] if reported else [])
