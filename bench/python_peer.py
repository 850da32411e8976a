#!/usr/bin/python3
"""The Python package's speed: the same data and runs as the peers that
Python users would otherwise call, and the C++ benchmarks' own figures.

    /usr/bin/python3 bench/python_peer.py BUILD-DIR    # a Release build

- Automaton from python3-jieba's dict.txt, searched over the 8 MB Chinese
  text of matcher_bench, every occurrence materialised as a Python object,
  against python3-ahocorasick (add_word / make_automaton, iter into a list).
- Embedding load of bench/data/embedding.txt (100,000 x 300, make_embeddings)
  against gensim's KeyedVectors.load_word2vec_format, and most_similar.
- Sectioner.split "ner" at length 510 over the same 8 MB, and one call on a
  short text, against segmentation_bench (BM_SectionerNer510,
  BM_SectionerNerShort).
- Normalizer.normalize over the text made traditional with OpenCC's s2t,
  against normalization_bench (BM_Normalize).

Times are CPU times of this process (best of a few runs), as the C++
benchmarks' are.
"""
import json
import os
import subprocess
import sys
import time
import warnings

import bench_packages

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("KELVRA_BENCH_DATA", os.path.join(HERE, "data"))


def cpu_best(function, runs=3):
    """Least CPU time of `runs` calls, and the last result."""
    best, result = None, None
    for _ in range(runs):
        result = None
        start = time.process_time()
        result = function()
        spent = time.process_time() - start
        best = spent if best is None else min(best, spent)
    return best, result


def cpp_figures(build, bench, pattern):
    """cpu_time in seconds of each benchmark of `bench` matching `pattern`."""
    out = subprocess.run([os.path.join(build, "bench", bench), "--benchmark_filter=" + pattern,
                          "--benchmark_format=json"], check=True, capture_output=True, text=True).stdout
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    # The benchmark may print notes of its own around the report.
    report, _ = json.JSONDecoder().raw_decode(out[out.index("{"):])
    return {b["name"]: b["cpu_time"] * scale[b["time_unit"]] for b in report["benchmarks"]}


def jieba_words():
    with open(bench_packages.jieba_dictionary("python_peer"), encoding="utf-8") as f:
        return [line.split()[0] for line in f if line.split()]


def report(name, ours, theirs, target):
    ratio = theirs / ours if ours > 0 else float("inf")
    print("%-44s ours %9.4f s  peer %9.4f s  %6.2fx  (target %s)" % (name, ours, theirs, ratio, target))


def matcher(build, text):
    import ahocorasick

    from kelvra.nlp.common.matcher import Automaton

    words = jieba_words()
    ours_build, automaton = cpu_best(lambda: Automaton(words))

    def peer_build():
        peer = ahocorasick.Automaton()
        for word in words:
            peer.add_word(word, (word, len(word)))
        peer.make_automaton()
        return peer

    peer_build_s, peer = cpu_best(peer_build)
    report("Automaton build (%d words)" % len(words), ours_build, peer_build_s, ">= 5x")
    ours_search, found = cpu_best(lambda: automaton.search(text))
    peer_search, peer_found = cpu_best(lambda: list(peer.iter(text)))
    assert len(found) == len(peer_found), (len(found), len(peer_found))
    for mine, (end, (word, length)) in zip(found[:1000], peer_found[:1000]):
        assert (mine.text, mine.length, mine.offset) == (word, length, end - length + 1)
    report("Automaton search, %d occurrences as objects" % len(found), ours_search, peer_search, ">= 10x")
    cpp = cpp_figures(build, "matcher_bench", "BM_MatcherSearchChinese$")
    if cpp:
        print("   C++ search of the same text (no Python objects): %.4f s" % next(iter(cpp.values())))


