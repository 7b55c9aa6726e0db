"""The hook's registration: where its launcher is, the entry a host gets, and how that entry
is merged into, found in and removed from a host's `hooks` table."""

import os
import shlex
import shutil
import sysconfig
from pathlib import Path

LAUNCHER_NAME = "tovrin-report-skill-usage"
# The native launcher hands the events it does not answer alone to this Python script beside it.
PYTHON_SCRIPT = LAUNCHER_NAME + "-python"
# Every tool that can use a skill, and no other: the README's registrations name the same.
MATCHER = "Skill|Bash|PowerShell|mcp__.*"
# Seconds. Room for the report, which itself stops the CLI after 10 seconds.
TIMEOUT = 30
REPORT_TIMEOUT = 10
EVENT = "PostToolUse"
# Where the hook looks for the product CLI, in the folder of the interpreter that runs it.
CLI_NAMES = ("tovrin.exe", "tovrin")


class Problem(Exception):
    """A user's mistake or an operational failure: one line for the user, no traceback."""


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


def command_for(launcher: Path) -> str:
    """The command line a host runs through a shell: the launcher's path, quoted if need be."""
    text = str(launcher)
    if os.name == "nt":
        return f'"{text}"' if " " in text else text
    return shlex.quote(text)


def launcher_in(command) -> Path | None:
    """The launcher that a registered command runs, when the command is that launcher alone
    (at any path): such an entry is this hook's, and install and uninstall own it."""
    if not isinstance(command, str):
        return None
    try:
        words = shlex.split(command, posix=os.name != "nt")
    except ValueError:
        return None
    if len(words) != 1:
        return None
    path = Path(words[0].strip('"'))
    name = path.name[:-4] if path.name.lower().endswith(".exe") else path.name
    return path if name == LAUNCHER_NAME else None


def _head(path: Path) -> list[str]:
    try:
        with open(path, "rb") as file:
            return file.read(4096).decode("utf-8", "replace").splitlines()
    except OSError:
        return []


def interpreter_of(launcher: Path) -> Path | None:
    """The interpreter that the launcher hands the event to: the one named on the `#!` line
    of its Python script, which pip points at its environment's interpreter. The launcher is
    that script, or a native program that hands over to the script beside its own file.
    None when that cannot be read."""
    lines = _head(launcher)
    if lines and not lines[0].startswith("#!"):
        lines = _head(Path(os.path.realpath(launcher)).parent / PYTHON_SCRIPT)
    if not lines or not lines[0].startswith("#!"):
        return None
    words = lines[0][2:].split()
    # pip writes a path too long or with spaces for a shebang as a /bin/sh preamble:
    #   #!/bin/sh
    #   '''exec' '/path/to/python' "$0" "$@"
    if words == ["/bin/sh"] and len(lines) > 1 and lines[1].startswith("'''exec'"):
        try:
            words = shlex.split(lines[1])[1:2]
        except ValueError:
            return None
    if words and Path(words[0]).name == "env" and len(words) > 1:
        found = shutil.which(words[1])
        return Path(found) if found else Path(words[1])
    return Path(words[0]) if words else None


def cli_path(interpreter: Path) -> Path:
    """Where the hook run by `interpreter` looks for the product CLI."""
    folder = interpreter.parent
    if (folder / CLI_NAMES[0]).exists():
        return folder / CLI_NAMES[0]
    return folder / CLI_NAMES[1]


def entry(launcher: Path) -> dict:
    """The hook entry as the README registers it: synchronous (no `async`)."""
    return {"type": "command", "command": command_for(launcher), "timeout": TIMEOUT}


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
            if isinstance(hook, dict) and launcher_in(hook.get("command")) is not None]


def _remove(groups: list, places: list[tuple[int, int]], keep_places: bool) -> None:
    """Removes the hooks at `places`, and the groups left empty by that. Codex keys each
    approval by the group's and hook's positions, so with `keep_places` a group emptied ahead
    of others stays as an empty placeholder: the hooks after it keep their approval."""
    for g, h in sorted(places, reverse=True):
        del groups[g]["hooks"][h]
    emptied = {g for g, _ in places if not groups[g]["hooks"]}
    for g in sorted(emptied, reverse=True):
        if keep_places and g < len(groups) - 1:
            groups[g] = {"hooks": []}
        else:
            del groups[g]
    while keep_places and groups and groups[-1] == {"hooks": []}:
        groups.pop()


def _tidy(settings: dict) -> None:
    """Drops the PostToolUse list and the hooks table when this hook's removal emptied them."""
    hooks = settings["hooks"]
    if not hooks[EVENT]:
        del hooks[EVENT]
    if not hooks:
        del settings["hooks"]


def install_into(settings: dict, file: Path, launcher: Path, keep_places: bool) -> None:
    """Registers the launcher in `settings`, in place: an entry of this hook (at any path of
    the launcher) becomes the README's entry; one is kept; without one, a group is added."""
    groups = groups_of(settings, file)
    if groups is None:
        settings.setdefault("hooks", {})[EVENT] = groups = []
    wanted = entry(launcher)
    places = owned(groups)
    # An entry alone in its group, or in a group of the same matcher, is updated where it is;
    # one that shares a group of another matcher leaves it, so as not to change the others'.
    kept = next(((g, h) for g, h in places
                 if len(groups[g]["hooks"]) == 1 or groups[g].get("matcher") == MATCHER), None)
    if kept is None:
        _remove(groups, places, keep_places)
        groups.append({"matcher": MATCHER, "hooks": [wanted]})
        return
    group = groups[kept[0]]
    hook = group["hooks"][kept[1]]
    _remove(groups, [p for p in places if p != kept], keep_places)
    group["matcher"] = MATCHER
    hook.pop("async", None)
    hook.update(wanted)


def uninstall_from(settings: dict, file: Path, keep_places: bool) -> int:
    """Removes every entry of this hook from `settings`, in place; returns how many."""
    groups = groups_of(settings, file)
    places = owned(groups) if groups is not None else []
    if places:
        _remove(groups, places, keep_places)
        _tidy(settings)
    return len(places)
