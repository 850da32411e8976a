"""Normalizer and Cantonese through Python: results as records, switches,
kinds, and the dictionary's log line through Python's logging."""
import logging
import os
import re
import subprocess
import sys

import pytest

from conftest import assert_type_error_names
from kelvra.nlp.common import Q2B, replace_ctrl_char
from kelvra.nlp.common.normalizer import AlterWord, Normalizer, Text


def test_normalize_reports_changes_in_input_offsets():
    result = Normalizer([]).normalize("頭髮 Ａ\x07")
    assert isinstance(result, Text) and result.text == "頭髮 Ａ\x07"
    assert result.normalized_text == "头发 A "
    assert [(w.text, w.normalized_text, w.offset) for w in result.alter_words] == [
        ("頭", "头", 0), ("髮", "发", 1), ("Ａ", "A", 3), ("\x07", " ", 4)]
    assert result.alter_words is result.alter_words
    repeated = Normalizer([]).normalize("Ａ頭Ａ").alter_words
    assert repeated[0].text is repeated[2].text and repeated[0].normalized_text is repeated[2].normalized_text
    assert str(result.alter_words[2]) == "{'text': 'Ａ', 'normalized_text': 'A', 'offset': 3}"


def test_normalize_switches_are_tested_for_truth_and_named():
    normalizer = Normalizer(validChrList=None)
    plain = normalizer.normalize("頭Ａ", is_q2b=False, is_replace=False, is_to_zhs=False)
    assert plain.normalized_text == "頭Ａ" and plain.alter_words == []
    assert normalizer.normalize(text="頭", is_to_zhs=False, is_q2b=True).alter_words == []
    # Any value is tested for truth, as Python tests it.
    assert normalizer.normalize("頭Ａ", 0, None, []).normalized_text == "頭Ａ"
    assert normalizer.normalize("頭Ａ", 1, "yes", [0]).normalized_text == "头A"
    assert_type_error_names("text", normalizer.normalize, None)
    kept = Normalizer(["\u200b"])
    assert kept.validChrList == ["\u200b"] and kept.normalize("\u200b").alter_words == []


def test_text_and_alter_word_records():
    word = AlterWord("\t", "\u3000", offset=2.7)
    assert word.offset == 2 and str(word) == str({"text": "\t", "normalized_text": "\u3000", "offset": 2})
    assert AlterWord.from_json(word.to_json()) == word
    text = Text("a", "a", [word])
    assert text.to_json() == {"text": "a", "normalized_text": "a", "alter_words": [word.to_json()]}
    text.alter_words.append(AlterWord("b", "c", 1))
    assert len(text.to_json()["alter_words"]) == 2
    text.alter_words = None
    assert text.to_json()["alter_words"] is None
    assert_type_error_names("alter_words", Text, "a", "a", None)
    assert_type_error_names("offset", AlterWord, "a", "b", "1")
    with pytest.raises(TypeError):
        word.text = 5


def test_package_root_functions():
    assert Q2B("ＡＢＣ　１２３") == "ABC 123"
    assert replace_ctrl_char("\x07", []) == " "
    assert replace_ctrl_char(ch="\u200b", validChrList={"\u200b"}) == "\u200b"
    assert_type_error_names("value", Q2B, 1)
    with pytest.raises(TypeError):
        replace_ctrl_char("ab", [])


def test_converters_are_objects_that_convert_as_the_normaliser_does():
    from kelvra.nlp.common.lang.cantonese import Cantonese
    from kelvra.nlp.common.normalizer import OpenCC

    normalizer = Normalizer([])
    assert normalizer.cc is normalizer.cc and isinstance(Cantonese.converter, OpenCC)
    assert Cantonese().converter is Cantonese.converter
    for text in ("乾隆的頭髮著作", "", "ＡＢ\x07\x00頭", "😀瞭解"):
        expected = normalizer.normalize(text, is_q2b=False, is_replace=False).normalized_text
        assert normalizer.cc.convert(text) == Cantonese.converter.convert(text=text) == OpenCC().convert(text) == expected
    assert_type_error_names("text", normalizer.cc.convert, b"x")
    from kelvra.common.exceptions import FileError
    with pytest.raises(FileError, match="no_such_config"):
        OpenCC("no_such_config")


