"""The stand-in product CLI, run as real processes with a home folder of their own."""

import json
import os
import re
import subprocess
import sys
from datetime import datetime, timezone
from pathlib import Path

import pytest

STANDIN = Path(__file__).resolve().parents[1] / "standin"
ISO_UTC = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z")


def tovrin_command(*args):
    return [sys.executable, "-m", "tovrin_standin", *args]


def environment(home):
    # A zone far from UTC, so that local times would show up as wrong.
    return dict(os.environ, HOME=str(home), PYTHONPATH=str(STANDIN), TZ="Asia/Kolkata")


def tovrin(home, *args):
    return subprocess.run(tovrin_command(*args), cwd=STANDIN, env=environment(home),
                          capture_output=True, text=True, timeout=60)


def utc_now():
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def report(home, skill):
    result = tovrin(home, "skills", "report-usage", skill)
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")


def usage_json(home):
    result = tovrin(home, "skills", "usage", "--json")
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("skill", ["two words", "it's \"quoted\"", "résumé ✓ 技能", "-x", "--help"])
def test_awkward_names_are_recorded_exactly(tmp_path, skill):
    report(tmp_path, skill)
    [entry] = usage_json(tmp_path)
    assert (entry["skill"], entry["count"]) == (skill, 1)


def test_usage_counts_and_times_per_skill(tmp_path):
    before = utc_now()
    for skill in ["pdf", "docx", "pdf", "pdf"]:
        report(tmp_path, skill)
    after = utc_now()

    uses = usage_json(tmp_path)
    assert [(u["skill"], u["count"]) for u in uses] == [("docx", 1), ("pdf", 3)]
    for u in uses:
        assert ISO_UTC.fullmatch(u["first"]) and ISO_UTC.fullmatch(u["last"])
        assert before <= u["first"] <= u["last"] <= after  # UTC, not local time
    assert uses[0]["first"] == uses[0]["last"] and uses[1]["first"] < uses[1]["last"]

    table = tovrin(tmp_path, "skills", "usage")
    assert table.returncode == 0
    rows = [line.split() for line in table.stdout.splitlines()[1:]]
    assert [row[:2] for row in rows] == [["docx", "1"], ["pdf", "3"]]
    assert rows[1][2:] == [uses[1]["first"], uses[1]["last"]]


@pytest.mark.parametrize("args, expected", [([], "no skill uses recorded\n"), (["--json"], "[]\n")])
def test_usage_without_database_is_empty_and_creates_nothing(tmp_path, args, expected):
    result = tovrin(tmp_path, "skills", "usage", *args)
    assert (result.returncode, result.stdout) == (0, expected)
    assert list(tmp_path.iterdir()) == []


def test_simultaneous_reports_are_all_recorded(tmp_path):
    command = tovrin_command("skills", "report-usage", "busy")
    processes = [subprocess.Popen(command, cwd=STANDIN, env=environment(tmp_path),
                                  stderr=subprocess.PIPE, text=True) for _ in range(20)]
    outcomes = [(p.wait(timeout=60), p.stderr.read()) for p in processes]
    assert outcomes == [(0, "")] * 20
    assert usage_json(tmp_path)[0]["count"] == 20


@pytest.mark.parametrize("spoil", ["home_is_a_file", "database_is_a_folder"])
def test_unwritable_store_fails_with_one_line(tmp_path, spoil):
    home = tmp_path / "home"
    if spoil == "home_is_a_file":
        home.write_text("")
    else:
        (home / ".tovrin" / "usage.db").mkdir(parents=True)
    result = tovrin(home, "skills", "report-usage", "pdf")
    assert result.returncode == 1
    assert re.fullmatch(r"tovrin: cannot record usage: [^\n]+\n", result.stderr)


HELP = [["-h"], ["--help"], ["skills", "-h"], ["skills", "--help"], ["skills", "usage", "-h"]]
MISUSES = [[], ["skills"], ["report-usage", "pdf"], ["skills", "bogus"], ["skills", "report-usage"],
           ["skills", "report-usage", "a", "b"], ["skills", "usage", "--xml"]]


@pytest.mark.parametrize("args, code", [(a, 0) for a in HELP] + [(a, 2) for a in MISUSES])
def test_usage_text_on_stdout_for_help_and_on_stderr_for_misuse(tmp_path, args, code):
    result = tovrin(tmp_path, *args)
    shown, silent = (result.stdout, result.stderr) if code == 0 else (result.stderr, result.stdout)
    assert (result.returncode, silent) == (code, "")
    assert shown.startswith("usage: tovrin")
    assert list(tmp_path.iterdir()) == []  # nothing recorded or created


INSTALLED = Path(sys.executable).parent / "tovrin"


@pytest.mark.skipif(not INSTALLED.exists(), reason="project not installed in this environment")
def test_installed_script_next_to_interpreter_records(tmp_path):
    # The hook runs the CLI from the interpreter's folder, not through `python -m`.
    env = dict(os.environ, HOME=str(tmp_path))
    result = subprocess.run([INSTALLED, "skills", "report-usage", "-x"], env=env, timeout=60)
    assert result.returncode == 0
    [entry] = usage_json(tmp_path)
    assert (entry["skill"], entry["count"]) == ("-x", 1)
