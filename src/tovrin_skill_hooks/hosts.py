"""The two hosts: which files hold their hooks, and whether a registration found there will
run and record uses."""

import hashlib
import json
import os
import re
import shutil
from dataclasses import dataclass
from pathlib import Path

from tovrin_skill_hooks import registration as reg
from tovrin_skill_hooks.errors import Problem
from tovrin_skill_hooks.files import read_json, read_toml
from tovrin_skill_hooks.findings import FileFindings, Finding, HostFindings


def _home() -> Path:
    """The user's home folder; an empty or relative one is refused, rather than taken for the
    root folder or the current one."""
    name = "USERPROFILE" if os.name == "nt" else "HOME"
    value = os.environ.get(name)
    if value is not None and not os.path.isabs(value):
        raise Problem(f"{name} is " + (f"a relative path ({value})" if value else "empty")
                      + ": set it to your home folder")
    return Path.home()


@dataclass(frozen=True)
class Host:
    name: str            # as the command line spells it
    title: str
    folder: str          # a project's folder of this host's files
    file: str            # the JSON file that install writes
    # Codex keys each approval by the position of the hook in its file.
    keeps_places: bool

    def user_folder(self) -> Path:
        """The user-level folder, as the host itself finds it."""
        if self.name == "claude":
            configured = os.environ.get("CLAUDE_CONFIG_DIR")
            return Path(configured).expanduser().absolute() if configured else _home() / ".claude"
        configured = os.environ.get("CODEX_HOME")
        # Codex resolves CODEX_HOME to its real path, and keys approvals by that.
        return Path(os.path.realpath(configured)) if configured else _home() / ".codex"

    def target(self, project: Path | None) -> Path:
        """The file that install and uninstall change."""
        if project is None:
            return self.user_folder() / self.file
        return project.absolute() / self.folder / self.file


CLAUDE = Host("claude", "Claude Code", ".claude", "settings.json", keeps_places=False)
CODEX = Host("codex", "Codex", ".codex", "hooks.json", keeps_places=True)
HOSTS = {host.name: host for host in (CLAUDE, CODEX)}

APPROVE_HINT = "run `codex`, open /hooks and trust this hook, once; `codex exec` then runs it too"
ASYNC_RISK = {
    "claude": "async: `claude -p` (headless, the SDK, CI) cancels the hook when the turn ends, "
              "and the use is lost; remove \"async\"",
    "codex": "async: `codex exec` kills the hook when it exits, and the use is lost; "
             "remove \"async\"",
}


def trust_hash(matcher, hook: dict) -> str:
    """The hash Codex records when the hook is approved: sha256 over the canonical JSON of
    the event, the group's matcher and the hook as Codex reads it (unset fields left out,
    the timeout defaulting to 600 seconds)."""
    normalized = {"type": "command", "command": hook.get("command"),
                  "timeout": max(1, hook.get("timeout", 600)), "async": bool(hook.get("async"))}
    if hook.get("statusMessage") is not None:
        normalized["statusMessage"] = hook["statusMessage"]
    identity = {"event_name": "post_tool_use", "hooks": [normalized]}
    if matcher is not None:
        identity["matcher"] = matcher
    text = json.dumps(identity, sort_keys=True, separators=(",", ":"), ensure_ascii=False)
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def missed_tools(matcher) -> list[str]:
    """The tools that can use a skill for which a host would not start the hook."""
    tools = ["mcp__tovrin__query_run" if name.startswith("mcp__") else name
             for name in reg.MATCHER.split("|")]
    if matcher in (None, "", "*"):
        return []
    if re.fullmatch(r"[A-Za-z0-9_|]+", matcher):  # a list of exact names
        return [t for t in tools if t not in matcher.split("|")]
    pattern = re.compile(matcher)
    return [t for t in tools if not pattern.search(t)]


def _git_bash(environ) -> str | None:
    """The Git Bash that Claude Code finds on Windows, looking where it looks."""
    configured = environ.get("CLAUDE_CODE_GIT_BASH_PATH")
    if configured and Path(configured).name.lower() in ("bash.exe", "sh.exe", "bash", "sh") \
            and os.path.isabs(configured) and os.path.exists(configured):
        return configured
    found = [r"C:\Program Files\Git\bin\bash.exe", r"C:\Program Files (x86)\Git\bin\bash.exe"]
    git = shutil.which("git", path=environ.get("PATH"))
    if git:
        found.append(os.path.join(os.path.dirname(git), "..", "..", "bin", "bash.exe"))
    return next((path for path in found if os.path.exists(path)), None)


