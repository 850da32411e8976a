"""Objects that travel: every public class pickles (protocol 2 and up),
copies and deep-copies, and the copy behaves as the original; classes name
the module users import them from; saved automata and vector stores load,
search and refuse damaged files."""
import copy
import os
import pickle

import numpy
import pytest

from kelvra.common.exceptions import FileError
from kelvra.nlp.common.embedding.embedding import Embedding
from kelvra.nlp.common.feature import feature
from kelvra.nlp.common.feature.annotator import Annotator
from kelvra.nlp.common.feature.lang.en import feature as en
from kelvra.nlp.common.feature.types import Types
from kelvra.nlp.common.gleaner import Gleaner
from kelvra.nlp.common.lang.cantonese import Cantonese
from kelvra.nlp.common.matcher import Automaton, Word
from kelvra.nlp.common.normalizer import AlterWord, Normalizer, OpenCC, Text
from kelvra.nlp.common.phraser import Phraser
from kelvra.nlp.common.sectioner import Sectioner
from kelvra.nlp.common.stitcher import Stitcher
from kvc.sdk import NlpClient

TEXT = "北京歡迎你。「上海，也歡迎你！」ＡＢ\x07\n他说：“走吧。”"
VECTORS = "4 3\n中国 1 0 0\n美国 0.8 0.6 0\n机器 0 1 1\n学习 0 0.2 1\n"


class StubClient(NlpClient):
    """A client that answers itself (pickled by reference to this module)."""

    def features(self, text, types, lang, tag):
        return {"words": [{"id": 0, "text": text[:1], "offset": 0, "length": 1}], "nes": []}


def sectioned(sectioner):
    return sectioner.split({"text": TEXT * 3, "length": 12}, "ner")


def stitched(stitcher):
    segments = sectioned(Sectioner())
    for segment in segments:
        segment["nes"] = [{"offset": 1, "length": 2}]
    return stitcher.merge(segments, "ner")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("travel")
    (folder / "vectors.txt").write_text(VECTORS, encoding="utf-8")
    Embedding(str(folder / "vectors.txt")).save(str(folder / "vectors.kvwv"))
    Automaton(["北京", "欢迎", "上海", "欢迎你"]).save(str(folder / "names.kvac"))
    return folder


