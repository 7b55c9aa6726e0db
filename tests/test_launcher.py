"""The native launcher, the command hosts register: on any bytes it ends as main() ends, run
as `python -c "... import main; main()"`; it answers alone only the events it may, and says
so plainly when the hand-over to the interpreter cannot start."""

import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import tty
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import EVENTS_DIR, MODULE_NAME, home_env
from support import AWKWARD_TEXTS, event_texts, parsed_events

BIN = Path(sys.executable).parent
LAUNCHER = BIN / "tovrin-report-skill-usage"
SCRIPT_NAME = "tovrin-report-skill-usage-python"


def bash(command, **event) -> bytes:
    return json.dumps({"tool_name": "Bash", "tool_input": {"command": command}, **event}).encode()


BIG_OUTPUT = {"tool_response": {"stdout": "tovrin query run mentioned in the output\n" * 120_000}}

# Events at the edges of the launcher's own decision, each with whether it answers alone.
DECISIONS = [
    (bash("git status"), True),
    (bash("ls", **BIG_OUTPUT), True),  # "tovrin" in the output only: the command decides
    (b'{"tool_name": "PowerShell", "tool_input": {"command": "Get-ChildItem"}}', True),
    (b'{"tool_name": "Bash"}', True),
    (b'{"tool_name": "Bash", "tool_input": {"description": "tovrin"}}', True),
    (b'{"tool_name": "Bash", "tool_input": {"command": "echo \\"\\u00e9\\\\n\\""}}', True),
    (b'{"tool_name": "mcp__tovrin__query_nothing", "tool_input": {}}', True),
    (b'{"tool_name": "mcp__x__query_run__y"}', True),
    ('{"tool_name": "Réad", "tool_input": {"x": "ü"}}'.encode(), True),
    (bash("tovrin auth login"), False),
    (bash("git log | grep TOVRIN"), False),  # names no skill, yet it is the module's to say
    (bash("/opt/ToVrIn.exe query x", **BIG_OUTPUT), False),
    (b'{"tool_name": "Bash", "tool_input": {"command": "\\u0074ovrin auth"}}', False),
    (b'{"tool_name": "Bash", "tool_input": {"command": "TOVR\\u0130N auth"}}', False),
    (b'{"tool_name": "PowerShell", "tool_input": {"command": "& tovrin.exe skills list"}}', False),
    (b'{"tool_name": "Bash", "tool_input": {"command": "ls", "command": "tovrin mcp"}}', False),
    (b'{"tool_name": "Bash", "tool_input": {"comm\\u0061nd": "ls"}}', False),
    (b'{"tool_name": "Bash", "tool_input": {"command": null}}', False),
    (b'{"tool_name": "Bash", "tool_input": ["ls"]}', False),
    (b'{"tool_name": "Bash", "tool_input": 0}', False),
    (b'{"tool_name": "B\\u0061sh", "tool_input": {"command": "tovrin auth"}}', False),
    (b'{"tool_name": "Skill", "tool_input": {}}', False),
    (b'{"tool_name": "mcp__any__auth_logout"}', False),
    (b'{"tool_name": 7}', False),
    (b'{"tool_input": {}}', False),
    (b'{"tool_name": "Read", "x": NaN}', False),
    (b'{"tool_name": "Read"', False),
    (b'\xef\xbb\xbf{"tool_name": "Read"}', False),
    (b'{"tool_name": "R\xc1\xb4ad"}', False),  # an overlong form
    (b'{"tool_name": "R\xed\xa0\x80ad"}', False),  # a surrogate
    (b'{"tool_name": "Read", "x": "\xff"}', False),
    (b"", False),
]


def home_contents(home: Path) -> dict:
    """Every file under the home folder, and the uses the stand-in CLI recorded there."""
    files = sorted(str(p.relative_to(home)) for p in home.rglob("*"))
    uses = {}
    if (home / ".tovrin" / "usage.db").exists():
        listing = subprocess.run([str(BIN / "tovrin"), "skills", "usage", "--json"],
                                 env=home_env(home), capture_output=True, check=True,
                                 timeout=60)
        uses = {row["skill"]: row["count"] for row in json.loads(listing.stdout)}
    return {"files": files, "uses": uses}


def ending(argv, home: Path, event: bytes = None, stdin=None, env=None, limit=None) -> dict:
    """How one process ends on `event` (or on the descriptor `stdin`): status, output, and what it
    left in the home folder. A traceback is compared by its last line: its first frame names the
    launcher script, or "<string>" for `python -c`."""
    done = subprocess.run(argv, input=event, stdin=stdin, env=home_env(home) | (env or {}),
                          capture_output=True, timeout=120, preexec_fn=limit and (lambda: resource.setrlimit(*limit)))
    errors = done.stderr.decode(errors="replace").strip().splitlines()
    return {"status": done.returncode, "stdout": done.stdout, "stderr": errors[-1:],
            **home_contents(home)}


def assert_ends_as_main(event: bytes = None, standard_input=None, env=None, limit=None, departure=None):
    """The launcher and main() end alike on `event`, or on the descriptor that
    `standard_input(folder)` opens afresh for each of them."""
    with tempfile.TemporaryDirectory() as folder:
        by = {}
        for name, argv in [("launcher", [str(LAUNCHER)]),
                           ("main", [sys.executable, "-c", f"from {MODULE_NAME} import main; main()"])]:
            home = Path(folder, name)
            home.mkdir()
            stdin = standard_input(folder) if standard_input else None
            try:
                by[name] = ending(argv, home, event, stdin, env, limit)
            finally:
                if stdin is not None:
                    os.close(stdin)
    assert by["launcher"] == by["main"] | (departure or {}), (event or b"")[:300]


