"""Resolution of hook events to skill names: the Skill tool, MCP tools and Bash command lines."""

import builtins
import random
import string
import sys
import traceback
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import MODULE_NAME
from support import BASH_TABLE, MCP_TABLE, Text


def skill(tool_input):
    return {"tool_name": "Skill", "tool_input": tool_input}


def bash(command):
    return {"tool_name": "Bash", "tool_input": {"command": command}}


def tool(name):
    return {"tool_name": name}


# --- _resolve_skill_name -------------------------------------------------------------------

@pytest.mark.parametrize("event, expected", [
    ({}, None), ({"tool_input": {"command": "tov-auth"}}, None),
    (skill({"command": "tov-auth"}), "tov-auth"), (skill({"command": " my-skill "}), " my-skill "),
    (skill({"command": "Not-In-Any-Table"}), "Not-In-Any-Table"),
    ({"tool_name": Text("Skill"), "tool_input": {"command": "tov-auth"}}, "tov-auth"),
    (tool("Skill"), None),
    *[(skill(v), None) for v in (None, {}, {"args": "x"}, "", 0, [], False)],
    *[(skill({"command": v}), None) for v in ("", None, 0, False, 0.0, [], {})],
    # the Skill tool's current input names the skill in `skill`; a true `command` still wins
    (skill({"skill": "tov-auth", "args": "login"}), "tov-auth"),
    (skill({"command": "", "skill": " x "}), " x "), (skill({"command": None, "skill": "x"}), "x"),
    (skill({"command": 0, "skill": "x"}), "x"), (skill({"command": "a", "skill": "b"}), "a"),
    (skill({"command": "a", "skill": 3}), "a"),
    *[(skill({"skill": v}), None) for v in ("", None, 0, False, [])],
    ({"tool_name": "mcp__tovrin__query_run", "tool_input": "not read"}, "tov-dataset-query"),
    ({"tool_name": "mcp__other__auth_logout", "tool_input": 7}, "tov-auth"),
    (tool("mcp__tovrin__shop_wren_run"), "shop-wren"), (tool("mcp__query_run"), "tov-dataset-query"),
    *[(tool(name), None) for name in ("mcp__tovrin__query__run", "mcp__tovrin___query_run", "mcp__",
                                      "mcp__tovrin__list_tables", "mcp__tovrin__Query_Run", "query_run")],
    (bash("tovrin auth login"), "tov-auth"), (bash("git status"), None), (tool("Bash"), None),
    ({"tool_name": "Bash", "tool_input": {"skill": "tov-auth"}}, None),
    ({"tool_name": "Bash", "tool_input": ""}, None),
    *[({"tool_name": name, "tool_input": {"command": "tovrin auth"}}, None)
      for name in ("skill", "SKILL", "Skill ", "bash", "powershell", "Powershell", "Read", "",
                   "MCP__tovrin__query_run")],
])
def test_resolves_events(hook, event, expected):
    assert hook._resolve_skill_name(event) == expected


@pytest.mark.parametrize("name, skill_name", MCP_TABLE.items())
def test_every_mcp_tool_of_any_server(hook, name, skill_name):
    for server in ("mcp__tovrin__", "mcp__plugin_tov_tovrin__", "mcp__"):
        assert hook._resolve_skill_name({"tool_name": server + name}) == skill_name


@pytest.mark.parametrize("tool_name, piece", [
    ("mcp__tovrin__query_run", "query_run"), ("mcp__query_run", "query_run"),
    ("mcp__a__b__c", "c"), ("mcp__x___y", "_y"), ("mcp__", ""), ("mcp____", ""),
    ("mcp___x", "_x"), ("mcp__a____b", "b"), ("mcp__a_____b", "_b"), ("mcp__é__ü\x00", "ü\x00"),
])
def test_mcp_tool_is_last_piece_after_double_underscore(hook, monkeypatch, tool_name, piece):
    monkeypatch.setattr(hook, "_MCP_TOOL_TO_SKILL", types.SimpleNamespace(get=lambda key: f"<{key}>"))
    assert hook._resolve_skill_name({"tool_name": tool_name}) == "<" + piece + ">"


