"""What both hosts share: the scripted model server, the host's process and environment, the
documented registration and the recorded uses; on Linux, and for the hosts' Windows builds under
wine (`windows=True`), which run the Windows wheel in CPython for Windows (make test-hosts-windows)."""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Callable

from conftest import recorded_uses  # noqa: F401  (the uses a run left, read by the stand-in CLI)

ROOT = Path(__file__).resolve().parents[2]
REGISTRATION = ROOT / "docs" / "registration.md"
HOSTS_VENV = ROOT / ".venv-hosts"
# The environment under test: its launcher is what the hosts run, its CLI records the uses.
BIN = Path(sys.executable).parent
LAUNCHER = BIN / "tovrin-report-skill-usage"
# Where the registration blocks stand for the launcher's absolute path.
PLACEHOLDER = "/absolute/path/.venv/bin/tovrin-report-skill-usage"
# The product CLI is on the user's PATH, so that a model's "tovrin ..." line runs it.
BASE_PATH = f"{BIN}:/usr/local/bin:/usr/bin:/bin"
HOST_TIMEOUT = 120
MCP_SERVER = Path(__file__).with_name("mcp_server.py")
MCP_SERVER_NAME = "tovrin"

# Windows: the interpreter with the hook's wheel and the stand-in tovrin.exe beside it, the
# hosts' programs, and the stand-in powershell.exe (make test-hosts-windows puts them there).
WINDOWS_ENV = ROOT / "build" / "windows" / "env"
WINDOWS_PYTHON = WINDOWS_ENV / "python.exe"
WINDOWS_HOSTS = ROOT / "build" / "windows" / "hosts"
PORTS = ROOT / "build" / "ports"
WINE = {"WINEPREFIX": str(PORTS / "wine"), "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "winemenubuilder.exe=d",
        "HOME": str(PORTS / "wine-home"), "TMPDIR": str(PORTS / "wine-tmp"), "PATH": os.environ["PATH"]}
# wine sets USERPROFILE and PATH itself for a program started from Linux: the Windows
# interpreter starts the host with the environment the test gives it.
SPAWN = ("import json, os, subprocess, sys; os.environ.update(json.loads(os.environ.pop('TOVRIN_HOST_ENV')));"
         " sys.exit(subprocess.call(sys.argv[1:]))")


def windows_path(path: Path | str) -> str:
    """A Linux path as wine's programs see it: its root is drive Z:."""
    return "Z:" + str(path).replace("/", "\\")


def host_binary(relative: str, windows: bool = False) -> Path | None:
    """A file of the pinned host packages in .venv-hosts (for Windows: the host's program in
    build/windows/hosts/bin), or None when not installed."""
    if windows:
        program = WINDOWS_HOSTS / "bin" / relative
        return program if program.is_file() and (program.parent / "bcryptprimitives.dll").is_file() else None
    found = sorted(HOSTS_VENV.glob(f"lib/python3*/site-packages/{relative}"))
    return found[0] if found else None


@dataclass(frozen=True)
class Call:
    """One tool call the model makes, with the tool named as the hook sees it: "Bash",
    "Skill", "Read", "PowerShell", "mcp__<server>__<tool>", "apply_patch"."""
    tool: str
    input: dict


@dataclass
class HookRun:
    """One run of a command hook, as the host reports it. `output` is what the hook printed
    (None where the host does not say)."""
    event: str
    ok: bool
    output: str | None


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str
    hooks: list[HookRun]
    # Tool results the host sent back to the model, one per scripted call, in order.
    results: list[dict]
    # Monotonic arrival time of each model request.
    request_times: list[float] = field(default_factory=list)

    def describe(self) -> str:
        return f"status {self.returncode}\nstdout:\n{self.stdout[-3000:]}\nstderr:\n{self.stderr[-3000:]}"


class ScriptedModel:
    """An HTTP server on 127.0.0.1 that answers each POST to `path` with the SSE events that
    `respond(body)` returns, [(event name, data)], and keeps the request bodies."""

    def __init__(self, path: str, respond: Callable[[dict], list[tuple[str, dict]]]):
        self.requests: list[dict] = []
        self.request_times: list[float] = []
        model = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
                if self.path.split("?")[0] != path:
                    self.send_error(404)
                    return
                model.request_times.append(time.monotonic())
                model.requests.append(body)
                payload = "".join(f"event: {name}\ndata: {json.dumps(dict(data, type=name))}\n\n"
                                  for name, data in respond(body)).encode()
                self.send_response(200)
                self.send_header("Content-Type", "text/event-stream")
                self.send_header("Content-Length", str(len(payload)))
                self.end_headers()
                self.wfile.write(payload)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"

    def __enter__(self):
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def run_host(argv: list[str], env: dict, cwd: Path, timeout: float = HOST_TIMEOUT, windows: bool = False):
    """Run a host as a user's shell would, but with stdin on /dev/null, in a session of its own
    so that a timeout stops it with everything it started. `windows`: a Windows program under
    wine, `argv` and `env` as Windows sees them."""
    if windows:
        argv = ["wine", str(WINDOWS_PYTHON), "-c", SPAWN, *argv]
        env = WINE | {"TOVRIN_HOST_ENV": json.dumps(env)}
    process = subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        stdout, stderr = process.communicate()
        raise AssertionError(f"{argv[0]} still running after {timeout} s:\n{stderr[-3000:]}")
    return process.returncode, stdout, stderr


def host_env(home: Path, extra: dict | None = None, windows: bool = False) -> dict:
    """Nothing of the test runner's own environment reaches the host. On Windows, the stand-in
    powershell.exe comes first on PATH, and the product CLI's folder next, as on Linux."""
    env = {"PATH": BASE_PATH, "HOME": str(home), "LANG": "C.UTF-8"}
    if windows:
        env = {"PATH": ";".join([windows_path(WINDOWS_HOSTS / "pwsh"), windows_path(WINDOWS_ENV),
                                 r"C:\windows\system32", r"C:\windows"]),
               "USERPROFILE": windows_path(home), "HOME": windows_path(home)}
    return env | (extra or {})


def new_home(parent: Path, name: str = "home") -> Path:
    """A fresh home folder, with a project folder in it to run the host in."""
    home = parent / name
    (home / "project").mkdir(parents=True)
    return home


def mcp_server(tools: list[str], windows: bool = False) -> dict:
    """The stdio MCP server's launch settings (command, args), offering these tools."""
    if windows:
        return {"command": windows_path(WINDOWS_PYTHON), "args": [windows_path(MCP_SERVER), *tools]}
    return {"command": sys.executable, "args": [str(MCP_SERVER), *tools]}


def readme_block(section: str, kind: str) -> str:
    """docs/registration.md's ```kind block under the heading `### section`, with the
    launcher's real absolute path in place of the placeholder."""
    text = REGISTRATION.read_text()
    body = re.search(rf"^### {re.escape(section)}\n(.*?)(?=^#|\Z)", text, flags=re.M | re.S)
    assert body, f"docs/registration.md has no section {section!r}"
    blocks = re.findall(rf"^```{kind}\n(.*?)^```$", body.group(1), flags=re.M | re.S)
    assert len(blocks) == 1, f"docs/registration.md's {section!r} needs exactly one {kind} block"
    assert PLACEHOLDER in blocks[0], \
        f"docs/registration.md's {section!r} {kind} block lost {PLACEHOLDER}"
    return blocks[0].replace(PLACEHOLDER, str(LAUNCHER))


def write(path: Path, text: str) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)
    return path
