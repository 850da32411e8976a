"""The two record paths agree: every operation that reads and changes
records, run by the extension on Python objects and by the library on its
own JSON records (through the extension's testing hook), on the same random
records, hostile ones included. Results, the input afterwards and failures
(kind, code, message) must be the same."""
import json
import random
import sys

import pytest

from kelvra._native.common import MAX_RECORD_DEPTH
from kelvra._native.testing import library_path
from kelvra.common.exceptions import KvException
from kelvra.nlp.common.feature import feature as base
from kelvra.nlp.common.feature.lang.en import feature as en
from kelvra.nlp.common.gleaner import Gleaner
from kelvra.nlp.common.sectioner import Sectioner
from kelvra.nlp.common.stitcher import Stitcher

HOSTILE_INTEGERS = [0, 1, 2, 7, -1, -2 ** 63, 2 ** 63 - 1, 2 ** 63, 2 ** 64 - 1, 2 ** 62]
HOSTILE_REALS = [0.0, -0.0, 2.7, 3.0, -0.5, 1e19, 1e300, 9.2e18]
TEXT_PIECES = ["a", "中", " ", "\n", "\u2022", "\r", "\x00", "😀", "b c", "\n\n"]
KEYS = ["text", "offset", "length", "a\x00b", "\x00", "text\x00", "type", "id", "uuid", "name", "category"]


def text(rng, longest=12):
    return "".join(rng.choice(TEXT_PIECES) for _ in range(rng.randrange(longest)))


def scalar(rng):
    return rng.choice([None, True, False, "", "0", text(rng, 4), rng.choice(HOSTILE_INTEGERS),
                       rng.choice(HOSTILE_REALS), [], {}])


def deep(levels):
    value = [1]
    for level in range(levels):
        value = {"x": value} if level % 2 else [value]
    return value


def junk(rng, depth=0):
    """Any record value: nested a little, now and then very deeply."""
    roll = rng.random()
    if roll < 0.01:
        return deep(MAX_RECORD_DEPTH + rng.choice([-2, -1, 0, 1, 100]))
    if depth < 3 and roll < 0.25:
        return {rng.choice(KEYS): junk(rng, depth + 1) for _ in range(rng.randrange(3))}
    if depth < 3 and roll < 0.35:
        return [junk(rng, depth + 1) for _ in range(rng.randrange(3))]
    return scalar(rng)


def position(rng, good=20):
    """Mostly a usable position, sometimes anything at all."""
    return rng.randrange(good) if rng.random() < 0.85 else rng.choice(
        HOSTILE_INTEGERS + HOSTILE_REALS + ["3", None, True, [], {"offset": 1}])


def record(rng, keys):
    """A map holding most of `keys` (values made by the callables), plus
    stray keys; or, rarely, not a map at all."""
    if rng.random() < 0.03:
        return scalar(rng)
    out = {}
    for key, make in keys.items():
        if rng.random() < 0.93:
            out[key] = make()
    for _ in range(rng.randrange(3)):
        out[rng.choice(KEYS)] = junk(rng)
    return out


def entity(rng):
    if rng.random() < 0.2:
        return record(rng, {"spans": lambda: [record(rng, {"offset": lambda: position(rng),
                                                           "length": lambda: position(rng, 4)})
                                              for _ in range(rng.randrange(3))],
                            "text": lambda: text(rng, 4)})
    return record(rng, {"uuid": lambda: rng.choice(["u", "", 0, 7, None]),
                        "name": lambda: rng.choice(["", text(rng, 4), None]),
                        "category": lambda: "T",
                        "text": lambda: text(rng, 4),
                        "offset": lambda: position(rng),
                        "length": lambda: position(rng, 5)})


def entity_list(rng):
    if rng.random() < 0.05:
        return junk(rng)
    entities = [entity(rng) for _ in range(rng.randrange(6))]
    if rng.random() < 0.1:  # placed and copied, and nested right at the limit or past it
        entities.append({"text": "a", "offset": 0, "length": 0, "deep": deep(MAX_RECORD_DEPTH - rng.choice([2, 1]))})
    return entities


