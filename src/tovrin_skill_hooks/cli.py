"""The `tovrin-skill-hooks` command: install, status, uninstall.

Exit status: 0 done (status: every registration found will run), 1 a registration that a
host would not run, or a file that could not be read or written, 2 a usage error."""

import argparse
import contextlib
import json
import os
import sys
from pathlib import Path

from tovrin_skill_hooks import registration as reg
from tovrin_skill_hooks.errors import Problem
from tovrin_skill_hooks.files import update_json, whole_numbers
from tovrin_skill_hooks.findings import Finding, HostFindings
from tovrin_skill_hooks.hosts import APPROVE_HINT, HOSTS, host_report, status

PROG = "tovrin-skill-hooks"


def _folder(text: str) -> Path:
    path = Path(text)
    if not path.is_dir():
        raise argparse.ArgumentTypeError(f"{text}: no such folder")
    return path


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Register the skill-usage hook with Claude Code or Codex, "
        "tell whether it will run, and remove it.",
        epilog="Exit status: 0 done; 1 a registration a host would not run, or a file that "
        "could not be read or written; 2 a usage error.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for name, text in (("install", "register the hook, or bring its registration up to date"),
                       ("uninstall", "remove this hook's entries, and nothing else")):
        command = commands.add_parser(name, help=text, description=text[0].upper() + text[1:] + ".")
        command.add_argument("host", choices=sorted(HOSTS), help="the agent host")
        command.add_argument("--project", metavar="DIR", type=_folder,
                             help="the project's settings in DIR/.claude or DIR/.codex, "
                             "instead of the user's (~/.claude, or CLAUDE_CONFIG_DIR; "
                             "~/.codex, or CODEX_HOME)")
    shown = commands.add_parser(
        "status", help="show, per host and file, whether the hook is registered and will run",
        description="Show, for each host, the user's files and those of the current folder's "
        "project: whether the hook is registered there, and whether it will run and record uses.")
    shown.add_argument("--json", action="store_true", help="print the findings as JSON")
    return parser


def _entries(count: int) -> str:
    return f"{count} entr{'y' if count == 1 else 'ies'}"


def _same(a, b) -> bool:
    return os.path.realpath(a) == os.path.realpath(b)


def _elsewhere(host, report: HostFindings, target: Path, verb: str) -> None:
    """Names each entry of this hook that the host reads from a file other than `target`, with
    what removes it: this command for the host's own file, the user's hand for the others."""
    for record in report.files:
        if not record.entries or _same(record.file, target):
            continue
        file = Path(record.file)
        if file.name != host.file:
            remedy = "remove it from that file by hand"
        else:
            project = "" if record.scope == "user" else f" --project {file.parent.parent}"
            remedy = f"`{PROG} uninstall {host.name}{project}` removes it"
        print(f"{host.title}: {verb} {_entries(len(record.entries))} of this hook in {file}, "
              f"which {host.title} runs as well; {remedy}")


def _checked_first(host, project: Path | None, inspect: bool) -> None:
    """Reads and checks every file that the command reads after writing, before it writes:
    a file it cannot read stops it with nothing written."""
    for record in host_report(host, (project or Path.cwd()).absolute(), inspect).files:
        if record.error:
            raise Problem(record.error + "; nothing was written")


def install(host, project: Path | None) -> int:
    path = host.target(project)
    launcher = reg.launcher_path()
    wanted = reg.entry(launcher, host.name)
    _checked_first(host, project, inspect=True)
    _, changed = update_json(
        path, lambda settings: reg.install_into(settings, path, wanted, host.keeps_places))
    if not changed:
        print(f"{host.title}: already registered in {path}")
    else:
        shell = " (run directly, through no shell)" if "args" in wanted else ""
        print(f"{host.title}: registered {wanted['command']}{shell} in {path}")
    # What status would say of the entry just written.
    report = host_report(host, (project or Path.cwd()).absolute())
    records = [record for record in report.files if _same(record.file, path)]
    written = [entry for record in records for entry in record.entries]
    if unread := [record.error for record in records if record.error]:
        raise Problem(f"{unread[0]}, after it was written")
    _elsewhere(host, report, path, "also found")
    faults = [p for entry in written for p in entry.problems if p not in (entry.user_steps or ())]
    for risk in dict.fromkeys(r for entry in written for r in entry.risks):
        print(f"{host.title}: risk: {risk}")
    if host.name == "codex":
        print(f"Codex runs a new or changed hook only once you approve it: {APPROVE_HINT}.")
    if faults:
        print(f"{host.title}: {path}: WILL NOT RECORD USES", file=sys.stderr)
        for problem in faults:
            print(f"  problem: {problem}", file=sys.stderr)
        return 1
    return 0


