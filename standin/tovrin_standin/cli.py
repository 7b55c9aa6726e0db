"""Stand-in for the product's command line: records uses of skills and lists them.

The skill hook runs `tovrin skills report-usage <skill_name>` once per use; the uses
land in a SQLite database in the user's home, shared by every agent on the machine.
"""

import json
import sqlite3
import sys
import time
from contextlib import closing
from datetime import datetime, timezone
from pathlib import Path

USAGE = """\
usage: tovrin skills report-usage <skill_name>
       tovrin skills usage [--json]
       tovrin [skills] -h | --help

commands:
  skills report-usage <skill_name>  record one use of a skill, now (UTC)
  skills usage [--json]             list the recorded uses per skill
"""

HELP_FLAGS = ("-h", "--help")
BUSY_TIMEOUT_SECONDS = 10.0
# Retries cover the moments the busy timeout does not: SQLite reports "locked" at once
# when waiting could deadlock, e.g. many processes creating the database together.
SETUP_ATTEMPTS = 50


def database_path() -> Path:
    return Path.home() / ".tovrin" / "usage.db"


def utc_now() -> str:
    # One fixed-width format, so that text order is time order for MIN and MAX;
    # microseconds keep uses within the same second apart.
    return datetime.now(timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def open_database(path: Path) -> sqlite3.Connection:
    """Open (and create on first use) the database, ready for concurrent writers."""
    path.parent.mkdir(parents=True, exist_ok=True)
    # isolation_level=None: each statement commits on its own, nothing is left open.
    db = sqlite3.connect(path, timeout=BUSY_TIMEOUT_SECONDS, isolation_level=None)
    attempt = 1
    while True:
        try:
            # WAL lets readers and one writer proceed together; the mode is stored in the
            # file, so this is a no-op once any process has switched it.
            db.execute("PRAGMA journal_mode = WAL")
            db.execute(
                "CREATE TABLE IF NOT EXISTS uses (skill TEXT NOT NULL, used_at TEXT NOT NULL)"
            )
            return db
        except sqlite3.OperationalError as error:
            busy = (error.sqlite_errorcode or 0) & 0xFF == sqlite3.SQLITE_BUSY
            if not busy or attempt == SETUP_ATTEMPTS:
                db.close()
                raise
        time.sleep(0.01 * attempt)
        attempt += 1


def report_usage(skill: str) -> int:
    try:
        with closing(open_database(database_path())) as db:
            db.execute("INSERT INTO uses (skill, used_at) VALUES (?, ?)", (skill, utc_now()))
    except (OSError, sqlite3.Error, ValueError) as error:  # ValueError: unencodable name
        return fail("cannot record usage", error)
    return 0


def recorded_uses() -> list[dict]:
    path = database_path()
    if not path.exists():  # Listing must not create anything.
        return []
    with closing(open_database(path)) as db:
        rows = db.execute(
            "SELECT skill, COUNT(*), MIN(used_at), MAX(used_at) FROM uses"
            " GROUP BY skill ORDER BY skill"
        ).fetchall()
    return [dict(zip(("skill", "count", "first", "last"), row)) for row in rows]


def show_usage(as_json: bool) -> int:
    try:
        uses = recorded_uses()
    except (OSError, sqlite3.Error) as error:
        return fail("cannot read usage", error)
    if as_json:
        print(json.dumps(uses, ensure_ascii=False, indent=2))
    elif not uses:
        print("no skill uses recorded")
    else:
        print_table(["SKILL", "COUNT", "FIRST", "LAST"],
                    [[u["skill"], str(u["count"]), u["first"], u["last"]] for u in uses])
    return 0


def print_table(header: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    for row in [header, *rows]:
        cells = [cell.rjust(w) if i == 1 else cell.ljust(w)  # counts align right
                 for i, (cell, w) in enumerate(zip(row, widths))]
        print("  ".join(cells).rstrip())


def fail(what: str, error: Exception) -> int:
    # Exactly one line, whatever the error text holds.
    reason = " ".join(str(error).split()) or type(error).__name__
    print(f"tovrin: {what}: {reason}", file=sys.stderr)
    return 1


def print_help() -> int:
    print(USAGE, end="")
    return 0


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    # Matched by position, not parsed as options: the skill name is always the third
    # argument, even when it looks like an option ("-x", "--help").
    match args:
        case ["skills", "report-usage", skill]:
            return report_usage(skill)
        case ["skills", "usage"]:
            return show_usage(as_json=False)
        case ["skills", "usage", "--json"]:
            return show_usage(as_json=True)
        case [flag, *_] if flag in HELP_FLAGS:
            return print_help()
        case ["skills", flag] | ["skills", "usage", flag] if flag in HELP_FLAGS:
            return print_help()
    print(USAGE, end="", file=sys.stderr)
    return 2
