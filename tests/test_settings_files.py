"""What install and uninstall do to a settings file that is not theirs: every value and the
layout kept as written, the owner, group, mode and hard links kept, nothing left beside it,
and no change lost that another program made meanwhile."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import FILES, LAUNCHER, OURS, as_user
from tovrin_skill_hooks import cli, files, registration as reg

OTHER = b'{\n  "env": {"SECRET": "s"}\n}\n'
ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
# File as written, its indent (empty: all on one line), and how it is set up: mode, owner
# (uid, gid), a second hard link, and the user (uid, other groups) who runs the command.
CASES = {
    "CRLF, 4 spaces": (b'{\r\n    "model": "opus",\r\n    "env": {"A": "1"}\r\n}\r\n', b"    ", {}),
    "tabs, mode 640": (b'{\n\t"env": {\n\t\t"A": "\\u00fc",\n\t\t"B": []\n\t}\n}\n', b"\t",
                       {"mode": 0o640}),
    "no final newline, two hard links": (b'{\n  "model": "opus"\n}', b"  ", {"link": True}),
    "numbers and escapes as written": (
        b'{"x": 1e999, "y": 0.10000000000000000000001, "z": -0, "s": "\\ud800\\/", "w": 1%s}' % (b"0" * 5000),
        b"", {}),
    "root on a user's 600 file": (OTHER, b"  ", {"mode": 0o600, "owner": (1234, 1234)}),
    "its user on a 640 user:team file": (OTHER, b"  ", {"mode": 0o640, "owner": (1234, 2345),
                                                        "user": (1234, [2345])}),
    # Its group cannot be given to a new file: the file is written in place.
    "its user, not in the file's group": (OTHER, b"  ", {"mode": 0o640, "owner": (1234, 2345),
                                                         "user": (1234, [])}),
}


@pytest.mark.parametrize("case", sorted(CASES))
def test_install_and_uninstall_keep_the_file_as_written(tmp_path, case):
    start, indent, setup = CASES[case]
    if "owner" in setup and not ROOT:
        pytest.skip("needs root, to give the file another owner")
    # A folder that the user can reach: pytest's own is root's alone.
    folder = Path(tempfile.mkdtemp()) if "user" in setup else tmp_path
    path = folder / "settings.json"

    def rewrite(edit) -> bytes:
        assert as_user(setup.get("user"), lambda: files.update_json(path, edit)) == 0
        after = os.stat(path)
        assert (after.st_uid, after.st_gid, after.st_mode, after.st_nlink) == \
            (before.st_uid, before.st_gid, before.st_mode, before.st_nlink)
        # Every name of the file holds the new text, and nothing is left beside them.
        assert [p.read_bytes() for p in folder.iterdir()] == [path.read_bytes()] * after.st_nlink
        return path.read_bytes()

    try:
        path.write_bytes(start)
        path.chmod(setup.get("mode", 0o644))
        if "owner" in setup:
            folder.chmod(0o755)
            os.chown(folder, *setup["owner"])
            os.chown(path, *setup["owner"])
        if "link" in setup:
            os.link(path, folder / "link.json")
        before = os.stat(path)
        text = rewrite(lambda settings: reg.install_into(settings, path, reg.entry(Path(LAUNCHER), "claude"), False))
        with files.whole_numbers():
            assert json.loads(text, parse_float=str) == \
                json.loads(start, parse_float=str) | {"hooks": {"PostToolUse": [OURS]}}
        assert b"\r\n" not in start or text.count(b"\n") == text.count(b"\r\n")
        indents = re.findall(rb"\n([ \t]*)", text)
        assert all(re.fullmatch(b"(%s)*" % indent, i) for i in indents) if indent else not indents
        assert rewrite(lambda settings: reg.uninstall_from(settings, path, False)) == start
    finally:
        if folder != tmp_path:
            shutil.rmtree(folder)


@pytest.mark.skipif(not ROOT, reason="needs root, to make a file for another user")
def test_root_makes_the_file_and_its_folder_for_the_folders_owner(tmp_path):
    os.chown(tmp_path, 1234, 2345)
    path = tmp_path / ".claude" / "settings.json"
    assert files.update_json(path, lambda settings: settings.update(model="opus")) == (None, True)
    assert {(p.stat().st_uid, p.stat().st_gid) for p in (path, path.parent)} == {(1234, 2345)}


WRITER = """import json, os, sys
with open(sys.argv[1], encoding="utf-8") as file:
    settings = json.load(file) | {sys.argv[2]: 0}
