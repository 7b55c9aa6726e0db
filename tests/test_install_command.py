"""`tovrin-skill-hooks`, the installed command, run as a user runs it with a home folder of
its own: what install and uninstall make of each kind of settings file, and what status
says of registrations that will and will not run."""

import json
import os
import resource
import shlex
import subprocess
import sys
from pathlib import Path, PureWindowsPath

import pytest

from support import FILES, LAUNCHER, OURS, snippets, with_launcher

BIN = Path(sys.executable).parent
COMMAND = BIN / "tovrin-skill-hooks"
MATCHER = OURS["matcher"]
OTHER_GROUP = {"matcher": "Edit", "hooks": [{"type": "command", "command": "lint --fix"}]}
OTHER_SETTINGS = {"model": "opus", "env": {"A": "ü"},
                  "hooks": {"PreToolUse": [OTHER_GROUP], "PostToolUse": [OTHER_GROUP]}}
OLD = {"matcher": "Bash", "hooks": [{"type": "command", "async": True, "timeout": 5,
                                      "command": "/old/venv/bin/tovrin-report-skill-usage"}]}


def run(home: Path, *args, cwd=None, env=None, shell=None, **options):
    """The command with `args`, or `shell`, a shell's command line in which {command} stands for it."""
    environment = {k: v for k, v in os.environ.items() if k not in ("CLAUDE_CONFIG_DIR", "CODEX_HOME")}
    return subprocess.run(shell.format(command=shlex.quote(str(COMMAND))) if shell else [str(COMMAND), *args],
                          shell=bool(shell), env=environment | {"HOME": str(home)} | (env or {}),
                          cwd=cwd or home, capture_output=True, text=True, timeout=120, **options)


def settings(**hooks) -> dict:
    return {"hooks": hooks}


# Starting file (None: no file; bytes: as written), what install must make of it, and what
# uninstall must then make of that (None: the file, left empty, is gone). Every host, every
# case, install run twice in a row.
MERGES = {
    "no file": (None, settings(PostToolUse=[OURS]), None),
    "empty file": (b"", settings(PostToolUse=[OURS]), None),
    "commas first, an older entry between two groups": (json.dumps(settings(PostToolUse=[OTHER_GROUP, {"hooks": [
        {"command": OLD["hooks"][0]["command"]}]}, OTHER_GROUP]), indent=2).replace(",\n", "\n,").encode(),
        settings(PostToolUse=[OTHER_GROUP, OURS, OTHER_GROUP]),
        {"claude": settings(PostToolUse=[OTHER_GROUP] * 2),
         "codex": settings(PostToolUse=[OTHER_GROUP, {"hooks": []}, OTHER_GROUP])}),
    "other settings and hooks": (
        OTHER_SETTINGS,
        OTHER_SETTINGS | settings(PreToolUse=[OTHER_GROUP], PostToolUse=[OTHER_GROUP, OURS]),
        OTHER_SETTINGS),
    "older launcher path, async, the user's placeholder": (
        settings(PostToolUse=[OLD, OTHER_GROUP, {"hooks": []}]),
        settings(PostToolUse=[OURS, OTHER_GROUP, {"hooks": []}]),
        {"claude": settings(PostToolUse=[OTHER_GROUP, {"hooks": []}]),
         # Codex keys approvals by position: the group after it keeps its place.
         "codex": settings(PostToolUse=[{"hooks": []}, OTHER_GROUP, {"hooks": []}])}),
    "registered twice, once beside another hook": (
        settings(PostToolUse=[{"matcher": "Bash|Edit", "hooks": [OLD["hooks"][0], OTHER_GROUP["hooks"][0]]},
                              OLD]),
        {"claude": settings(PostToolUse=[{"matcher": "Bash|Edit", "hooks": [OTHER_GROUP["hooks"][0]]}, OURS]),
         # Updated where it stands, so that the other hook keeps its place, and its matcher.
         "codex": settings(PostToolUse=[{"matcher": "Bash|Edit", "hooks": [OURS["hooks"][0], OTHER_GROUP["hooks"][0]]}])},
        settings(PostToolUse=[{"matcher": "Bash|Edit", "hooks": [OTHER_GROUP["hooks"][0]]}])),
}


