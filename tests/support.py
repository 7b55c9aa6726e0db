"""What several test modules share: the hook's dicts as they must read, a str subclass, events
generated or chosen for their edges, the registrations of docs/registration.md, and a run as
another user.

Plain Python with nothing of POSIX's at import: the module's tests import it under CPython for
Windows too (make test-windows)."""

import json
import os
import re
import sys
import tomllib
import traceback
from pathlib import Path

from hypothesis import strategies as st

# --- The hook's dicts -----------------------------------------------------------------------

MCP_TABLE = {
    **dict.fromkeys("""query_spec_must_read query_metadata query_catalog query_intent_match query_simple
        query_build query_run query_build_and_run query_chart query_chart_doc query_preferences""".split(),
        "tov-dataset-query"),
    **dict.fromkeys("""auth_mcp_login auth_login_start auth_login_poll auth_get_token auth_check_token
        auth_is_authenticated auth_token_refresh auth_system_list auth_system_add auth_system_remove
        auth_system_sync auth_build_request_auth auth_logout auth_doctor""".split(), "tov-auth"),
    **dict.fromkeys(["feedback_submit", "feedback_detail"], "tov-feedback"),
    **dict.fromkeys("""skills_list skills_status skills_install skills_upgrade skills_marketplace_list
        skills_marketplace_info skills_record_usage""".split(), "tov-skills"),
    **dict.fromkeys("shop_wren_scenarios shop_wren_run shop_wren_job_status shop_wren_export".split(),
                    "shop-wren"),
}
BASH_TABLE = {"auth": "tov-auth", "query": "tov-dataset-query", "skills": "tov-skills",
              "mcp": "tov-skills"}


class Text(str):
    """A str subclass: what the hook's functions take only as an exact str, or as any str."""


# --- Event texts, generated and broken here and there ---------------------------------------

SIGNIFICANT = ['"', "\\", "{", "}", "[", "]", ",", ":", " ", "\t", "\x00", "\x1f", "u", "0", "-", "e",
               ".", "n", "\ufeff", "\u2028", "\ud800", "é", "NaN", "Infinity", "1" * 700]

_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=6,
)
_tool_names = st.sampled_from(["Skill", "Bash", "mcp__tovrin__query_run", "mcp__x__auth_logout", "Read", "skill"]) | _values
_tool_inputs = st.fixed_dictionaries(
    {}, optional={"command": st.sampled_from(["tov-auth", "tovrin query run", "", 3]) | _values,
                  "skill": st.sampled_from(["tov-x", ""]) | _values}
) | _values
_events = st.fixed_dictionaries(
    {}, optional={"tool_name": _tool_names, "tool_input": _tool_inputs, "tool_response": _values, "cwd": _values}
)


@st.composite
def event_texts(draw):
    event = draw(_events)
    text = json.dumps(event, ensure_ascii=draw(st.booleans()), indent=draw(st.sampled_from([None, 0, 2, "\t"])))
    for _ in range(draw(st.integers(0, 3))):  # break it here and there
        at = draw(st.integers(0, len(text)))
        cut = draw(st.integers(0, 2))
        text = text[:at] + draw(st.sampled_from(SIGNIFICANT + [""])) + text[at + cut:]
    return text


# Texts at the edges of what the quick look takes (the launcher is held to them too).
AWKWARD_TEXTS = [
    '{"tool_name": "Skill", "tool_input": {"skill": "a"}, "tool_name": "Read"}',  # the last one counts
    '{"tool_name": "Read", "tool_input": {}, "tool_name": "Skill", "tool_input": {"command": "b"}}',
    '{"tool\\u005fname": "Skill", "tool_input": {"command": "c"}}',  # an escaped name
    '{"tool_name": "Skill", "tool_input": {"command": "d"}, "x": NaN}',
    '{"tool_name": "Skill", "tool_input": {"command": "e"}, "x": -Infinity}',
    '{"tool_name": "Skill", "tool_input": {"command": "f"}, "x": ' + "9" * 5000 + "}",
    '{"tool_name": "Skill", "tool_input": {"command": "g"}, "x": ' + "[" * 200 + "]" * 200 + "}",
    '\ufeff{"tool_name": "Skill", "tool_input": {"command": "h"}}',
    '{"tool_name": "Skill", "tool_input": {"command": "i"}} x',
    '{"tool_name": "Skill", "tool_input": {"command": "j\x01"}}',
    '{"tool_name": "Skill", "tool_input": {"command": "k"}, "x": "\ud800"}',
    ' \t\r\n{"tool_name": "Skill", "tool_input": {"command": "\\u0074ov"}} \n',
    '{"tool_name": "Bash", "tool_input": {"command": null}}',
    '[{"tool_name": "Skill"}]',
]

# --- Command lines and parsed events, generated -----------------------------------------------

# Text that reaches the interesting branches often: CLI names, subcommands, quotes, slashes.
_fragments = st.sampled_from(
    ["tovrin", "TOVRIN", "tovrin.exe", "auth", "Query", "skills", "mcp", "python -m", "\\", "/",
     '"', "'", " ", "\t", "\n", "\x1c", "\x85", "\u3000", "İ", "mcp__", "__", "Skill", "Bash"]
)
command_lines = st.one_of(st.text(), st.lists(st.one_of(_fragments, st.text(max_size=3))).map("".join))

_json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | command_lines,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(command_lines, inner, max_size=3),
    max_leaves=8,
)
_parsed_tool_names = st.one_of(st.sampled_from(["Skill", "Bash", "mcp__tovrin__query_run", "Read"]), _json_values)
_parsed_tool_inputs = st.one_of(
    st.fixed_dictionaries({}, optional={"command": _json_values, "skill": _json_values}), _json_values
)
# Events as JSON gives them: only JSON's values, no NaN.
parsed_events = st.fixed_dictionaries({}, optional={"tool_name": _parsed_tool_names, "tool_input": _parsed_tool_inputs})

# --- The registrations of docs/registration.md ---------------------------------------------------

REGISTRATION = Path(__file__).resolve().parents[1] / "docs" / "registration.md"
LAUNCHER = str(Path(sys.executable).parent / "tovrin-report-skill-usage")
FILES = {"claude": ".claude/settings.json", "codex": ".codex/hooks.json"}


def snippets() -> list[dict]:
    """The settings each top-level ```json or ```toml block of docs/registration.md stands for."""
    blocks = re.findall(r"^```(json|toml)\n(.*?)^```$", REGISTRATION.read_text(), flags=re.M | re.S)
    return [json.loads(text) if kind == "json" else tomllib.loads(text) for kind, text in blocks]


def with_launcher(config: dict) -> dict:
    """A registration of docs/registration.md with the launcher's real path where the
    placeholder stands."""
    return {"hooks": {"PostToolUse": [
        group | {"hooks": [hook | {"command": LAUNCHER} for hook in group["hooks"]]}
        for group in config["hooks"]["PostToolUse"]]}}


# What install writes is the documented registration: its first snippet.
[OURS] = with_launcher(snippets()[0])["hooks"]["PostToolUse"]


# --- Another user -------------------------------------------------------------------------------

def as_user(user, action) -> int:
    """Runs `action` in a child process, as `user` (uid, other groups) if given; its status.
    fork and setuid: POSIX's alone."""
    child = os.fork()
    if child == 0:
        try:
            if user:
                os.setgroups(user[1])
                os.setgid(user[0])
                os.setuid(user[0])
            action()
            os._exit(0)
        except BaseException:
            traceback.print_exc()
            os._exit(1)
    return os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])
