"""The native launcher end to end under CPython for Windows, many rounds: every sample event,
and a skill whose name keeps no marker on Windows, delivered twice to
Scripts\\tovrin-report-skill-usage.exe in a fresh home folder; every use the stand-in tovrin.exe
beside python.exe records is counted against what the events' README says.

  python rounds.py ROUNDS

A use that goes missing is located: the stand-in writes each run's arguments to calls.log
beside itself before it records the use, so a run named there whose use is missing was lost by
the stand-in, and one never started was lost before it, by the launcher or the module."""

import json
import subprocess
import sys
import sysconfig
import tempfile
from collections import Counter
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from conftest import EVENTS_DIR, expected_reports, home_env, recorded_uses, tree  # noqa: E402

LAUNCHER = Path(sysconfig.get_path("scripts")) / "tovrin-report-skill-usage.exe"
CALLS = Path(sys.executable).with_name("calls.log")
# A ':' names an alternate stream on Windows: such a skill keeps no marker, and each delivery
# is a use.
UNMARKED = json.dumps({"tool_name": "Skill", "tool_input": {"skill": "plug:sk"}}).encode()


def started_reports() -> list[str]:
    """The skills of the `skills report-usage` runs of the stand-in so far."""
    runs = CALLS.read_bytes().split(b"\n") if CALLS.exists() else []
    return [args[3].decode() for run in runs if len(args := run.split(b"\0")) == 5 and args[2] == b"report-usage"]


def main() -> int:
    rounds = int(sys.argv[1])
    events = {name: ((EVENTS_DIR / name).read_bytes(), {skill: 1} if skill else {})
              for name, skill in expected_reports().items()}
    events["plug:sk (no marker)"] = (UNMARKED, {"plug:sk": 2})
    expected = recorded = suppressed = 0
    problems = []
    with tempfile.TemporaryDirectory() as scratch:
        for round_ in range(rounds):
            for number, (name, (event, wanted)) in enumerate(events.items()):
                home = Path(scratch, f"{round_}-{number}")
                home.mkdir()
                before = len(started_reports())
                for _ in range(2):  # the second delivery is a repeat within the window
                    done = subprocess.run([str(LAUNCHER)], input=event, env=home_env(home),
                                          capture_output=True, timeout=60)
                    if (done.returncode, done.stdout, done.stderr) != (0, b"", b""):
                        problems.append(f"round {round_}, {name}: the launcher ended {done.returncode}, "
                                        f"{done.stdout!r}, {done.stderr!r}")
                got = recorded_uses(home)
                expected += sum(wanted.values())
                recorded += sum(got.values())
                suppressed += got == wanted and 1 in wanted.values()
                if got != wanted:
                    started = dict(Counter(started_reports()[before:]))
                    where = ("the stand-in ran for each use and lost one" if started == wanted else
                             "the stand-in was not started for each use: the launcher or the module lost it")
                    problems.append(f"round {round_}, {name}: recorded {got} of {wanted}; {where} "
                                    f"(started for {started}; in the home: {tree(home)})")
    print(f"end to end under Windows: {rounds} rounds of {len(events)} events, each delivered twice "
          f"({rounds * len(events) * 2} runs of the launcher): {recorded} uses recorded of {expected} "
          f"expected, {suppressed} repeats suppressed")
    for problem in problems:
        print("FAILED:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