@pytest.mark.parametrize("host", sorted(FILES))
@pytest.mark.parametrize("case", sorted(MERGES))
def test_install_merges_and_uninstall_removes_only_its_own(tmp_path, host, case):
    start, installed, uninstalled = (v[host] if isinstance(v, dict) and host in v else v for v in MERGES[case])
    path = tmp_path / FILES[host]
    if start is not None:
        path.parent.mkdir()
        path.write_bytes(start if isinstance(start, bytes) else json.dumps(start).encode())
    first = run(tmp_path, "install", host)
    assert first.returncode == 0, first.stderr
    assert json.loads(path.read_text()) == installed
    written = path.read_bytes()
    second = run(tmp_path, "install", host)
    assert (second.returncode, path.read_bytes()) == (0, written)
    assert "already registered" in second.stdout
    assert ("/hooks" in first.stdout) == (host == "codex")
    removed = run(tmp_path, "uninstall", host)
    assert removed.returncode == 0, removed.stderr
    assert (json.loads(path.read_text()) if path.exists() else None) == uninstalled


@pytest.mark.parametrize("host", sorted(FILES))
def test_install_writes_through_a_symlink_into_the_project_or_the_hosts_own_folder(tmp_path, host):
    dotfiles = tmp_path / "dotfiles" / "settings.json"
    dotfiles.parent.mkdir()
    dotfiles.write_text(json.dumps(OTHER_SETTINGS))
    project = tmp_path / "project"
    link = project / FILES[host]
    link.parent.mkdir(parents=True)
    link.symlink_to(dotfiles)
    assert run(tmp_path, "install", host, "--project", str(project)).returncode == 0
    assert link.is_symlink() and os.readlink(link) == str(dotfiles)
    assert json.loads(dotfiles.read_text())["hooks"]["PostToolUse"] == [OTHER_GROUP, OURS]
    # The user-level file follows CLAUDE_CONFIG_DIR and CODEX_HOME, folders made as needed.
    own = tmp_path / "own" / "config"
    variable = {"claude": "CLAUDE_CONFIG_DIR", "codex": "CODEX_HOME"}[host]
    assert run(tmp_path, "install", host, env={variable: str(own)}).returncode == 0
    assert json.loads((own / Path(FILES[host]).name).read_text()) == settings(PostToolUse=[OURS])
    assert not (tmp_path / FILES[host]).exists()


def full_disk(path: Path) -> dict:  # written in place (a second link), with room for 16 bytes more
    path.write_text(json.dumps(OTHER_SETTINGS))
    os.link(path, path.parent.parent / "link.json")
    return {"preexec_fn": lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (path.stat().st_size + 16,) * 2)}


UNWRITABLE, FULL = "the file is not writable", "File too large); it holds its old text, unchanged"
# The file (bytes, or a function that makes it and may return the run's options), its mode (None: as made), the error.
BAD_FILES = {
    "invalid JSON": (b'{"model": "opus",\n  "hooks": {,}\n}\n', 0o644, "line 2, column 13"),
    "not an object": (b"[]\n", 0o644, "holds no JSON object"),
    "hooks not an object": (b'{"hooks": []}', 0o644, '"hooks" is not a JSON object'),
    "repeated key": (b'{"hooks": {}, "hooks": {}}', 0o644, 'the key "hooks" appears twice'),
    "read-only": (json.dumps(OTHER_SETTINGS).encode(), 0o444, UNWRITABLE),
    "nested 600 deep": (b'{"a": ' + b"[" * 600 + b"]" * 600 + b"}", 0o644, "nested more than 200 levels deep"),
    "a FIFO": (os.mkfifo, None, "a FIFO, where a regular file or none is expected"),
    "a link to a null device of the test's own": (lambda path: (os.geteuid() == 0 or pytest.skip("needs root")) and os.mknod(
        path.parents[1] / "null", 0o20666, os.makedev(1, 3)) or path.symlink_to("../null"), None, "a character device"),
    "over 16 MiB": (lambda path: os.truncate(path.write_bytes(b"{}") and path, (16 << 20) + 1), None, "larger than 16 MiB"),
    "a full disk, in place": (full_disk, 0o644, FULL),
}


