#!/usr/bin/python3
"""What N Python worker processes (multiprocessing, spawned) cost in memory
when each loads the same saved automaton or vector store, beside each
receiving its own copy by pickle: the Python side of shared_memory.py.

    /usr/bin/python3 bench/python_shared_memory.py BUILD-DIR [WORKERS]

The data: the automaton of python3-jieba's dict.txt and the benchmark's
100,000 x 300 word2vec file, each saved once (Automaton.save,
Embedding.save). Each worker of a multiprocessing Pool (spawn: started
afresh, so that nothing of this process's memory is counted) imports the
package, notes its proportional set size (Pss, /proc/self/smaps_rollup),
loads the data (Automaton.load or Embedding of the saved file, or
pickle.loads of the object's pickle), and waits until every worker has
loaded before it notes its Pss again, so that the pages shared between them
are counted once among them.

Prints one JSON line per case: the total Pss of one worker and of WORKERS
(default 8), whole processes, and what loading the data added, and the
ratios. For the saved files the data must cost WORKERS processes no more
than 1.5 times what it costs one (exit status 1 otherwise); an interpreter
of its own in each worker is private memory that no file can share, so
whole processes are shown beside.
"""
import json
import multiprocessing
import os
import pickle
import sys
import tempfile

import bench_packages

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("KELVRA_BENCH_DATA", os.path.join(HERE, "data"))
LIMIT = 1.5


def pss_bytes():
    with open("/proc/self/smaps_rollup") as rollup:
        for line in rollup:
            if line.startswith("Pss:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no Pss")


def load(kind, source):
    from kelvra.nlp.common.embedding.embedding import Embedding
    from kelvra.nlp.common.matcher import Automaton

    if kind == "automaton":
        return Automaton.load(source)
    if kind == "store":
        return Embedding(source)
    with open(source, "rb") as f:
        return pickle.loads(f.read())


def worker(kind, source, barrier):
    """(Pss before loading, Pss with the data, once all have loaded)."""
    import kelvra.nlp.common.embedding.embedding  # noqa: F401 (the package, imported before measuring)
    import kelvra.nlp.common.matcher  # noqa: F401

    before = pss_bytes()
    data = load(kind, source)
    barrier.wait()
    after = pss_bytes()
    barrier.wait()  # nobody leaves before every worker has measured
    del data
    return before, after


def measure(kind, source, count):
    context = multiprocessing.get_context("spawn")
    with context.Manager() as manager:
        barrier = manager.Barrier(count)
        with context.Pool(count) as pool:
            results = pool.starmap(worker, [(kind, source, barrier)] * count, chunksize=1)
    before = sum(b for b, _ in results)
    after = sum(a for _, a in results)
    return after, after - before


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: bench/python_shared_memory.py BUILD-DIR [WORKERS]")
    build = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) == 3 else 8
    sys.path.insert(0, os.path.join(build, "python"))
    os.environ["PYTHONPATH"] = os.path.join(build, "python") + os.pathsep + os.environ.get("PYTHONPATH", "")
    os.environ["OPENBLAS_NUM_THREADS"] = "1"  # no vector arithmetic here
    from kelvra._native.retrieval import word_list
    from kelvra.nlp.common.embedding.embedding import Embedding
    from kelvra.nlp.common.matcher import Automaton

    bench_packages.ensure_packages("python_shared_memory", ("python3-jieba",))
    bench_packages.embedding_files(build, DATA)
    vectors = os.path.join(DATA, "embedding.bin")
    failed = False
    with tempfile.TemporaryDirectory() as scratch:
        paths = {"automaton": os.path.join(scratch, "jieba.kvac"), "store": os.path.join(scratch, "vectors.kvwv")}
        with open(bench_packages.jieba_dictionary("python_shared_memory"), "rb") as f:
            automaton = Automaton(word_list(f.read()))
        automaton.save(paths["automaton"])
        embedding = Embedding(vectors, binary=True)
        embedding.save(paths["store"])
        for name, made in (("automaton-pickle", automaton), ("store-pickle", embedding)):
            paths[name] = os.path.join(scratch, name)
            with open(paths[name], "wb") as f:
                pickle.dump(made, f, protocol=pickle.HIGHEST_PROTOCOL)
        del automaton, embedding
        for case in ("automaton", "automaton-pickle", "store", "store-pickle"):
            kind = case if case in ("automaton", "store") else "pickle"
            one, one_data = measure(kind, paths[case], 1)
            many, many_data = measure(kind, paths[case], count)
            ratio = many_data / one_data
            print(json.dumps({
                "case": case, "file_mb": round(os.path.getsize(paths[case]) / 1e6, 1),
                "pss_1_mb": round(one / 1e6, 1), "pss_%d_mb" % count: round(many / 1e6, 1),
                "ratio_processes": round(many / one, 2),
                "data_1_mb": round(one_data / 1e6, 1), "data_%d_mb" % count: round(many_data / 1e6, 1),
                "ratio_data": round(ratio, 2)}), flush=True)
            if kind != "pickle" and ratio > LIMIT:
                print("python_shared_memory: %d workers loading %s add %.2f times one worker's memory "
                      "(limit %.1f)" % (count, case, ratio, LIMIT), file=sys.stderr)
                failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
