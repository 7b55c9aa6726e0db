"""Reporting one use: the product CLI next to the interpreter, run with a fixed argument vector."""

import os
import subprocess
import sys
import types

import pytest

from conftest import WINDOWS, StandInCLI, posix_only, process_exists
from support import Text

NAMES = ["tov-auth", "my skill", "it's \"quoted\"", "$(touch pwned)", "`id`; rm -rf x | y && z",
         "-v", "--help", "技能-ü", "*", "", " padded "]


@pytest.fixture
def beside(hook, cli, monkeypatch):
    """The hook believes its interpreter lives in the stand-in CLI's folder."""
    monkeypatch.setattr(hook, "sys", types.SimpleNamespace(executable=cli.interpreter))
    return cli


@pytest.mark.parametrize("name", NAMES)
def test_the_name_reaches_the_cli_as_one_argument(hook, beside, tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    assert hook._report_usage(name) is None
    assert beside.calls() == [[str(beside.path), "skills", "report-usage", name]]
    assert not (tmp_path / "pwned").exists()


def test_keyword_call(hook, beside):
    assert hook._report_usage(skill_name="tov-auth") is None
    assert beside.calls() == [[str(beside.path), "skills", "report-usage", "tov-auth"]]


def test_tovrin_exe_is_preferred_on_every_system(hook, beside):
    exe = StandInCLI(beside.folder, name="tovrin.exe")
    hook._report_usage("tov-auth")
    assert beside.calls() == [[str(exe.path), "skills", "report-usage", "tov-auth"]]


def test_missing_cli_is_not_searched_for_on_path(hook, tmp_path, monkeypatch):
    empty = tmp_path / "empty"
    empty.mkdir()
    on_path = tmp_path / "on_path"
    on_path.mkdir()
    other = StandInCLI(on_path)
    StandInCLI(on_path, name="tovrin.exe")
    monkeypatch.setenv("PATH", f"{on_path}{os.pathsep}{os.environ.get('PATH', '')}")
    monkeypatch.chdir(on_path)
    monkeypatch.setattr(hook, "sys", types.SimpleNamespace(executable=str(empty / "python")))
    with pytest.raises(FileNotFoundError) as info:
        hook._report_usage("tov-auth")
    assert info.value.filename == (None if WINDOWS else str(empty / "tovrin"))  # CreateProcess names none
    assert other.calls() == []


@posix_only("file modes, and a script run by its #! line")
@pytest.mark.parametrize("blocked", ["tovrin", "tovrin.exe"])
def test_a_file_that_cannot_be_run(hook, beside, blocked):
    if blocked == "tovrin.exe":  # found first, so it is the one run, executable or not
        (beside.folder / "tovrin.exe").write_text("#!/bin/sh\nexit 0\n")
    else:
        beside.path.chmod(0o644)
    with pytest.raises(PermissionError):
        hook._report_usage("tov-auth")
    assert beside.calls() == []


def test_output_and_failure_of_the_cli_are_ignored(hook, tmp_path, monkeypatch, capfd):
    noisy = StandInCLI(tmp_path, body='echo "to stdout"; echo "to stderr" >&2; exit 1')
    monkeypatch.setattr(hook, "sys", types.SimpleNamespace(executable=noisy.interpreter))
    assert hook._report_usage("tov-auth") is None
    assert noisy.calls() == [[str(noisy.path), "skills", "report-usage", "tov-auth"]]
    assert capfd.readouterr() == ("", "")


def test_a_cli_that_hangs_is_killed_after_ten_seconds(hook, tmp_path, monkeypatch):
    pid_file = tmp_path / "pid"
    slow = StandInCLI(tmp_path, body=f'echo $$ > "{pid_file}"; exec sleep 60')
    monkeypatch.setattr(hook, "sys", types.SimpleNamespace(executable=slow.interpreter))
    with pytest.raises(subprocess.TimeoutExpired) as info:
        hook._report_usage("tov-auth")
    assert info.value.timeout == 10
    assert info.value.cmd == [str(slow.path), "skills", "report-usage", "tov-auth"]
    assert not process_exists(int(pid_file.read_text()))  # killed and reaped


def test_subprocess_is_imported_at_each_call(hook, beside, monkeypatch):
    seen = []
    fake = types.ModuleType("subprocess")
    fake.run = lambda *args, **kwargs: seen.append((args, kwargs)) or "completed"
    assert "subprocess" not in vars(hook)
    monkeypatch.setitem(sys.modules, "subprocess", fake)
    assert hook._report_usage("tov-auth") is None
    assert seen == [(([str(beside.path), "skills", "report-usage", "tov-auth"],),
                     {"capture_output": True, "timeout": 10})]
    assert "subprocess" not in vars(hook)
    assert beside.calls() == []


def test_sys_is_read_from_the_module_at_each_call(hook, tmp_path, monkeypatch):
    clis = []
    for folder in (tmp_path / "a", tmp_path / "b"):
        folder.mkdir()
        clis.append(cli := StandInCLI(folder))
        monkeypatch.setattr(hook, "sys", types.SimpleNamespace(executable=cli.interpreter))
        hook._report_usage("tov-auth")
    assert [c.calls() for c in clis] == [[[str(c.path), "skills", "report-usage", "tov-auth"]] for c in clis]


@pytest.mark.parametrize("args", [(None,), (1,), (Text("tov-auth"),), (), ("a", "b")])
def test_bad_arguments_start_no_child(hook, beside, args):
    with pytest.raises(TypeError):
        hook._report_usage(*args)
    assert beside.calls() == []