def travellers(files):
    """(object, its module, what it does) for every public class."""
    phraser = Phraser(["。"], 30)
    overridden = Phraser()
    overridden.stop_chars = []
    normalizer = Normalizer(["\x07"])
    text = normalizer.normalize(TEXT)
    materialized = normalizer.normalize(TEXT)
    materialized.alter_words.append(AlterWord("x", "y", 99))
    absent = normalizer.normalize(TEXT)
    absent.alter_words = None
    embedding = Embedding(str(files / "vectors.txt"))
    mapped = Embedding(str(files / "vectors.kvwv"))
    annotator = Annotator({"kvcloud_url": "http://127.0.0.1:9", "timeout": 3, "lang": "zh_cn", "tag": {"a": [1]}})
    stubbed = Annotator(StubClient("http://stub"))

    def vectors(e):
        return (e.wv_from_text.vectors.tolist(), e.most_similar("中国", 3), e.word2vec("中国机器").tolist())

    def split(p):
        return [s.to_json() for s in p.split(TEXT)]

    return [
        (phraser, "kelvra.nlp.common.phraser", split),
        (overridden, "kelvra.nlp.common.phraser", split),
        (Sectioner(["\n"]), "kelvra.nlp.common.sectioner", sectioned),
        (Stitcher(), "kelvra.nlp.common.stitcher", stitched),
        (normalizer, "kelvra.nlp.common.normalizer", lambda n: n.normalize(TEXT).to_json()),
        (normalizer.cc, "kelvra.nlp.common.normalizer", lambda c: c.convert(TEXT)),
        (Cantonese.converter, "kelvra.nlp.common.normalizer", lambda c: c.convert(TEXT)),
        (text, "kelvra.nlp.common.normalizer", lambda t: t.to_json()),
        (materialized, "kelvra.nlp.common.normalizer", lambda t: t.to_json()),
        (absent, "kelvra.nlp.common.normalizer", lambda t: t.to_json()),
        (AlterWord("Ａ", "A", 4), "kelvra.nlp.common.normalizer", lambda w: w.to_json()),
        (Automaton(["北京", "欢迎", "京"]), "kelvra.nlp.common.matcher", lambda a: [str(w) for w in a.search(TEXT)]),
        (Automaton.load(str(files / "names.kvac")), "kelvra.nlp.common.matcher",
         lambda a: [str(w) for w in a.search(TEXT)]),
        (Word("北京", 2, 0), "kelvra.nlp.common.matcher", lambda w: w.to_json()),
        (embedding, "kelvra.nlp.common.embedding.embedding", vectors),
        (mapped, "kelvra.nlp.common.embedding.embedding", vectors),
        (embedding.wv_from_text, "kelvra.nlp.common.embedding.embedding",
         lambda wv: (list(wv.index_to_key), wv["机器"].tolist(), wv.similar_by_word("美国", 2))),
        (mapped.wv_from_text.index_to_key, "kelvra.nlp.common.embedding.embedding", list),
        (Gleaner(), "kelvra.nlp.common.gleaner",
         lambda g: g.extract({"text": "ab\ncd", "entities": [{"text": "c", "offset": 3, "length": 1}]})),
        (StubClient("http://stub", 5, 1000), __name__,
         lambda c: (c.url, c.timeout, c.max_answer_bytes, c.features("你好", ["WORD"], "zh_cn", {}))),
        (NlpClient("http://127.0.0.1:9/x", None, 10), "kvc.sdk", lambda c: (c.endpoint, c.timeout)),
        (annotator, "kelvra.nlp.common.feature.annotator", lambda a: (repr(a.nlp_client), a.lang)),
        (stubbed, "kelvra.nlp.common.feature.annotator", lambda a: a.extract("你好", [Types.WORD]).to_json()),
        (stubbed.extractor, "kelvra.nlp.common.feature.lang", lambda e: e.extract("你好", [Types.WORD]).to_json()),
        (Types.NER, "kelvra.nlp.common.feature.types", int),
        (feature.Sentence(0, 0, 3, "你好。", [feature.Clause(0, "done", 0, 3, "你好。")]),
         "kelvra.nlp.common.feature.feature", lambda s: s.to_json()),
        (feature.FeatureSet([feature.Word(0, "a", 0, 1)], None), "kelvra.nlp.common.feature.feature",
         lambda f: f.to_json()),
        (feature.Entity.from_json({"offset": 1, "length": 2, "type": "LOC"}), "kelvra.nlp.common.feature.feature",
         lambda e: e.to_json()),
        (en.Word(1, "ran", 3, 3, pos="VBD", lemma="run", mask=True), "kelvra.nlp.common.feature.lang.en.feature",
         lambda w: w.to_json()),
        (en.FeatureSet(words=[], sentences=None, text="x"), "kelvra.nlp.common.feature.lang.en.feature",
         lambda f: f.to_json()),
    ]


def test_every_public_object_travels_and_behaves_the_same(files):
    for original, module, does in travellers(files):
        assert type(original).__module__ == module, type(original)
        expected = does(original)
        copies = [pickle.loads(pickle.dumps(original, protocol)) for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1)]
        copies += [copy.copy(original), copy.deepcopy(original)]
        for made in copies:
            assert type(made) is type(original), original
            assert does(made) == expected, original
            # An Embedding's path and an Automaton's mapping stay behind.
            if not isinstance(original, (Embedding, Automaton)) and " at 0x" not in repr(original):
                assert repr(made) == repr(original)
            if hasattr(original, "__dict__"):
                assert made.__dict__ == original.__dict__, original


def test_engines_show_their_settings(files):
    assert repr(Phraser()) == "Phraser(punct_chars=None, max_len=510)"
    assert repr(Phraser(["\n"], 9)) == "Phraser(punct_chars=['\\n'], max_len=9)"
    assert repr(Sectioner()) == "Sectioner(separator=None)"
    assert repr(Stitcher()) == "Stitcher()" and repr(Gleaner()) == "Gleaner()"
    assert repr(Normalizer(None)) == "Normalizer(validChrList=None)"
    assert repr(OpenCC()) == "OpenCC(config='t2s')"
    assert repr(Automaton(["a", "b", "a"])) == "Automaton(words=2)"
    assert repr(Automaton.load(str(files / "names.kvac"))) == "Automaton(words=4, mapped=True)"
    path = str(files / "vectors.txt")
    assert repr(Embedding(path)) == "Embedding(path=%r, words=4, size=3)" % path
    assert repr(pickle.loads(pickle.dumps(Embedding(path)))) == "Embedding(path=None, words=4, size=3)"
    assert repr(NlpClient("http://h", 2)) == "NlpClient(url='http://h', timeout=2.0, max_answer_bytes=67108864)"
    assert repr(Annotator(NlpClient("http://h"))).startswith("Annotator(lang='zh_cn', nlp_client=NlpClient(url=")
    assert repr(Cantonese()).startswith("Cantonese(dict_file='") and "rules_file=" in repr(Cantonese())