@pytest.mark.parametrize("command", ["install", "uninstall"])
@pytest.mark.parametrize("case", sorted(BAD_FILES))
def test_bad_file_is_left_byte_for_byte_and_named(tmp_path, case, command):
    text, mode, message = BAD_FILES[case]
    path = tmp_path / FILES["claude"]
    path.parent.mkdir()
    options = text(path) if callable(text) else path.write_bytes(text) and None
    mode and path.chmod(mode)
    before = (kept := lambda: (os.stat(path)[:7], os.stat(path).st_rdev, mode and path.read_bytes()))()
    result = run(tmp_path, command, "claude", **(options or {}))
    if command == "uninstall" and message in (UNWRITABLE, FULL):
        assert result.returncode == 0 and "nothing changed" in result.stdout  # nothing to write
    else:
        assert (result.returncode, result.stdout) == (1, "")
        assert result.stderr.startswith(f"tovrin-skill-hooks: error: {path}: ")
        assert message in result.stderr and result.stderr.count("\n") == 1
    assert kept() == before
    assert sorted(p.name for p in path.parent.iterdir()) == ["settings.json"]


def test_every_readme_snippet_is_the_registration_install_writes():
    assert [with_launcher(config) for config in snippets()] == [settings(PostToolUse=[OURS])] * 3


@pytest.mark.parametrize("args", [[], ["install"], ["install", "vim"], ["status", "--yaml"],
                                  ["install", "claude", "--project", "/no/such/folder"]])
def test_usage_errors_exit_2_without_traceback(tmp_path, args):
    result = run(tmp_path, *args)
    assert result.returncode == 2 and "usage:" in result.stderr and "Traceback" not in result.stderr
    assert run(tmp_path, "--help").stdout.startswith("usage: tovrin-skill-hooks")


# --- status -------------------------------------------------------------------------------

HOOK = "/opt/hook/bin/tovrin-report-skill-usage"
HOOK_MATCHER = "Skill|Bash|mcp__.*"
# What Codex 0.169 records in /hooks for {"matcher": HOOK_MATCHER, "hooks": [HOOK, timeout 30]}.
HOOK_HASH = "sha256:a5e8bc1d54d1e0fc4042f66c8179ae5b650041ddf86926f139d9a28440e93117"
CODEX_STATES = {
    "never approved": ("", "waiting"),
    "approved": (f'[hooks.state."{{key}}"]\ntrusted_hash = "{HOOK_HASH}"\n',
                 "approved"),
    "changed since": (f'[hooks.state."{{key}}"]\ntrusted_hash = "sha256:{"0" * 64}"\n',
                      "changed"),
    "disabled": (f'[hooks.state."{{key}}"]\ntrusted_hash = "{HOOK_HASH}"\nenabled = false\n',
                 "disabled"),
    "hooks off": (f'[features]\nhooks = false\n[hooks.state."{{key}}"]\n'
                  f'trusted_hash = "{HOOK_HASH}"\n', "approved"),
}


def status(home: Path, **kwargs) -> tuple[int, dict]:
    result = run(home, "status", "--json", **kwargs)
    assert result.stderr == ""
    return result.returncode, json.loads(result.stdout)


def entries(report: dict, host: str) -> list[dict]:
    return [entry for h in report["hosts"] if h["host"] == host
            for record in h["files"] for entry in record["entries"]]


@pytest.mark.parametrize("case", sorted(CODEX_STATES))
def test_status_tells_whether_codex_approved_the_hook_as_it_stands(tmp_path, case):
    config, approval = CODEX_STATES[case]
    hooks = tmp_path / ".codex" / "hooks.json"
    hooks.parent.mkdir()
    hooks.write_text(json.dumps(settings(PostToolUse=[
        OTHER_GROUP, {"matcher": HOOK_MATCHER, "hooks": [{"type": "command", "command": HOOK, "timeout": 30}]}])))
    # The approval is keyed by the file and the hook's position in it.
    (tmp_path / ".codex" / "config.toml").write_text(config.replace("{key}", f"{hooks}:post_tool_use:1:0"))
    code, report = status(tmp_path)
    [entry] = entries(report, "codex")
    assert (entry["approval"], entry["hash"]) == (approval, HOOK_HASH)
    assert code == 1 and not entry["ready"]  # the launcher at /opt/hook does not exist either
    assert any("does not exist" in p for p in entry["problems"])
    assert any("hooks are off" in p for p in entry["problems"]) == (case == "hooks off")


