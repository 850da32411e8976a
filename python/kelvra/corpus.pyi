from collections.abc import Iterable, Sequence
from typing import Any, TypeVar

from kelvra.nlp.common.matcher import Automaton
from kelvra.nlp.common.normalizer import Normalizer
from kelvra.nlp.common.sectioner import Sectioner
from kelvra.nlp.common.stitcher import Stitcher

_T = TypeVar("_T")

# The tools of the road; the automaton, or the path of a saved one; the
# search options (kind, whole_words), when given.
_Tools = (tuple[Normalizer, Sectioner, Stitcher, Automaton | str]
          | tuple[Normalizer, Sectioner, Stitcher, Automaton | str, dict[str, Any]])

def load_dictionary(path: str, fold: str | Iterable[str] | None = None) -> Automaton: ...
def make_tools(dict_path: str | None = None, automaton_path: str | None = None, valid_chars: Iterable[str] = (),
               kind: str = "overlapping", whole_words: bool = False,
               fold: str | Iterable[str] | None = None) -> _Tools: ...
def read_document(path: str) -> str: ...
def process_document(path: str, name: str, tools: _Tools, length: int, overlap: int = 0) -> dict[str, Any]: ...
def process_partition(
    documents: Iterable[tuple[str, str]], tools: _Tools, length: int, overlap: int = 0
) -> list[str]: ...
def write_partition(
    documents: Iterable[tuple[str, str]], tools: _Tools, length: int, part_path: str, overlap: int = 0
) -> str: ...
def tune_allocator() -> None: ...
def find_documents(inputs: Iterable[str]) -> list[tuple[str, str]]: ...
def partitions_of(items: Sequence[_T], count: int) -> list[Sequence[_T]]: ...
def main(argv: Sequence[str] | None = None) -> int: ...

__all__ = ["find_documents", "load_dictionary", "main", "make_tools", "partitions_of", "process_document",
           "process_partition", "read_document", "tune_allocator", "write_partition"]
