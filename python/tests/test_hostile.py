"""Hostile use of the Python door: objects made without their state, states
that the constructors would refuse, paths that are not plain str, and the
occurrence record compared and read as a record."""
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap

import pytest

from kelvra.nlp.common.matcher import Automaton, Word
from kelvra.nlp.common.normalizer import Normalizer, Text

# Every class of the compiled extension, by module, with the calls a user
# might make on an instance of it (pickling included where there is a state
# to pickle).
NATIVE_CLASSES = [
    ("kelvra.nlp.common.normalizer", "Normalizer", "o.normalize('a'); o.cc; pickle.dumps(o)"),
    ("kelvra.nlp.common.normalizer", "OpenCC", "o.convert('a'); pickle.dumps(o)"),
    ("kelvra.nlp.common.normalizer", "Text", "o.to_json(); str(o); o.text; pickle.dumps(o)"),
    ("kelvra.nlp.common.phraser", "Phraser", "o.split('a。b'); pickle.dumps(o)"),
    ("kelvra.nlp.common.sectioner", "Sectioner", "o.split({'text': 'a', 'length': 5}, 'ner'); pickle.dumps(o)"),
    ("kelvra.nlp.common.stitcher", "Stitcher", "o.merge([], 'ner')"),
    ("kelvra.nlp.common.matcher", "Automaton", "o.search('a'); len(o); pickle.dumps(o)"),
    ("kelvra.nlp.common.gleaner", "Gleaner", "o.extract({'text': 'a'})"),
    ("kelvra.nlp.common.lang.cantonese", "Cantonese", "o.translate('佢'); pickle.dumps(o)"),
    ("kelvra.nlp.common.embedding.embedding", "Embedding", "o.most_similar('a'); pickle.dumps(o)"),
    ("kelvra.nlp.common.embedding.embedding", "KeyedVectors", "len(o); pickle.dumps(o)"),
    ("kelvra.nlp.common.embedding.embedding", "KeyList", "len(o); pickle.dumps(o)"),
    ("kelvra.nlp.common.feature.annotator", "Annotator", "o.extract('a', []); pickle.dumps(o)"),
    ("kelvra.nlp.common.feature.lang", "Extractor", "o.extract('a', []); pickle.dumps(o)"),
    ("kelvra.nlp.common.feature.lang", "ExtractorFactory", "o(None, {}); pickle.dumps(o)"),
    ("kvc.sdk", "NlpClient", "o.url; pickle.dumps(o)"),
]


@pytest.mark.parametrize("module, name, calls", NATIVE_CLASSES, ids=[c[1] for c in NATIVE_CLASSES])
def test_an_object_without_its_state_refuses_every_use(module, name, calls):
    # In a process of its own: what this guards against is a crash.
    script = textwrap.dedent(f"""
        import importlib, pickle
        cls = getattr(importlib.import_module({module!r}), {name!r})
        made = [cls.__new__(cls)]
        # A pickle that makes the object and gives it no state.
        stateless = (b"\\x80\\x02c" + {module!r}.encode() + b"\\n" + {name!r}.encode() +
                     b"\\n)\\x81.")
        try:
            made.append(pickle.loads(stateless))
        except TypeError:
            pass
        for o in made:
            try:
                repr(o)  # may be the default one; must not crash
            except TypeError as e:
                assert {name!r} in str(e), str(e)
            for call in {calls!r}.split("; "):
                try:
                    exec(call)
                except (TypeError, RuntimeError) as e:
                    assert {name!r} in str(e), (call, str(e))
                else:
                    raise AssertionError(call + " worked on an object without state")
        print("refused")
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=dict(os.environ), timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "refused"


def test_a_state_is_checked_as_the_constructor_checks_its_arguments():
    for values, parameter in [((1, "b", []), "text"), (("a", None, []), "normalized_text"),
                              (("a", "b", "not a list"), "alter_words")]:
        with pytest.raises(TypeError, match=parameter):
            Text(*values)
        with pytest.raises(TypeError, match=parameter):
            Text.__new__(Text).__setstate__((values, {}))
    with pytest.raises(TypeError, match="validChrList"):
        Normalizer.__new__(Normalizer).__setstate__(((42,), {}))
    # An object that has its state is not silently left as it was.
    live = Text("a", "a", [])
    with pytest.raises(TypeError, match="already has its state"):
        live.__setstate__((("a", "b", [1, 2]), {}))
    assert live.normalized_text == "a"


def test_missing_and_unknown_arguments_are_named():
    with pytest.raises(TypeError, match=r"Normalizer\(\) missing 1 required argument: "
                                        r"'validChrList'"):
        Normalizer()
    with pytest.raises(TypeError, match="unexpected keyword argument 'valid'"):
        Normalizer(valid=[])
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        Normalizer([], [])


def test_paths_are_taken_as_open_takes_them(tmp_path):
    automaton = Automaton(["北京", "上海"])
    for path in [tmp_path / "a.kvac", str(tmp_path / "b.kvac"), os.fsencode(tmp_path / "c.kvac")]:
        automaton.save(path)
        assert Automaton.load(path).search("去北京") == automaton.search("去北京")
    # A NUL would cut the path short at the system: refused as open() refuses it.
    for call in [lambda: automaton.save(str(tmp_path / "x\x00y")),
                 lambda: Automaton.load(str(tmp_path / "a.kvac") + "\x00junk"),
                 lambda: automaton.save(b"x\x00y")]:
        with pytest.raises(ValueError, match="embedded null byte"):
            call()
    assert not (tmp_path / "x").exists()
    with pytest.raises(TypeError, match="path"):
        automaton.save(42)


def test_words_compare_by_value_and_read_as_records():
    automaton = Automaton(["he", "she", "hers"])
    found = automaton.search("ushers")
    assert found == automaton.search("ushers")
    word = found[0]
    assert word == Word("she", 3, 1) and word != Word("she", 3, 2) and word != Word("he", 3, 1)
    assert pickle.loads(pickle.dumps(word)) == word
    assert (word["text"], word["length"], word["offset"]) == ("she", 3, 1)
    assert word.keys() == ["text", "length", "offset"] and "offset" in word and "id" not in word
    assert dict(word) == word.to_json() and word.get("id", 7) == 7
    with pytest.raises(KeyError):
        word["id"]
    with pytest.raises(TypeError):
        hash(word)


def test_every_property_says_what_it_holds():
    import importlib

    undocumented = []
    for module, name, _ in NATIVE_CLASSES:
        cls = getattr(importlib.import_module(module), name)
        for attr, value in vars(cls).items():
            if isinstance(value, property) and not (value.__doc__ or "").strip():
                undocumented.append(f"{name}.{attr}")
    assert undocumented == []