def test_status_of_the_hook_installed_alone_then_beside_the_cli_and_async_then_copied(tmp_path):
    """A fresh environment holding only the hook's wheel, as pipx would make it: its
    registration runs but finds no product CLI, until one is installed beside it. Copied
    elsewhere, the original gone, its launcher names an interpreter that no longer exists:
    install says so, as status does, and fails."""
    wheel = os.environ.get("TOVRIN_WHEEL")
    if not wheel:
        pytest.skip("TOVRIN_WHEEL names no wheel (make test sets it)")
    env = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(env)], check=True, timeout=120)
    subprocess.run([sys.executable, "-m", "pip", "--python", str(env / "bin" / "python"), "install",
                    "--quiet", "--disable-pip-version-check", "--no-index", "--no-deps", wheel],
                   check=True, timeout=120)
    home = tmp_path / "home"
    home.mkdir()
    environment = {k: v for k, v in os.environ.items() if k not in ("CLAUDE_CONFIG_DIR", "CODEX_HOME")}
    installed = subprocess.run([str(env / "bin" / "tovrin-skill-hooks"), "install", "claude"],
                               env=environment | {"HOME": str(home)}, capture_output=True,
                               text=True, timeout=60)
    code, report = status(home)
    [entry] = entries(report, "claude")
    cli = env / "bin" / "tovrin"
    assert entry["command"] == shlex.quote(str(env / "bin" / "tovrin-report-skill-usage"))
    assert (code, entry["cli"], entry["interpreter"]) == (1, str(cli), str(env / "bin" / "python"))
    assert [p for p in entry["problems"] if f"no product CLI at {cli}" in p]
    assert installed.returncode == 1 and f"problem: {entry['problems'][0]}" in installed.stderr

    cli.write_text("#!/bin/sh\n")
    cli.chmod(0o755)
    settings_file = home / FILES["claude"]
    registered = json.loads(settings_file.read_text())
    registered["hooks"]["PostToolUse"][0]["hooks"][0]["async"] = True
    settings_file.write_text(json.dumps(registered))
    code, report = status(home)
    [entry] = entries(report, "claude")
    assert (code, entry["ready"], entry["problems"]) == (0, True, [])
    assert [r for r in entry["risks"] if "claude -p" in r and "lost" in r]
    human = run(home, "status")
    assert human.returncode == 0 and "ready" in human.stdout and str(cli) in human.stdout

    copy = tmp_path / "copy"
    subprocess.run(["cp", "-a", str(env), str(copy)], check=True, timeout=60)
    subprocess.run(["rm", "-rf", str(env)], check=True, timeout=60)
    again = subprocess.run([str(copy / "bin" / "python"), "-m", "tovrin_skill_hooks", "install", "claude"],
                           env=environment | {"HOME": str(home)}, capture_output=True, text=True,
                           timeout=60)
    assert again.returncode == 1, again.stdout + again.stderr
    assert "WILL NOT RECORD USES" in again.stderr and "which does not exist" in again.stderr


# Launchers as status may meet them, in a folder whose name holds a space.
LAUNCHERS = {
    "interpreter gone": ("#!/nonexistent/bin/python\n", ["/nonexistent/bin/python, which does not exist",
                                                          "no product CLI at /nonexistent/bin/tovrin"]),
    "read, never run: a script that would leave a trace": (f"#!{sys.executable}\nopen(__file__ + '.ran', 'w')\n", []),
    # pip's form for an interpreter path with spaces or too long for a #! line.
    "pip's /bin/sh preamble": (f"#!/bin/sh\n'''exec' '{sys.executable}' \"$0\" \"$@\"\n' '''\n"
                               "from tovrin.skills.hooks.report_skill_usage import main\nmain()\n", []),
    "not an absolute path": (None, ["not an absolute path"]),
}