@pytest.mark.parametrize("tool_name, values, reads", [
    ("Skill", {"command": "x"}, [("command",)]),
    ("Skill", {}, [("command",), ("skill",)]),
    ("Bash", {"command": "tovrin auth"}, [("command", "")]),
    ("PowerShell", {"command": "tovrin auth"}, [("command", "")]),
    ("mcp__tovrin__query_run", {}, []),
])
def test_tool_input_is_read_through_its_get(hook, tool_name, values, reads):
    calls = []

    class Input:
        def get(self, *args):
            calls.append(args)
            return values.get(*args)

    hook._resolve_skill_name({"tool_name": tool_name, "tool_input": Input()})
    assert calls == reads


def missing(obj, attribute):
    """The interpreter's own message for a missing attribute."""
    try:
        getattr(obj, attribute)
    except AttributeError as exc:
        return str(exc)


@pytest.mark.parametrize("event, exc_type, message, frames", [
    *[({"tool_name": v}, AttributeError, missing(v, "startswith"), 1)
      for v in (None, 3, 1.5, True, ["Skill"], {"a": 1})],
    *[({"tool_name": t, "tool_input": v}, AttributeError, missing(v, "get"), 1)
      for t in ("Skill", "Bash", "PowerShell") for v in ("abc", 5, True, ["command"])],
    *[(skill({"command": v}), TypeError, "Expected str, got " + type(v).__name__, 1)
      for v in (3, True, 1.5, ["x"], {"a": 1}, Text("tov-auth"))],
    *[(skill({"skill": v}), TypeError, "Expected str, got " + type(v).__name__, 1)
      for v in (3, True, ["x"], Text("tov-auth"))],
    (skill({"command": 3, "skill": "x"}), TypeError, "Expected str, got int", 1),
    *[({"tool_name": shell, "tool_input": {"command": v}}, TypeError,
       f"Argument 'command' has incorrect type (expected str, got {type(v).__name__})", 2)
      for shell in ("Bash", "PowerShell") for v in (None, 3, True, ["tovrin"], {"a": 1}, Text("tovrin auth"))],
    (skill({"command": type("é" * 150, (), {})()}), TypeError, "Expected str, got " + "é" * 100, 1),  # 200 bytes
    (bash(type("é" * 150, (), {})()), TypeError, f"Argument 'command' has incorrect type (expected str, got {'é' * 100})", 2),
])
def test_resolution_errors(hook, event, exc_type, message, frames):
    with pytest.raises(exc_type) as info:
        hook._resolve_skill_name(event)
    assert str(info.value) == message
    names = [MODULE_NAME + "." + n for n in ("_resolve_skill_name", "_resolve_bash_tovrin_command")]
    assert [e.name for e in traceback.extract_tb(info.value.__traceback__)][-frames:] == names[:frames]


