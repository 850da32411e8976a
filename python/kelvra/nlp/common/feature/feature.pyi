from collections.abc import Mapping
from typing import Any, SupportsFloat, TypeVar

_R = TypeVar("_R", bound="_Record")

class _Record:
    def __eq__(self, other: object) -> bool: ...

class Word(_Record):
    id: int
    text: str
    offset: int
    length: int
    pos: str
    sentence_id: int | None
    clause_id: int | None
    parent: int | None
    relation: str | None
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
    ) -> None: ...
    def to_json(self) -> dict[str, Any]: ...
    @classmethod
    def from_json(cls: type[_R], json: Mapping[str, Any]) -> _R: ...

class Clause(_Record):
    id: int
    tense: str
    offset: int
    length: int
    text: str
    def __init__(self, id_: SupportsFloat, tense: str, offset: SupportsFloat, length: SupportsFloat, text: str) -> None: ...
    def to_json(self) -> dict[str, Any]: ...
    @classmethod
    def from_json(cls: type[_R], json: Mapping[str, Any]) -> _R: ...

class Sentence(_Record):
    id: int
    offset: int
    length: int
    text: str
    clauses: list[Clause]
    def __init__(
        self, id_: SupportsFloat, offset: SupportsFloat, length: SupportsFloat, text: str, clauses: list[Clause] | None = None
    ) -> None: ...
    def to_json(self) -> dict[str, Any]: ...
    @classmethod
    def from_json(cls: type[_R], json: Mapping[str, Any]) -> _R: ...

class Entity(_Record):
    record: dict[str, Any]
    def __init__(self, record: dict[str, Any]) -> None: ...
    def to_json(self) -> dict[str, Any]: ...
    @classmethod
    def from_json(cls: type[_R], json: Mapping[str, Any]) -> _R: ...

class FeatureSet(_Record):
    words: list[Word] | None
    nes: list[Entity] | None
    def __init__(self, words: list[Word] | None = None, nes: list[Entity] | None = None) -> None: ...
    def to_json(self) -> dict[str, Any]: ...
    @classmethod
    def from_json(cls: type[_R], json: Mapping[str, Any]) -> _R: ...

__all__ = ["Clause", "Entity", "FeatureSet", "Sentence", "Word"]
