"""Repeated calls on every path, errors included, keep the interpreter's block count flat."""

import io
import subprocess
import sys

import pytest

from support import Text

CALLS = 3000


def exercise(function, arguments):
    for args, kwargs in arguments:
        try:
            function(*args, **kwargs)
        except (Exception, SystemExit):
            pass


def assert_flat(function, arguments, calls=CALLS):
    rounds = max(1, calls // len(arguments))
    for _ in range(rounds):  # warm caches: interned names, type caches, first imports
        exercise(function, arguments)
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        exercise(function, arguments)
    grown = sys.getallocatedblocks() - before
    assert grown < rounds // 2, f"{grown} blocks more after {rounds} rounds"


ARGUMENT_ERRORS = [((), {}), ((1, 2), {}), ((None,), {}), ((Text("x"),), {}), (("x",), {"x": 1})]


def test_resolution(hook):
    events = [
        {"tool_name": "Skill", "tool_input": {"command": "tov-auth"}},
        {"tool_name": "Skill", "tool_input": {"skill": "tov-auth", "args": "x"}},
        {"tool_name": "Skill", "tool_input": {"command": 3}},
        {"tool_name": "Skill", "tool_input": "text"},
        {"tool_name": "mcp__tovrin__query_run"},
        {"tool_name": "mcp__tovrin__nothing"},
        {"tool_name": "Bash", "tool_input": {"command": "python -m tovrin auth login"}},
        {"tool_name": "Bash", "tool_input": {"command": None}},
        {"tool_name": None},
        {"tool_name": "Read", "tool_input": {"file_path": "/x"}},
    ]
    assert_flat(hook._resolve_skill_name, [((e,), {}) for e in events] + [(([],), {})] + ARGUMENT_ERRORS)
    lines = ["tovrin auth login", '"C:\\t\\TOVRIN.EXE" Skills', "git status", "TOVRİN aüth", "tovrin", "\u3000"]
    assert_flat(hook._resolve_bash_tovrin_command, [((line,), {}) for line in lines] + ARGUMENT_ERRORS)


def test_duplicate_suppression(hook, home):
    names = ["tov-auth", "a/../b", "fresh-{}"]
    assert_flat(hook._is_duplicate, [((n,), {}) for n in names] + ARGUMENT_ERRORS, calls=1000)


def missing_cli(*args, **kwargs):
    raise FileNotFoundError(2, "No such file or directory")


def cli_ran(*args, **kwargs):
    return subprocess.CompletedProcess(args, 0)


# subprocess.run stands in for the process start, whose own blocks are the interpreter's: on
# Windows a failed start keeps a few hundred of them, turning over.
@pytest.mark.parametrize("run", [missing_cli, cli_ran])
def test_report(hook, cli, monkeypatch, run):
    monkeypatch.setattr(hook, "sys", type("Sys", (), {"executable": str(cli.folder / "missing" / "python")}))
    monkeypatch.setattr(subprocess, "run", run)
    assert_flat(hook._report_usage, [(("tov-auth",), {})] + ARGUMENT_ERRORS, calls=300)


@pytest.mark.parametrize("stdin", ['{"tool_name": "Read"}', "not json", "[]", '{"tool_name": null}'])
def test_main(hook, monkeypatch, stdin):
    class Input(io.StringIO):
        def read(self):
            return stdin

    monkeypatch.setattr(sys, "stdin", Input())
    assert_flat(hook.main, [((), {}), ((1,), {}), ((), {"x": 1})])
