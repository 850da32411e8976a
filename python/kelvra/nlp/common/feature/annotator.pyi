import logging
from typing import Any, ClassVar

from kelvra.nlp.common.feature.feature import FeatureSet
from kelvra.nlp.common.feature.lang import Extractor
from kelvra.nlp.common.feature.types import Types
from kvc.sdk import NlpClient

E_Types = Types
_FeatureTypes = Types
logger: logging.Logger

class Annotator:
    Types: ClassVar[type[_FeatureTypes]]
    def __init__(self, param: NlpClient | str | dict[str, Any]) -> None: ...
    @property
    def nlp_client(self) -> NlpClient: ...
    @property
    def lang(self) -> str: ...
    @property
    def extractor(self) -> Extractor: ...
    def extract(self, text: str, types: list[_FeatureTypes | str], tag: str | None = "") -> FeatureSet | list[FeatureSet]: ...

__all__ = ["Annotator", "E_Types"]