@pytest.mark.parametrize("case", sorted(LAUNCHERS))
def test_status_follows_the_launcher_to_its_interpreter_and_cli(tmp_path, case):
    text, problems = LAUNCHERS[case]
    folder = tmp_path / "my env" / "bin"
    launcher = folder / "tovrin-report-skill-usage"
    if text is not None:
        folder.mkdir(parents=True)
        launcher.write_text(text)
        launcher.chmod(0o755)
    command = shlex.quote(str(launcher)) if text is not None else launcher.name
    path = tmp_path / FILES["claude"]
    path.parent.mkdir()
    path.write_text(json.dumps(settings(PostToolUse=[{"matcher": MATCHER, "hooks": [
        {"type": "command", "command": command, "timeout": 30}]}])))
    code, report = status(tmp_path)
    [entry] = entries(report, "claude")
    found = [p.replace(str(folder), "{folder}") for p in entry["problems"]]
    assert all(any(want in p for p in found) for want in problems), found
    assert (code, len(found)) == ((1, len(problems)) if problems else (0, 0))
    assert not (folder / "tovrin-report-skill-usage.ran").exists()
    if case == "pip's /bin/sh preamble":
        assert entry["cli"] == str(BIN / "tovrin")


# --- The #! line of the Python launcher script ----------------------------------------------

# A script's first line, and whether the native launcher starts {python} for it: {python} lies
# in a folder whose name holds a space, which pip writes bare, other installers behind a
# /bin/sh preamble. Otherwise the launcher starts nothing.
SCRIPT_HEADS = {
    "bare, with a space": ("#!{python}\n", True),
    "blanks around, CRLF": ("#! \t{python} \t\r\n", True),
    "/bin/sh preamble, double quotes": ('#!/bin/sh\n\'\'\'exec\' "{python}" "$0" "$@"\n\' \'\'\'\n', True),
    "/bin/sh preamble, single quotes": ("#!/bin/sh\n'''exec' '{python}' \"$0\" \"$@\"\n' '''\n", True),
    "not a whole line": ("#!{python}", False),
    "nothing named": ("#! \t\r\n", False),
    "no #!": ("{python}\n", False),
}


@pytest.mark.parametrize("case", sorted(SCRIPT_HEADS))
def test_status_reads_the_scripts_first_line_as_the_launcher_does(tmp_path, case):
    from tovrin_skill_hooks.registration import interpreter_of
    head, starts = SCRIPT_HEADS[case]
    folder = tmp_path / "my venv" / "bin"
    folder.mkdir(parents=True)
    python, launcher = folder / "python3.13", folder / "tovrin-report-skill-usage"
    python.write_text('#!/bin/sh\necho "$0" > "$(dirname "$0")/started"\n')  # says it was started, as what
    launcher.write_bytes((BIN / "tovrin-report-skill-usage").read_bytes())
    for file in (python, launcher):
        file.chmod(0o755)
    rest = "import sys\n" if head.endswith("\n") else ""
    (folder / "tovrin-report-skill-usage-python").write_text(head.format(python=python) + rest)
    ran = subprocess.run([str(launcher)], input=b'{"tool_name": "Skill"', capture_output=True, timeout=60)
    started = (folder / "started").read_text().strip() if (folder / "started").exists() else None
    assert (ran.returncode, started) == ((0, str(python)) if starts else (127, None)), ran.stderr
    assert interpreter_of(launcher) == (python if starts else None)


# --- Entries that install and uninstall leave alone, and what status says --------------------

