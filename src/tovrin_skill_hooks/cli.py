"""The `tovrin-skill-hooks` command: install, status, uninstall.

Exit status: 0 done (status: every registration found will run), 1 a registration that a
host would not run, or a file that could not be read or written, 2 a usage error."""

import argparse
import json
import sys
from pathlib import Path

from tovrin_skill_hooks import registration as reg
from tovrin_skill_hooks.files import update_json
from tovrin_skill_hooks.hosts import APPROVE_HINT, HOSTS, status
from tovrin_skill_hooks.registration import Problem

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


def install(host, project: Path | None) -> int:
    path = host.target(project)
    launcher = reg.launcher_path()
    _, written = update_json(
        path, lambda settings: reg.install_into(settings, path, launcher, host.keeps_places))
    if not written:
        print(f"{host.title}: already registered in {path}")
    else:
        print(f"{host.title}: registered {reg.command_for(launcher)} in {path}")
    if host.name == "codex":
        print(f"Codex runs a new or changed hook only once you approve it: {APPROVE_HINT}.")
    return 0


def uninstall(host, project: Path | None) -> int:
    path = host.target(project)
    removed, _ = update_json(
        path, lambda settings: reg.uninstall_from(settings, path, host.keeps_places))
    if removed:
        print(f"{host.title}: removed {removed} entr{'y' if removed == 1 else 'ies'} from {path}")
    else:
        print(f"{host.title}: not registered in {path}; nothing changed")
    return 0


def show_status(as_json: bool) -> int:
    report = status(Path.cwd())
    failing = any(host["error"] for host in report) or any(
        record["error"] or not all(entry["ready"] for entry in record["entries"])
        for host in report for record in host["files"])
    if as_json:
        json.dump({"ready": not failing, "hosts": report}, sys.stdout, indent=2)
        print()
        return 1 if failing else 0
    for host in report:
        print(host["title"])
        if host["error"]:
            print(f"  error: {host['error']}")
        for record in host["files"]:
            if not record["exists"]:
                continue
            if record["error"]:
                print(f"  {record['scope']:8} {record['file']}\n           error: {record['error']}")
                continue
            if not record["entries"]:
                print(f"  {record['scope']:8} {record['file']}: not registered")
            for entry in record["entries"]:
                verdict = "ready" if entry["ready"] else "WILL NOT RECORD USES"
                print(f"  {record['scope']:8} {record['file']}: {verdict}")
                timeout = "the host's default timeout" if entry["timeout"] is None \
                    else f"timeout {entry['timeout']} s"
                print(f"           matcher {entry['matcher']}, {timeout}, "
                      f"{'async' if entry['async'] else 'synchronous'}")
                print(f"           command {entry['command']}")
                if entry["cli"]:
                    print(f"           product CLI (beside {entry['interpreter']}): {entry['cli']}")
                if entry.get("approval"):
                    print(f"           approval: {entry['approval']}")
                for problem in entry["problems"]:
                    print(f"           problem: {problem}")
                for risk in entry["risks"]:
                    print(f"           risk: {risk}")
        if not any(record["entries"] for record in host["files"]):
            print(f"  not registered: `{PROG} install {host['host']}` registers it")
    return 1 if failing else 0


def main(argv: list[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    try:
        if arguments.command == "status":
            return show_status(arguments.json)
        action = install if arguments.command == "install" else uninstall
        return action(HOSTS[arguments.host], arguments.project)
    except Problem as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
