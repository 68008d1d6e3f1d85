"""corvane_report: what a repair did to its input and where.

The rebuild property over generated text (the generators of test_properties):
the edits applied to input[start:end], whitespace outside strings dropped,
give the text, which is corvane.repair's. Offsets count characters, not
bytes; report_all over JSON Lines and prose; refusals; the start argument;
the types. Runs unchanged on CPython 3.8 and later.
"""

import pickle

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import corvane
import corvane_report
from corvane_report import Edit, Report, report, report_all
from test_module import AMBIGUOUS_MESSAGE, DEPTH_MESSAGE, INPUT_NOTE, TYPE_ERROR_ROWS, check_notes
from test_properties import ANY_TEXT, DAMAGED_JSON, repair_or_refusal

REPORT_SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
WHITESPACE = " \t\n\f\r"  # what the engine skips between tokens


def without_whitespace_outside_strings(text):
    kept, in_string, escaped = [], False, False
    for c in text:
        if in_string:
            in_string = escaped or c != '"'
            escaped = not escaped and c == "\\"
        elif c in WHITESPACE:
            continue
        else:
            in_string = c == '"'
        kept.append(c)
    return "".join(kept)


def check_report(text, start=0):
    """The whole contract of one report of text[start:]."""
    r = report(text, start)
    begin = len(text[:start])  # start as a slice takes it
    expected = repair_or_refusal(text[begin:])
    if isinstance(expected, tuple):
        assert (r.text, r.error) == (None, expected[1])
        # The end of the input can decide a refusal too.
        assert begin <= r.error_offset <= len(text)
        return r
    assert (r.text, r.error, r.error_offset) == (expected, None, None)
    assert begin <= r.start <= r.end <= len(text)
    assert r.changed == bool(r.edits) and type(r.edits) is tuple
    pieces, at = [], r.start
    for edit in r.edits:
        assert type(edit) is Edit and at <= edit.start <= edit.end <= r.end, (edit, r)
        pieces += [text[at:edit.start], edit.text]
        at = edit.end
    pieces.append(text[at:r.end])
    assert without_whitespace_outside_strings("".join(pieces)) == r.text, r
    return r


@REPORT_SETTINGS
@given(st.one_of(ANY_TEXT, DAMAGED_JSON), st.integers(-3, 3))
def test_edits_rebuild_the_repair(text, start):
    check_report(text, start)


# Characters of 2, 3 and 4 bytes before and inside edits: the report of each
# row must match, offset for offset, that of its twin with every such
# character turned into an ASCII letter that the repair treats alike.
NON_ASCII_ROWS = [
    "{'caf\u00e9': '\u65e5\u672c', \U0001f600: 1}",
    "\u00e9\u20ac\U0001f600 prose {na\u00efve: True, 'k': '\u20ac' // \u00fc\n",
    "[\u00e9 \u20ac, \U0001f600\U0001f600,, 'a\u00e9\"b'",
    '```json\n{\u65e5\u672c: [1E5, +1, .5], "s": "\U0001f600\\u12',
    "\U0001f600\U0001f600 {'\U0001f600': None, \u00e9: \U0001f600} \u00e9",
]


def ascii_twin(text):
    return "".join(c if ord(c) < 128 else "q" for c in text)


@pytest.mark.parametrize("text", NON_ASCII_ROWS)
def test_offsets_count_characters(text):
    r, twin = check_report(text), check_report(ascii_twin(text))
    assert (r.start, r.end, r.found, r.complete) == (twin.start, twin.end, twin.found, twin.complete)
    assert [(e.kind, e.start, e.end, ascii_twin(e.text)) for e in r.edits] == [e[:3] + (e.text,) for e in twin.edits]
    # The row does what it is here for: non-ASCII text before an edit and in one.
    assert any(ascii_twin(text[:e.start]) != text[:e.start] for e in r.edits)
    assert any(ascii_twin(text[e.start:e.end] + e.text) != text[e.start:e.end] + e.text for e in r.edits)


# JSON Lines held in a str, and prose between values: one report per value.
# A value that is not an object or array is read only where no bracket
# follows it: before one, it is prose, as it is to corvane.repair.
LINES = ["{a: 1, 'b': True}", "[1 2,]", "{\"\U0001f600\": [None]}", "  [42]", "{'c': '\u00e9'}"]


