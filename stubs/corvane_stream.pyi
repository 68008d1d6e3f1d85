# Type information for the corvane_stream extension module.
from typing import Any, List, Literal, Optional

__all__: List[str] = ["RepairStream"]
__version__: str

Profile = Literal["default", "model"]

class RepairStream:
    """Repair of JSON that is still arriving: feed() it the text piece by piece,
    read snapshot() of what is settled at any time, and close() at the end.
    profile='model' repairs by the rules of corvane_model instead of those of corvane."""

    def __init__(self, *, profile: Profile = "default") -> None: ...
    def feed(self, chunk: str) -> None:
        """Add the next piece of the text and repair as far as it settles.

        Raises ValueError as soon as the repair is certain to be refused (the stream
        is then finished), and after close()."""
    def snapshot(self) -> Optional[str]:
        """Return the settled part as compact JSON, or None before a value has begun.

        Each snapshot grows into the next: a value shown never changes type, never
        shrinks and never disappears. After close(), close()'s result."""
    def value(self) -> Any:
        """Return the snapshot deserialized with Python's standard `json` module, or None."""
    def close(self) -> str:
        """End the input and return the repair of everything fed, exactly as
        corvane.repair() gives it (or raise its ValueError). Later calls return the same.
        Under profile='model', as corvane_model.repair() gives it."""
    @property
    def complete(self) -> bool:
        """True once the first value has been closed in the input: the snapshot is final."""
    @property
    def closed(self) -> bool:
        """True after close(), or once the repair was refused."""
