"""Shared fixtures: the hook module, a private home folder, a stand-in product CLI and
a runner that starts the hook as the agent host does, in a process of its own.

The suite also runs under CPython for Windows (make test-windows): there the home folder is
USERPROFILE, and the stand-in CLIs are copies of the Windows stand-in beside python.exe."""

import json
import os
import shutil
import subprocess
import sys
import tomllib
from collections import Counter
from pathlib import Path

import pytest

MODULE_NAME = "tovrin.skills.hooks.report_skill_usage"
EVENTS_DIR = Path(__file__).resolve().parents[1] / "examples" / "events"
WINDOWS = os.name == "nt"


def posix_only(what: str):
    """Marks a test of what only POSIX has (file modes, fifos, preloading, ...), skipped on Windows."""
    return pytest.mark.skipif(WINDOWS, reason=f"POSIX by nature: {what}")


# tests/windows runs only under CPython for Windows (make test-windows).
collect_ignore = [] if WINDOWS else ["windows"]


def home_env(home: Path) -> dict:
    """The environment with `home` as the user's home folder, for Path.home() on either system."""
    return dict(os.environ, HOME=str(home), USERPROFILE=str(home))


@pytest.fixture(scope="session")
def hook():
    import importlib

    return importlib.import_module(MODULE_NAME)


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A fresh home folder for Path.home(), so that markers land in the test's own tree."""
    folder = tmp_path / "home"
    folder.mkdir()
    monkeypatch.setenv("HOME", str(folder))
    monkeypatch.setenv("USERPROFILE", str(folder))
    return folder


def expected_reports() -> dict[str, str | None]:
    """Sample event file -> the skill it must report (None: ignored), as the events' outcomes.toml lists them."""
    outcomes = tomllib.loads((EVENTS_DIR / "outcomes.toml").read_text(encoding="utf-8"))
    return {name: outcome.get("reports") for name, outcome in outcomes.items()}


def recorded_uses(home: Path, windows: bool = WINDOWS) -> dict[str, int]:
    """skill -> number of recorded uses, as the installed stand-in CLI lists them for this home.
    The Windows stand-in writes each use as a line of uses.log, counted here."""
    if windows:
        log = home / ".tovrin" / "uses.log"
        return dict(Counter(log.read_bytes().decode().split("\n")[:-1])) if log.exists() else {}
    out = subprocess.run([str(Path(sys.executable).parent / "tovrin"), "skills", "usage", "--json"],
                         env=home_env(home), capture_output=True, text=True,
                         check=True, timeout=60).stdout
    return {row["skill"]: row["count"] for row in json.loads(out)}


def tree(root: Path) -> list[str]:
    """Every path under `root`, relative to it, with forward slashes on either system."""
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*"))


def process_exists(pid: int) -> bool:
    """Whether a process of that id is still running (not ended, or ended but not reaped)."""
    if not WINDOWS:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return False
        return True
    import ctypes  # Windows has no signal 0 to probe with: open the process and look

    kernel32 = ctypes.WinDLL("kernel32")
    kernel32.OpenProcess.restype = ctypes.c_void_p
    handle = kernel32.OpenProcess(0x00100000, False, pid)  # SYNCHRONIZE
    if not handle:
        return False
    running = kernel32.WaitForSingleObject(ctypes.c_void_p(handle), 0) == 0x102  # WAIT_TIMEOUT
    kernel32.CloseHandle(ctypes.c_void_p(handle))
    return running


def marker(home: Path, skill: str) -> Path:
    return home / ".tovrin" / "hooks" / (".dedup_" + skill)


class StandInCLI:
    """An executable `tovrin` in a folder that stands for the interpreter's own folder.

    Each run appends its argument vector to `calls.log` (arguments NUL-separated,
    runs separated by a line feed), then runs `body`, a shell snippet. On Windows it is a copy
    of the stand-in tovrin.exe, named with ".exe" as Windows runs only such, which runs the
    few statements of the suite's bodies itself."""

    def __init__(self, folder: Path, name: str = "tovrin", body: str = "exit 0"):
        self.folder = folder
        self.log = folder / "calls.log"
        self.path = folder / name
        if WINDOWS:
            self.path = self.path.with_name(name.removesuffix(".exe") + ".exe")
            shutil.copyfile(Path(sys.executable).with_name("tovrin.exe"), self.path)
            Path(f"{self.path}.body").write_text(body)
            return
        self.path.write_text(
            "#!/bin/sh\n"
            f'printf "%s\\0" "$0" "$@" >> "{self.log}"\n'
            'printf "\\n" >> "' + str(self.log) + '"\n'
            f"{body}\n"
        )
        self.path.chmod(0o755)

    @property
    def interpreter(self) -> str:
        """A path of an interpreter in that folder (it need not exist: only its folder counts)."""
        return str(self.folder / "python")

    def calls(self) -> list[list[str]]:
        if not self.log.exists():
            return []
        runs = self.log.read_bytes().split(b"\n")
        return [[a.decode() for a in run.split(b"\0")[:-1]] for run in runs if run]


@pytest.fixture
def cli(tmp_path):
    folder = tmp_path / "bin"
    folder.mkdir()
    return StandInCLI(folder)


def run_hook(stdin, *, home: Path, executable: str | None = None, timeout: float = 60):
    """Run `main()` in a new interpreter process as a host would: event on standard input.

    With `executable`, `sys.executable` is set to it first, so that the product CLI is
    looked for in that folder."""
    prelude = f"import sys; sys.executable = {executable!r}; " if executable else ""
    code = prelude + f"from {MODULE_NAME} import main; main()"
    env = home_env(home)
    if isinstance(stdin, str):
        stdin = stdin.encode()
    return subprocess.run(
        [sys.executable, "-c", code], input=stdin, env=env, capture_output=True, timeout=timeout
    )
