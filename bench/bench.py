"""Latency and memory of the hook against its floors, as ratios measured in one run.

Each start-up figure runs the hook and its floor in turn, pair after pair (alternating which
goes first), and reports the median of the per-pair ratios, so that a slower or busier
moment of the machine weighs on both sides alike. Figures land in bench/results.json too.
"""

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import statistics
import sys
import tempfile
import time
import timeit
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
from fake_product import PRODUCT_FILES, product_wheel  # noqa: E402

EVENTS = ROOT / "examples" / "events"
# What each sample event is and the skill the hook must report for it (none: ignored).
OUTCOMES = tomllib.loads((EVENTS / "outcomes.toml").read_text(encoding="utf-8"))
BIN = Path(sys.executable).parent
# The module's figures run it through the Python launcher script, which the native launcher
# (the command hosts register) hands over to; the native_ figures run the native launcher.
LAUNCHER = str(BIN / "tovrin-report-skill-usage-python")
NATIVE = str(BIN / "tovrin-report-skill-usage")
TRUE = shutil.which("true")
STAND_IN = str(BIN / "tovrin")
FLOOR = [sys.executable, "-c", "import json, pathlib"]
# Tool calls that never use a skill, as the hosts name them.
OTHER_TOOLS = ["Read", "Edit", "Write", "Grep", "Glob", "apply_patch"]

SKILL_EVENT = b'{"tool_name": "Skill", "tool_input": {"skill": "tov-auth", "args": ""}}'

GOALS = {
    "startup_non_skill": 1.02,
    "startup_non_skill_instructions": 1.02,
    "startup_matching_non_skill": 1.02,
    "startup_suppressed_repeat": 1.03,
    "startup_suppressed_repeat_instructions": 1.03,
    "full_report": 1.10,
    "full_report_vs_plain_subprocess": None,
    "resolve_bash_tovrin_command": 3.0,
    "resolve_skill_name": 4.0,
    "peak_memory": 1.05,
    "native_bash_no_skill": 1.5,
    "native_read_no_skill": None,
    "native_full_report": 1.05,
    "product_init_suppressed_repeat": 1.05,
}


def run(argv, stdin: bytes, env) -> tuple[float, int]:
    """Wall time (s) of one process fed `stdin`, and its exit status."""
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
    try:
        with os.fdopen(write_end, "wb") as pipe:
            pipe.write(stdin)
    except BrokenPipeError:  # a floor that never reads its input (true) may close it first
        pass
    _, status = os.waitpid(pid, 0)
    elapsed = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv} failed with status {os.waitstatus_to_exitcode(status)}")
    return elapsed, status


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


def instructions(argv, stdin: bytes, env) -> int:
    """Instructions one process executes, counted by callgrind: the same on every run."""
    completed = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *argv],
        input=stdin, env=env, capture_output=True, check=True,
    )
    return int(re.search(rb"Collected : (\d+)", completed.stderr).group(1))


def instruction_ratio(hook_argv, floor_argv, stdin, env):
    hook, floor = instructions(hook_argv, stdin, env), instructions(floor_argv, stdin, env)
    return {"ratio": hook / floor, "hook_minstr": hook / 1e6, "floor_minstr": floor / 1e6}


def startup_figures(pairs, home: Path):
    env = dict(os.environ, HOME=str(home))
    read_event = (EVENTS / "read-large.json").read_bytes()
    shell_event = (EVENTS / "bash-git.json").read_bytes()
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
        "startup_matching_non_skill": paired(
            pairs, lambda: run([LAUNCHER], shell_event, env)[0], lambda: floor(shell_event)
        ),
        "startup_suppressed_repeat": paired(pairs, fresh_marker, lambda: floor(SKILL_EVENT)),
        "full_report": paired(
            pairs,
            no_marker,
            lambda: floor(SKILL_EVENT) + run([STAND_IN, "skills", "report-usage", "tov-auth"], b"", env)[0],
        ),
    }
    # What the report costs when written as the report is specified, in plain Python: the
    # floor that importing subprocess and calling subprocess.run set for any such hook.
    report_argv = [STAND_IN, "skills", "report-usage", "tov-auth"]
    plain_report = [sys.executable, "-c", "import json, pathlib, subprocess; "
                    f"subprocess.run({report_argv!r}, capture_output=True, timeout=10)"]
    figures["full_report_vs_plain_subprocess"] = paired(
        pairs, no_marker, lambda: run(plain_report, b"", env)[0]
    )
    figures["full_report_vs_plain_subprocess"]["command"] = "the full report  vs  " + " ".join(plain_report)
    figures["startup_non_skill"]["command"] = f"{LAUNCHER} < {EVENTS / 'read-large.json'}  vs  {' '.join(FLOOR)}"
    figures["startup_matching_non_skill"]["command"] = f"{LAUNCHER} < {EVENTS / 'bash-git.json'}  vs  the floor"
    figures["startup_suppressed_repeat"]["command"] = f"{LAUNCHER} <<< {SKILL_EVENT.decode()!r} (fresh marker)  vs  the floor"
    figures["full_report"]["command"] = (
        f"{LAUNCHER} <<< {SKILL_EVENT.decode()!r} (no marker)  vs  the floor + {STAND_IN} skills report-usage tov-auth"
    )
    if shutil.which("valgrind"):  # the steady companions of the two timed start-up figures
        figures["startup_non_skill_instructions"] = instruction_ratio([LAUNCHER], FLOOR, read_event, env)
        figures["startup_non_skill_instructions"]["command"] = "valgrind --tool=callgrind, " + \
            figures["startup_non_skill"]["command"]
        fresh_marker()
        figures["startup_suppressed_repeat_instructions"] = instruction_ratio([LAUNCHER], FLOOR, SKILL_EVENT, env)
        figures["startup_suppressed_repeat_instructions"]["command"] = "valgrind --tool=callgrind, " + \
            figures["startup_suppressed_repeat"]["command"]
    launcher_code = f"exec(compile(open({LAUNCHER!r}).read(), {LAUNCHER!r}, 'exec'))"
    hook_memory = [peak_kib(launcher_code, read_event, env) for _ in range(5)]
    floor_memory = [peak_kib("import json, pathlib", read_event, env) for _ in range(5)]
    figures["peak_memory"] = {
        "ratio": statistics.median(hook_memory) / statistics.median(floor_memory),
        "hook_kib": statistics.median(hook_memory),
        "floor_kib": statistics.median(floor_memory),
        "command": "VmHWM at exit of the launcher's code on the Read event  vs  of `import json, pathlib`",
    }
    return figures


