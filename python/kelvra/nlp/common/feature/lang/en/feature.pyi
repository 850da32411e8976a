from kelvra.nlp.common.feature.feature import Entity as Entity
from kelvra.nlp.common.feature.feature import FeatureSet as CN_FeatureSet
from kelvra.nlp.common.feature.feature import Sentence as Sentence
from kelvra.nlp.common.feature.feature import Word as CN_WORD
from collections.abc import Mapping
from typing import Any, SupportsFloat, TypeVar

_W = TypeVar("_W", bound="Word")
_F = TypeVar("_F", bound="FeatureSet")

class Word(CN_WORD):
    mask: bool | None
    lemma: str | None
    def __init__(
        self,
        id_: SupportsFloat,
        text: str,
        offset: SupportsFloat,
        length: SupportsFloat,
        pos: str = "",
        sentence_id: SupportsFloat | None = None,
        clause_id: SupportsFloat | None = None,
        parent: SupportsFloat | None = None,
        relation: str | None = None,
        mask: bool | None = None,
        lemma: str | None = None,
    ) -> None: ...
    @classmethod
    def from_json(cls: type[_W], json: Mapping[str, Any]) -> _W: ...

class FeatureSet(CN_FeatureSet):
    sentences: list[Sentence] | None
    text: str | None
    def __init__(
        self,
        words: list[CN_WORD] | None = None,
        nes: list[Entity] | None = None,
        sentences: list[Sentence] | None = None,
        text: str | None = None,
    ) -> None: ...
    @classmethod
    def from_json(cls: type[_F], feature_set_json: Mapping[str, Any]) -> _F: ...

__all__ = ["CN_FeatureSet", "CN_WORD", "Entity", "FeatureSet", "Sentence", "Word"]
