# Type information for the corvane_report extension module.
from typing import List, Literal, NamedTuple, Optional, Tuple

__all__: List[str] = ["report", "report_all", "Report", "Edit"]
__version__: str

EditKind = Literal[
    "quote_replaced",
    "key_quoted",
    "word_quoted",
    "keyword_rewritten",
    "number_rewritten",
    "character_escaped",
    "escape_repaired",
    "comma_inserted",
    "comma_dropped",
    "colon_inserted",
    "colon_dropped",
    "value_filled",
    "comment_dropped",
    "stray_dropped",
    "container_closed",
    "string_closed",
]

class Edit(NamedTuple):
    """Edit(kind, start, end, text): input[start:end] became text in the repaired JSON.

    kind names what the edit did (one of the README's table of kinds); an insertion
    has start == end, a removal text == ''. Offsets are indices of characters in
    the input given to report() or report_all()."""

    kind: EditKind
    start: int
    end: int
    text: str

class Report:
    """What one repair did to its input and where; made by report() and report_all().

    Offsets are indices of characters in the input given, as Python counts them."""

    @property
    def text(self) -> Optional[str]:
        """The repaired JSON, as corvane.repair() gives it, or None when refused."""
    @property
    def error(self) -> Optional[str]:
        """None, or the refusal's message, exactly as corvane.repair()'s ValueError carries it."""
    @property
    def error_offset(self) -> Optional[int]:
        """None, or the index in the input of the character that decided the refusal."""
    @property
    def found(self) -> bool:
        """False when the text holds no value (the repair's null stands for nothing)."""
    @property
    def start(self) -> int:
        """The index in the input where the value begins (after a byte-order mark, a fence, prose)."""
    @property
    def end(self) -> int:
        """The index in the input just past the last character the repair read; input[end:] was dropped."""
    @property
    def complete(self) -> bool:
        """False when the end of the input cut the value off and the repair closed or filled it in."""
    @property
    def edits(self) -> Tuple[Edit, ...]:
        """What the repair changed, in input order: a tuple of Edit(kind, start, end, text)."""
    @property
    def changed(self) -> bool:
        """bool(edits): False when the value was valid JSON as it stood."""

def report(input: str, start: int = 0) -> Report:
    """Repair input[start:] exactly as corvane.repair() does and report what the repair did.

    Never raises for a refusal: the Report's error says it. `start` is taken as a
    slice's bound (negative counts from the end; out of range is clipped), and every
    offset of the Report is an index in the whole of `input`."""

def report_all(input: str) -> List[Report]:
    """Report every value of the text in turn, each read from the previous one's end.

    The list ends before the first report that finds nothing, or with a refused
    report (where its value would end is not known)."""