INLINE = f'[[hooks.PostToolUse]]\n[[hooks.PostToolUse.hooks]]\ntype = "command"\ncommand = "{LAUNCHER}"\n'
OURS_ONLY = json.dumps(settings(PostToolUse=[OURS]))
# Files in the home (None: a folder where the file should be, which cannot be read, even by
# root; FIFO: a FIFO; "{home}/...": a symbolic link), the command run in its project (or a shell's
# command line), its exit status, and what it must say, once each, with no traceback.
FIFO = 0
SAYS = {
    "install codex beside config.toml's entry": (
        {".codex/config.toml": INLINE}, ["install", "codex"], 0,
        ["1 entry of this hook in {home}/.codex/config.toml, which Codex runs as well; remove it from that file by hand"]),
    "uninstall codex, config.toml's entry left": (
        {".codex/config.toml": INLINE}, ["uninstall", "codex"], 0, ["not registered in", "left 1 entry"]),
    "uninstall claude --project, the local file left": (
        {"project/.claude/settings.local.json": OURS_ONLY, "project/.claude/settings.json": OURS_ONLY},
        ["uninstall", "claude", "--project", "."], 0,
        ["and the file {home}/project/.claude/settings.json, left empty",
         "left 1 entry of this hook in {home}/project/.claude/settings.local.json"]),
    "status: symlink loop": ({".claude/settings.json": "{home}/.claude/settings.json"}, ["status"], 1,
                             ["cannot be read (Too many levels of symbolic links)"]),
    "status: unreadable file, no install hint": ({".claude/settings.json": None}, ["status"], 1,
                                                 ["settings.json: a folder, where", "registers it"]),  # Codex's hint only
    "status: unreadable config.toml": ({".codex/config.toml": None}, ["status"], 1, ["config.toml: a folder"]),
    "status: config.toml nested 3000 deep": ({".codex/config.toml": "a = " + "[" * 3000 + "]" * 3000}, ["status"], 1,
                                             ["config.toml: nested more than 200"]),
    "status: lone surrogates in a matcher and in Codex's entry": ({".claude/settings.json": OURS_ONLY.replace(
        '"Skill|', '"\\ud800|'), ".codex/hooks.json": OURS_ONLY.replace(' 30}', ' 30, "statusMessage": "\\ud800"}')}, ["status"],
        1, ["matcher \\ud800|Bash", "Codex cannot read this entry (a lone surrogate"]),
    "install claude, the local file a FIFO": ({"project/.claude/settings.local.json": FIFO}, ["install", "claude"], 1,
                                           ["settings.local.json: a FIFO, where", "; nothing was written"]),
    "status >&-": ({}, "{command} status >&-", 1, ["error: standard output is closed"]),
    "status >/dev/full": ({}, "{command} status >/dev/full", 1, ["cannot write to standard output (No space left"]),
    "install claude, a home not UTF-8": ({}, "HOME=\"$HOME/$(printf '\\377')\" PYTHONIOENCODING=utf-8 {command} "
                                         "install claude", 0, ["/\\udcff/.claude/settings.json"]),
    "install claude, a relative home": ({}, "HOME=home {command} install claude", 1, ["HOME is a relative path"]),
    "status: hooks off in the local settings": (
        {".claude/settings.json": OURS_ONLY, "project/.claude/settings.local.json": '{"disableAllHooks": true}'},
        ["status"], 1, ['hooks are off: {home}/project/.claude/settings.local.json sets "disableAllHooks": true']),
}


@pytest.mark.parametrize("case", sorted(SAYS))
def test_what_install_uninstall_and_status_say(tmp_path, case):
    files, args, code, said = SAYS[case]
    for name, text in files.items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        if text is None:
            (tmp_path / name).mkdir()
        elif text is FIFO:
            os.mkfifo(tmp_path / name)
        elif text.startswith("{home}"):
            (tmp_path / name).symlink_to(text.format(home=tmp_path))
        else:
            (tmp_path / name).write_text(text)
    (tmp_path / "project").mkdir(exist_ok=True)
    result = run(tmp_path, *args, cwd=tmp_path / "project", shell=args if isinstance(args, str) else None)
    out = result.stdout + result.stderr
    assert result.returncode == code and "Traceback" not in out, out
    assert [w for w in said if out.count(w.format(home=tmp_path)) != 1] == [], out
    # A reader that stops early gets no traceback.
    cut = subprocess.run(f"{shlex.quote(str(COMMAND))} status --json | head -c 1", shell=True,
                         env=os.environ | {"HOME": str(tmp_path)}, capture_output=True, text=True, timeout=60)
    assert "Traceback" not in cut.stderr


# --- The command registered on Windows ------------------------------------------------------

# The launcher's folder, its 8.3 form (None: the volume keeps no short names), what install
# registers for Claude Code and for Codex (None: the same; a list: run with "args": [], through
# no shell), and the shells that start it. Claude Code uses bash or PowerShell; Codex
# PowerShell, or cmd. Then forms that earlier versions wrote, or a user by hand.
WINDOWS_FORMS = {
    "no space": (r"C:\Users\me\venv\Scripts", None, "C:/Users/me/venv/Scripts/{exe}", None,
                 {"bash", "PowerShell", "cmd"}),
    "space, short names": (r"C:\Users\John Smith\venv\Scripts", r"C:\Users\JOHNSM~1\venv\Scripts",
                           "C:/Users/JOHNSM~1/venv/Scripts/{exe}", None, {"bash", "PowerShell", "cmd"}),
    "space and quote, no short names": (r"C:\Users\O'Hara Ann\venv\Scripts", None,
                                        ["C:/Users/O'Hara Ann/venv/Scripts/{exe}"],
                                        "& 'C:/Users/O''Hara Ann/venv/Scripts/{exe}'", {"PowerShell"}),
}
EARLIER_FORMS = [r"C:\Users\me\venv\Scripts\{exe}", r'"C:\Users\John Smith\venv\Scripts\{exe}"',
                 "'/home/me/my venv/bin/tovrin-report-skill-usage'", '"$HOME/.venv/bin/tovrin-report-skill-usage"']


