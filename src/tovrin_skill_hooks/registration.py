"""The hook's registration: where its launcher is, the entry a host gets, and how that entry
is merged into, found in and removed from a host's `hooks` table."""

import os
import re
import shlex
import sysconfig
from pathlib import Path, PureWindowsPath

from tovrin_skill_hooks.errors import Problem
from tovrin_skill_hooks.files import read_regular

LAUNCHER_NAME = "tovrin-report-skill-usage"
# The native launcher hands the events it does not answer alone to this Python script beside it.
PYTHON_SCRIPT = LAUNCHER_NAME + "-python"
# Every tool that can use a skill, and no other: the registrations by hand in
# docs/registration.md name the same.
MATCHER = "Skill|Bash|PowerShell|mcp__.*"
# Seconds. Room for the report, which itself stops the CLI after 10 seconds.
TIMEOUT = 30
REPORT_TIMEOUT = 10
EVENT = "PostToolUse"
# Where the hook looks for the product CLI, in the folder of the interpreter that runs it.
CLI_NAMES = ("tovrin.exe", "tovrin")


def launcher_path() -> Path:
    """The launcher installed with this package, in the scripts folder of the running
    environment (or of its user scheme, for a `pip install --user`)."""
    names = [LAUNCHER_NAME + ".exe", LAUNCHER_NAME] if os.name == "nt" else [LAUNCHER_NAME]
    schemes = [sysconfig.get_default_scheme(), sysconfig.get_preferred_scheme("user")]
    folders = dict.fromkeys(Path(sysconfig.get_path("scripts", scheme)) for scheme in schemes)
    for folder in folders:
        for name in names:
            if (folder / name).is_file():
                return (folder / name).absolute()
    raise Problem(f"the launcher {LAUNCHER_NAME} is not installed in "
                  + " or ".join(str(f) for f in folders) + ": reinstall tovrin-skill-hooks")


# --- The command a host runs ------------------------------------------------------------------
#
# A host runs the registered command through a shell. On POSIX that is sh (or the user's shell),
# and the path is quoted for it. On Windows the shell depends on the host and the machine:
# Claude Code runs the command through Git Bash when it finds it, through PowerShell
# (`-Command`) otherwise, and runs an entry that has "args" directly, through no shell; Codex
# runs it through its session's shell, PowerShell (`-NoProfile -Command`), or cmd (`/c`) where
# it finds no PowerShell. A path of letters, digits and `_ . ~ -` behind a drive letter, with
# forward slashes, is read as that one program by all three; bash would eat backslashes.
BASH, POWERSHELL, CMD = "bash", "PowerShell", "cmd"
PLAIN_WINDOWS_PATH = re.compile(r"[A-Za-z]:(?:/[\w.~-]+)+")


def _short_path(path: str) -> str | None:
    """The path's 8.3 form, where its volume keeps short names (Windows only)."""
    import ctypes
    from ctypes import wintypes
    get = ctypes.windll.kernel32.GetShortPathNameW
    get.argtypes = [wintypes.LPCWSTR, wintypes.LPWSTR, wintypes.DWORD]
    get.restype = wintypes.DWORD
    size = get(path, None, 0)
    if not size:
        return None
    buffer = ctypes.create_unicode_buffer(size)
    return buffer.value if 0 < get(path, buffer, size) < size else None


def command_form(launcher: Path | str, host: str, platform: str = os.name,
                 shorten=None) -> dict:
    """The "command" (and "args", for a program run through no shell) that runs the launcher
    under every shell the host may use on `platform`. `shorten` gives a folder's 8.3 form
    (by default, Windows' own)."""
    if platform != "nt":
        return {"command": shlex.quote(str(launcher))}
    path = PureWindowsPath(launcher)
    if PLAIN_WINDOWS_PATH.fullmatch(path.as_posix()):
        return {"command": path.as_posix()}
    # The folder's short form keeps the launcher's own name, by which its entries are known.
    short = (shorten or _short_path)(str(path.parent))
    if short and PLAIN_WINDOWS_PATH.fullmatch(PureWindowsPath(short, path.name).as_posix()):
        return {"command": PureWindowsPath(short, path.name).as_posix()}
    if host == "claude":
        return {"command": path.as_posix(), "args": []}
    # Codex has no form without a shell: PowerShell's call operator, which cmd cannot read.
    return {"command": "& '" + path.as_posix().replace("'", "''") + "'"}


def _launcher_named(word: str) -> Path | None:
    windows = re.match(r"[A-Za-z]:[\\/]|\\\\", word) is not None
    name = PureWindowsPath(word).name if windows else Path(word).name
    name = name[:-4] if name.lower().endswith(".exe") else name
    if name != LAUNCHER_NAME:
        return None
    return Path(PureWindowsPath(word).as_posix()) if windows and os.name != "nt" else Path(word)


