"""Shared fixtures for the Python tests of corvane."""

import pathlib
import sys

import pytest

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
SHARED_DATA = REPO_ROOT.parent / "shared" / "data"


@pytest.fixture
def shared_data():
    """The shared corpus next to the repository; a fresh clone has none."""
    if not SHARED_DATA.is_dir():
        pytest.skip("no shared corpus at ../shared/data next to the repository")
    return SHARED_DATA


@pytest.fixture
def replaced_json():
    """Lets a test put any object in sys.modules["json"]; restores the real one."""
    import json

    def replace(obj):
        sys.modules["json"] = obj
        return obj

    yield replace
    sys.modules["json"] = json
