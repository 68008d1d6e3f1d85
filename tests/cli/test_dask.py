"""examples/repair_at_scale.py, run as a user would, gives what a serial loop
over corvane.repair gives, whichever way the blocks are spread."""

import subprocess
import sys

import pytest

from conftest import REPO_ROOT, broken_records, repair_each_line

EXAMPLE = REPO_ROOT / "examples" / "repair_at_scale.py"


@pytest.fixture(scope="module")
def records_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("scale") / "records.jsonl"
    # CR LF endings on part of the file, and no line feed after the last record.
    lines = broken_records(100_000, seed=3)
    text = "\n".join(line + "\r" if i % 7 == 0 else line for i, line in enumerate(lines))
    path.write_bytes(text.encode("utf-8"))
    return path


def run_example(records_file, output_dir, mode, on_error):
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), str(records_file), "--mode", mode, "--workers", "2",
         "--output", str(output_dir), "--on-error", on_error, "--block-mb", "0.5"],
        capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, result.stderr
    parts = sorted(output_dir.glob("part-*.jsonl"))
    assert len(parts) > 2, "the file should have been cut into several blocks"
    repaired = "".join(part.read_text(encoding="utf-8") for part in parts)
    return repaired, result.stdout


@pytest.mark.parametrize(
    "mode, on_error",
    [("dask", "null"), ("threads", "null"), ("threads", "skip")],
)
def test_parallel_repair_equals_serial_repair(corvane_module, records_file, tmp_path, mode, on_error):
    if mode == "dask":
        pytest.importorskip("dask.distributed", reason="Dask is not installed (pip install 'dask[distributed]')")
    repaired, summary = run_example(records_file, tmp_path / "out", mode, on_error)
    expected = repair_each_line(corvane_module, records_file.read_text(encoding="utf-8"), on_error)
    assert repaired.split("\n") == expected + [""]
    refused = len(repair_each_line(corvane_module, records_file.read_text(encoding="utf-8"), "null")) - len(
        repair_each_line(corvane_module, records_file.read_text(encoding="utf-8"), "skip")
    )
    assert summary.startswith(f"{len(expected)} records ({refused} refused)"), summary