def read_by(shell: str, command: str) -> str | None:
    """The one program, run with no arguments, that `shell` starts for `command`, as far as
    these forms go; None for anything else (a string PowerShell prints, a syntax error, ...).
    cmd's reading is of the command as Codex passes it, quoted by Rust's rules for a program's
    arguments: a command with a space reaches cmd in quotes, which `/c` keeps around a path."""
    if shell == BASH:
        if re.search(r"[$`]", re.sub(r"'[^']*'", "", command)):
            return None
        lexer = shlex.shlex(command, posix=True, punctuation_chars=True)
        lexer.whitespace_split = True
        try:
            words = list(lexer)
        except ValueError:
            return None
        return words[0] if len(words) == 1 and not words[0].startswith("~") else None
    if shell == POWERSHELL:
        text = command.strip()
        call = re.fullmatch(r"&\s*(?:'((?:[^']|'')*)'|\"([^\"$`]*)\"|([^\s'\"$`;&|<>(){}@,#]+))", text)
        if call:
            quoted, double, bare = call.groups()
            return quoted.replace("''", "'") if quoted is not None else double if double is not None else bare
        if re.fullmatch(r"[^\s'\"$`;&|<>(){}@,#\[\]-][^\s'\"$`;&|<>(){}@,#]*", text):
            return text
        return None
    if shell == CMD:
        text = command.strip()
        if '"' in text or re.search(r"[&|<>^()%!]", text) or text.startswith("/"):
            return None
        return text or None
    raise ValueError(shell)


def launcher_in(command, args=None) -> Path | None:
    """The launcher that a registered command runs, when the command is that launcher alone
    (at any path), in any form install has written on any system: such an entry is this hook's,
    and install and uninstall own it."""
    if not isinstance(command, str):
        return None
    if args is not None:
        # Run through no shell: the command is the program's path as it stands.
        return _launcher_named(command) if args == [] else None
    # PowerShell's reading keeps the backslashes of a bare Windows path, as earlier versions
    # wrote it; bash's reads a quoted one, POSIX or Windows; the last, a path through a
    # variable ("$HOME/.venv/bin/..."), as a user may have written it.
    try:
        words = shlex.split(command)
    except ValueError:
        words = []
    for word in (read_by(POWERSHELL, command), read_by(BASH, command), *words[:len(words) == 1]):
        found = _launcher_named(word) if word else None
        if found is not None:
            return found
    return None


# --- The interpreter the launcher hands over to -------------------------------------------------

# The native launcher reads at most this much of the Python launcher script for its first line.
HEAD_BYTES = {"nt": 4 * 32768, "posix": 4096 + 64}


def script_interpreter(head: bytes) -> bytes | None:
    """The interpreter that the native launcher starts for a script beginning with `head`, by
    its own rule: the whole first line after "#!", blanks and tabs stripped from both ends and
    a carriage return from its end, spaces inside kept (pip writes a path with spaces bare).
    None when the launcher would refuse the script: no "#!", no whole line, nothing named."""
    if not head.startswith(b"#!"):
        return None
    end = head.find(b"\n")
    if end < 0:
        return None
    named = head[2:end].lstrip(b" \t").rstrip(b"\r \t")
    return named or None


def _sh_preamble(second_line: bytes) -> bytes | None:
    """The interpreter that sh starts for the second line of the /bin/sh preamble that
    installers write for an interpreter path too long or with spaces for a "#!" line:
    `'''exec' '/path/to/python' "$0" "$@"` (the path in single or double quotes)."""
    try:
        words = shlex.split(os.fsdecode(second_line))
    except ValueError:
        return None
    if len(words) == 4 and words[0] == "exec" and words[2:] == ["$0", "$@"] \
            and not re.search(r"[$`\\]", words[1]):
        return os.fsencode(words[1])
    return None


def interpreter_of(launcher: Path, platform: str = os.name) -> Path | None:
    """The interpreter that the launcher hands the event to: the one its Python script's first
    line names, read as the native launcher reads it (and, for the /bin/sh preamble, as sh
    then reads the next line). The launcher is that script, or a native program that hands
    over to the script beside its own file. None when that cannot be read."""
    limit = HEAD_BYTES["nt" if platform == "nt" else "posix"]
    try:
        # Read as files only: a FIFO or a device in their place is refused, not waited on.
        head, _ = read_regular(launcher, launcher, limit)
        if head is not None and not head.startswith(b"#!"):
            script = Path(os.path.realpath(launcher)).parent / PYTHON_SCRIPT
            head, _ = read_regular(script, script, limit)
    except Problem:
        return None
    if head is None:
        return None
    named = script_interpreter(head)
    if named is None:
        return None
    if platform != "nt" and Path(os.fsdecode(named)).name == "sh":
        rest = head[head.find(b"\n") + 1:]
        if b"\n" in rest:
            named = _sh_preamble(rest[:rest.find(b"\n")]) or named
    if platform == "nt":
        try:
            return Path(named.decode("utf-8"))
        except UnicodeDecodeError:
            return None
    return Path(os.fsdecode(named))


