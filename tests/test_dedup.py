"""Duplicate suppression: the per-skill marker under ~/.tovrin/hooks and its 30 s window."""

import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

from conftest import MODULE_NAME, WINDOWS, home_env, marker, posix_only, tree
from support import Text, as_user

if WINDOWS:
    import msvcrt
else:
    import fcntl


def age(path: Path, seconds: float) -> Path:
    """Give the marker (created if need be) an mtime `seconds` before now."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.touch()
    t = time.time() - seconds
    os.utime(path, (t, t))
    return path


def test_first_use_creates_an_empty_marker_and_a_repeat_is_suppressed(hook, home):
    assert not (home / ".tovrin").exists()
    assert hook._is_duplicate("tov-auth") is False
    m = marker(home, "tov-auth")
    assert m.is_file() and m.stat().st_size == 0
    assert abs(m.stat().st_mtime - time.time()) < 5
    assert tree(home) == [".tovrin", ".tovrin/hooks", ".tovrin/hooks/.dedup_tov-auth"]
    age(m, 5)
    before = m.stat().st_mtime_ns
    assert hook._is_duplicate(skill_name="tov-auth") is True
    assert m.stat().st_mtime_ns == before  # the window runs from the last use let through
    assert hook._is_duplicate("tov-skills") is False  # other skills keep their own marker
    assert m.stat().st_mtime_ns == before


@pytest.mark.parametrize("seconds, repeat", [(29, True), (31, False), (3600, False), (-60, True)])
def test_marker_age_decides(hook, home, seconds, repeat):
    m = age(marker(home, "tov-auth"), seconds)
    before = m.stat().st_mtime_ns
    assert hook._is_duplicate("tov-auth") is repeat
    if repeat:
        assert m.stat().st_mtime_ns == before
    else:
        assert abs(m.stat().st_mtime - time.time()) < 5
    assert os.listdir(m.parent) == [m.name] and m.stat().st_size == 0


@pytest.mark.parametrize("elapsed, repeat", [(29.5, True), (30.0, False), (30.5, False), (-1.0, True)])
def test_window_edge_is_strict(hook, home, monkeypatch, elapsed, repeat):
    m = age(marker(home, "tov-auth"), 0)
    stamp = int(time.time()) - 100
    os.utime(m, (stamp, stamp))
    monkeypatch.setattr(time, "time", lambda: stamp + elapsed)
    assert hook._is_duplicate("tov-auth") is repeat
    assert (m.stat().st_mtime == stamp) is repeat


def test_a_call_every_ten_seconds_for_a_minute(hook, home):
    results = [hook._is_duplicate("tov-auth")]
    m = marker(home, "tov-auth")
    for _ in range(6):  # ten seconds pass: move the last use back by ten seconds
        st = m.stat()
        os.utime(m, (st.st_atime - 10, st.st_mtime - 10))
        results.append(hook._is_duplicate("tov-auth"))
    assert results == [False, True, True, False, True, True, False]


@pytest.mark.parametrize("window, seconds, repeat", [(0, 0, False), (3600, 31, True), (31.5, 31, True)])
def test_window_is_read_from_the_module_at_each_call(hook, home, monkeypatch, window, seconds, repeat):
    age(marker(home, "tov-auth"), seconds)
    monkeypatch.setattr(hook, "_DEDUP_SECONDS", window)
    assert hook._is_duplicate("tov-auth") is repeat


# What Windows keeps out of file names (':' '*' '?' '"' '<' '>' '|', control characters), and the
# dots and spaces it drops from a name's end (".dedup_a." is ".dedup_a"), are no concern of
# POSIX: a name with them keeps its marker there. On Windows it gets none.
WINDOWS_REFUSES = ["..", "a.", "a ", "a:b*?", 'p:"<>|\x01\t']


@pytest.mark.parametrize("name", ["my skill", "技能-ü", "-rf", "Tov-Auth", ".hidden",
                                  *([] if WINDOWS else WINDOWS_REFUSES)])
def test_other_names_give_the_marker_next_to_the_others(hook, home, name):
    assert hook._is_duplicate(name) is False
    assert os.listdir(home / ".tovrin" / "hooks") == [".dedup_" + name]
    assert hook._is_duplicate(name) is True


@pytest.mark.parametrize("name", ["x/../../../../evil", "..\\x", "a\x00b", "a/b", "/", "\\", "\x00",
                                  *(WINDOWS_REFUSES if WINDOWS else [])])
def test_names_that_leave_the_folder_get_no_marker(hook, home, tmp_path, name):
    (tmp_path / "other").mkdir()
    before = tree(tmp_path)
    assert hook._is_duplicate(name) is False
    assert hook._is_duplicate(name) is False
    assert tree(tmp_path) == before


@pytest.mark.parametrize("blocker", [".tovrin", ".tovrin/hooks", None])
def test_an_unwritable_place_lets_every_use_through(hook, home, monkeypatch, blocker):
    if blocker is None:  # home itself is a regular file
        home.rmdir()
        home.write_text("not a folder")
    else:
        (home / blocker).parent.mkdir(parents=True, exist_ok=True)
        (home / blocker).write_text("not a folder")
    before = tree(home.parent)
    assert [hook._is_duplicate("tov-auth") for _ in range(2)] == [False, False]
    assert tree(home.parent) == before


def test_home_is_looked_up_through_the_module_path_class(hook, home, tmp_path, monkeypatch):
    elsewhere = tmp_path / "elsewhere"

    class Moved(type(home)):
        @classmethod
        def home(cls):
            return cls(elsewhere)

    monkeypatch.setattr(hook, "Path", Moved)
    assert hook._is_duplicate("tov-auth") is False
    assert marker(elsewhere, "tov-auth").is_file() and tree(home) == []

    def no_home(cls):
        raise RuntimeError("no home")

    monkeypatch.setattr(Moved, "home", classmethod(no_home))
    with pytest.raises(RuntimeError, match="no home"):  # building the path is not guarded
        hook._is_duplicate("tov-auth")


@pytest.mark.parametrize("args", [(None,), (Text("tov-auth"),), (b"tov-auth",), ()])
def test_bad_arguments_touch_nothing(hook, home, args):
    with pytest.raises(TypeError):
        hook._is_duplicate(*args)
    assert tree(home) == []


RACER = f"""
import os, sys, time
from {MODULE_NAME} import _is_duplicate
ready, go, meeting = sys.argv[1:]
open(ready, "w").close()
while not os.path.exists(go):
    time.sleep(0.0005)