# Each host's shells on Windows, first the one it prefers, with when it uses each.
WINDOWS_SHELLS = {
    "claude": [(reg.BASH, "where Git for Windows is installed"),
               (reg.POWERSHELL, "where no Git Bash is found")],
    "codex": [(reg.POWERSHELL, "its session's shell"),
              (reg.CMD, "where no PowerShell is found")],
}


def shell_in_use(host: Host, environ=os.environ) -> str:
    """The shell through which the host runs a hook's command on this Windows machine."""
    if host is CLAUDE:
        return reg.BASH if _git_bash(environ) else reg.POWERSHELL
    path = environ.get("PATH")
    return reg.POWERSHELL if shutil.which("pwsh", path=path) or shutil.which("powershell", path=path) \
        else reg.CMD


def _windows_reading(host: Host, hook: dict, found: Finding, in_use: str) -> Path | None:
    """On Windows: which of the host's shells start the launcher for this command, and the
    launcher as the shell in use reads the command (None where it runs none)."""
    problems, risks = found.problems, found.risks
    if isinstance(hook.get("args"), list):
        found.shells = {"no shell (run directly)": True}
        if host is not CLAUDE:
            problems.append(f"{host.title} does not read \"args\": it runs the command through its shell")
            return None
        return reg.launcher_of(hook)
    readings = {shell: reg.read_by(shell, hook["command"]) for shell, _ in WINDOWS_SHELLS[host.name]}
    runs = {shell: read is not None and reg.launcher_in(read, []) is not None
            for shell, read in readings.items()}
    found.shells = runs
    for shell, when in WINDOWS_SHELLS[host.name]:
        if runs[shell]:
            continue
        said = f"under {shell}, which {host.title} uses {when}, the command starts no launcher"
        (problems if shell == in_use else risks).append(
            said + (" (it is in use here)" if shell == in_use else ""))
    return Path(readings[in_use]) if runs[in_use] else None


def _check_launcher(host: Host, launcher: Path | None, found: Finding) -> None:
    """What keeps the host from starting the launcher, found from its file alone: a launcher
    named in a file that anyone may have written (a cloned project's) is never run."""
    if launcher is None:
        return
    if not launcher.is_absolute():
        found.problems.append(f"the command is not an absolute path; {host.title} may not find it")
    elif not launcher.is_file():
        found.problems.append(f"{launcher} does not exist" if not os.path.lexists(launcher) else
                              f"{launcher} is not a regular file")
    elif not os.access(launcher, os.X_OK):
        found.problems.append(f"{launcher} is not executable")


def _check_interpreter(launcher: Path | None, platform: str, found: Finding) -> None:
    """The interpreter that the launcher hands the event to, and the product CLI that the hook
    looks for beside it."""
    if launcher is None or not launcher.is_file():
        return
    interpreter = reg.interpreter_of(launcher, platform)
    if interpreter is None:
        found.problems.append(f"cannot tell which interpreter {launcher} runs")
        return
    if not (interpreter.is_file() and os.access(interpreter, os.X_OK)):
        found.problems.append(f"{launcher} hands the event to {interpreter}, which " + (
            "is not an executable file" if os.path.lexists(interpreter) else "does not exist"))
    cli = reg.cli_path(interpreter)
    found.interpreter, found.cli = str(interpreter), str(cli)
    if not (cli.is_file() and os.access(cli, os.X_OK)):
        found.problems.append(f"no product CLI at {cli}, where the hook looks for it beside its "
                              "interpreter: every report fails silently. Install the product CLI "
                              "into that environment")


def _check_matcher(host: Host, matcher, found: Finding) -> None:
    """Whether the host starts the hook after every tool that can use a skill."""
    try:
        missed = missed_tools(matcher)
    except (re.error, TypeError):
        found.problems.append(f"the matcher {matcher!r} is not a valid regular expression; "
                              f"{host.title} skips the entry")
    else:
        if missed:
            found.risks.append("the matcher leaves out " + ", ".join(missed) + ": uses through "
                               "them are not counted")


def _check_run(host: Host, hook: dict, found: Finding) -> None:
    """What may stop a started hook before its report: running it async, a short timeout."""
    if found.async_:
        found.risks.append(ASYNC_RISK[host.name])
    timeout = hook.get("timeout")
    if isinstance(timeout, (int, float)) and timeout <= reg.REPORT_TIMEOUT:
        found.risks.append(f"timeout {timeout} s: the host may stop the hook before its report, "
                           f"which may take {reg.REPORT_TIMEOUT} s")