def native_figures(pairs):
    """The native launcher against `true` fed the same event, started the same way, and, for
    a report, against the Python launcher script alone; and which of the sample Bash and
    PowerShell events it answers without an interpreter."""
    with tempfile.TemporaryDirectory(prefix="hook-bench-native-") as folder:
        home = Path(folder, "home")
        home.mkdir()
        env = dict(os.environ, HOME=str(home))
        shell_event = (EVENTS / "bash-git.json").read_bytes()
        read_event = (EVENTS / "read-large.json").read_bytes()
        marker = home / ".tovrin" / "hooks" / ".dedup_tov-auth"

        def report(argv):
            marker.unlink(missing_ok=True)
            return run(argv, SKILL_EVENT, env)[0]

        # A millisecond each: ten times the pairs, for a steadier median at the same cost.
        figures = {
            "native_bash_no_skill": paired(
                10 * pairs, lambda: run([NATIVE], shell_event, env)[0], lambda: run([TRUE], shell_event, env)[0]),
            "native_read_no_skill": paired(
                10 * pairs, lambda: run([NATIVE], read_event, env)[0], lambda: run([TRUE], read_event, env)[0]),
            "native_full_report": paired(pairs, lambda: report([NATIVE]), lambda: report([LAUNCHER])),
        }
        figures["native_bash_no_skill"]["command"] = f"{NATIVE} < {EVENTS / 'bash-git.json'}  vs  {TRUE} < the same"
        figures["native_read_no_skill"]["command"] = f"{NATIVE} < {EVENTS / 'read-large.json'}  vs  {TRUE} < the same"
        figures["native_full_report"]["command"] = (
            f"{NATIVE} <<< {SKILL_EVENT.decode()!r} (no marker)  vs  {LAUNCHER}, the same")

        # A copy with no Python launcher script beside it fails whatever it does not answer alone.
        lone = Path(shutil.copy2(NATIVE, Path(folder, Path(NATIVE).name)))
        shell_events = sorted(path.name for path in EVENTS.glob("*.json")
                              if json.loads(path.read_bytes()).get("tool_name") in ("Bash", "PowerShell"))
        alone = [name for name in shell_events
                 if subprocess.run([str(lone)], input=(EVENTS / name).read_bytes(), env=env,
                                   capture_output=True).returncode == 0]
    share = {"events": shell_events, "answered_alone": alone, "share": len(alone) / len(shell_events),
             "command": "a copy of the native launcher with no Python launcher script beside it, "
                        "on each sample Bash and PowerShell event"}
    return figures, share


def product_init_figure(pairs):
    """A suppressed repeat through the registered launcher of an environment where the hook's
    wheel lies beside a product whose package init takes 300 ms, against the same beside a
    product whose init is empty: the hook runs none of the product's package code."""
    wheel = os.environ.get("TOVRIN_WHEEL") or str(next((ROOT / "build" / "wheels").glob("*.whl")))
    with tempfile.TemporaryDirectory(prefix="hook-bench-product-") as folder:
        launchers = {}
        for name, init in (("slow", "import time\ntime.sleep(0.3)\n"), ("empty", "")):
            env_dir, wheels = Path(folder, name), Path(folder, f"{name}-wheels")
            wheels.mkdir()
            subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(env_dir)], check=True)
            product = product_wheel(wheels, PRODUCT_FILES | {"tovrin/__init__.py": init})
            subprocess.run([sys.executable, "-m", "pip", "--python", str(env_dir / "bin" / "python"), "install",
                            "--quiet", "--disable-pip-version-check", "--no-index", "--no-deps", str(product), wheel],
                           check=True)
            launchers[name] = str(env_dir / "bin" / "tovrin-report-skill-usage")
        home = Path(folder, "home")
        marker = home / ".tovrin" / "hooks" / ".dedup_tov-auth"
        marker.parent.mkdir(parents=True)
        env = dict(os.environ, HOME=str(home))

        def repeat(launcher):
            marker.touch()
            return run([launcher], SKILL_EVENT, env)[0]

        figure = paired(pairs, lambda: repeat(launchers["slow"]), lambda: repeat(launchers["empty"]))
    figure["command"] = (f"tovrin-report-skill-usage <<< {SKILL_EVENT.decode()!r} (fresh marker) beside a product "
                         "whose tovrin/__init__.py sleeps 300 ms  vs  the same beside an empty one")
    return figure