SAMPLES = sorted(p.name for p in EVENTS_DIR.glob("*.json"))


@pytest.mark.parametrize("event", [(EVENTS_DIR / name).read_bytes() for name in SAMPLES]
                         + [event for event, _ in DECISIONS]
                         + [text.encode(errors="surrogatepass") for text in AWKWARD_TEXTS],
                         ids=SAMPLES + [f"decision-{n}" for n in range(len(DECISIONS))]
                         + [f"awkward-{n}" for n in range(len(AWKWARD_TEXTS))])
def test_ends_as_main_on_known_events(event):
    assert_ends_as_main(event)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(event_texts().map(lambda text: text.encode(errors="surrogatepass")),
                 parsed_events.map(lambda event: json.dumps(event, ensure_ascii=False)
                                   .encode(errors="surrogatepass"))))
def test_ends_as_main_on_generated_events(event):
    assert_ends_as_main(event)


def directory(folder):
    return os.open(folder, os.O_RDONLY)


def hung_up_terminal(folder):
    """A terminal's master side, the terminal closed after the whole event was written on it:
    reads give the event, then EIO."""
    master, terminal = os.openpty()
    tty.setraw(terminal)  # the bytes as written: no echo, no line editing
    os.write(terminal, bash("tovrin auth login"))
    os.close(terminal)
    return master


# More than a pipe holds, with the skill's name beyond the first MiB: a cut there names none.
OVER_A_MIB = json.dumps({"tool_name": "Bash", "tool_response": {"stdout": "x" * 2_000_000},
                         "tool_input": {"command": "tovrin auth login"}}).encode()


@pytest.mark.parametrize("event, standard_input, preload, limit, departure", [
    (None, directory, None, None, None),  # the first read fails (EISDIR): the interpreter meets it
    (None, hung_up_terminal, None, None, None),  # a read fails after the whole event
    (OVER_A_MIB, None, "fork_once.c", None, None),  # where no more than one process may start
    (None, lambda _: os.open("/dev/zero", os.O_RDONLY), None, (resource.RLIMIT_AS, (1 << 28,) * 2), None),  # no room
    (OVER_A_MIB, None, None, (resource.RLIMIT_FSIZE, (1 << 20,) * 2), {  # the use lost, in one line
        "status": 127, "files": [], "uses": {}, "stderr": [
            f"tovrin-report-skill-usage: cannot pass the event to the interpreter {sys.executable}: File too large"]}),
], ids=["directory", "hung-up-terminal", "over-a-mib-one-fork-left", "dev-zero-in-256-mib", "over-ulimit-f"])
def test_ends_as_main_on_awkward_standard_input(tmp_path, event, standard_input, preload, limit, departure):
    if limit and limit[0] == resource.RLIMIT_AS and "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer's shadow memory does not fit under a limit on address space")
    env = None
    if preload:
        compiler = os.environ.get("CC", "cc")
        if not shutil.which(compiler):
            pytest.skip("no C compiler to build the library to preload")
        library = tmp_path / "preload.so"
        subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror",
                        str(Path(__file__).with_name(preload)), "-o", str(library), "-ldl"], check=True)
        # after what is preloaded already (the sanitizer runtime comes first)
        env = {"LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))}
    assert_ends_as_main(event, standard_input, env, limit, departure)


@pytest.fixture
def lone_launcher(tmp_path):
    """The launcher copied into a folder of its own, with no Python launcher script beside it:
    whatever it does not answer alone ends in the hand-over's error."""
    folder = tmp_path / "lone"
    folder.mkdir()
    return Path(shutil.copy2(LAUNCHER, folder / LAUNCHER.name))


@pytest.mark.parametrize("event, alone", DECISIONS, ids=range(len(DECISIONS)))
def test_answers_alone_only_what_it_may(lone_launcher, tmp_path, event, alone):
    done = subprocess.run([str(lone_launcher)], input=event, capture_output=True, timeout=60,
                          env=home_env(tmp_path))
    if alone:
        assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    else:
        script = lone_launcher.parent / SCRIPT_NAME
        assert (done.returncode, done.stdout) == (127, b"")
        assert done.stderr.decode() == (f"tovrin-report-skill-usage: cannot read the Python launcher "
                                        f"script {script}: No such file or directory\n")


def test_hand_over_finds_the_script_beside_the_file_and_names_what_it_tried(lone_launcher, tmp_path):
    event = bash("tovrin auth login")
    # A link elsewhere leads to the script beside the launcher's own file.
    (tmp_path / "links").mkdir()
    link = tmp_path / "links" / LAUNCHER.name
    link.symlink_to(LAUNCHER)
    done = subprocess.run([str(link)], input=event, capture_output=True, timeout=60,
                          env=home_env(tmp_path))
    assert (done.returncode, done.stdout, done.stderr) == (0, b"", b"")
    assert home_contents(tmp_path)["uses"] == {"tov-auth": 1}
    # A script whose interpreter is gone.
    missing = tmp_path / "gone" / "python3.13"
    (lone_launcher.parent / SCRIPT_NAME).write_text(f"#!{missing}\nimport sys\n")
    done = subprocess.run([str(lone_launcher)], input=event, capture_output=True, timeout=60)
    assert (done.returncode, done.stdout) == (127, b"")
    assert done.stderr.decode() == (f"tovrin-report-skill-usage: cannot start the interpreter {missing}: "
                                    "No such file or directory\n")
