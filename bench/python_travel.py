#!/usr/bin/python3
"""What it costs Python to move the big objects between processes: built
once, then pickled, saved and loaded, instead of built again.

    /usr/bin/python3 bench/python_travel.py BUILD-DIR

The data: the automaton of python3-jieba's dict.txt (349,046 words, the
first field of each line) and the benchmark's 100,000 x 300 word2vec file
(bench/data/embedding.txt and .bin, from make_embeddings).

Measured, CPU time of this process, median of RUNS (5) calls:
- the automaton: Automaton(words) from the word list in memory, against
  pickle.loads of its pickle and Automaton.load of its saved file (target:
  both at least 5 times faster than building it);
- the vector store: Embedding of the word2vec text and binary files,
  against Embedding of the saved file and pickle.loads (target: the saved
  file at least 50 times faster than the text);
- a list of 1,000,000 matcher.Word: pickle.dumps plus pickle.loads
  (target: at most 1 s, at most 50 bytes a Word).
Prints one JSON line per measurement; exit status 1 when a target is missed.
"""
import gc
import json
import os
import pickle
import statistics
import sys
import tempfile
import time

import bench_packages

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("KELVRA_BENCH_DATA", os.path.join(HERE, "data"))
RUNS = 5


def cpu_median(function, runs=RUNS):
    """Median CPU seconds of `runs` calls, and the last result."""
    times, result = [], None
    for _ in range(runs):
        result = None
        gc.collect()
        start = time.process_time()
        result = function()
        times.append(time.process_time() - start)
    return statistics.median(times), result


def report(case, seconds, against=None, target=None, **extra):
    record = {"case": case, "ms": round(seconds * 1000, 2)}
    if against is not None:
        record["faster"] = round(against / seconds, 1)
    if target is not None:
        record["target"] = target
    record.update(extra)
    print(json.dumps(record, ensure_ascii=False), flush=True)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: bench/python_travel.py BUILD-DIR")
    build = sys.argv[1]
    sys.path.insert(0, os.path.join(build, "python"))
    from kelvra._native.retrieval import word_list
    from kelvra.nlp.common.embedding.embedding import Embedding
    from kelvra.nlp.common.matcher import Automaton, Word

    bench_packages.ensure_packages("python_travel", ("python3-jieba",))
    with open(bench_packages.jieba_dictionary("python_travel"), "rb") as f:
        words = word_list(f.read())
    bench_packages.embedding_files(build, DATA)
    text_vectors = os.path.join(DATA, "embedding.txt")
    failed = False
    with tempfile.TemporaryDirectory() as scratch:
        built_s, automaton = cpu_median(lambda: Automaton(words))
        report("automaton: build", built_s, words=len(automaton))
        dumps_s, data = cpu_median(lambda: pickle.dumps(automaton, protocol=pickle.HIGHEST_PROTOCOL))
        report("automaton: pickle.dumps", dumps_s, mb=round(len(data) / 1e6, 1))
        loads_s, copy = cpu_median(lambda: pickle.loads(data))
        assert len(copy) == len(automaton)
        failed |= built_s / loads_s < 5
        report("automaton: pickle.loads", loads_s, built_s, ">= 5x build")
        saved = os.path.join(scratch, "jieba.kvac")
        automaton.save(saved)
        load_s, loaded = cpu_median(lambda: Automaton.load(saved))
        sample = "".join(words[:20000:37])
        assert [str(w) for w in loaded.search(sample)] == [str(w) for w in automaton.search(sample)]
        failed |= built_s / load_s < 5
        report("automaton: Automaton.load (mapped)", load_s, built_s, ">= 5x build")
        del copy, loaded, data

        text_s, embedding = cpu_median(lambda: Embedding(text_vectors), runs=3)
        report("embedding: word2vec text", text_s, words=len(embedding.wv_from_text),
               size=embedding.wv_from_text.vector_size)
        binary_s, _ = cpu_median(lambda: Embedding(os.path.join(DATA, "embedding.bin"), binary=True), runs=3)
        report("embedding: word2vec binary", binary_s, text_s)
        store = os.path.join(scratch, "embedding.kvwv")
        embedding.save(store)
        saved_s, mapped = cpu_median(lambda: Embedding(store))
        failed |= text_s / saved_s < 50
        report("embedding: Embedding(saved) (mapped)", saved_s, text_s, ">= 50x text",
               mb=round(os.path.getsize(store) / 1e6, 1))
        dumps_s, data = cpu_median(lambda: pickle.dumps(mapped, protocol=pickle.HIGHEST_PROTOCOL), runs=3)
        report("embedding: pickle.dumps", dumps_s)
        loads_s, copy = cpu_median(lambda: pickle.loads(data), runs=3)
        first = embedding.wv_from_text.index_to_key[0]
        assert copy.most_similar(first, 5) == embedding.most_similar(first, 5)
        report("embedding: pickle.loads", loads_s, text_s)
        del copy, data, mapped, embedding

    found = [Word("北京", 2, offset) for offset in range(1_000_000)]
    trip_s, data = cpu_median(lambda: pickle.dumps(found, protocol=pickle.HIGHEST_PROTOCOL), runs=3)
    back_s, back = cpu_median(lambda: pickle.loads(data), runs=3)
    assert len(back) == len(found) and back[-1].offset == found[-1].offset
    per_word = len(data) / len(found)
    failed |= trip_s + back_s > 1 or per_word > 50
    report("1M matcher.Word: dumps + loads", trip_s + back_s, target="<= 1 s, <= 50 bytes a Word",
           dumps_ms=round(trip_s * 1000), loads_ms=round(back_s * 1000), bytes_per_word=round(per_word, 1))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