def _read_by_codex(matcher, hook: dict, found: Finding) -> bool:
    """Whether Codex reads the entry, which it needs to hash it; with the hash it records."""
    timeout = hook.get("timeout", 0)
    if not isinstance(timeout, int) or isinstance(timeout, bool) or timeout < 0 \
            or not isinstance(matcher, (str, type(None))):
        found.problems.append("Codex cannot read this entry (timeout or matcher of the wrong type) "
                              "and skips the file")
        return False
    try:
        found.hash = trust_hash(matcher, hook)
    except UnicodeEncodeError:
        # Codex's JSON reader refuses a lone surrogate, and with it the file.
        found.problems.append("Codex cannot read this entry (a lone surrogate, such as \\ud800, "
                              "in one of its fields) and skips the file")
        return False
    return True


def _check_approval(matcher, hook: dict, approval: dict, found: Finding) -> None:
    """Whether Codex runs the entry: approved as it stands, hooks on, the project trusted."""
    found.approval_key = approval["key"]
    if not _read_by_codex(matcher, hook, found):
        return
    state, problems = approval["state"], found.problems
    recorded = state.get("trusted_hash")
    # What the user settles in Codex itself, once: not a fault of the registration.
    steps = found.user_steps = []

    def user_step(text: str) -> None:
        problems.append(text)
        steps.append(text)

    if approval.get("config_error"):
        found.approval = "unknown"
        problems.append("cannot tell whether Codex approved it: its config.toml cannot be read")
    elif state.get("enabled") is False:
        found.approval = "disabled"
        user_step("disabled in /hooks: Codex skips it")
    elif recorded is None:
        found.approval = "waiting"
        user_step("waiting for approval: " + APPROVE_HINT)
    elif recorded != found.hash:
        found.approval = "changed"
        user_step("changed since it was approved: Codex skips it until it is approved "
                  "again; " + APPROVE_HINT)
    else:
        found.approval = "approved"
    if not approval["hooks_on"]:
        problems.append("hooks are off in Codex's config.toml ([features] hooks = false)")
    if not approval["trusted_project"]:
        user_step("Codex reads a project's .codex/ only once the project is trusted")


def inspect_hook(host: Host, matcher, hook: dict, approval: dict | None,
                 platform: str = os.name, in_use: str | None = None) -> Finding:
    """One registered entry of this hook: what the host does with it. `approval` is, for
    Codex, {"key", "state", "hooks_on", "trusted_project", "config_error"}. On Windows the
    command is read as each shell of the host would read it; `in_use` is the one the host
    uses on this machine (found as the host finds it, by default)."""
    found = Finding(matcher, hook.get("command"), hook.get("timeout"), bool(hook.get("async")))
    if platform == "nt":
        launcher = _windows_reading(host, hook, found, in_use or shell_in_use(host))
    else:
        launcher = reg.launcher_of(hook)
    _check_launcher(host, launcher, found)
    _check_interpreter(launcher, platform, found)
    _check_matcher(host, matcher, found)
    _check_run(host, hook, found)
    if approval is not None:
        _check_approval(matcher, hook, approval, found)
    found.ready = not found.problems
    return found


def _project_folders(start: Path) -> list[Path]:
    """The current folder and those above it up to the repository's root (a folder with
    .git), where Codex looks for project files; just the current folder outside a repository."""
    chain = [start, *start.parents]
    for number, folder in enumerate(chain):
        if os.path.exists(folder / ".git"):
            return chain[:number + 1][::-1]
    return [start]


def _sources(host: Host, cwd: Path) -> list[tuple[str, Path]]:
    """(scope, file) of every file the host reads hooks from, for the user and the project."""
    user = host.user_folder()
    if host is CLAUDE:
        names, folders = ("settings.json", "settings.local.json"), [cwd]
    else:
        names, folders = ("hooks.json", "config.toml"), _project_folders(cwd)
    files = [("user", user / name) for name in names if name != "settings.local.json"]
    # In the home folder, the project's folder is the user's own: each file is listed once.
    files += [("project", folder / host.folder / name) for folder in folders for name in names
              if os.path.realpath(folder / host.folder) != os.path.realpath(user)]
    return files


