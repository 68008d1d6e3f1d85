"""The shipped type information of the modules: mypy --strict and pyright see exact types."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import find_installed

# Uses every public name correctly; the wrong calls are on WRONG_LINES.
SAMPLE = textwrap.dedent(
    """\
    import corvane
    import corvane_batch
    import corvane_model
    from corvane_report import Edit, Report, report, report_all
    from corvane_stream import RepairStream
    from typing import Any, List, Optional

    def text_of(raw: str) -> str:
        return corvane.repair(raw)

    def aliases(raw: str) -> List[str]:
        return [corvane.repair_json(raw), corvane.repair_to_string(input=raw)]

    def value_of(raw: str) -> Any:
        return corvane.loads(raw)

    version: str = corvane.__version__
    depth: int = corvane.MAX_DEPTH
    names: List[str] = corvane.__all__

    def modelled(raw: str) -> Any:
        return [corvane_model.repair(input=raw), corvane_model.loads(raw)]

    model_names: List[str] = corvane_model.__all__ + [corvane_model.__version__]

    def streamed(chunks: List[str]) -> Any:
        stream = RepairStream(profile="model") if chunks else RepairStream()
        for chunk in chunks:
            stream.feed(chunk=chunk)
            shown: Optional[str] = stream.snapshot()
            if stream.complete or stream.closed:
                break
        reveal_type(stream.close())
        reveal_type(stream.complete)
        return stream.value()

    def batched(rows: List[Optional[str]], column: Any) -> int:
        fixed: List[Optional[str]] = corvane_batch.repair_many(rows, on_error="null", threads=2, profile="model")
        result = corvane_batch.repair_arrow(column, on_error="skip", profile="default")
        return len(fixed) + len(result) + len(corvane_batch.repair_many(iter(["{"])))

    def reported(raw: str) -> List[Edit]:
        first: Report = report(raw, start=-1)
        text: Optional[str] = first.text
        error: Optional[str] = first.error
        where: Optional[int] = first.error_offset
        span: int = first.end - first.start
        reveal_type(first.complete or first.found or first.changed)
        edits: List[Edit] = [e for r in report_all(input=raw) for e in r.edits if e.kind == "comma_dropped"]
        kind, start, end, new = edits[0]
        reveal_type(edits[0].start)
        old: str = raw[start:end] + kind + new
        return edits
    reveal_type(corvane.repair("{"))
    reveal_type(corvane.repair_json("{"))
    reveal_type(corvane.repair_to_string("{"))
    reveal_type(corvane.loads("{"))
    reveal_type(corvane.MAX_DEPTH)
    reveal_type(corvane.__version__)
    reveal_type(corvane_model.repair("{"))
    reveal_type(corvane_model.loads("{"))
    corvane.repair(b"{}")
    corvane_model.loads(b"{}")
    RepairStream(profile="fast")
    corvane_batch.repair_many([], profile="Model")
    """
)
WRONG_CALLS = ['corvane.repair(b"{}")', 'corvane_model.loads(b"{}")', 'RepairStream(profile="fast")',
               'corvane_batch.repair_many([], profile="Model")']
WRONG_LINES = [SAMPLE.splitlines().index(call) + 1 for call in WRONG_CALLS]
# What each wrong call's message names: the type, or the parameter, it wanted
# (an undeclared profile is refused by its Literal type).
WANTED = ['"str"', '"str"', '"profile"', '"profile"']

# The revealed types, in the order of the sample (older mypy releases spell
# them "builtins.str", newer ones and pyright "str").
REVEALED = ["str", "bool", "bool", "int", "str", "str", "str", "Any", "int", "str", "str", "Any"]


@pytest.fixture
def sample(tmp_path, corvane_module):
    path = tmp_path / "sample.py"
    path.write_text(SAMPLE)
    return path


def test_mypy_strict_reports_exactly_the_wrong_call(sample, tmp_path):
    pytest.importorskip("mypy", reason="mypy is not installed (pip install mypy)")
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         "--python-executable", sys.executable, sample.name],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    lines = run.stdout.splitlines()
    errors = [line for line in lines if ": error:" in line]
    revealed = [
        line.split('Revealed type is "', 1)[1].rstrip('"').replace("builtins.", "")
        for line in lines
        if "Revealed type is" in line
    ]
    assert [error.split(":")[1] for error in errors] == [str(line) for line in WRONG_LINES], run.stdout + run.stderr
    for error, wanted in zip(errors, WANTED):
        assert error.endswith("[arg-type]") and wanted in error, errors
    assert revealed == REVEALED, run.stdout


def test_pyright_reports_exactly_the_wrong_call(sample, tmp_path):
    pyright = find_installed("pyright")
    if pyright is None:
        pytest.skip("pyright is not installed (pip install 'pyright[nodejs]')")
    run = subprocess.run(
        [pyright, "--outputjson", "--pythonpath", sys.executable, sample.name],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )
    report = json.loads(run.stdout)
    diagnostics = report["generalDiagnostics"]
    errors = [d for d in diagnostics if d["severity"] == "error"]
    revealed = [d["message"].split('" is "', 1)[1].rstrip('"') for d in diagnostics if d["severity"] == "information"]
    # pyright counts lines from zero.
    assert [e["range"]["start"]["line"] + 1 for e in errors] == WRONG_LINES, json.dumps(diagnostics, indent=1)
    for error, wanted in zip(errors, WANTED):
        assert error["rule"] == "reportArgumentType" and wanted in error["message"], errors
    assert revealed == REVEALED, json.dumps(diagnostics, indent=1)
