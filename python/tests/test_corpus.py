"""Corpus runs and pipelines of one's own on two worker processes (Dask and
multiprocessing) give the single-process result, record for record, with
the toolkit's objects made once and sent to the workers."""
import json
import multiprocessing
import os
import subprocess
import sys

import pytest

from kelvra import corpus
from kelvra.nlp.common.matcher import Automaton
from kelvra.nlp.common.normalizer import Normalizer
from kelvra.nlp.common.sectioner import Sectioner
from kelvra.nlp.common.stitcher import Stitcher

TEXTS = ["北京歡迎你。上海也歡迎你！" * 40, "ＡＢＣ\x07北京\n上海", "", "没有词。"]


@pytest.fixture
def small_corpus(tmp_path):
    folder = tmp_path / "corpus"
    (folder / "sub").mkdir(parents=True)
    for i, text in enumerate(TEXTS * 3):
        target = folder / ("sub" if i % 2 else "") / ("doc%02d.txt" % i)
        target.write_text(text, encoding="utf-8")
    dictionary = tmp_path / "words.txt"
    dictionary.write_bytes("\ufeff北京 10 ns\n上海\t9 ns\r\n欢迎\n ABC\nABC\n".encode())
    return folder, dictionary


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes, shared by the tests of this module."""
    from distributed import LocalCluster

    made = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None)
    yield made
    made.close(timeout=60)  # a loaded machine may need longer than the default


def run(args):
    done = subprocess.run([sys.executable, "-m", "kelvra.corpus", *args], capture_output=True, text=True,
                          env=os.environ, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_two_workers_equal_one_process(small_corpus, tmp_path, cluster):
    folder, dictionary = small_corpus
    single = run([str(folder), "--dict", str(dictionary), "--length", "20", "--single-process"])
    assert len(single) == 12
    first = json.loads(single[0])
    assert first["path"] == "doc00.txt" and first["segments"] > 1
    assert [e["text"] for e in first["entities"][:3]] == ["北京", "欢迎", "上海"]
    assert first["entities"][2]["offset"] == 6
    output = tmp_path / "out.jsonl"
    run([str(folder), "--dict", str(dictionary), "--length", "20", "--workers", "2", "--partitions", "5",
         "-o", str(output)])
    assert output.read_text(encoding="utf-8").splitlines() == single
    # A saved automaton, mapped by each worker of a running cluster.
    saved = str(tmp_path / "words.kvac")
    corpus.load_dictionary(str(dictionary)).save(saved)
    assert run([str(folder), "--automaton", saved, "--length", "20", "--scheduler", cluster.scheduler_address]) == single
    # Workers that write their lines into part files of a shared folder,
    # which is left as it was.
    shared = tmp_path / "shared"
    shared.mkdir()
    assert run([str(folder), "--automaton", saved, "--length", "20", "--scheduler", cluster.scheduler_address,
                "--parts-dir", str(shared), "--partitions", "3"]) == single
    assert list(shared.iterdir()) == []
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".kelvra")] == []


def test_dictionary_reading_document_fields_and_bad_input(small_corpus, tmp_path):
    folder, dictionary = small_corpus
    # The first field before a blank or tab; the byte order mark dropped; a
    # line that starts with a blank holds no word.
    assert len(corpus.load_dictionary(str(dictionary))) == 4
    record = json.loads(run([str(folder / "sub" / "doc01.txt"), "--dict", str(dictionary), "--single-process"])[0])
    assert record["changes"] == 4 and record["entities"][0] == {"text": "ABC", "offset": 0, "length": 3}
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"ok\xff")
    # In this process, or in a forked worker: the failure names the file and
    # no part file is left behind.
    for road in (["--single-process"], ["--workers", "2"]):
        failed = subprocess.run([sys.executable, "-m", "kelvra.corpus", str(bad), str(folder), *road,
                                 "-o", str(tmp_path / "out.jsonl")], capture_output=True, text=True, env=os.environ)
        assert failed.returncode != 0 and "bad.txt: not valid UTF-8 at byte 2" in failed.stderr, failed.stderr
        assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".kelvra")] == []
    for option, content, message in (("--dict", b"ok\n\xff\xfe 1\n", "bad.kvac: line 2: a word that is not valid UTF-8"),
                                     ("--automaton", b"KELVRAAC", "bad.kvac")):
        damaged = tmp_path / "bad.kvac"
        damaged.write_bytes(content)
        failed = subprocess.run([sys.executable, "-m", "kelvra.corpus", str(folder), option, str(damaged)],
                                capture_output=True, text=True, env=os.environ)
        assert failed.returncode == 2 and message in failed.stderr, failed.stderr


def test_kind_whole_words_and_folding_reach_the_search(tmp_path):
    document = tmp_path / "doc.txt"
    document.write_text("STRASSE abcd 頭髮", encoding="utf-8")
    dictionary = tmp_path / "words.txt"
    dictionary.write_text("straße\nab\nabc\nbcd\n头发\n", encoding="utf-8")

    def entities(*options):
        line = run([str(document), "--dict", str(dictionary), "--single-process", *options])[0]
        return [(e["text"], e["offset"]) for e in json.loads(line)["entities"]]

    # The road normalises first: 頭髮 is 头发 by then.
    assert entities() == [("ab", 8), ("abc", 8), ("bcd", 9), ("头发", 13)]
    assert entities("--kind", "leftmost-longest", "--fold", "case") == [
        ("STRASSE", 0), ("abc", 8), ("头发", 13)]
    assert entities("--whole-words") == [("头发", 13)]
    for options, message in ((["--fold", "accents"], "--fold"), (["--kind", "longest"], "--kind")):
        failed = subprocess.run([sys.executable, "-m", "kelvra.corpus", str(document), "--dict",
                                 str(dictionary), *options], capture_output=True, text=True, env=os.environ)
        assert failed.returncode == 2 and message in failed.stderr, failed.stderr


def test_dictionary_is_the_word_list_of_the_command_line(tmp_path):
    cli = os.environ.get("KELVRA_NLP_CLI")
    if not cli:
        pytest.skip("KELVRA_NLP_CLI names no kelvra-nlp to compare with")
    from kelvra._native.retrieval import word_list

    # A byte order mark, blanks and tabs after words, CRLF, empty lines, lines
    # that start with a blank or tab, the ideographic space (not a separator),
    # a CR inside a line and one at the end of the file.
    dictionary = tmp_path / "awkward.txt"
    dictionary.write_bytes("\ufeff北京 10 ns\r\n上海\t9\n\n \n\t欢迎\n欢迎  \r\n甲\u3000乙 3\na\rb\nABC\r".encode())
    assert word_list(dictionary.read_bytes()) == ["北京", "上海", "欢迎", "甲\u3000乙", "a\rb", "ABC"]
    saved = tmp_path / "cli.kvac"
    done = subprocess.run([cli, "match", "--dict", str(dictionary), "--save-automaton", str(saved)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    ours = tmp_path / "corpus.kvac"
    corpus.load_dictionary(str(dictionary)).save(str(ours))
    assert ours.read_bytes() == saved.read_bytes()


def test_occurrence_json_is_the_record_text_of_the_command_line(tmp_path):
    cli = os.environ.get("KELVRA_NLP_CLI")
    if not cli:
        pytest.skip("KELVRA_NLP_CLI names no kelvra-nlp to compare with")
    from kelvra._native.retrieval import words_json

    # Quotes, backslashes, control characters and characters beyond the
    # Basic Multilingual Plane in the words; the command line's lines joined
    # as a list are the binding's text, character for character.
    words = ['a"b', "c\\d", "e\x01f", "𝔸北", "北京"]
    dictionary = tmp_path / "words.txt"
    dictionary.write_text("".join(w + "\n" for w in words), encoding="utf-8")
    text = "在" + "，".join(words) + "。"
    document = tmp_path / "text.txt"
    document.write_text(text, encoding="utf-8")
    done = subprocess.run([cli, "match", "--dict", str(dictionary), str(document)],
                          capture_output=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.decode("utf-8").splitlines()
    found = Automaton(words).search(text)
    assert len(found) == len(lines) >= len(words)
    assert words_json(found) == "[" + ",".join(lines) + "]"
    assert [w.to_json() for w in found] == [json.loads(line) for line in lines]
    # U+2028 and U+2029 stay as json.dumps leaves them (the command line
    # escapes them, so that a reader of lines sees one record a line).
    odd = Automaton(["x\u2028y\u2029"]).search("ax\u2028y\u2029")
    assert words_json(odd) == json.dumps([w.to_json() for w in odd], ensure_ascii=False,
                                         separators=(",", ":"))


def test_lines_are_json_dumps_of_the_records(tmp_path):
    document = tmp_path / "quotes.txt"
    document.write_text('他说 a"b\\c北 和 a"b\\c北。' * 3, encoding="utf-8")
    tools = corpus.make_tools()[:3] + (Automaton(['a"b\\c北', "北", "他说"]),)
    [line] = corpus.process_partition([(str(document), 'quo"te.txt')], tools, 100)
    record = corpus.process_document(str(document), 'quo"te.txt', tools, 100)
    assert line == json.dumps(record, ensure_ascii=False, separators=(",", ":"))
    assert len(record["entities"]) == 15 and record["entities"][1] == {"text": 'a"b\\c北', "length": 6, "offset": 3}


def test_overlap_finds_words_cut_at_an_edge_once(tmp_path):
    document = tmp_path / "long.txt"
    document.write_text("甲乙丙丁戊己庚辛壬癸" * 30, encoding="utf-8")  # one sentence, cut every 7
    tools = corpus.make_tools()[:3] + (Automaton(["丁戊己", "癸甲"]),)
    whole = len(tools[3].search(document.read_text(encoding="utf-8")))
    without = corpus.process_document(str(document), "long.txt", tools, 7)
    with_overlap = corpus.process_document(str(document), "long.txt", tools, 7, overlap=4)
    assert len(without["entities"]) < whole
    assert sorted(e["offset"] for e in with_overlap["entities"]) == sorted(
        w.offset for w in tools[3].search(document.read_text(encoding="utf-8")))
    [line] = corpus.process_partition([(str(document), "long.txt")], tools, 7, 4)
    assert json.loads(line) == with_overlap
    out = tmp_path / "out.jsonl"
    dictionary = tmp_path / "words.txt"
    dictionary.write_text("丁戊己\n癸甲\n", encoding="utf-8")
    assert corpus.main([str(document), "--dict", str(dictionary), "--length", "7", "--overlap", "4",
                        "--single-process", "-o", str(out)]) == 0
    assert len(json.loads(out.read_text(encoding="utf-8"))["entities"]) == whole


def test_partitions_keep_order():
    assert corpus.partitions_of(list(range(5)), 2) == [[0, 1, 2], [3, 4]]
    assert corpus.partitions_of([1], 8) == [[1]]
    # Tapering runs cover the items in order, shrink toward the end and
    # keep to the floor of 1/(16 * workers).
    for count in (0, 1, 7, 100, 480, 1001):
        for workers in (1, 2, 5):
            runs = corpus._tapering_runs(list(range(count)), workers)
            assert [item for run in runs for item in run] == list(range(count))
            sizes = [len(run) for run in runs]
            assert all(a >= b for a, b in zip(sizes, sizes[1:-1]))
            assert all(size >= max(1, count // (16 * workers)) for size in sizes[:-1])


# --- pipelines of one's own, as docs/python.md shows them ---

def entities_of(texts, tools):
    """The stitched occurrences of each text, as matcher.Word objects."""
    normalizer, sectioner, stitcher, automaton = tools
    out = []
    for text in texts:
        segments = sectioner.split({"text": normalizer.normalize(text).normalized_text, "length": 30}, "ner")
        for segment in segments:
            segment["nes"] = automaton.search(segment["text"])
        out.append(stitcher.merge(segments, "ner"))
    return out


def plain(results):
    return [[(w.text, w.length, w.offset) for w in found] for found in results]


def make_tools():
    return (Normalizer([]), Sectioner(), Stitcher(), Automaton(["北京", "欢迎", "上海", "ABC"]))


_TOOLS = None


def keep_tools(tools):
    global _TOOLS
    _TOOLS = tools


def entities_with_kept_tools(text):
    return entities_of([text], _TOOLS)[0]


def test_dask_bag_and_multiprocessing_pool_take_the_objects(cluster):
    import cloudpickle
    import dask.bag as db
    from distributed import Client

    texts = TEXTS * 4
    tools = make_tools()
    single = plain(entities_of(texts, tools))
    assert sum(map(len, single)) > 100
    # Functions of this module travel by value: the workers do not import it.
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    with Client(cluster) as client:
        shared = client.scatter(tools, broadcast=True)
        bag = db.from_sequence(texts, npartitions=4)
        assert plain(bag.map_partitions(entities_of, shared).compute()) == single
        assert plain(bag.map(lambda text, automaton: automaton.search(text), tools[3]).compute()) == \
            plain(tools[3].search(text) for text in texts)
    # Worker processes started afresh (spawn), which receive pickles only.
    context = multiprocessing.get_context("spawn")
    with context.Pool(2, initializer=keep_tools, initargs=(tools,)) as pool:
        assert plain(pool.map(entities_with_kept_tools, texts, chunksize=3)) == single
        # Or with the objects as arguments of each task.
        assert [plain(found) for found in pool.starmap(entities_of, [([text], tools) for text in texts[:4]])] == \
            [[found] for found in single[:4]]
