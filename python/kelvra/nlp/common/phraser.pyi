import logging
from collections.abc import Collection, Sequence
from typing import SupportsFloat, TypeVar

import numpy
import numpy.typing

from kelvra.nlp.common.feature.feature import Sentence, Word

logger: logging.Logger

_Token = TypeVar("_Token")
_Ints = numpy.typing.NDArray[numpy.int64]

class Phraser:
    # Read through the instance: a subclass or an instance may set its own.
    default_punct_chars: Collection[str]
    clause_chars: Collection[str]
    stop_chars: Collection[str]
    quote_left_char: Collection[str]
    quote_right_char: Collection[str]
    def __init__(self, punct_chars: Collection[str] | None = None, max_len: SupportsFloat | None = 510) -> None: ...
    @property
    def punct_chars(self) -> set[str]: ...
    @property
    def max_len(self) -> int: ...
    def split(self, input: str | list[Word], *, threads: int = 1) -> list[Sentence]: ...
    def layout(self, text: str, *, threads: int = 1) -> tuple[_Ints, _Ints, _Ints, _Ints, _Ints]: ...
    def split_by_char(self, words: list[_Token], chars: Collection[str] | None = None) -> list[list[_Token]]: ...
    def get_single_words(self, text: str | Sequence[str]) -> list[Word]: ...

__all__ = ["Phraser"]
