"""Checks of the benchmark's inputs and helpers: the figures are only worth
something when the inputs are the ones described and are actually repaired."""

import json
import pathlib
import subprocess
import sys

import pytest

import bench


@pytest.mark.parametrize("text, expected", [
    # only a comma right before a space or a line feed goes
    ("[1, 2,\n3,4]", "[1 2\n3,4]"),
    ("[1,\t2,\r\n3]", "[1,\t2,\r\n3]"),
    # the first comma of ",, " is followed by a comma and stays
    ('{"a":1,, "b":2}', '{"a":1, "b":2}'),
    # below 100 characters nothing is cut
    ("x" * 99, "x" * 99),
    # the cut is taken after the commas went: 202 - 1 = 201 characters, 2 cut
    ("x" * 150 + ", " + "y" * 50, "x" * 150 + " " + "y" * 48),
    # characters, not bytes: 200 two-byte characters lose 2 characters
    ("é" * 200, "é" * 198),
])
def test_make_broken(text, expected):
    assert bench.make_broken(text) == expected


@pytest.mark.parametrize("size", [100, 1000, 10_000])
def test_model_message_shape(size):
    text = bench.model_message(size)
    assert len(text) == size and text.isascii()
    assert text == bench.model_message(size)
    prose, _, rest = text.partition("\n```json\n")
    assert prose == "Here you go:"
    assert rest.startswith("{ok: True,")  # unquoted key, Python keyword
    assert "'a', 'b',]" in rest  # single quotes, trailing comma
    assert rest.count("{") > rest.count("}") and not rest.endswith("```")  # cut off


@pytest.mark.parametrize("name, prefix, unit", bench.GROWTH_FAMILIES)
def test_growth_input_size(name, prefix, unit):
    for size in (10_000, 1_000_000):
        text = bench.growth_input(prefix, unit, size)
        assert text.startswith(prefix)
        assert size - len(unit) < len(text) <= size, name


def max_depth(text):
    depth = deepest = 0
    for c in text:
        depth += c in "[{"
        depth -= c in "]}"
        deepest = max(deepest, depth)
    return deepest


def test_nesting_family_stays_just_below_the_limit():
    (prefix, unit), = [(p, u) for n, p, u in bench.GROWTH_FAMILIES if n.startswith("nesting")]
    assert max_depth(bench.growth_input(prefix, unit, 100_000)) == 127


@pytest.mark.parametrize("measured, size, expected", [
    ([], 4, 0.0),
    ([(1, 2.0)], 4, 32.0),  # one point: assumed quadratic
    ([(1, 1.0), (4, 4.0)], 16, 16.0),  # linear
    ([(1, 1.0), (4, 16.0)], 16, 256.0),  # quadratic
    ([(1, 1.0), (4, 2.0)], 16, 8.0),  # faster than linear is taken as linear
])
def test_projected_seconds(measured, size, expected):
    assert bench.projected_seconds(measured, size) == pytest.approx(expected)


@pytest.mark.parametrize("cells, expected", [
    # ms per MB from (bytes, seconds); max/min over the measured sizes only
    ([(1_000_000, 0.002), (4_000_000, 0.016), "skipped"], ["f", "2.00", "4.00", "skipped", "2.00"]),
    ([(500_000, 0.001), "refused"], ["f", "2.00", "refused", "1.00"]),
    (["refused"], ["f", "refused", ""]),
])
def test_growth_row(cells, expected):
    assert bench.growth_row("f", cells) == expected


@pytest.mark.parametrize("argv, message", [
    (["--sections", "throughput,nope"], "nope"),
])
def test_unknown_section_is_refused(argv, message, capsys):
    with pytest.raises(SystemExit):
        bench.parse_args(argv)
    assert message in capsys.readouterr().err


# With the module built, every input the benchmark times must repair: a
# refused input would silently drop its row from the figures.
@pytest.fixture(scope="module")
def corvane():
    return pytest.importorskip("corvane")


@pytest.mark.parametrize("name, prefix, unit", bench.GROWTH_FAMILIES)
def test_growth_families_repair(corvane, name, prefix, unit):
    out = corvane.repair(bench.growth_input(prefix, unit, 20_000))
    json.loads(out)


@pytest.mark.parametrize("size", [100, 1000, 10_000])
def test_model_messages_repair(corvane, size):
    value = corvane.loads(bench.model_message(size))
    assert value["ok"] is True and value["tags"] == ["a", "b"]
    assert value["items"][0]["name"] == "Item 1"


@pytest.mark.parametrize("size", [2_000, 20_000])
def test_tool_call_is_valid_json_of_the_size(size):
    value = json.loads(bench.tool_call(size))
    assert value["name"] == "write_file" and value["arguments"]["content"].count("\n") == value["arguments"]["lines"]
    assert size <= len(bench.tool_call(size)) < size + 300


def test_bench_files_repair_in_both_variants(corvane):
    inputs = bench.load_bench_files(bench.DEFAULT_BENCH_DIR) if bench.DEFAULT_BENCH_DIR.is_dir() else []
    if not inputs:
        pytest.skip(f"no benchmark files in {bench.DEFAULT_BENCH_DIR}")
    for name, variant, text in inputs:
        value = json.loads(corvane.repair(text))
        if variant == "valid":
            same = value == json.loads(text)
            assert same, f"{name}: the repair changed the value of valid JSON"


def test_free_threading_script_prints_its_tables(corvane):
    # One short round in this interpreter: each configuration's child runs,
    # and every table and goal line is printed.
    script = pathlib.Path(__file__).with_name("free_threading.py")
    out = subprocess.run([sys.executable, str(script), "--quick", "--gil-python", sys.executable],
                         capture_output=True, text=True, timeout=300, check=True).stdout
    for line in ["short records: repairs per second", "1 MB documents: repairs per second",
                 "GIL off (PYTHON_GIL=0)", "GIL on (PYTHON_GIL=1)", "goal: 2 threads >= 1.8x",
                 "One thread: time per call"]:
        assert line in out