def case(rng, operation):
    """(input record, argument) for `operation`."""
    if operation == "merge":
        kind = rng.choice(["ner", "relation", "ner", "relation", "NER"])
        def results():
            if kind == "relation":
                return [record(rng, {"head": lambda: entity(rng), "tail": lambda: entity(rng), "type": lambda: "r"})
                        for _ in range(rng.randrange(3))]
            return entity_list(rng)
        segments = [record(rng, {"offset": lambda: position(rng, 300), "nes": results, "relations": results})
                    for _ in range(rng.randrange(5))]
        return (segments if rng.random() < 0.97 else junk(rng)), kind
    if operation == "extract":
        return record(rng, {rng.choice(["text", "zh_content", "content_zh"]): lambda: text(rng, 20),
                            "entities": lambda: entity_list(rng)}), ""
    if operation == "related_entities":
        return {"seg": record(rng, {"text": lambda: text(rng, 8), "offset": lambda: position(rng)}),
                "ref_entities": entity_list(rng)}, ""
    if operation == "split":
        feature_set = record(rng, {"text": lambda: text(rng, 30), "nes": lambda: entity_list(rng)})
        return record(rng, {"feature_set": lambda: feature_set, "text": lambda: text(rng, 30),
                            "length": lambda: rng.choice([1, 3, 5, 8, 2.9, 0, -1, 2 ** 63])}), \
            rng.choice(["relation", "relation", "ner"])
    if operation == "judge":
        return {"ne": entity(rng), "segment": record(rng, {"offset": lambda: position(rng),
                                                           "length": lambda: position(rng)})}, ""
    def mostly(good, *bad):
        return lambda: rng.choice(bad) if rng.random() < 0.08 else good
    word = {"id": lambda: position(rng), "text": lambda: text(rng, 4), "offset": lambda: position(rng),
            "length": lambda: position(rng), "pos": mostly("NN", None, 3),
            "sentence_id": mostly(1, None, 2.5, "x"), "relation": mostly("r", None, 1),
            "mask": mostly(True, None, 1), "lemma": mostly("l", None, 2)}
    sentence = {"id": lambda: position(rng), "offset": lambda: position(rng), "length": lambda: position(rng),
                "text": lambda: text(rng, 4),
                "clauses": lambda: [record(rng, {"id": lambda: 0, "tense": lambda: "done", "offset": lambda: 0,
                                                 "length": lambda: position(rng), "text": lambda: "x"})]}
    if operation in ("word", "en_word"):
        return record(rng, word), ""
    if operation == "sentence":
        return record(rng, sentence), ""
    return record(rng, {"words": lambda: [record(rng, word) for _ in range(rng.randrange(3))],
                        "nes": lambda: [junk(rng) if rng.random() < 0.1 else entity(rng) for _ in range(2)],
                        "sentences": lambda: [record(rng, sentence)], "text": lambda: text(rng, 5)}), ""


def python_path(operation, value, argument):
    if operation == "merge":
        return Stitcher().merge(value, argument)
    if operation == "extract":
        return Gleaner().extract(value)
    if operation == "related_entities":
        return Gleaner()._related_entities(value["seg"], value["ref_entities"])
    if operation == "split":
        return Sectioner().split(value, argument)
    if operation == "judge":
        return Sectioner()._judge_entity_in_segment(value["ne"], value["segment"])
    reader = {"word": base.Word, "sentence": base.Sentence, "feature_set": base.FeatureSet,
              "en_word": en.Word, "en_feature_set": en.FeatureSet}[operation]
    return reader.from_json(value).to_json()


def outcome(run):
    """("ok", value) or ("failed", kind, code, message)."""
    try:
        return ("ok", run())
    except KvException as e:
        return ("failed", "KvException", e.code, e.message)
    except (TypeError, KeyError) as e:
        return ("failed", type(e).__name__, None, str(e))


def same_text(value):
    """JSON text of a value, key order kept, for an exact comparison."""
    return json.dumps(value, ensure_ascii=False)


OPERATIONS = ["merge", "extract", "related_entities", "split", "judge", "word", "sentence", "feature_set",
              "en_word", "en_feature_set"]


@pytest.mark.parametrize("operation", OPERATIONS)
def test_python_objects_and_library_records_agree(operation):
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10000)  # the deep values, through json and ==
    try:
        rng = random.Random(operation)
        failures = 0
        for round_ in range(250):
            value, argument = case(rng, operation)
            source = json.dumps(value)
            objects = json.loads(source)
            mine = outcome(lambda: python_path(operation, objects, argument))
            theirs = outcome(lambda: json.loads(library_path(operation, source, argument)))
            where = "%s round %d: %s" % (operation, round_, source[:300])
            if theirs[0] == "failed":
                failures += 1
                assert mine == theirs, where
                # A failure changes nothing.
                assert same_text(objects) == same_text(json.loads(source)), where
            else:
                assert mine[0] == "ok", (where, mine)
                assert same_text(json.loads(same_text(mine[1]))) == same_text(theirs[1]["result"]), where
                assert same_text(objects) == same_text(theirs[1]["input"]), where
        assert 0 < failures < 250, "the cases should mix successes and failures"
    finally:
        sys.setrecursionlimit(limit)
