# Type information for the corvane extension module.
from typing import Any, List

__all__: List[str] = [
    "__version__",
    "MAX_DEPTH",
    "repair",
    "repair_to_string",
    "repair_json",
    "loads",
]

__version__: str
MAX_DEPTH: int

def repair(input: str) -> str:
    """Repair malformed JSON and return a valid JSON string.

    Raises ValueError for excessive nesting or ambiguous inner object-value quotes."""

def repair_json(input: str) -> str:
    """Compatibility alias for `repair`."""

def repair_to_string(input: str) -> str:
    """Compatibility alias for `repair`."""

def loads(input: str) -> Any:
    """Repair malformed JSON and deserialize it with Python's standard `json` module."""