def embedding():
    from gensim.models import KeyedVectors

    from kelvra.nlp.common.embedding.embedding import Embedding

    path = os.path.join(DATA, "embedding.txt")
    ours_load, store = cpu_best(lambda: Embedding(path), runs=2)
    peer_load, peer = cpu_best(lambda: KeyedVectors.load_word2vec_format(path, binary=False), runs=1)
    report("Embedding load 100k x 300 text (vs load only)", ours_load, peer_load, ">= 10x")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        start = time.process_time()
        peer.init_sims(replace=True)
        normalise = time.process_time() - start
    report("Embedding load (vs load + init_sims)", ours_load, peer_load + normalise, "")
    queries = peer.index_to_key[:200]
    ours_similar, mine = cpu_best(lambda: [store.most_similar(w, 10) for w in queries])
    peer_similar, theirs = cpu_best(lambda: [peer.most_similar(w, topn=10) for w in queries])
    agree = sum(a[0][0] == b[0][0] for a, b in zip(mine, theirs))
    report("most_similar, 200 words, topk 10", ours_similar, peer_similar, ">= 1x")
    print("   same nearest word for %d of %d queries" % (agree, len(queries)))


def sectioner(build, text):
    from kelvra.nlp.common.sectioner import Sectioner

    cpp = cpp_figures(build, "segmentation_bench", "BM_SectionerNer")
    sectioner = Sectioner()
    ours, segments = cpu_best(lambda: sectioner.split({"text": text, "length": 510}, "ner"))
    base = cpp["BM_SectionerNer510"]
    print("%-44s python %9.4f s  C++ %9.4f s  %5.0f%% of C++ speed  (target >= 50%%)"
          % ("Sectioner.split ner 510, %d segments" % len(segments), ours, base, 100 * base / ours))
    short = {"text": "你好。再见！谢谢。", "length": 510}
    calls = 200000
    spent, _ = cpu_best(lambda: [sectioner.split(short, "ner") for _ in range(calls)])
    per_call, cpp_call = spent / calls, cpp["BM_SectionerNerShort"]
    print("%-44s python %7.2f us  C++ %7.2f us  +%.2f us  (target < 5 us more)"
          % ("Sectioner.split ner, short text, per call", per_call * 1e6, cpp_call * 1e6,
             (per_call - cpp_call) * 1e6))


def normalizer(build, traditional):
    from kelvra.nlp.common.normalizer import Normalizer

    cpp = cpp_figures(build, "normalization_bench", "BM_Normalize$")
    normalizer = Normalizer([])
    ours, result = cpu_best(lambda: normalizer.normalize(traditional))
    base = cpp["BM_Normalize"]
    print("%-44s python %9.4f s  C++ %9.4f s  %.2fx of C++ speed  (target >= 0.9x)"
          % ("Normalizer.normalize 8 MB traditional", ours, base, base / ours))
    listed, count = cpu_best(lambda: len(normalizer.normalize(traditional).alter_words))
    print("   with all %d AlterWord objects made: %.4f s (%.2fx of C++ speed)" % (count, listed, base / listed))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    sys.path.insert(0, os.path.join(build, "python"))
    try:
        import ahocorasick  # noqa: F401
        import gensim  # noqa: F401
    except ImportError as e:
        sys.exit("python_peer: %s; install python3-ahocorasick python3-gensim python3-jieba" % e)
    os.makedirs(DATA, exist_ok=True)
    zh = os.path.join(DATA, "matcher_zh.txt")
    if not os.path.exists(zh):
        subprocess.run([os.path.join(build, "bench", "matcher_bench"), "--write-texts", DATA], check=True)
    if not os.path.exists(os.path.join(DATA, "embedding.txt")):
        subprocess.run([os.path.join(build, "bench", "make_embeddings"), DATA], check=True)
    zht = os.path.join(DATA, "normalize_zht.txt")
    if not os.path.exists(zht):
        subprocess.run(["opencc", "-c", "s2t.json", "-i", zh, "-o", zht], check=True)
    with open(zh, encoding="utf-8") as f:
        text = f.read()
    with open(zht, encoding="utf-8") as f:
        traditional = f.read()
    import logging
    logging.disable(logging.WARNING)  # gensim's notices
    matcher(build, text)
    embedding()
    sectioner(build, text)
    normalizer(build, traditional)


if __name__ == "__main__":
    main()