def _table(table: dict, key: str) -> dict:
    value = table.get(key)
    return value if isinstance(value, dict) else {}


def _codex_settings():
    """(hook states, hooks on, trusted project folders, why it cannot be read) from Codex's user
    config.toml. One that cannot be read counts as empty here: it is among the host's files,
    which report the error."""
    try:
        config = read_toml(CODEX.user_folder() / "config.toml") or {}
    except Problem as error:
        return {}, True, set(), str(error)
    states = _table(_table(config, "hooks"), "state")
    features = _table(config, "features")
    # `codex_hooks` is the older name of the same switch.
    hooks_on = features.get("hooks", features.get("codex_hooks", True)) is not False
    trusted = {Path(p) for p, v in _table(config, "projects").items()
               if isinstance(v, dict) and v.get("trust_level") == "trusted"}
    return states, hooks_on, trusted, None


def _approval(codex, record: FileFindings, g: int, h: int) -> dict:
    """What Codex's settings `codex` hold for the entry at (group g, hook h) of a file: its
    state, kept under the file's path and the entry's position, whether hooks are on, and
    whether the file is the user's or in a trusted project."""
    states, hooks_on, trusted, config_error = codex
    path = Path(record.file)
    key = f"{path}:post_tool_use:{g}:{h}"
    in_trusted = record.scope == "user" or any(
        folder in trusted for folder in [path.parent.parent, *path.parent.parent.parents])
    state = states.get(key) if isinstance(states.get(key), dict) else {}
    return {"key": key, "state": state, "hooks_on": hooks_on, "trusted_project": in_trusted,
            "config_error": config_error}


def _read(path: Path):
    """(settings, this hook's PostToolUse groups) of a host's file; Problem when unreadable."""
    settings = (read_toml if path.suffix == ".toml" else read_json)(path)
    return settings, (reg.groups_of(settings, path) if settings else None)


def _hooks_off(loaded: list[tuple[str, dict | None]]) -> tuple[str, object] | None:
    """(file, value) deciding Claude Code's "disableAllHooks" when it turns every hook off, from
    each file's settings in the order read. Claude Code 2.1.337 takes the last value set, in the
    order user, project, local settings (then the --settings file and managed policy), and runs
    no hook when it is true."""
    deciding = None
    for file, settings in loaded:
        value = (settings or {}).get("disableAllHooks")
        if value is not None:
            deciding = (file, value)
    return deciding if deciding and deciding[1] is not False else None


def _check_hooks_off(off: tuple[str, object], found: Finding) -> None:
    """The entry does not run: "disableAllHooks", set as `off` says, turns every hook off."""
    found.problems.append(
        f'hooks are off: {off[0]} sets "disableAllHooks": {json.dumps(off[1])}, and '
        "Claude Code runs no hook at all; remove it (or set it to false in a later "
        "file: user, then project, then local settings)")
    found.ready = False


def host_report(host: Host, cwd: Path, inspect: bool = True) -> HostFindings:
    """Every file of the host that it reads hooks from, with the entries of this hook found
    in it: inspected (what the host does with each), or with `inspect` false just counted."""
    codex = _codex_settings() if host is CODEX else None
    files, loaded = [], []
    for scope, path in _sources(host, cwd):
        record = FileFindings(scope, str(path), os.path.lexists(path))
        files.append(record)
        settings = groups = None
        try:
            settings, groups = _read(path)
        except Problem as error:
            record.error = str(error)
        loaded.append((record.file, settings, groups))
    off = _hooks_off([(file, settings) for file, settings, _ in loaded]) if host is CLAUDE else None
    in_use = shell_in_use(host) if os.name == "nt" and inspect else None
    for record, (_, _, groups) in zip(files, loaded):
        for g, h in reg.owned(groups or []):
            hook = groups[g]["hooks"][h]
            if not inspect:  # counted only
                record.entries.append(Finding(groups[g].get("matcher"), hook.get("command"),
                                              hook.get("timeout")))
                continue
            approval = _approval(codex, record, g, h) if host is CODEX else None
            found = inspect_hook(host, groups[g].get("matcher"), hook, approval, in_use=in_use)
            if off:
                _check_hooks_off(off, found)
            record.entries.append(found)
    return HostFindings(host.name, host.title, files)


def status(cwd: Path) -> list[HostFindings]:
    """Every file of every host, with the entries of this hook found in it."""
    return [host_report(host, cwd) for host in HOSTS.values()]
