"""corvane_stream.RepairStream: the repair of text fed piece by piece.

Properties over generated text (the generators of test_properties), each cut
into arbitrary pieces and one character at a time: close() gives exactly
corvane.repair of the whole, every snapshot is compact JSON of the same rules
and grows into the next and into the result. Then the interface: arguments,
use after close or refusal, repr, threads; then the model profile.
"""

import inspect
import json
import os
import signal
import sys
import threading
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane
import corvane_model
from corvane_stream import RepairStream
from test_module import MODEL_ONLY, PROFILE_TEXTS
from test_properties import ANY_TEXT, DAMAGED_JSON, json_values, repair_or_refusal, strict_loads

STREAM_SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
BROKEN = "the stream ran out of memory during a repair and was closed"


def shape(text):
    """A snapshot as a comparable tree: members kept in order (duplicates too),
    numbers by their text."""
    return json.loads(text, object_pairs_hook=lambda pairs: ("object", pairs),
                      parse_int=lambda s: ("number", s), parse_float=lambda s: ("number", s))


def grows_into(before, after):
    if isinstance(before, tuple) and before[0] == "object":
        if not (isinstance(after, tuple) and after[0] == "object") or len(after[1]) < len(before[1]):
            return False
        return all(k == k2 and grows_into(v, v2) for (k, v), (k2, v2) in zip(before[1], after[1]))
    if type(before) is not type(after):
        return False
    if isinstance(before, str):
        return after.startswith(before)
    if isinstance(before, list):
        return len(after) >= len(before) and all(grows_into(a, b) for a, b in zip(before, after))
    return before == after


def pieces(text, cuts):
    bounds = [0] + sorted(set(c for c in cuts if 0 < c < len(text))) + [len(text)]
    return [text[a:b] for a, b in zip(bounds, bounds[1:])]


# The module whose repair a stream of each profile must give.
REPAIR_OF = {"default": corvane.repair, "model": corvane_model.repair}


def check_stream(text, chunks, profile="default"):
    """Feeds `chunks` (which make up `text`) to a stream of `profile` and
    checks the whole contract."""
    repair = REPAIR_OF[profile]
    expected = repair_or_refusal(text, repair)
    stream = RepairStream(profile=profile)
    shown = None
    for chunk in chunks:
        try:
            assert stream.feed(chunk) is None
        except ValueError as error:
            # A refusal may come early, but only the one the whole text gets.
            assert expected == ("refused", error.args[0])
            assert stream.closed and not stream.complete
            break
        snapshot = stream.snapshot()
        if snapshot is None:
            assert shown is None, "a snapshot disappeared"
            continue
        strict_loads(snapshot)
        assert repair(snapshot) == snapshot
        assert shown is None or grows_into(shape(shown), shape(snapshot)), (shown, snapshot)
        if stream.complete:
            assert snapshot == expected
        shown = snapshot
    if isinstance(expected, tuple):
        with pytest.raises(ValueError) as caught:
            stream.close()
        assert caught.value.args == (expected[1],)
        assert stream.closed
        return
    result = stream.close()
    assert result == expected
    assert shown is None or grows_into(shape(shown), shape(result)), (shown, result)
    assert stream.snapshot() == result and stream.close() == result and stream.closed


def cut_anywhere(texts):
    return texts.flatmap(lambda text: st.tuples(
        st.just(text), st.lists(st.integers(0, max(len(text), 1)), max_size=12)))


VALID_JSON = st.builds(lambda value, indent: json.dumps(value, indent=indent),
                       json_values(), st.sampled_from([None, 2]))
TEXTS = {"any text": ANY_TEXT, "valid JSON": VALID_JSON, "damaged JSON": DAMAGED_JSON}


@pytest.mark.parametrize("profile", ["default", "model"])
@pytest.mark.parametrize("kind", sorted(TEXTS))
def test_arbitrary_pieces(kind, profile):
    @STREAM_SETTINGS
    @given(cut_anywhere(TEXTS[kind]))
    def run(case):
        text, cuts = case
        check_stream(text, pieces(text, cuts), profile)
    run()


@pytest.mark.parametrize("kind", sorted(TEXTS))
def test_one_character_at_a_time(kind):
    @settings(STREAM_SETTINGS, max_examples=100)
    @given(TEXTS[kind])
    def run(text):
        check_stream(text, list(text))
    run()


