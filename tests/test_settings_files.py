"""What install and uninstall do to a settings file that is not theirs: every value and the
layout kept as written, the owner, group, mode and hard links kept, nothing left beside it,
and no change lost that another program made meanwhile."""

import json
import os
import re
import subprocess
import sys
import tempfile
import traceback
from pathlib import Path

import pytest

from test_install_command import FILES, LAUNCHER, OURS
from tovrin_skill_hooks import cli, files, registration as reg

OTHER = b'{\n  "env": {"SECRET": "s"}\n}\n'
ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
# File as written, its indent (None: all on one line), and how it is set up: mode, owner
# (uid, gid), a second hard link, and the user (uid, other groups) who runs the command.
CASES = {
    "CRLF, 4 spaces": (b'{\r\n    "model": "opus",\r\n    "env": {"A": "1"}\r\n}\r\n', "    ", {}),
    "tabs, mode 640": (b'{\n\t"env": {\n\t\t"A": "\\u00fc",\n\t\t"B": []\n\t}\n}\n', "\t",
                       {"mode": 0o640}),
    "no final newline, two hard links": (b'{\n  "model": "opus"\n}', "  ", {"link": True}),
    "numbers and escapes as written": (
        b'{"x": 1e999, "y": 0.10000000000000000000001, "z": -0, "s": "\\ud800\\/"}', None, {}),
    "root on a user's 600 file": (OTHER, "  ", {"mode": 0o600, "owner": (1234, 1234)}),
    "its user on a 640 user:team file": (OTHER, "  ", {"mode": 0o640, "owner": (1234, 2345),
                                                       "user": (1234, [2345])}),
    # Its group cannot be given to a new file: the file is written in place.
    "its user, not in the file's group": (OTHER, "  ", {"mode": 0o640, "owner": (1234, 2345),
                                                        "user": (1234, [])}),
}


def as_user(user, action) -> int:
    """Runs `action` in a child process, as `user` (uid, other groups) if given; its status."""
    child = os.fork()
    if child == 0:
        try:
            if user:
                os.setgroups(user[1])
                os.setgid(user[0])
                os.setuid(user[0])
            action()
            os._exit(0)
        except BaseException:
            traceback.print_exc()
            os._exit(1)
    return os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])


@pytest.mark.parametrize("case", sorted(CASES))
def test_install_and_uninstall_keep_the_file_as_written(tmp_path, case):
    start, indent, setup = CASES[case]
    if "owner" in setup and not ROOT:
        pytest.skip("needs root, to give the file another owner")
    # A folder that the user can reach, where pytest's own is root's alone.
    folder = Path(tempfile.mkdtemp()) if "user" in setup else tmp_path
    try:
        path = folder / "settings.json"
        path.write_bytes(start)
        path.chmod(setup.get("mode", 0o644))
        if "owner" in setup:
            folder.chmod(0o755)
            os.chown(folder, *setup["owner"])
            os.chown(path, *setup["owner"])
        if setup.get("link"):
            os.link(path, folder / "link.json")
        before = os.stat(path)
        for edit, expected in (
                (lambda s: reg.install_into(s, path, Path(LAUNCHER), False),
                 json.loads(start, parse_float=str) | {"hooks": {"PostToolUse": [OURS]}}),
                (lambda s: reg.uninstall_from(s, path, False), None)):
            assert as_user(setup.get("user"), lambda: files.update_json(path, edit)) == 0
            text = path.read_bytes()
            after = os.stat(path)
            assert (after.st_uid, after.st_gid, after.st_mode, after.st_nlink) == \
                (before.st_uid, before.st_gid, before.st_mode, before.st_nlink)
            assert sorted(p.name for p in folder.iterdir()) == \
                ["link.json", "settings.json"][not setup.get("link"):]
            if setup.get("link"):
                assert (folder / "link.json").read_bytes() == text
            if expected is None:
                assert text == start
                continue
            assert json.loads(text, parse_float=str) == expected
            if b"\r\n" in start:
                assert text.count(b"\n") == text.count(b"\r\n")
            if indent is None:
                assert b"\n" not in text
            else:
                assert all(re.fullmatch(f"({indent})*".encode(), found)
                           for found in re.findall(rb"\n([ \t]*)", text))
    finally:
        if folder != tmp_path:
            subprocess.run(["rm", "-rf", str(folder)], check=True)


WRITER = """import json, os, sys
for number, _ in enumerate(sys.stdin):
    with open(sys.argv[1], encoding="utf-8") as file:
        settings = json.load(file)
    settings[f"key{number}"] = number
    with open(sys.argv[1] + ".new", "w", encoding="utf-8") as file:
        json.dump(settings, file, indent=2)
    os.replace(sys.argv[1] + ".new", sys.argv[1])
    print(flush=True)
"""


@pytest.mark.parametrize("writes, commands", [(1, ["install", "uninstall"] * 3),
                                              (files.ATTEMPTS, ["install"] * 3)])
def test_a_key_that_another_program_adds_meanwhile_is_kept(tmp_path, monkeypatch, capsys, writes,
                                                           commands):
    """Another program adds a key to the file by replacing it, after the command has read the
    file and before it writes, on the command's first try or on every try."""
    path = tmp_path / FILES["claude"]
    path.parent.mkdir()
    path.write_text("{}")
    writer = subprocess.Popen([sys.executable, "-c", WRITER, str(path)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    tries = []

    def interrupted(edit):
        def edit_after_another_write(*args):
            if len(tries) < writes:
                writer.stdin.write("\n")
                writer.stdin.flush()
                writer.stdout.readline()
            tries.append(edit)
            return edit(*args)
        return edit_after_another_write

    for name in ("install_into", "uninstall_from"):
        monkeypatch.setattr(reg, name, interrupted(getattr(reg, name)))
    codes = []
    for command in commands:
        tries.clear()
        codes.append(cli.main([command, "claude", "--project", str(tmp_path)]))
    writer.stdin.close()
    assert writer.wait() == 0
    keys = {f"key{n}": n for n in range(writes * len(commands))}
    if writes == 1:
        assert codes == [0] * len(commands) and json.loads(path.read_text()) == keys
    else:
        # Left as the other program last wrote it.
        assert codes == [1] * len(commands) and path.read_text() == json.dumps(keys, indent=2)
        assert capsys.readouterr().err.count("another program changed the file") == len(commands)
    assert sorted(p.name for p in path.parent.iterdir()) == ["settings.json"]