def cli_path(interpreter: Path) -> Path:
    """Where the hook run by `interpreter` looks for the product CLI."""
    folder = interpreter.parent
    if os.path.exists(folder / CLI_NAMES[0]):
        return folder / CLI_NAMES[0]
    return folder / CLI_NAMES[1]


def entry(launcher: Path | str, host: str, platform: str = os.name, shorten=None) -> dict:
    """The hook entry as docs/registration.md registers it by hand: synchronous (no `async`)."""
    return {"type": "command", **command_form(launcher, host, platform, shorten), "timeout": TIMEOUT}


def launcher_of(hook) -> Path | None:
    """The launcher that a hook entry runs, when the entry is this hook's."""
    return launcher_in(hook.get("command"), hook.get("args")) if isinstance(hook, dict) else None


# --- The `hooks` table of a settings file ---------------------------------------------------

def groups_of(settings: dict, file: Path) -> list | None:
    """The PostToolUse groups of a parsed settings file; None when it has none."""
    if "hooks" not in settings:
        return None
    hooks = settings["hooks"]
    if not isinstance(hooks, dict):
        raise Problem(f'{file}: "hooks" is not a JSON object')
    if EVENT not in hooks:
        return None
    groups = hooks[EVENT]
    if not isinstance(groups, list) or not all(isinstance(g, dict) for g in groups):
        raise Problem(f'{file}: "hooks.{EVENT}" is not a list of objects')
    for group in groups:
        if not isinstance(group.get("hooks", []), list):
            raise Problem(f'{file}: a "hooks.{EVENT}" entry has "hooks" that is not a list')
    return groups


def owned(groups: list) -> list[tuple[int, int]]:
    """(group index, hook index) of every entry whose command is this hook's launcher."""
    return [(g, h) for g, group in enumerate(groups) for h, hook in enumerate(group.get("hooks", []))
            if launcher_of(hook) is not None]


def _remove(groups: list, places: list[tuple[int, int]], keep_places: bool) -> None:
    """Removes the hooks at `places`, and the groups left empty by that. Codex keys each
    approval by the group's and hook's positions, so with `keep_places` a group emptied ahead
    of others stays as an empty placeholder: the hooks after it keep their approval. The
    user's own placeholders stay wherever they are."""
    for g, h in sorted(places, reverse=True):
        del groups[g]["hooks"][h]
    emptied = {g for g, _ in places if not groups[g]["hooks"]}
    for g in sorted(emptied, reverse=True):
        if keep_places:
            groups[g] = {"hooks": []}
        else:
            del groups[g]
    while keep_places and groups and len(groups) - 1 in emptied:
        groups.pop()


def _tidy(settings: dict) -> None:
    """Drops the PostToolUse list and the hooks table when this hook's removal emptied them."""
    hooks = settings["hooks"]
    if not hooks[EVENT]:
        del hooks[EVENT]
    if not hooks:
        del settings["hooks"]


def install_into(settings: dict, file: Path, wanted: dict, keep_places: bool) -> None:
    """Registers the entry `wanted` in `settings`, in place: an entry of this hook (at any path
    of the launcher) becomes that entry; one is kept; without one, a group is added."""
    groups = groups_of(settings, file)
    if groups is None:
        settings.setdefault("hooks", {})[EVENT] = groups = []
    places = owned(groups)
    # An entry alone in its group, or in a group of the same matcher, is updated where it is;
    # one that shares a group of another matcher leaves it, so as not to change the others'.
    # For Codex, whose approvals go by position, one with another hook after it in its group
    # stays where it stands, under that group's matcher: removing it would move that hook, and
    # a new matcher would change its hash; either way Codex would stop running it.
    kept = [(g, h) for g, h in places if keep_places and
            any(launcher_of(other) is None for other in groups[g]["hooks"][h + 1:])] or \
        [(g, h) for g, h in places
         if len(groups[g]["hooks"]) == 1 or groups[g].get("matcher") == MATCHER][:1]
    for g, h in kept:
        hook = groups[g]["hooks"][h]
        if len(groups[g]["hooks"]) == 1:
            groups[g]["matcher"] = MATCHER
        hook.pop("async", None)
        hook.pop("args", None)
        hook.update(wanted)
    _remove(groups, [p for p in places if p not in kept], keep_places)
    if not kept:
        groups.append({"matcher": MATCHER, "hooks": [wanted]})


def uninstall_from(settings: dict, file: Path, keep_places: bool) -> int:
    """Removes every entry of this hook from `settings`, in place; returns how many."""
    groups = groups_of(settings, file)
    places = owned(groups) if groups is not None else []
    if places:
        _remove(groups, places, keep_places)
        _tidy(settings)
    return len(places)