def registration_figures(non_skill_ms: float) -> dict:
    """What a call of a tool that never uses a skill costs under the documented registration:
    the hook processes the host starts for it, whether it searches with the matcher or
    matches it against the whole name, against one start-up each under the matcher ".*"."""
    registration = (ROOT / "docs" / "registration.md").read_text()
    matcher = re.search(r'"matcher": "([^"]+)"', registration).group(1)
    started = [tool for tool in OTHER_TOOLS if re.search(matcher, tool) or re.fullmatch(matcher, tool)]
    return {
        "matcher": matcher,
        "tools": OTHER_TOOLS,
        "processes_per_call": len(started) / len(OTHER_TOOLS),
        "ms_per_call": len(started) / len(OTHER_TOOLS) * non_skill_ms,
        "match_all_ms_per_call": non_skill_ms,
        "command": f"the matcher of docs/registration.md applied to {', '.join(OTHER_TOOLS)}, "
                   "priced at native_read_no_skill's hook time",
    }


def peak_kib(code, stdin, env) -> int:
    """The peak resident memory (VmHWM) of an interpreter running `code`, read at its exit.

    A spawned child's own rusage would report the spawning process's size instead, since the
    spawn shares its memory until exec."""
    with tempfile.NamedTemporaryFile("r") as out:
        harness = (
            "import atexit\n"
            "def report():\n"
            "    status = open('/proc/self/status').read()\n"
            f"    open({out.name!r}, 'w').write(status.split('VmHWM:')[1].split()[0])\n"
            "atexit.register(report)\n" + code
        )
        run([sys.executable, "-c", harness], stdin, env)
        return int(out.read())


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

    events = [json.loads((EVENTS / name).read_text()) for name in OUTCOMES]
    # The resolver is timed on the sample events only where it answers each as it must.
    answers = [hook._resolve_skill_name(event) for event in events]
    if answers != [outcome.get("reports") for outcome in OUTCOMES.values()]:
        sys.exit(f"the sample events resolve to {answers}, not as {EVENTS / 'outcomes.toml'} says")

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

    native, alone = native_figures(args.pairs)
    with tempfile.TemporaryDirectory(prefix="hook-bench-") as home:  # the markers and the stand-in's records
        figures = {**startup_figures(args.pairs, Path(home)), **in_process_figures(), **native}
    figures["product_init_suppressed_repeat"] = product_init_figure(args.pairs)
    # What the host pays for a call it starts the hook for: the native launcher's start-up.
    registration = registration_figures(figures["native_read_no_skill"]["hook_ms"])
    print(f"{'figure':38} {'ratio':>7} {'goal':>6}  hook / floor")
    for name, figure in figures.items():
        sides = [v for k, v in figure.items() if k.startswith(("hook_", "floor_"))]
        unit = next(k for k in figure if k.startswith("hook_")).split("_", 1)[1]
        goal = GOALS[name]
        verdict = "" if goal is None else "ok" if figure["ratio"] <= goal else "MISSED"
        goal_text = "-" if goal is None else f"{goal:.2f}"
        print(f"{name:38} {figure['ratio']:7.3f} {goal_text:>6}  "
              f"{sides[0]:.1f} / {sides[1]:.1f} {unit}  {verdict}")
    print(f"\nunder the matcher {registration['matcher']!r}, a call of {', '.join(OTHER_TOOLS)} starts "
          f"{registration['processes_per_call']:g} hook processes: {registration['ms_per_call']:.1f} ms "
          f"(under '.*': 1 process, {registration['match_all_ms_per_call']:.1f} ms)")
    print("a matching call that uses no skill (Bash git status) costs one start-up of the native "
          "launcher: native_bash_no_skill above")
    print(f"the native launcher answers {len(alone['answered_alone'])} of the {len(alone['events'])} sample "
          f"Bash and PowerShell events alone ({alone['share']:.0%}): {', '.join(alone['answered_alone'])}")
    results = {
        "machine": {"platform": platform.platform(), "processor": platform.processor(),
                    "cpus": os.cpu_count(), "python": sys.version.split()[0]},
        "pairs": args.pairs,
        "goals": GOALS,
        "figures": figures,
        "registration": registration,
        "native_answered_alone": alone,
    }
    out = ROOT / "bench" / "results.json"
    out.write_text(json.dumps(results, indent=2) + "\n")
    print(f"written to {out.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
