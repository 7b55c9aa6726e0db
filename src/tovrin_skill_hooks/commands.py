"""The commands: install, uninstall and status, each saying what it did or found; what goes
wrong is raised as a Problem, which the command line tells."""

import json
import os
import sys
from pathlib import Path

from tovrin_skill_hooks import registration as reg
from tovrin_skill_hooks.errors import Problem
from tovrin_skill_hooks.files import update_json
from tovrin_skill_hooks.findings import Finding, HostFindings
from tovrin_skill_hooks.hosts import APPROVE_HINT, host_report, status

PROG = "tovrin-skill-hooks"


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
