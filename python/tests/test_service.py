"""The maker's services and the Annotator through Python: exceptions,
configuration files, loggers, and feature extraction through a client."""
import json
import logging
import pickle

import pytest

from conftest import assert_type_error_names
from kelvra.common import ConfigUtil, LogUtil
from kelvra.common.exceptions import ErrorCodes, FileError, KvException
from kelvra.nlp.common.feature import lang
from kelvra.nlp.common.feature.annotator import Annotator, E_Types
from kelvra.nlp.common.feature.feature import FeatureSet, Word
from kelvra.nlp.common.feature.types import Types
from kvc.sdk import NlpClient


class StubClient(NlpClient):
    """Answers from memory instead of the network, and remembers the asks."""

    def __init__(self, answer):
        super().__init__("http://127.0.0.1:9")
        self.answer, self.asked = answer, []

    def features(self, text, types, lang, tag):
        self.asked.append((text, types, lang, tag))
        return self.answer


ANSWER = {"words": [{"id": 0, "text": "你好", "offset": 0, "length": 2}], "nes": []}


def test_error_codes_and_kv_exception():
    assert ErrorCodes.INVALID_PARAMETERS == 1001 and ErrorCodes(1001).name == "INVALID_PARAMETERS"
    error = KvException(ErrorCodes.INVALID_PARAMETERS, "bad")
    assert (error.code, error.message, str(error)) == (ErrorCodes.INVALID_PARAMETERS, "bad", "bad")


def test_config_and_loggers(tmp_path):
    path = tmp_path / "config.json"
    path.write_text('{"b": 1, "a": {"x": null}}', encoding="utf-8")
    config = ConfigUtil.load(str(path))
    assert config == {"b": 1, "a": {"x": None}} and list(config) == ["b", "a"]
    (tmp_path / "broken.json").write_text("{\n  oops", encoding="utf-8")
    with pytest.raises(FileError) as info:
        ConfigUtil.load(str(tmp_path / "broken.json"))
    assert "broken.json" in str(info.value) and isinstance(info.value, OSError)
    again = pickle.loads(pickle.dumps(info.value))  # as failures come back from Dask workers
    assert (type(again), str(again), again.path) == (FileError, str(info.value), info.value.path)
    error = pickle.loads(pickle.dumps(KvException(ErrorCodes.NOT_FOUND, "gone")))
    assert (error.code, error.message) == (ErrorCodes.NOT_FOUND, "gone")
    import kelvra.nlp.common.feature.annotator as annotator_module
    import kelvra.nlp.common.phraser as phraser_module
    assert phraser_module.logger is logging.getLogger("kelvra.nlp.common.phraser")
    assert annotator_module.logger is LogUtil.get_logger("kelvra.nlp.common.feature.annotator")


def test_annotator_with_a_ready_client():
    client = StubClient(ANSWER)
    annotator = Annotator(client)
    assert annotator.nlp_client is client and annotator.lang == "zh_cn"
    del client  # the annotator keeps its client (and its Python override) alive
    client = annotator.nlp_client
    assert Annotator.Types is E_Types is Types
    result = annotator.extract("你好", [Types.WORD, Annotator.Types.NER], tag="ignored")
    assert isinstance(result, FeatureSet) and isinstance(result.words[0], Word)
    assert result.words[0].text == "你好" and result.nes == []
    assert client.asked == [("你好", ["WORD", "NER"], "zh_cn", {})]
    client.answer = [ANSWER, ANSWER]
    assert len(annotator.extract(text="你好", types=[Types.POS])) == 2


def test_annotator_configuration_failures(tmp_path):
    with pytest.raises(KeyError) as info:
        Annotator({"lang": "zh_cn"})
    assert info.value.args == ("must specify a url",)
    with pytest.raises(KeyError) as info:
        Annotator({"kvc_sdk_url": "http://127.0.0.1:9", "lang": "xx"})
    assert info.value.args == ("the lang `xx` is not register!",)
    annotator = Annotator({"nlp_client": {"url": "http://127.0.0.1:9"}, "kvcloud_url": "http://other:1"})
    assert annotator.nlp_client.url == "http://127.0.0.1:9" and annotator.nlp_client.timeout == 60
    path = tmp_path / "annotator.json"
    path.write_text(json.dumps({"kvcloud_url": "http://127.0.0.1:9", "timeout": None}), encoding="utf-8")
    assert Annotator(str(path)).nlp_client.timeout is None
    assert_type_error_names("param", Annotator, 5)
    assert_type_error_names("types", annotator.extract, "x", (Types.WORD,))
    assert_type_error_names("tag", annotator.extract, "x", [Types.WORD], 3)
    assert_type_error_names("text", annotator.extract, None, [Types.WORD])


def test_unreachable_service_is_a_kv_exception():
    annotator = Annotator({"kvcloud_url": "http://127.0.0.1:9", "timeout": 2})
    with pytest.raises(KvException) as info:
        annotator.extract("x", [Types.WORD])
    assert info.value.code is ErrorCodes.REMOTE_ERROR


def test_client_trusts_a_ca_file_it_is_given(tmp_path):
    # Kept, shown and travelling with the client; an https exchange uses it
    # (a file that is not PEM fails as an untrusted or unloadable certificate).
    ca_file = tmp_path / "ca.pem"
    ca_file.write_text("not a certificate")
    client = NlpClient("https://127.0.0.1:9", 2, ca_file=str(ca_file))
    assert client.ca_file == str(ca_file)
    assert repr(client).endswith(f", ca_file={str(ca_file)!r})")
    assert pickle.loads(pickle.dumps(client)).ca_file == str(ca_file)
    assert NlpClient("http://h").ca_file is None
    with pytest.raises(TypeError, match="ca_file"):
        NlpClient("http://h", ca_file=3)
    with pytest.raises(TypeError):
        NlpClient("http://h", None, None, str(ca_file))  # by name only
    with pytest.raises(KvException) as info:
        client.features("x", ["WORD"], "zh_cn")
    assert info.value.code is ErrorCodes.REMOTE_ERROR


def test_language_registry():
    assert "zh_cn" in lang.codes()
    assert lang.get("xx") is None and lang.get("xx", "fallback") == "fallback"
    extractor = lang.get("zh_cn")(StubClient(ANSWER), {})
    assert extractor.extract("你好", [Types.WORD]).words[0].text == "你好"
