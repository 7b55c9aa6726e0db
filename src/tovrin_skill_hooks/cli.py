"""The `tovrin-skill-hooks` command line: install, status, uninstall, each a function of
commands.py; here, its arguments, the one line that tells a Problem, and its output.

Exit status: 0 done (status: every registration found will run), 1 a registration that a
host would not run, or a file that could not be read or written, 2 a usage error."""

import argparse
import contextlib
import os
import sys
from pathlib import Path

from tovrin_skill_hooks.commands import PROG, install, show_status, uninstall
from tovrin_skill_hooks.errors import Problem
from tovrin_skill_hooks.files import whole_numbers
from tovrin_skill_hooks.hosts import HOSTS


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
