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
from support import AWKWARD_TEXTS, SIGNIFICANT, event_texts


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