@pytest.mark.parametrize(
    "text, texts",
    [
        ("\n".join(LINES) + "\n", [corvane.repair(line) for line in LINES]),
        ("\r\n".join(LINES), [corvane.repair(line) for line in LINES]),
        ("Here are both:\n{\"id\": 1}\nand the next one, \u00e9:\n```json\n[2]\n```\n", ['{"id":1}', "[2]"]),
        ('{"a": 1} thanks', ['{"a":1}', '"thanks"']),
        ('"x" 42 [1] "y" 7', ["[1]", '"y"', "7"]),
        ("", []),
        ("  // nothing here\n", []),
        ('[1] {"q": "he said "hi" ok"} [3]', ["[1]", None]),
    ],
)
def test_report_all(text, texts):
    reports = report_all(text)
    assert [r.text for r in reports] == texts
    at = 0
    for r in reports:
        assert r == check_report(text, at)
        at = r.end
    if not texts or texts[-1] is not None:
        assert report(text, at).found is False


def test_report_all_finds_each_line_where_it_is():
    text = "\n".join(LINES)
    starts = [text.index(line.strip()) for line in LINES]
    assert [(r.start, r.end) for r in report_all(text)] == [(s, s + len(line.strip())) for s, line in zip(starts, LINES)]


@pytest.mark.parametrize(
    "text, message, decided_at",
    [
        ("[" * 129, DEPTH_MESSAGE, 128),
        ("\u00e9\U0001f600 " + "{'a': " * 200, DEPTH_MESSAGE, 3 + 6 * 128),
        ('{"\u65e5": "he said "hi" ok"}', AMBIGUOUS_MESSAGE, None),
    ],
)
def test_refusals_are_reported_not_raised(text, message, decided_at):
    r = check_report(text)
    assert r.error == message
    if decided_at is not None:
        assert r.error_offset == decided_at
    else:
        assert text[r.error_offset] == '"' and text.index("said") < r.error_offset < text.index("ok")
    shifted = report("\U0001f600 x " + text, 4)
    assert (shifted.error, shifted.error_offset) == (message, r.error_offset + 4)


@pytest.mark.parametrize("start", [0, 3, 9, 10, 11, 10 ** 30, -1, -4, -10, -11, -10 ** 30, True])
def test_start_is_a_slice_bound(start):
    text = "ab [\u00e9\U0001f600, 2"
    r = check_report(text, start)
    whole = report(text[start:])
    shift = len(text[:start])
    assert (r.start, r.end) == (whole.start + shift, whole.end + shift)
    assert [e[1:3] for e in r.edits] == [(e.start + shift, e.end + shift) for e in whole.edits]


@pytest.mark.parametrize("value, message", TYPE_ERROR_ROWS[:4])
@pytest.mark.parametrize("function", [report, report_all])
def test_input_must_be_str(function, value, message):
    with pytest.raises(TypeError) as caught:
        function(value)
    assert caught.value.args == (message,)
    check_notes(caught.value, [INPUT_NOTE])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: report("[1]", "0"), "'str' object cannot be interpreted as an integer"),
        (lambda: report("[1]", 1.0), "'float' object cannot be interpreted as an integer"),
        (lambda: report("[1]", 0, 1), "report() takes 2 positional arguments but 3 were given"),
        (lambda: report_all("[1]", 0), "report_all() takes 1 positional arguments but 2 were given"),
        (lambda: report(start=0), "report() missing 1 required positional argument: 'input'"),
        (lambda: report_all(text="[1]"), "report_all() got an unexpected keyword argument 'text'"),
        (lambda: Report(), "cannot create 'corvane_report.Report' instances"),
    ],
)
def test_wrong_calls(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert caught.value.args == (message,)


def test_report_and_edit_types():
    assert corvane_report.__all__ == ["report", "report_all", "Report", "Edit"]
    assert corvane_report.__version__ == corvane.__version__
    assert report.__text_signature__ == "(input, start=0)" and report_all.__text_signature__ == "(input)"
    r = report(input="{'a': 1")
    assert r == report("{'a': 1") and hash(r) == hash(report("{'a': 1")) and r != report("{'a': 2")
    assert repr(r).startswith("Report(text='{\"a\":1}', error=None, error_offset=None, found=True, start=0, end=7")
    with pytest.raises(AttributeError):
        r.text = "x"
    edit = Edit("quote_replaced", 1, 2, '"')
    assert Edit._fields == ("kind", "start", "end", "text") and Edit.__module__ == "corvane_report"
    assert pickle.loads(pickle.dumps(edit)) == edit == ("quote_replaced", 1, 2, '"')