def uninstall(host, project: Path | None) -> int:
    path = host.target(project)
    _checked_first(host, project, inspect=False)

    def remove(settings: dict) -> tuple[int, bool]:
        removed = reg.uninstall_from(settings, path, host.keeps_places) if settings else 0
        return removed, bool(removed) and settings == {}

    (removed, emptied), _ = update_json(path, remove)
    if emptied and path.is_file() and not path.is_symlink():
        # Nothing but this hook was in it: the file goes, as install found it missing.
        try:
            path.unlink()
        except OSError as error:
            raise Problem(f"{path}: cannot be removed ({error.strerror})") from None
        print(f"{host.title}: removed {_entries(removed)} and the file {path}, left empty")
    elif removed:
        print(f"{host.title}: removed {_entries(removed)} from {path}")
    else:
        print(f"{host.title}: not registered in {path}; nothing changed")
    _elsewhere(host, host_report(host, (project or Path.cwd()).absolute(), inspect=False), path,
               "left")
    return 0


def _shells(entry: Finding) -> str | None:
    shells = entry.shells
    if not shells:
        return None
    under = [shell for shell, runs in shells.items() if runs]
    not_under = [shell for shell, runs in shells.items() if not runs]
    return ("runs under " + ", ".join(under) if under else "runs under none of its shells") + \
        ("; not under " + ", ".join(not_under) if not_under else "")


def show_status(as_json: bool) -> int:
    report = status(Path.cwd())
    failing = any(record.error or not all(entry.ready for entry in record.entries)
                  for host in report for record in host.files)
    if as_json:
        json.dump({"ready": not failing, "hosts": [host.as_json() for host in report]}, sys.stdout,
                  indent=2)
        print()
        return 1 if failing else 0
    for host in report:
        print(host.title)
        for record in host.files:
            if not record.exists and not record.error:
                continue
            if record.error:
                print(f"  {record.scope:8} {record.file}\n           error: {record.error}")
                continue
            if not record.entries:
                print(f"  {record.scope:8} {record.file}: not registered")
            for entry in record.entries:
                verdict = "ready" if entry.ready else "WILL NOT RECORD USES"
                print(f"  {record.scope:8} {record.file}: {verdict}")
                timeout = "the host's default timeout" if entry.timeout is None \
                    else f"timeout {entry.timeout} s"
                print(f"           matcher {entry.matcher}, {timeout}, "
                      f"{'async' if entry.async_ else 'synchronous'}")
                print(f"           command {entry.command}")
                if shells := _shells(entry):
                    print(f"           shells: {shells}")
                if entry.cli:
                    print(f"           product CLI (beside {entry.interpreter}): {entry.cli}")
                if entry.approval:
                    print(f"           approval: {entry.approval}")
                for problem in entry.problems:
                    print(f"           problem: {problem}")
                for risk in entry.risks:
                    print(f"           risk: {risk}")
        if any(record.error for record in host.files):
            continue  # whether it is registered there is not known
        if not any(record.entries for record in host.files):
            print(f"  not registered: `{PROG} install {host.host}` registers it")
    return 1 if failing else 0


class _Held:
    """A stream whose text is held, in order with the other's, until the command is done."""

    def __init__(self, held: list, to_stdout: bool):
        self.held, self.to_stdout = held, to_stdout

    def write(self, text: str) -> int:
        self.held.append((self.to_stdout, text))
        return len(text)

    def flush(self) -> None:
        pass


def _run(argv: list[str] | None, closed: bool) -> int:
    arguments = _parser().parse_args(argv)
    try:
        if closed:
            raise Problem("standard output is closed: there is nowhere to say what was done")
        with whole_numbers():
            if arguments.command == "status":
                return show_status(arguments.json)
            action = install if arguments.command == "install" else uninstall
            return action(HOSTS[arguments.host], arguments.project)
    except Problem as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


def main(argv: list[str] | None = None) -> int:
    held, closed = [], sys.stdout is None
    try:
        with contextlib.redirect_stdout(_Held(held, True)), \
                contextlib.redirect_stderr(_Held(held, False)):
            code = _run(argv, closed)
    except SystemExit as exit:  # argparse's, after a usage error or --help
        code = exit.code
    # What the command says goes out now, where a failure to write it is met and told, not at
    # the interpreter's exit. A character the output's encoding lacks (a lone surrogate, a
    # file name that is not UTF-8) is written as its escape.
    for to_stdout, text in held:
        stream = sys.stdout if to_stdout else sys.stderr
        if stream is None:
            continue
        try:
            if hasattr(stream, "reconfigure"):
                stream.reconfigure(errors="backslashreplace")
            stream.write(text)
            stream.flush()
        except BrokenPipeError:
            # The reader went away (`status --json | head`): the rest is for no one.
            return _quiet_stdout(1)
        except (OSError, ValueError) as error:
            if to_stdout:
                with contextlib.suppress(OSError, ValueError, AttributeError):
                    print(f"{PROG}: error: cannot write to standard output "
                          f"({getattr(error, 'strerror', None) or error})", file=sys.stderr)
                return _quiet_stdout(1)
    return code


def _quiet_stdout(code: int) -> int:
    """Points standard output at the null device, so that the interpreter's last flush meets
    neither the pipe nor the full device again."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    return code
