"""Properties of repair over generated input (Hypothesis).

Whatever the text, repair gives valid JSON or one of the two refusals; its
output repairs to itself; loads agrees with the json module; the aliases
agree; valid JSON comes back as its compact form; damaged JSON still comes
back as valid JSON. Runs unchanged on CPython 3.8 and later.
"""

import json
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane

REFUSALS = (
    "JSON nesting exceeds the limit of 128 containers",
    "Ambiguous unescaped quote in object value; escape inner quotes before repair",
)
ALIASES = (corvane.repair_json, corvane.repair_to_string)

# No deadline: shared machines are noisy, and speed is the benchmarks' job.
PROPERTY_SETTINGS = settings(max_examples=300, deadline=None,
                             suppress_health_check=[HealthCheck.too_slow])

# Characters and pieces that steer the repair, drawn far more often than
# plain text would draw them.
JSONISH_CHARS = ('{}[]:,"\'\\/*#` \t\n\r\x0b\x0c0123456789.+-eEtrufalsnNTF_$x'
                 "\u00e9\u20ac\U0001f600\x00\x7f\ufeff")
JSONISH_PIECES = st.sampled_from(list(JSONISH_CHARS) + [
    "//", "/*", "*/", "```", "True", "None", "\\u12", "\\ud800", '"a": ', "{'k': "])
ANY_TEXT = st.one_of(st.text(), st.text(JSONISH_CHARS), st.lists(JSONISH_PIECES).map("".join))


def strict_loads(text):
    """json.loads without the NaN and Infinity literals it tolerates."""
    def refuse(name):
        raise AssertionError("non-JSON literal %s in output" % name)
    return json.loads(text, parse_constant=refuse)


def repair_or_refusal(text, repair=corvane.repair):
    """The repaired text, or the refusal's message as ('refused', message)."""
    try:
        return repair(text)
    except ValueError as error:
        assert type(error) is ValueError
        assert len(error.args) == 1 and error.args[0] in REFUSALS, error.args
        return ("refused", error.args[0])


@PROPERTY_SETTINGS
@given(ANY_TEXT)
def test_any_text_gives_json_or_a_refusal(text):
    result = repair_or_refusal(text)
    if isinstance(result, tuple):
        for alias in ALIASES + (corvane.loads,):
            with pytest.raises(ValueError) as caught:
                alias(text)
            assert caught.value.args == (result[1],)
        return
    assert type(result) is str
    value = strict_loads(result)
    assert corvane.repair(result) == result
    for alias in ALIASES:
        assert alias(text) == result
    assert corvane.loads(text) == value


def json_values(max_leaves=30):
    scalars = (st.none() | st.booleans() | st.integers()
               | st.floats(allow_nan=False, allow_infinity=False) | st.text())
    return st.recursive(
        scalars,
        lambda children: st.lists(children, max_size=5)
        | st.dictionaries(st.text(), children, max_size=5),
        max_leaves=max_leaves)


def nested(value, layers):
    """Wraps `value` in the given containers: 'a' for an array, 'o' an object."""
    for kind in layers:
        value = [value] if kind == "a" else {"k": value}
    return value


def depth(value):
    if isinstance(value, list):
        return 1 + max([depth(v) for v in value] or [0])
    if isinstance(value, dict):
        return 1 + max([depth(v) for v in value.values()] or [0])
    return 0


DEEP_VALUES = st.builds(nested, json_values(max_leaves=8),
                        st.text("ao", max_size=120)).filter(lambda v: depth(v) <= 128)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(json_values(), DEEP_VALUES))
def test_valid_json_comes_back_compact(value):
    for ensure_ascii in (True, False):
        compact = json.dumps(value, separators=(",", ":"), ensure_ascii=ensure_ascii)
        for indent in (None, 0, 2, 4, "\t"):
            text = json.dumps(value, indent=indent, ensure_ascii=ensure_ascii)
            assert corvane.repair(text) == compact, (indent, ensure_ascii)


def test_limit_is_exactly_128_for_generated_nesting():
    # The deep strategy above stops at the limit; this shows the other side.
    at_limit = nested(0, "ao" * 64)
    assert corvane.repair(json.dumps(at_limit)) == json.dumps(at_limit, separators=(",", ":"))
    with pytest.raises(ValueError, match="128 containers"):
        corvane.repair(json.dumps([at_limit]))


# Damage as editors and generators do it; each takes the text and a fraction
# of its length where to act.
def _drop_next(chars):
    def damage(text, at):
        match = re.compile("[" + re.escape(chars) + "]").search(text, at)
        return text if match is None else text[:match.start()] + text[match.end():]
    return damage


def _insert(piece):
    return lambda text, at: text[:at] + piece + text[at:]


DAMAGE = {
    "drop comma": _drop_next(","),
    "drop quote": _drop_next('"'),
    "drop bracket": _drop_next("[]{}"),
    "drop colon": _drop_next(":"),
    "cut off": lambda text, at: text[:at],
    "line comment": _insert("// note\n"),
    "block comment": _insert("/* note */"),
    "open comment": _insert("/*"),
    "single quote": lambda text, at: text[:at] + text[at:].replace('"', "'", 1),
    "inner quote": _insert('"hi" '),
    "stray backslash": _insert("\\"),
    "python keyword": lambda text, at: text[:at] + text[at:].replace("true", "True", 1)
    .replace("null", "None", 1),
    "prose before": lambda text, at: "Here it is: " + text,
    "fence": lambda text, at: "```json\n" + text + "\n```",
}


def damaged(text, steps):
    """`text` with each (damage name, where as a fraction of the length) applied in turn."""
    for name, where in steps:
        text = DAMAGE[name](text, int(where * len(text)))
    return text


# Valid JSON (compact or indented) with one to six kinds of damage done to it.
DAMAGED_JSON = st.builds(
    lambda value, indent, steps: damaged(json.dumps(value, indent=indent), steps),
    json_values(), st.sampled_from([None, 2]),
    st.lists(st.tuples(st.sampled_from(sorted(DAMAGE)), st.floats(0, 1)), min_size=1, max_size=6))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(DAMAGED_JSON)
def test_damaged_json_still_gives_json(text):
    result = repair_or_refusal(text)
    if isinstance(result, tuple):
        return
    strict_loads(result)
    assert corvane.repair(result) == result
