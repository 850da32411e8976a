"""The Dask corpus runner: two worker processes give the single-process
result, record for record."""
import json
import os
import subprocess
import sys

import pytest

from kelvra import corpus


@pytest.fixture
def small_corpus(tmp_path):
    folder = tmp_path / "corpus"
    (folder / "sub").mkdir(parents=True)
    texts = ["北京歡迎你。上海也歡迎你！" * 40, "ＡＢＣ\x07北京\n上海", "", "没有词。"]
    for i, text in enumerate(texts * 3):
        target = folder / ("sub" if i % 2 else "") / ("doc%02d.txt" % i)
        target.write_text(text, encoding="utf-8")
    dictionary = tmp_path / "words.txt"
    dictionary.write_text("北京 10 ns\n上海 9 ns\n欢迎\nABC\n", encoding="utf-8")
    return folder, dictionary


def run(args):
    done = subprocess.run([sys.executable, "-m", "kelvra.corpus", *args], capture_output=True, text=True,
                          env=os.environ, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_two_workers_equal_one_process(small_corpus, tmp_path):
    folder, dictionary = small_corpus
    single = run([str(folder), "--dict", str(dictionary), "--length", "20", "--single-process"])
    output = tmp_path / "out.jsonl"
    run([str(folder), "--dict", str(dictionary), "--length", "20", "--workers", "2", "--partitions", "5",
         "-o", str(output)])
    clustered = output.read_text(encoding="utf-8").splitlines()
    assert clustered == single and len(single) == 12
    first = json.loads(single[0])
    assert first["path"] == "doc00.txt" and first["segments"] > 1
    assert [e["text"] for e in first["entities"][:3]] == ["北京", "欢迎", "上海"]
    assert first["entities"][2]["offset"] == 6


def test_document_fields_and_bad_input(small_corpus, tmp_path):
    folder, dictionary = small_corpus
    record = json.loads(run([str(folder / "sub" / "doc01.txt"), "--dict", str(dictionary), "--single-process"])[0])
    assert record["changes"] == 4 and record["entities"][0] == {"text": "ABC", "offset": 0, "length": 3}
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"ok\xff")
    failed = subprocess.run([sys.executable, "-m", "kelvra.corpus", str(bad), "--single-process"],
                            capture_output=True, text=True, env=os.environ)
    assert failed.returncode != 0 and "bad.txt: not valid UTF-8 at byte 2" in failed.stderr


def test_partitions_keep_order():
    assert corpus.partitions_of(list(range(5)), 2) == [[0, 1, 2], [3, 4]]
    assert corpus.partitions_of([1], 8) == [[1]]


def test_running_scheduler_by_address(small_corpus):
    from distributed import LocalCluster

    folder, dictionary = small_corpus
    single = run([str(folder), "--dict", str(dictionary), "--single-process"])
    cluster = LocalCluster(n_workers=1, threads_per_worker=2, processes=False, protocol="tcp://",
                           host="127.0.0.1", dashboard_address=None)
    try:
        remote = run([str(folder), "--dict", str(dictionary), "--scheduler", cluster.scheduler_address])
    finally:
        cluster.close(timeout=60)  # a loaded machine may need longer than the default
    assert remote == single
