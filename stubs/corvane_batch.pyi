# Type information for the corvane_batch extension module.
from typing import Any, Iterable, List, Literal, Optional, Tuple, Union

__all__: List[str] = ["repair_many", "repair_arrow", "RepairedArray", "RepairedStream"]
__version__: str

OnError = Literal["raise", "fail", "null", "skip"]
Profile = Literal["default", "model"]

def repair_many(
    texts: Iterable[Optional[str]],
    *,
    on_error: OnError = "raise",
    threads: Optional[int] = None,
    profile: Profile = "default",
) -> List[Optional[str]]:
    """Repair every str of an iterable, in order, and return a list of the results.

    None gives None. A refused text raises the ValueError of corvane.repair() with
    its row's index in the message (on_error='raise'), gives None (on_error='null')
    or is left out (on_error='skip'), as --on-error does for the command (whose
    'fail' is accepted for 'raise'). Anything but a str or None raises TypeError
    naming its row. The repairs run with the GIL released on up to `threads`
    threads (default: one per core, fewer for a small batch); the result is the
    same whatever the number. profile='model' repairs by the rules of
    corvane_model instead of those of corvane."""

def repair_arrow(
    array: Any,
    *,
    on_error: OnError = "raise",
    threads: Optional[int] = None,
    profile: Profile = "default",
) -> Union["RepairedArray", "RepairedStream"]:
    """Repair an Arrow string column and return it repaired, as Arrow.

    `array` is any object with __arrow_c_array__ or __arrow_c_stream__ (a pyarrow
    Array or ChunkedArray, a Polars or pandas Series) holding string, large_string
    or string_view values; its buffers are read in place. The result exports the
    same interface (RepairedArray for an array, RepairedStream for a stream), as
    string, or large_string once the text passes 2 GiB; nulls stay null.
    on_error, threads and profile work as in repair_many(); a value that is not
    valid UTF-8 raises ValueError whatever on_error says."""

class RepairedArray:
    """A repaired Arrow string column of one chunk, as repair_arrow() returns it for
    an array. Exports __arrow_c_array__ (and __arrow_c_stream__, of one chunk)."""

    def __arrow_c_array__(self, requested_schema: Optional[object] = None) -> Tuple[object, object]:
        """Export the column as an Arrow array: a pair of PyCapsules (schema, array)."""
    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """Export the column as an Arrow stream of its chunks: a PyCapsule."""
    def __len__(self) -> int: ...

class RepairedStream:
    """A repaired Arrow string column in chunks, as repair_arrow() returns it for a
    stream. Exports __arrow_c_stream__, one chunk per input chunk."""

    def __arrow_c_stream__(self, requested_schema: Optional[object] = None) -> object:
        """Export the column as an Arrow stream of its chunks: a PyCapsule."""
    def __len__(self) -> int: ...