# What a streamed tool call looks like, what a snapshot must hold back while
# a later piece could still change it, and when the value is complete: as
# soon as the bytes received rule out a byte-order mark or fence at the start.
@pytest.mark.parametrize("chunks, snapshots, complete", [
    (['{"tool": "sea', 'rch", "args": {"q": "tr', 'ue", "n": 1', '00, "ok": tr', 'ue}}'],
     ['{"tool":"sea"}', '{"tool":"search","args":{"q":"tr"}}', '{"tool":"search","args":{"q":"true"}}',
      '{"tool":"search","args":{"q":"true","n":100}}', '{"tool":"search","args":{"q":"true","n":100,"ok":true}}'],
     True),
    (["Sure! Here is the", " JSON: ", '```json\n{"a', '": "x\\', 'n"', '}\n```'],
     [None, None, '{}', '{"a":"x"}', '{"a":"x\\n"}', '{"a":"x\\n"}'], True),
    (["[1, nu", "ll, 'it", "'s']"], ["[1]", '[1,null,"it"]', '[1,null,"it","s","]"]'], False),
    # A surrogate pair's first escape waits for the second: decoded, the
    # shown character would change.
    (['["a\\ud83d', '\\ude00', ' \\\\ud83d'], ['["a"]', '["a\\ud83d\\ude00"]', '["a\\ud83d\\ude00 \\\\ud83d"]'],
     False),
    (["{}"], ["{}"], True),
    (["[]"], ["[]"], True),
    (["\ufeff", "{}"], [None, "{}"], True),
    (["`", "`", "`json\n[]"], [None, None, "[]"], True),
    (["`{", "}"], ["{}", "{}"], True),
])
def test_snapshots_of_a_stream(chunks, snapshots, complete):
    stream = RepairStream()
    seen = []
    for chunk in chunks:
        stream.feed(chunk)
        seen.append(stream.snapshot())
    assert (seen, stream.complete) == (snapshots, complete)
    assert stream.close() == corvane.repair("".join(chunks))
    assert stream.value() == json.loads(stream.close())


def test_value_follows_the_snapshot():
    stream = RepairStream()
    assert stream.value() is None
    stream.feed('{"a": [1, 2, "x')
    assert stream.value() == {"a": [1, 2, "x"]}


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.feed(b"{}"), TypeError, "'bytes' object is not an instance of 'str'"),
    (lambda s: s.feed(None), TypeError, "'None' is not an instance of 'str'"),
    (lambda s: s.feed(), TypeError, "feed() missing 1 required positional argument: 'chunk'"),
    (lambda s: s.feed("a", "b"), TypeError, "feed() takes 1 positional arguments but 2 were given"),
    (lambda s: s.feed(text="a"), TypeError, "feed() got an unexpected keyword argument 'text'"),
    (lambda s: s.feed("\ud800"), UnicodeEncodeError, None),
    (lambda s: RepairStream(1), TypeError, "RepairStream() takes 0 positional arguments but 1 was given"),
    (lambda s: RepairStream("model"), TypeError, "RepairStream() takes 0 positional arguments but 1 was given"),
    (lambda s: RepairStream(profile="Model"), ValueError, "profile must be 'default' or 'model', not 'Model'"),
    (lambda s: RepairStream(profile=""), ValueError, "profile must be 'default' or 'model', not ''"),
    (lambda s: RepairStream(profile=None), TypeError, "profile: 'None' is not an instance of 'str'"),
    (lambda s: RepairStream(profile=b"model"), TypeError, "profile: 'bytes' object is not an instance of 'str'"),
    (lambda s: RepairStream(profiles="model"), TypeError, "RepairStream() got an unexpected keyword argument 'profiles'"),
])
def test_bad_arguments_leave_the_stream_as_it_was(call, error, message):
    stream = RepairStream()
    stream.feed("[1, ")
    with pytest.raises(error) as caught:
        call(stream)
    if message is not None:
        assert str(caught.value) == message
    stream.feed(chunk="2]")
    assert stream.close() == "[1,2]"


@pytest.mark.parametrize("name, signature", [
    pytest.param(None, "(*, profile='default')", marks=pytest.mark.skipif(
        sys.version_info < (3, 10), reason="before 3.10 a type made by PyType_FromSpec shows no signature")),
    ("feed", "(self, /, chunk)"), ("snapshot", "(self, /)"), ("value", "(self, /)"), ("close", "(self, /)"),
])
def test_signatures_for_help_and_editors(name, signature):
    assert str(inspect.signature(getattr(RepairStream, name) if name else RepairStream)) == signature


