"""A small program that uses every module of the package with full type
annotations; `mypy --strict` checks it against the package's stubs, and
running it checks that it does what it says.

    python3 python/examples/typed_pipeline.py
"""
import json
import os
import pickle
import sys
import tempfile
from typing import Any

import numpy

from kelvra import corpus
from kelvra.common import ConfigUtil, LogUtil
from kelvra.common.exceptions import ErrorCodes, FileError, KvException
from kelvra.common.utils import LogUtil as Loggers
from kelvra.nlp.common import Q2B, replace_ctrl_char
from kelvra.nlp.common.embedding.embedding import Embedding, KeyedVectors
from kelvra.nlp.common.feature.annotator import Annotator
from kelvra.nlp.common.feature.feature import Entity, FeatureSet, Sentence, Word
from kelvra.nlp.common.feature.lang import Extractor, get
from kelvra.nlp.common.feature.lang.en import feature as en
from kelvra.nlp.common.feature.types import Types
from kelvra.nlp.common.gleaner import Gleaner
from kelvra.nlp.common.lang.cantonese import Cantonese
from kelvra.nlp.common.matcher import Automaton
from kelvra.nlp.common.matcher import Word as Occurrence
from kelvra.nlp.common.normalizer import AlterWord, Normalizer, OpenCC, Text
from kelvra.nlp.common.phraser import Phraser
from kelvra.nlp.common.sectioner import Sectioner
from kelvra.nlp.common.stitcher import Stitcher
from kvc.sdk import NlpClient


class LocalClient(NlpClient):
    """Answers from this process: one word per character."""

    def features(self, text: str, types: list[str], lang: str, tag: dict[str, Any] = {}) -> Any:
        return {"words": [{"id": i, "text": c, "offset": i, "length": 1} for i, c in enumerate(text)], "nes": []}


def entities(document: str, names: Automaton) -> list[Any]:
    """The segmentation road: normalise, section, find, stitch."""
    text: Text = Normalizer([]).normalize(document)
    changes: list[AlterWord] | None = text.alter_words
    assert changes is not None
    segments = Sectioner().split({"text": text.normalized_text, "length": 8}, "ner")
    for segment in segments:
        found: list[Occurrence] = names.search(segment["text"])
        segment["nes"] = found
    return Stitcher().merge(segments, "ner")


def main() -> int:
    logger = LogUtil.get_logger("typed_pipeline")
    names = Automaton(["北京", "上海"])
    found = entities("北京歡迎你。上海也歡迎你！", names)
    assert [(w.text, w.offset) for w in found] == [("北京", 0), ("上海", 6)]
    sentences: list[Sentence] = Phraser().split("你好。再见！")
    words: list[Word] = Phraser().get_single_words("你好")
    assert [s.text for s in sentences] == ["你好。", "再见！"] and len(words) == 2
    assert Q2B("Ａ") == "A" and replace_ctrl_char("\x07", None) == " "
    converter: OpenCC = Cantonese.converter
    assert converter.convert("頭髮") == Normalizer(None).cc.convert("頭髮") == "头发"
    assert Cantonese().translate("佢哋係學生") == "他们是学生"
    passages = Gleaner().extract({"text": "ab\ncd", "entities": [{"text": "c", "offset": 3, "length": 1}]})
    assert passages is not None and passages[1]["entities"][0]["offset"] == 0

    with tempfile.TemporaryDirectory() as folder:
        vectors = os.path.join(folder, "vectors.txt")
        with open(vectors, "w", encoding="utf-8") as f:
            f.write("3 2\n中国 1 0\n美国 0.8 0.6\n机器 0 1\n")
        embedding = Embedding(vectors)
        saved = os.path.join(folder, "vectors.kvwv")
        embedding.save(saved)
        store: KeyedVectors = Embedding(saved).wv_from_text
        vector: numpy.ndarray[Any, numpy.dtype[numpy.float32]] = embedding.word2vec("中国机器")
        assert vector.dtype == numpy.float32 and list(store.index_to_key) == ["中国", "美国", "机器"]
        assert pickle.loads(pickle.dumps(embedding)).most_similar("中国", 1) == embedding.most_similar("中国", 1)
        automaton_file = os.path.join(folder, "names.kvac")
        names.save(automaton_file)
        loaded = Automaton.load(automaton_file)
        assert loaded.mapped and len(loaded) == 2
        config = os.path.join(folder, "annotator.json")
        with open(config, "w", encoding="utf-8") as f:
            json.dump({"kvcloud_url": "http://127.0.0.1:9", "timeout": 2}, f)
        assert ConfigUtil.load(config)["timeout"] == 2 and Annotator(config).lang == "zh_cn"
        dictionary = os.path.join(folder, "words.txt")
        with open(dictionary, "w", encoding="utf-8") as f:
            f.write("北京 10 ns\n上海\n")
        tools = corpus.make_tools(dictionary)
        assert len(corpus.load_dictionary(dictionary)) == 2 and isinstance(tools[3], Automaton)
        try:
            Automaton.load(dictionary)
        except FileError as e:
            logger.debug("refused: %s", e.path)

    annotator = Annotator(LocalClient("http://local"))
    extractor: Extractor = annotator.extractor
    result = annotator.extract("你好", [Annotator.Types.WORD])
    assert isinstance(result, FeatureSet) and result.words is not None and len(result.words) == 2
    assert extractor.extract("你", [Types.WORD]) is not None and get("zh_cn") is not None
    try:
        Sectioner().split({"text": "x", "length": 1}, "NER")
    except KvException as e:
        assert e.code == ErrorCodes.INVALID_PARAMETERS
    english = en.FeatureSet(words=[en.Word(0, "ran", 0, 3, lemma="run")], text="ran")
    assert en.FeatureSet.from_json(english.to_json()).to_json() == english.to_json()
    entity = Entity.from_json({"offset": 0, "length": 2})
    assert entity.to_json() == {"offset": 0, "length": 2}
    Loggers.get_logger("typed_pipeline").info("done")
    return 0


if __name__ == "__main__":
    sys.exit(main())
