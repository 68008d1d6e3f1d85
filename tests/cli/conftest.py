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
