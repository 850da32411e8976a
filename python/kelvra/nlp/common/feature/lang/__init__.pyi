from typing import Any, TypeVar, overload

from kelvra.nlp.common.feature.feature import FeatureSet
from kelvra.nlp.common.feature.types import Types
from kvc.sdk import NlpClient

_T = TypeVar("_T")

class Extractor:
    """Obtains one language's feature sets through the client."""
    def extract(self, text: str, types: list[Types | str]) -> FeatureSet | list[FeatureSet]: ...

class ExtractorFactory:
    def __call__(self, nlp_client: NlpClient, tag: dict[str, Any]) -> Extractor: ...

@overload
def get(code: str) -> ExtractorFactory | None: ...
@overload
def get(code: str, default: _T) -> ExtractorFactory | _T: ...
def codes() -> list[str]: ...

__all__ = ["Extractor", "ExtractorFactory", "codes", "get"]