@pytest.fixture(scope="module")
def wine():
    """wine's environment for cmd, its folders in the checkout's build folder, and what the
    stand-in launcher, wine's own hostname.exe renamed, prints; None without wine."""
    import shutil
    build = Path(__file__).resolve().parents[1] / "build"
    # Not the sanitizer run's preloaded runtime, meant for the interpreter: wine cannot start with it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"} | {
        "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "winemenubuilder.exe=d", "WINEPREFIX": str(build / "wine-shells"),
        "HOME": str(build / "wine-shells-home"), "TMPDIR": str(build / "wine-shells-tmp")}
    if not shutil.which("wine"):
        yield None
        return
    for folder in ("WINEPREFIX", "HOME", "TMPDIR"):  # the first program fills an empty prefix
        Path(env[folder]).mkdir(parents=True, exist_ok=True)
    # One server for all of them: a program that starts while the server of the one before is
    # ending is refused.
    server = [str(build.parent / "tools" / "wine-server")]
    subprocess.run(server + ["hold"], env=env, stdin=subprocess.DEVNULL, check=True, timeout=600)
    name = subprocess.run(["wine", "hostname"], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=600).stdout.strip()
    assert name, "wine hostname printed nothing"
    yield env | {"NAME": name}
    subprocess.run(server + ["release"], env=env, timeout=600)


@pytest.mark.parametrize("case", sorted(WINDOWS_FORMS))
def test_windows_forms_run_under_the_shells_status_says(tmp_path, case, wine):
    from tovrin_skill_hooks import hosts, registration as reg
    exe = "tovrin-report-skill-usage.exe"
    folder, short, claude, codex, shells = WINDOWS_FORMS[case]
    for host, form in (("claude", claude), ("codex", codex or claude)):
        written = {"command": form[0].format(exe=exe), "args": []} if isinstance(form, list) \
            else {"command": form.format(exe=exe)}
        entry = reg.entry(folder + "\\" + exe, host, "nt", shorten=lambda path: short)
        assert entry == {"type": "command", **written, "timeout": 30}
        found = hosts.inspect_hook(hosts.HOSTS[host], MATCHER, entry, None, platform="nt",
                                   in_use=hosts.WINDOWS_SHELLS[host][0][0])
        assert found["shells"] == ({"no shell (run directly)": True} if "args" in written else
                                   {s: s in shells for s, _ in hosts.WINDOWS_SHELLS[host]})
    # The real bash, and cmd under wine, started as the hosts start them, on a stand-in at the
    # form's path in C: as each sees it (for bash, a folder "C:" in its working folder).
    command = entry["command"]
    where = Path(*PureWindowsPath(command.strip("&' ").replace("''", "'")).parts[1:])
    (tmp_path / "C:" / where).parent.mkdir(parents=True)
    (tmp_path / "C:" / where).write_text("#!/bin/sh\necho launcher\n")
    (tmp_path / "C:" / where).chmod(0o755)
    bash = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert (bash.stdout == "launcher\n") == ("bash" in shells) == (reg.read_by("bash", command) is not None)
    if wine is not None:
        stand_in = Path(wine["WINEPREFIX"]) / "drive_c" / where
        stand_in.parent.mkdir(parents=True, exist_ok=True)
        stand_in.write_bytes((Path(wine["WINEPREFIX"]) / "drive_c/windows/system32/hostname.exe").read_bytes())
        cmd = subprocess.run(["wine", "cmd", "/c", command], env=wine, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=120)
        assert (cmd.stdout.strip() == wine["NAME"]) == ("cmd" in shells) == (reg.read_by("cmd", command) is not None)
    assert [form for form in EARLIER_FORMS if reg.launcher_in(form.format(exe=exe)) is None] == []