with open(sys.argv[1] + ".new", "w", encoding="utf-8") as file:
    json.dump(settings, file, indent=2)
os.replace(sys.argv[1] + ".new", sys.argv[1])
"""


@pytest.mark.parametrize("writes, commands", [(1, ["install", "uninstall"] * 3),
                                              (files.ATTEMPTS, ["install"] * 3)])
def test_a_key_that_another_program_adds_meanwhile_is_kept(tmp_path, monkeypatch, capsys, writes,
                                                           commands):
    """Another program adds a key to the file by replacing it, after the command has read the
    file and before it writes: on each command's first try, or on its every try."""
    path = tmp_path / FILES["claude"]
    path.parent.mkdir()
    path.write_text("{}")
    keys, codes = {}, []

    def after_another_write(edit):
        def edit_after_another_write(*args):
            if len(keys) < writes * (len(codes) + 1):
                keys[f"key{len(keys)}"] = 0
                subprocess.run([sys.executable, "-c", WRITER, str(path), f"key{len(keys) - 1}"],
                               check=True)
            return edit(*args)
        return edit_after_another_write

    for name in ("install_into", "uninstall_from"):
        monkeypatch.setattr(reg, name, after_another_write(getattr(reg, name)))
    for command in commands:
        codes.append(cli.main([command, "claude", "--project", str(tmp_path)]))
    if writes == 1:
        assert codes == [0] * len(commands) and json.loads(path.read_text()) == keys
    else:  # left as the other program last wrote it
        assert codes == [1] * len(commands) and path.read_text() == json.dumps(keys, indent=2)
        assert capsys.readouterr().err.count("another program changed the file") == len(commands)
    assert [p.name for p in path.parent.iterdir()] == ["settings.json"]


# Settings as a person or another program may lay them out: its values, indentation (None: all
# on one line), line breaks, and commas last or first on the line.
keys = st.sampled_from(["hooks", "PostToolUse", "matcher", "model", ""]) | st.text(max_size=4)
values = st.recursive(st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=4),
                      lambda inner: st.lists(inner, max_size=3) | st.dictionaries(keys, inner, max_size=3), max_leaves=12)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.dictionaries(keys, values, max_size=4), st.sampled_from([None, "", "  ", "\t"]), st.sampled_from(["\n", "\r\n"]),
       st.booleans(), st.booleans())
def test_install_gives_the_settings_and_the_entry_or_leaves_the_file(tmp_path, start, indent, newline, commas_first,
                                                                      keep_places):
    text = json.dumps(start, indent=indent).replace("\n", newline)
    path, text = tmp_path / "settings.json", (re.sub(r",(\r?\n[ \t]*)", r"\1, ", text) if commas_first else text).encode()
    path.write_bytes(text)
    try:
        files.update_json(path, lambda s: reg.install_into(s, path, reg.entry(Path(LAUNCHER), "codex"), keep_places))
    except reg.Problem as problem:  # refused as it stands, not for a text of the edit's own that would not parse
        assert path.read_bytes() == text and "would not leave valid JSON" not in str(problem)
        return
    expected = json.loads(text)
    expected.setdefault("hooks", {}).setdefault("PostToolUse", []).append(OURS)
    assert json.loads(path.read_bytes()) == expected
    files.update_json(path, lambda s: reg.uninstall_from(s, path, keep_places))
    assert path.read_bytes() == text if start and "hooks" not in start else isinstance(json.loads(path.read_bytes()), dict)
