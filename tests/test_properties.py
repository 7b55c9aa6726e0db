"""Properties over generated input: the resolvers answer every input of their type with a
skill name, None or one of the documented exceptions, and main() never dies by a signal."""

import json
import re

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import run_hook

SKILLS = {"tov-dataset-query", "tov-auth", "tov-feedback", "tov-skills", "shop-wren"}

# Text that reaches the interesting branches often: CLI names, subcommands, quotes, slashes.
fragments = st.sampled_from(
    ["tovrin", "TOVRIN", "tovrin.exe", "auth", "Query", "skills", "mcp", "python -m", "\\", "/",
     '"', "'", " ", "\t", "\n", "\x1c", "\x85", "\u3000", "İ", "mcp__", "__", "Skill", "Bash"]
)
command_lines = st.one_of(st.text(), st.lists(st.one_of(fragments, st.text(max_size=3))).map("".join))

json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | command_lines,
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(command_lines, inner, max_size=3),
    max_leaves=8,
)
tool_names = st.one_of(st.sampled_from(["Skill", "Bash", "mcp__tovrin__query_run", "Read"]), json_values)
tool_inputs = st.one_of(
    st.fixed_dictionaries({}, optional={"command": json_values, "skill": json_values}), json_values
)
events = st.fixed_dictionaries({}, optional={"tool_name": tool_names, "tool_input": tool_inputs})


@given(command_lines)
def test_bash_resolution_answers_every_line(hook, line):
    assert hook._resolve_bash_tovrin_command(line) in {None, "tov-auth", "tov-dataset-query", "tov-skills"}


@given(events)
def test_skill_resolution_answers_or_raises_a_documented_error(hook, event):
    event = json.loads(json.dumps(event))  # exactly what the hook would parse
    try:
        result = hook._resolve_skill_name(event)
    except AttributeError as error:
        assert re.search(r"has no attribute '(startswith|get)'", str(error))
    except TypeError as error:
        assert re.fullmatch(r"Expected str, got \w+|Argument 'command' has incorrect type .*", str(error))
    else:
        assert result is None or (type(result) is str and result)
        if result is not None and result not in SKILLS:  # only the Skill tool names others
            assert event.get("tool_name") == "Skill"


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.one_of(st.binary(max_size=200), events.map(lambda e: json.dumps(e).encode())))
def test_main_ends_cleanly_on_any_input(tmp_path, data):
    completed = run_hook(data, home=tmp_path, executable=str(tmp_path / "no-cli" / "python"))
    assert completed.stdout == b""
    if completed.returncode == 0:
        assert completed.stderr == b""
    else:
        assert completed.returncode == 1, completed
        last_line = completed.stderr.decode().strip().splitlines()[-1]
        assert re.match(r"(TypeError|AttributeError): ", last_line), completed.stderr