def test_str_subclasses_are_fed_as_text():
    class Text(str):
        def __str__(self):
            raise AssertionError("never called")
    stream = RepairStream()
    stream.feed(Text("{'a': 1}"))
    assert stream.close() == '{"a":1}'


def test_after_close_and_after_refusal():
    stream = RepairStream()
    stream.feed("[1")
    assert (repr(stream), stream.closed) == ("<corvane_stream.RepairStream open, 2 characters fed>", False)
    assert stream.close() == "[1]"
    assert repr(stream) == "<corvane_stream.RepairStream closed, 2 characters fed>"
    with pytest.raises(ValueError, match=r"^feed\(\) after close\(\)$"):
        stream.feed("]")
    assert stream.close() == "[1]" and stream.value() == [1]

    refused = RepairStream()
    with pytest.raises(ValueError) as first:
        refused.feed("[" * 129)
    assert first.value.args == ("JSON nesting exceeds the limit of 128 containers",)
    for call in (lambda: refused.feed("]"), refused.snapshot, refused.value, refused.close):
        with pytest.raises(ValueError) as again:
            call()
        assert again.value.args == first.value.args
    assert refused.closed and repr(refused).startswith("<corvane_stream.RepairStream refused")


def test_complete_is_final():
    stream = RepairStream()
    stream.feed('{"a": 1} and then')
    assert stream.complete and repr(stream).startswith("<corvane_stream.RepairStream complete")
    stream.feed(" more prose [2]")
    assert stream.snapshot() == '{"a":1}' == stream.close()


def test_threads_take_turns_on_one_stream():
    # Several threads feed whole records (large enough to release the GIL)
    # and read snapshots at once: every record arrives whole, none mixed.
    record = '{"k": "' + "x" * 100000 + '"},'
    stream = RepairStream()
    stream.feed("[")
    failures = []

    def worker():
        try:
            for _ in range(5):
                stream.feed(record)
                shown = stream.snapshot()
                assert shown is None or shown.startswith("[")
        except BaseException as error:  # reported below, not lost in the thread
            failures.append(error)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert json.loads(stream.close()) == [{"k": "x" * 100000}] * 20


FORKED = "the stream was in use by another thread when the process forked; it cannot be used in the child"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() on this system")
def test_fork_while_another_thread_feeds():
    # The child inherits the stream as that thread left it, mid-repair, and
    # none of its threads: it must not wait for that thread. A stream nobody
    # was using at the fork works there as before.
    busy, idle = RepairStream(), RepairStream()
    busy.feed("[")
    entering = threading.Event()

    def feed_long():
        entering.set()
        busy.feed('"' + "x" * (32 << 20))  # repaired without the GIL, the fork lands inside

    thread = threading.Thread(target=feed_long)
    thread.start()
    entering.wait()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # 3.12+: fork with threads running
        pid = os.fork()
    if pid == 0:
        signal.signal(signal.SIGALRM, signal.SIG_DFL)
        signal.alarm(60)  # ends a child that hangs
        outcome = 9
        try:
            idle.feed("{'a': 1}")
            try:
                busy.feed("]")
                outcome = 1 if isinstance(json.loads(busy.close()), list) else 8
            except ValueError as error:
                outcome = 2 if error.args == (FORKED,) and busy.closed else 7
            if idle.close() != '{"a":1}':
                outcome = 6
        finally:
            os._exit(outcome)
    thread.join()
    _, status = os.waitpid(pid, 0)
    # 1: the fork came before or after the long feed, and the stream works; 2: inside it.
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) in (1, 2), f"status {status:#x} (SIGALRM: it hung)"


# --- The model profile --------------------------------------------------------


@pytest.mark.parametrize("profile", ["default", "model"])
@pytest.mark.parametrize("text", PROFILE_TEXTS)
def test_the_profile_chooses_the_rules(text, profile):
    check_stream(text, pieces(text, range(0, len(text), 3)), profile)
    check_stream(text, list(text), profile)


def test_model_profile_reaches_the_engine():
    stream = RepairStream(profile="model")
    stream.feed(MODEL_ONLY[0])
    assert stream.close() == MODEL_ONLY[1]
