"""Feature sets of a text from the remote NLP service.

    annotator = Annotator({"nlp_client": {"url": "http://nlp:8080"}})
    annotator.extract("你好。", [Annotator.Types.WORD, Annotator.Types.NER])
"""
from kelvra.common.utils import LogUtil
from kelvra._native.service import Annotator
from kelvra.nlp.common.feature.feature import FeatureSet  # noqa: F401 (the result records)
from kelvra.nlp.common.feature.types import Types as E_Types  # noqa: F401

logger = LogUtil.get_logger(__name__)

__all__ = ["Annotator", "E_Types"]
