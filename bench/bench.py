"""Latency and memory of the hook against its floors, as ratios measured in one run.

Each start-up figure runs the hook and its floor in turn, pair after pair (alternating which
goes first), and reports the median of the per-pair ratios, so that a slower or busier
moment of the machine weighs on both sides alike. Figures land in bench/results.json too.
"""

import argparse
import json
import os
import platform
import statistics
import sys
import tempfile
import time
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
EVENTS = ROOT.parent / "shared" / "events"
BIN = Path(sys.executable).parent
LAUNCHER = str(BIN / "tovrin-report-skill-usage")
STAND_IN = str(BIN / "tovrin")
FLOOR = [sys.executable, "-c", "import json, pathlib"]

SKILL_EVENT = b'{"tool_name": "Skill", "tool_input": {"skill": "tov-auth", "args": ""}}'

GOALS = {
    "startup_non_skill": 1.02,
    "startup_suppressed_repeat": 1.03,
    "full_report": 1.10,
    "resolve_bash_tovrin_command": 3.0,
    "resolve_skill_name": 4.0,
    "peak_memory": 1.05,
}


def run(argv, stdin: bytes, env) -> tuple[float, int]:
    """Wall time (s) and peak resident memory (KiB) of one process fed `stdin`."""
    read_end, write_end = os.pipe()
    null = os.open(os.devnull, os.O_WRONLY)
    actions = [
        (os.POSIX_SPAWN_DUP2, read_end, 0),
        (os.POSIX_SPAWN_DUP2, null, 1),
        (os.POSIX_SPAWN_DUP2, null, 2),
        (os.POSIX_SPAWN_CLOSE, write_end),
    ]
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
    os.close(read_end)
    os.close(null)
    with os.fdopen(write_end, "wb") as pipe:
        try:
            pipe.write(stdin)
        except BrokenPipeError:  # the floor never reads its input
            pass
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv} failed with status {os.waitstatus_to_exitcode(status)}")
    return elapsed, usage.ru_maxrss


def paired(pairs, hook, floor):
    """Median of hook/floor over `pairs` runs of each, taken in turn."""
    ratios, hook_times, floor_times = [], [], []
    for index in range(pairs):
        if index % 2:
            floor_time, hook_time = floor(), hook()
        else:
            hook_time, floor_time = hook(), floor()
        ratios.append(hook_time / floor_time)
        hook_times.append(hook_time)
        floor_times.append(floor_time)
    return {
        "ratio": statistics.median(ratios),
        "hook_ms": statistics.median(hook_times) * 1e3,
        "floor_ms": statistics.median(floor_times) * 1e3,
    }


def startup_figures(pairs):
    home = Path(tempfile.mkdtemp(prefix="hook-bench-"))
    env = dict(os.environ, HOME=str(home))
    read_event = (EVENTS / "read-large.json").read_bytes()
    marker = home / ".tovrin" / "hooks" / ".dedup_tov-auth"
    floor = lambda stdin: run(FLOOR, stdin, env)[0]  # noqa: E731

    def fresh_marker():
        marker.parent.mkdir(parents=True, exist_ok=True)
        marker.touch()
        return run([LAUNCHER], SKILL_EVENT, env)[0]

    def no_marker():
        marker.unlink(missing_ok=True)
        return run([LAUNCHER], SKILL_EVENT, env)[0]

    figures = {
        "startup_non_skill": paired(
            pairs, lambda: run([LAUNCHER], read_event, env)[0], lambda: floor(read_event)
        ),
        "startup_suppressed_repeat": paired(pairs, fresh_marker, lambda: floor(SKILL_EVENT)),
        "full_report": paired(
            pairs,
            no_marker,
            lambda: floor(SKILL_EVENT) + run([STAND_IN, "skills", "report-usage", "tov-auth"], b"", env)[0],
        ),
    }
    figures["startup_non_skill"]["command"] = f"{LAUNCHER} < {EVENTS / 'read-large.json'}  vs  {' '.join(FLOOR)}"
    figures["startup_suppressed_repeat"]["command"] = f"{LAUNCHER} <<< {SKILL_EVENT.decode()!r} (fresh marker)  vs  the floor"
    figures["full_report"]["command"] = (
        f"{LAUNCHER} <<< {SKILL_EVENT.decode()!r} (no marker)  vs  the floor + {STAND_IN} skills report-usage tov-auth"
    )
    hook_memory = [run([LAUNCHER], read_event, env)[1] for _ in range(5)]
    floor_memory = [run(FLOOR, read_event, env)[1] for _ in range(5)]
    figures["peak_memory"] = {
        "ratio": statistics.median(hook_memory) / statistics.median(floor_memory),
        "hook_kib": statistics.median(hook_memory),
        "floor_kib": statistics.median(floor_memory),
        "command": "peak RSS (wait4 ru_maxrss) of the non-skill run  vs  the floor's",
    }
    return figures


# Typical command lines an agent runs, the CLI among them by name, by path and as a module.
COMMAND_LINES = [
    "git status", "git diff --stat HEAD~1", "npm install --save-dev typescript", "ls -la src/",
    "cat package.json | grep version", "pytest -q tests/ 2>&1 | tail -20", "cd /repo && make build",
    "tovrin auth token status", "tovrin query metadata --dataset sales", "/usr/local/bin/tovrin skills list",
    "python -m tovrin auth login", '"C:\\Tools\\tovrin.exe" query run', "find . -name '*.py' | xargs wc -l",
    "docker compose up -d", "echo done",
]


def in_process_figures():
    from tovrin.skills.hooks import report_skill_usage as hook

    events = [json.loads(path.read_text()) for path in sorted(EVENTS.glob("*.json"))]

    def per_call(statement, items):
        loops = 2000
        best = min(timeit.repeat(lambda: [statement(x) for x in items], number=loops, repeat=7))
        return best / loops / len(items) * 1e9

    def figure(name, function, floor, items, floor_text):
        ns, floor_ns = per_call(function, items), per_call(floor, items)
        return {"ratio": ns / floor_ns, "hook_ns": ns, "floor_ns": floor_ns,
                "command": f"{name} over {len(items)} inputs  vs  {floor_text}"}

    return {
        "resolve_bash_tovrin_command": figure(
            "_resolve_bash_tovrin_command", hook._resolve_bash_tovrin_command, str.split, COMMAND_LINES,
            "line.split()"),
        "resolve_skill_name": figure(
            "_resolve_skill_name", hook._resolve_skill_name, lambda e: e.get("tool_name"), events,
            'event.get("tool_name")'),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=40, help="runs of each side per start-up figure")
    args = parser.parse_args()

    figures = {**startup_figures(args.pairs), **in_process_figures()}
    print(f"{'figure':30} {'ratio':>7} {'goal':>6}  hook / floor")
    for name, figure in figures.items():
        sides = [v for k, v in figure.items() if k.startswith(("hook_", "floor_"))]
        unit = next(k for k in figure if k.startswith("hook_")).split("_", 1)[1]
        verdict = "ok" if figure["ratio"] <= GOALS[name] else "MISSED"
        print(f"{name:30} {figure['ratio']:7.3f} {GOALS[name]:6.2f}  "
              f"{sides[0]:.1f} / {sides[1]:.1f} {unit}  {verdict}")
    results = {
        "machine": {"platform": platform.platform(), "processor": platform.processor(),
                    "cpus": os.cpu_count(), "python": sys.version.split()[0]},
        "pairs": args.pairs,
        "goals": GOALS,
        "figures": figures,
    }
    out = ROOT / "bench" / "results.json"
    out.write_text(json.dumps(results, indent=2) + "\n")
    print(f"written to {out.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
