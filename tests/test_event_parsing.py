"""main() builds only the members resolution reads when the event is plain JSON; whatever the
text, it must end exactly as with the whole document parsed by json.loads."""

import json
import random
import sys
import tracemalloc
import types

import pytest
from conftest import EVENTS_DIR
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

SIGNIFICANT = ['"', "\\", "{", "}", "[", "]", ",", ":", " ", "\t", "\x00", "\x1f", "u", "0", "-", "e",
               ".", "n", "\ufeff", "\u2028", "\ud800", "é", "NaN", "Infinity", "1" * 700]


def outcome(hook, monkeypatch, text, whole_document):
    """How main() ends on `text`: its exit, or its exception, and the skill it resolved."""
    seen = []
    with monkeypatch.context() as patch:
        patch.setattr(sys, "stdin", types.SimpleNamespace(read=lambda: text))
        patch.setattr(hook, "_is_duplicate", lambda name: seen.append(name) or True)
        if whole_document:  # a json that is not the module's own: no shortcut applies
            patch.setattr(hook, "json", types.SimpleNamespace(loads=json.loads))
        try:
            hook.main()
            ended = "returned"
        except SystemExit as exit:
            ended = f"exit {exit.code}"
        except Exception as error:
            ended = f"{type(error).__name__}: {error}"
    return ended, seen


def same_end(hook, monkeypatch, text):
    assert outcome(hook, monkeypatch, text, False) == outcome(hook, monkeypatch, text, True), text


values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=5), inner, max_size=3),
    max_leaves=6,
)
tool_names = st.sampled_from(["Skill", "Bash", "mcp__tovrin__query_run", "mcp__x__auth_logout", "Read", "skill"]) | values
tool_inputs = st.fixed_dictionaries(
    {}, optional={"command": st.sampled_from(["tov-auth", "tovrin query run", "", 3]) | values,
                  "skill": st.sampled_from(["tov-x", ""]) | values}
) | values
events = st.fixed_dictionaries(
    {}, optional={"tool_name": tool_names, "tool_input": tool_inputs, "tool_response": values, "cwd": values}
)


@st.composite
def event_texts(draw):
    event = draw(events)
    text = json.dumps(event, ensure_ascii=draw(st.booleans()), indent=draw(st.sampled_from([None, 0, 2, "\t"])))
    for _ in range(draw(st.integers(0, 3))):  # break it here and there
        at = draw(st.integers(0, len(text)))
        cut = draw(st.integers(0, 2))
        text = text[:at] + draw(st.sampled_from(SIGNIFICANT + [""])) + text[at + cut:]
    return text


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(event_texts())
def test_generated_events_end_as_with_the_whole_document(hook, monkeypatch, text):
    same_end(hook, monkeypatch, text)


def test_seeded_mutations_of_the_sample_events(hook, monkeypatch):
    rng = random.Random(20261208)
    texts = [path.read_text() for path in sorted(EVENTS_DIR.glob("*.json")) if path.stat().st_size < 10_000]
    for _ in range(1500):
        text = rng.choice(texts)
        for _ in range(rng.randint(0, 2)):
            at = rng.randrange(len(text) + 1)
            text = text[:at] + rng.choice(SIGNIFICANT) + text[at + rng.randint(0, 1):]
        same_end(hook, monkeypatch, text)


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


@pytest.mark.parametrize("text", AWKWARD_TEXTS)
def test_awkward_documents_end_as_with_the_whole_document(hook, monkeypatch, text):
    same_end(hook, monkeypatch, text)


@pytest.mark.parametrize("owner, name", [(json.JSONDecoder, "decode"), (json.JSONDecoder, "raw_decode"),
                                         (json._default_decoder, "scan_once")])
def test_a_patched_decoder_sees_the_whole_text(hook, monkeypatch, owner, name):
    seen, original, text = [], getattr(owner, name), '{"tool_name": "Read", "x": [1]}'
    monkeypatch.setattr(owner, name, lambda *a, **k: seen.append(a[owner is json.JSONDecoder]) or original(*a, **k))
    assert outcome(hook, monkeypatch, text, False) == ("exit 0", []) and seen == [text]


def test_a_large_event_is_not_built_whole(hook, monkeypatch):
    # The shortcut shows in memory: the read file is never made into a string of its own.
    text = json.dumps({"tool_name": "Read", "tool_input": {"file_path": "/x"},
                       "tool_response": {"content": "line\n" * 400_000}})

    def peak(whole_document):
        tracemalloc.start()
        try:
            assert outcome(hook, monkeypatch, text, whole_document) == ("exit 0", [])
            return tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()

    assert peak(whole_document=False) < peak(whole_document=True) / 10