def test_cantonese_translates_and_logs_through_python_logging(tmp_path, caplog):
    from kelvra.nlp.common.lang.cantonese import LOG_FORMAT, Cantonese
    dictionary = tmp_path / "c2m.tsv"
    dictionary.write_text("佢哋\t他们\n係\t是\n係\t是\n", encoding="utf-8")
    with caplog.at_level(logging.INFO, logger="kelvra.nlp.common.lang.cantonese"):
        cantonese = Cantonese(dict_file=str(dictionary))
    assert cantonese.translate("佢哋係") == "他们是"
    assert cantonese._c2m == {"佢哋": "他们", "系": "是"}
    (record,) = [r for r in caplog.records if r.name == "kelvra.nlp.common.lang.cantonese"]
    assert record.levelname == "INFO" and record.lineno > 0
    assert record.getMessage() == "Loaded 2 cantonese-mandarin pairs from %s" % dictionary
    assert LOG_FORMAT == "[%(asctime)s] [%(levelname)s] [%(name)s:%(lineno)s] %(message)s"
    assert Cantonese.SEPERATOR == "\t"
    assert_type_error_names("text", cantonese.translate, 3)
    assert_type_error_names("dict_file", Cantonese, 3)
    with pytest.raises(OSError):
        Cantonese(str(tmp_path / "missing.tsv"))


def test_cantonese_rules_lines_are_cut_at_tabs_before_their_fields_are_trimmed(tmp_path):
    from kelvra.common.exceptions import FileError
    from kelvra.nlp.common.lang.cantonese import Cantonese
    rules = tmp_path / "rules.tsv"
    rules.write_text(" 好 \t 很 \t before:忙  cantonese \t\n佢\t他\tmarks\n", encoding="utf-8")
    assert Cantonese(rules_file=str(rules)).translate("佢好忙") == "他很忙"
    # A leading tab leaves the first field empty: an error naming the line,
    # where the fields used to shift (你 became "before:x").
    rules.write_text("# ok\n\t你\tbefore:x\n", encoding="utf-8")
    with pytest.raises(FileError, match=re.escape("%s:2: no word before the first tab" % rules)):
        Cantonese(rules_file=str(rules))
    # The dictionary keeps its own reading: the line is trimmed first.
    dictionary = tmp_path / "c2m.tsv"
    dictionary.write_text("\t佢\t俺\n", encoding="utf-8")
    assert Cantonese._load(str(dictionary)) == {"佢": "俺"}


def test_cantonese_translates_from_many_threads_at_once():
    from concurrent.futures import ThreadPoolExecutor

    from kelvra.nlp.common.lang.cantonese import Cantonese
    cantonese = Cantonese()
    texts = ["佢哋而家喺邊度食緊飯？你食唔食得辣？" * (i % 7 + 1) for i in range(64)]
    expected = [cantonese.translate(t) for t in texts]
    with ThreadPoolExecutor(4) as pool:
        assert list(pool.map(cantonese.translate, texts)) == expected


def test_cantonese_log_line_layout_and_silencing():
    # A fresh interpreter: importing the module sets up logging in LOG_FORMAT.
    code = "from kelvra.nlp.common.lang.cantonese import Cantonese; Cantonese()"
    shown = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ)
    assert shown.returncode == 0, shown.stderr
    assert re.fullmatch(r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}\] \[INFO\] "
                        r"\[kelvra\.nlp\.common\.lang\.cantonese:\d+\] Loaded \d+ cantonese-mandarin "
                        r"pairs from .*c2m\.tsv\n", shown.stderr), shown.stderr
    quiet = "import logging; logging.disable(logging.INFO); " + code
    silenced = subprocess.run([sys.executable, "-c", quiet], capture_output=True, text=True, env=os.environ)
    assert silenced.returncode == 0 and silenced.stderr == ""
