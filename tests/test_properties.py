"""Properties over generated input: the resolvers answer every input of their type with a
skill name, None or one of the documented exceptions, and main() never dies by a signal."""

import json
import re

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import run_hook
from support import command_lines, parsed_events

SKILLS = {"tov-dataset-query", "tov-auth", "tov-feedback", "tov-skills", "shop-wren"}


@given(command_lines)
def test_bash_resolution_answers_every_line(hook, line):
    assert hook._resolve_bash_tovrin_command(line) in {None, "tov-auth", "tov-dataset-query", "tov-skills"}


@given(parsed_events)
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
@given(st.one_of(st.binary(max_size=200), parsed_events.map(lambda e: json.dumps(e).encode())))
def test_main_ends_cleanly_on_any_input(tmp_path, data):
    completed = run_hook(data, home=tmp_path, executable=str(tmp_path / "no-cli" / "python"))
    assert completed.stdout == b""
    if completed.returncode == 0:
        assert completed.stderr == b""
    else:
        assert completed.returncode == 1, completed
        last_line = completed.stderr.decode().strip().splitlines()[-1]
        assert re.match(r"(TypeError|AttributeError): ", last_line), completed.stderr
