"""Shared helpers of the command, typing and Dask tests."""

import os
import shutil
import sys
import sysconfig
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parents[2]


def find_installed(program):
    """Path of `program` on PATH or in this interpreter's scripts directory."""
    on_path = shutil.which(program)
    if on_path:
        return on_path
    for directory in (sysconfig.get_path("scripts"), os.path.dirname(sys.executable)):
        candidate = os.path.join(directory, program)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


@pytest.fixture(scope="session")
def corvane_module():
    return pytest.importorskip("corvane", reason="the corvane module is not installed (pip install .)")


# Bytes that the repair treats as whitespace; a line of nothing else is blank.
BLANK = " \t\n\r\f"

_RECORD_SHAPES = [
    "{{name: '{name}', age: {n}, tags: [\"a\" \"b\",], active: True, note: None}}",
    '{{"id": {n}, "score": .5, "ratio": +1, "x": 1., "name": "{name}",}}',
    "[{n}, '{name}', {{k: v}}",
    "/* note */ {{\"a\": {n}, \"b\": [1, 2}}",
    "Here you go: {{'user': {{'name': '{name}', 'id': {n}}}}} thanks",
    '{{"deep": [[[{{"x": "{name}\\t{n}"}}]]], "e": 1E5}}',
    "  {{\"a\": {n}}}\r",
    "{name}",
]
_NAMES = ["Ann", "Zoë", "Łukasz", "東京", "O'Brien", "a\\\"b", "x y"]


def broken_records(count, seed=1):
    """`count` lines of mostly broken JSON, a few blank and a few refused."""
    import random

    rng = random.Random(seed)
    records = []
    for i in range(count):
        if i % 997 == 500:
            records.append('{"quote": "he said "hi" ok"}')  # refused: ambiguous quote
        elif i % 1999 == 1000:
            records.append("[" * 130)  # refused: too deep
        elif i % 499 == 250:
            records.append(rng.choice(["", "   ", "\t\f"]))
        else:
            shape = rng.choice(_RECORD_SHAPES)
            records.append(shape.format(name=rng.choice(_NAMES), n=rng.randint(-10**6, 10**6)))
    return records


def repair_each_line(corvane, text, on_error="null"):
    """What --lines should give, one corvane.repair call per non-blank line."""
    repaired = []
    for line in text.split("\n"):
        if line.endswith("\r"):
            line = line[:-1]
        if line.strip(BLANK) == "":
            continue
        try:
            repaired.append(corvane.repair(line))
        except ValueError:
            if on_error == "null":
                repaired.append("null")
            elif on_error == "fail":
                break
    return repaired