def test_cantonese_carries_its_data_not_its_paths(tmp_path):
    dictionary, words, rules = tmp_path / "c2m.tsv", tmp_path / "words.txt", tmp_path / "rules.tsv"
    dictionary.write_text("佢\t他\n𨋢\t電梯\n", encoding="utf-8")
    words.write_text("电梯\n", encoding="utf-8")
    rules.write_text("咗\t了\tcantonese\n", encoding="utf-8")
    original = Cantonese(str(dictionary), str(words), rules_file=str(rules))
    assert original.rules_file == str(rules)
    data = pickle.dumps(original)
    for path in (dictionary, words, rules):
        path.unlink()
    made = pickle.loads(data)
    assert made.translate("佢搭咗𨋢") == original.translate("佢搭咗𨋢") == "他搭了电梯"
    assert (made.dict_file, made._c2m) == (original.dict_file, original._c2m)
    # The shipped data travels the same way, rules and word list included.
    shipped = Cantonese()
    sentence = "佢哋而家喺邊度食緊飯？你記唔記得我？如果系統支援的話"
    assert pickle.loads(pickle.dumps(shipped)).translate(sentence) == shipped.translate(sentence)


def test_saved_automata_and_stores_load_search_and_travel_without_their_files(tmp_path):
    words = ["北京", "欢迎", "京", "😀a"]
    built = Automaton(words)
    saved = str(tmp_path / "names.kvac")
    built.save(saved)
    loaded = Automaton.load(path=saved)
    assert loaded.mapped and not built.mapped and len(loaded) == len(built) == 4
    text = "北京欢迎你😀a京"
    assert [str(w) for w in loaded.search(text)] == [str(w) for w in built.search(text)]

    class Names(Automaton):
        pass
    assert type(Names.load(saved)) is Names
    (tmp_path / "vectors.txt").write_text(VECTORS, encoding="utf-8")
    store = str(tmp_path / "vectors.kvwv")
    Embedding(str(tmp_path / "vectors.txt")).save(store)
    mapped = Embedding(store)
    data = pickle.dumps((loaded, mapped))
    os.remove(saved)
    os.remove(store)
    automaton, embedding = pickle.loads(data)
    assert [str(w) for w in automaton.search(text)] == [str(w) for w in built.search(text)]
    assert embedding.most_similar("美国", 2) == mapped.most_similar("美国", 2)
    assert numpy.array_equal(embedding.wv_from_text.vectors, mapped.wv_from_text.vectors)


def test_damaged_saved_files_and_bytes_are_refused(tmp_path):
    saved = str(tmp_path / "names.kvac")
    Automaton(["北京", "欢迎"]).save(saved)
    good = open(saved, "rb").read()
    for name, data in (("short", good[:100]), ("foreign", b"NOTSAVED" + good[8:]),
                       ("flipped", good[:-3] + bytes([good[-3] ^ 1]) + good[-2:])):
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(FileError) as info:
            Automaton.load(str(path))
        assert str(path) in str(info.value)
    with pytest.raises(FileError):
        Embedding(saved)  # an automaton is no vector store
    state = Automaton(["a"]).__getstate__()
    with pytest.raises(FileError, match="automaton bytes"):
        Automaton.__new__(Automaton).__setstate__(((state[0][0][:-1],), {}))
    with pytest.raises(TypeError):
        Automaton.__new__(Automaton).__setstate__(("not a state",))
    with pytest.raises(FileError, match="Cantonese bytes"):
        Cantonese.__new__(Cantonese).__setstate__(((b"KELVRACT\x01",), {}))
    with pytest.raises(TypeError, match="changes of a Text"):
        Text.__new__(Text).__setstate__((("a", "a", ((), b"\x00" * 16)), {}))


def test_records_pickle_compactly():
    words = [Word("北京", 2, offset) for offset in range(10000)]
    assert len(pickle.dumps(words, 4)) < 20 * len(words)
    text = Normalizer([]).normalize("頭髮Ａ" * 10000)
    data = pickle.dumps(text, 4)
    assert len(data) < 16 * 30000 + 2 * len(text.text.encode()) + 1000  # 16 bytes a change
    back = pickle.loads(data)
    assert back == text and len(back.alter_words) == 30000