@pytest.mark.parametrize("name, value, event, expected", [
    ("_MCP_TOOL_TO_SKILL", {"query_run": "custom"}, tool("mcp__t__query_run"), "custom"),
    ("_MCP_TOOL_TO_SKILL", {"query_run": 5}, tool("mcp__t__query_run"), TypeError("int")),
    ("_MCP_TOOL_TO_SKILL", {"x": ["y"]}, tool("mcp__x"), TypeError("list")),
    ("_MCP_TOOL_PREFIX", "tool__", tool("tool__t__auth_logout"), "tov-auth"),
    ("_MCP_TOOL_PREFIX", "tool__", tool("mcp__t__auth_logout"), None),
    ("_resolve_bash_tovrin_command", repr, tool("Bash"), "''"),
    ("_resolve_bash_tovrin_command", repr, bash(None), "None"),
    ("_resolve_bash_tovrin_command", lambda c: 7, tool("Bash"), TypeError("int")),
    ("_resolve_bash_tovrin_command", lambda c: True, tool("Bash"), TypeError("bool")),
    ("_BASH_TOVRIN_TO_SKILL", {"auth": "new"}, bash("tovrin AUTH"), "new"),
    ("_BASH_TOVRIN_TO_SKILL", {"auth": 1}, bash("tovrin auth"), TypeError("int")),
])
@pytest.mark.parametrize("where", ["module", "builtins", "nowhere"])
def test_module_names_are_looked_up_at_each_call(hook, monkeypatch, where, name, value, event, expected):
    if where == "module":
        monkeypatch.setattr(hook, name, value)
    else:
        monkeypatch.delattr(hook, name)
    if where == "builtins":
        monkeypatch.setattr(builtins, name, value, raising=False)
    if where == "nowhere":
        expected = NameError(f"name '{name}' is not defined")
    elif isinstance(expected, TypeError):
        expected = TypeError(f"Expected str, got {expected}")
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as info:
            hook._resolve_skill_name(event)
        assert str(info.value) == str(expected)
    else:
        assert hook._resolve_skill_name(event) == expected


@pytest.mark.parametrize("name, event, expected", [
    ("_MCP_TOOL_PREFIX", skill({"command": "x"}), "x"),
    ("_MCP_TOOL_TO_SKILL", bash("tovrin auth"), "tov-auth"),
    ("_resolve_bash_tovrin_command", tool("mcp__tovrin__query_run"), "tov-dataset-query"),
    ("_BASH_TOVRIN_TO_SKILL", bash("git status"), None),
])
def test_module_names_off_the_path_are_not_needed(hook, monkeypatch, name, event, expected):
    monkeypatch.delattr(hook, name)
    assert hook._resolve_skill_name(event) == expected


# --- _resolve_bash_tovrin_command ----------------------------------------------------------

BASH_CASES = [
    ("tovrin auth token status", "tov-auth"), ("tovrin query metadata --dataset xxx", "tov-dataset-query"),
    ("tovrin skills list", "tov-skills"), ("tovrin mcp install", "tov-skills"),
    ('"D:\\path\\to\\tovrin.exe" auth login', "tov-auth"), ("C:\\Tools\\tovrin.exe auth status", "tov-auth"),
    ("/usr/local/bin/tovrin skills install x", "tov-skills"), ("python -m tovrin auth ...", "tov-auth"),
    ("TOVRIN.EXE Query run", "tov-dataset-query"), ("tovrin-dev skills list", "tov-skills"),
    ("'tovrin auth login'", "tov-auth"), ('  "tovrin query run"  ', "tov-dataset-query"),
    ("cd /tmp\ntovrin query run", "tov-dataset-query"), ("cd /tmp\t&&\ttovrin\u3000mcp\x1fx", "tov-skills"),
    ("\u2028tovrin\x85auth\xa0", "tov-auth"), ("tovrin S\u212aILLS", "tov-skills"),
    ('"tovrin query"', "tov-dataset-query"), ("x\x00 tovrin skills", "tov-skills"),
    ("\udc80 tovrin auth", "tov-auth"),
    # PowerShell's forms: the call operator before a quoted path, a path relative to here
    ('& "C:\\Program Files\\tovrin\\tovrin.exe" auth login', "tov-auth"), ("& tovrin auth", "tov-auth"),
    (".\\tovrin.exe query x", "tov-dataset-query"), ("tovrin.exe skills list", "tov-skills"),
    *[(line, None) for line in (
        "tovrin", "echo tovrin", "tovrin feedback submit", "tovrin shop-wren",
        "tovrin --verbose auth login", '"tovrin auth" login', '"tovrin" "auth"', "'tovrin auth\"",
        "cd ~/.tovrin && tovrin auth status", "which tovrin && tovrin auth login",
        "cat ~/.tovrin/config", "ls ~/.tovrin/cache skills", "cat /srv/tovrin/log query",
        "C:\\tovrin\\bin\\git auth", "TOVR\u0130N auth", "tovrin \u017fkills", "tovrin auth\x00",
        "git status", "Get-ChildItem -Force src | Select-Object Name", "", "   ", '"', "''", "'\"tovrin auth\"'")],
]


