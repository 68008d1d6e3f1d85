# Type information for the corvane_model extension module.
from typing import Any, List

__all__: List[str] = ["repair", "loads"]
__version__: str

def repair(input: str) -> str:
    """Repair malformed JSON by the model profile's rules and return a valid JSON string.

    Raises ValueError for excessive nesting or ambiguous inner quotes."""

def loads(input: str) -> Any:
    """Repair malformed JSON by the model profile's rules and deserialize it with
    Python's standard `json` module."""