clock = time.time


class Now(float):
    # _is_duplicate takes the clock, reads the marker's time and subtracts, all under the
    # marker's lock. Hold the subtraction until a second racer has got that far too, or has
    # finished, for at most a quarter second: a lock that lets two in at once lets them both
    # read the old time every round; an exclusive one costs one wait.
    def __sub__(self, other):
        os.mkdir(os.path.join(meeting, "in-%d" % os.getpid()))
        deadline = time.monotonic() + 0.25
        while len(os.listdir(meeting)) < 2 and time.monotonic() < deadline:
            time.sleep(0.001)
        return float(self) - other


time.time = lambda: Now(clock())
answer = _is_duplicate("x")
os.mkdir(os.path.join(meeting, "done-%d" % os.getpid()))
print(answer)
"""


@pytest.mark.parametrize("state", ["missing", "stale"])
def test_concurrent_calls_let_exactly_one_through(home, tmp_path, state):
    for round_ in range(4 if state == "missing" else 2):  # the meeting makes a stale round sure
        m = marker(home, "x")
        if state == "stale":
            age(m, 31)
        go = tmp_path / f"go{round_}"
        meeting = tmp_path / f"meeting{round_}"
        meeting.mkdir()
        ready = [tmp_path / f"ready{round_}-{i}" for i in range(8)]
        env = home_env(home)
        procs = [subprocess.Popen([sys.executable, "-c", RACER, str(r), str(go), str(meeting)], env=env,
                                  stdout=subprocess.PIPE, text=True) for r in ready]
        deadline = time.monotonic() + 60
        while not all(r.exists() for r in ready) and time.monotonic() < deadline:
            time.sleep(0.01)
        go.touch()
        answers = sorted(p.communicate(timeout=60)[0].strip() for p in procs)
        assert answers == ["False"] + ["True"] * 7, f"round {round_}"
        assert os.listdir(m.parent) == [".dedup_x"] and m.stat().st_size == 0
        assert abs(m.stat().st_mtime - time.time()) < 30
        if state == "missing":
            m.unlink()


def hold_lock(file, locked: bool) -> None:
    """Takes or lets go of the marker's lock as the marker layer takes it: flock(), or on
    Windows a byte range that the layer's lock of the whole file overlaps."""
    if WINDOWS:
        msvcrt.locking(file.fileno(), msvcrt.LK_NBLCK if locked else msvcrt.LK_UNLCK, 1)
    else:
        fcntl.flock(file, fcntl.LOCK_EX if locked else fcntl.LOCK_UN)


def test_other_threads_run_while_a_call_waits_for_the_marker_lock(hook, home):
    # This thread holds the lock while another thread's call waits for it, and lets go of it
    # only once it runs again. Waiting without the GIL, the call then gets the lock and finds
    # the recent marker a repeat; holding the GIL, it gives up the wait first and lets the use
    # through.
    m = age(marker(home, "x"), 0)
    answers = []
    started = threading.Event()

    def call():
        started.set()
        answers.append(hook._is_duplicate("x"))

    with open(m) as held:
        hold_lock(held, True)
        worker = threading.Thread(target=call)
        worker.start()
        started.wait()
        time.sleep(0.2)
        hold_lock(held, False)
    worker.join()
    assert answers == [True]


@posix_only("a fifo")
def test_a_fifo_in_place_of_the_marker_does_not_hang_the_hook(home):
    fifo = marker(home, "tov-auth")
    fifo.parent.mkdir(parents=True)
    os.mkfifo(fifo)
    t = time.time() - 60
    os.utime(fifo, (t, t))
    code = f"from {MODULE_NAME} import _is_duplicate; print(_is_duplicate('tov-auth'))"
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30,
                               env=home_env(home))
    assert completed.stdout == "False\n"  # its time is old: the use goes through, as for a file


@posix_only("sockets, file modes and symbolic links")
@pytest.mark.parametrize("make, answers", [  # a marker that cannot be held is checked step by step
    (lambda m: socket.socket(socket.AF_UNIX).bind(str(m)), [True] * 3), (lambda m: m.touch(0o000), [True] * 3),
    (lambda m: m.touch(0o000) or os.utime(m, (time.time() - 60,) * 2), [False, True, True]),
    (lambda m: m.symlink_to(m.with_name("target")), [False, True, True])], ids=["socket", "000", "old 000", "link"])
def test_a_marker_that_cannot_be_held(hook, monkeypatch, make, answers):
    with tempfile.TemporaryDirectory() as folder:  # nobody may reach it, unlike pytest's own
        monkeypatch.setenv("HOME", folder)
        (m := marker(Path(folder), "x")).parent.mkdir(parents=True) or make(m)
        user = (65534, []) if os.geteuid() == 0 else None  # root opens any file: the calls run as nobody
        assert not user or subprocess.run(["chown", "-hR", "65534", folder]).returncode == 0
        assert as_user(user, lambda: os._exit([hook._is_duplicate("x") for _ in answers] != answers
                                              or time.time() - m.stat().st_mtime > 30)) == 0