@pytest.mark.parametrize("line, expected", BASH_CASES)
def test_bash_command_lines(hook, line, expected):
    assert hook._resolve_bash_tovrin_command(line) == expected
    for shell in ("Bash", "PowerShell"):
        assert hook._resolve_skill_name({"tool_name": shell, "tool_input": {"command": line}}) == expected
    assert reference(line) == expected


@pytest.mark.parametrize("value", [None, 3, b"tovrin auth", ["tovrin", "auth"], Text("tovrin auth")])
def test_bash_refuses_non_str(hook, value):
    with pytest.raises(TypeError) as info:
        hook._resolve_bash_tovrin_command(value)
    assert str(info.value) == (
        f"Argument 'command' has incorrect type (expected str, got {type(value).__name__})")


def reference(command):
    """The Bash rule in plain Python; the module must agree with it on every line."""
    cmd = command.strip()
    if (cmd.startswith('"') and cmd.endswith('"')) or (cmd.startswith("'") and cmd.endswith("'")):
        cmd = cmd[1:-1].strip()
    parts = cmd.split()
    for i, part in enumerate(parts):
        base = part.replace("\\", "/").rsplit("/", 1)[-1]
        if base.endswith(".exe"):
            base = base[:-4]
        if "tovrin" in base.lower():
            return BASH_TABLE.get(parts[i + 1].lower()) if i + 1 < len(parts) else None
    return None


WHITESPACE = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()]
FRAGMENTS = ["tovrin", "TOVRIN", "Tovrin", "tovrin.exe", "auth", "AUTH", "query", "Query",
             "skills", "SKILLS", "mcp", "MCP", "feedback", "-m", "&&", "'", '"', "\\", "/",
             ".exe", ".EXE", "~", ".", "-", "\u0130", "\u212a", "S\u212aILLS", "ſ", "ß", "Σ",
             "é", "\x00", "\udc80",
             # "tovrin" as a folder name only, before either slash
             "tovrin/", "~/.tovrin/", "C:\\tovrin\\"]
PIECES = FRAGMENTS + WHITESPACE + list(string.ascii_letters)


@settings(max_examples=400, deadline=None, database=None)
@given(st.lists(st.sampled_from(PIECES) | st.characters(), max_size=14).map("".join))
def test_bash_agrees_with_reference_generated(hook, line):
    assert hook._resolve_bash_tovrin_command(line) == reference(line)


def test_bash_agrees_with_reference_seeded(hook):
    rng = random.Random(20240613)

    def word():
        if rng.random() < 0.5:
            return rng.choice(FRAGMENTS)
        return "".join(rng.choice(PIECES) for _ in range(rng.randint(1, 3)))

    def gap():
        return "".join(rng.choice(WHITESPACE + [" "] * 10) for _ in range(rng.randint(0, 2)))

    lines = []
    for _ in range(4000):
        words = ["tovrin" if rng.random() < 0.2 else word() for _ in range(rng.randint(0, 5))]
        body = "".join(gap() + w + (gap() or " ") for w in words)
        opening, closing = rng.choice(["", "", "", '"', "'"]), rng.choice(["", "", '"', "'"])
        lines.append(gap() + opening + body + closing + gap())
    mismatches = [(line, got, want) for line in lines
                  if (got := hook._resolve_bash_tovrin_command(line)) != (want := reference(line))]
    assert sum(reference(line) is not None for line in lines) > 100
    assert mismatches[:10] == []
