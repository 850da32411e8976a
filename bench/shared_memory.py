#!/usr/bin/python3
"""What N worker processes cost in memory when each loads the same saved
automaton or vector store (mapped, one copy of the pages between them),
beside each building or reading its own copy.

    /usr/bin/python3 bench/shared_memory.py BUILD-DIR [WORKERS]

The data: the automaton of python3-jieba's dict.txt (saved with
`kelvra-nlp match --dict ... --save-automaton`) and the benchmark's
100,000 x 300 word2vec file (bench/data/embedding.bin from make_embeddings,
saved with `kelvra-nlp embed ... save`). Each worker is
BUILD-DIR/bench/mapped_memory, which loads, reports its load time, and
holds the data until its standard input closes.

Memory is the proportional set size (Pss, /proc/PID/smaps_rollup): a page
shared by k processes counts 1/k in each, so the sum over the workers is
what they cost the machine together. Prints one JSON line per case with the
sum for one worker and for WORKERS (default 8) and their ratio; the saved
forms must stay within 1.5 times one worker's (exit status 1 otherwise).
"""
import json
import os
import statistics
import subprocess
import sys
import tempfile

import bench_packages

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("KELVRA_BENCH_DATA", os.path.join(HERE, "data"))
LIMIT = 1.5


def pss_bytes(pid):
    with open("/proc/%d/smaps_rollup" % pid) as rollup:
        for line in rollup:
            if line.startswith("Pss:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no Pss for process %d" % pid)


def measure(worker, kind, path, count):
    """Starts `count` workers at once, waits until each holds its data, sums
    their Pss; returns (total Pss, load times in ms)."""
    # The workers do no vector arithmetic: OpenBLAS's own threads, which
    # spin while they wait for work, would only steal the loading's time.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
    workers = [subprocess.Popen([worker, kind, path], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True, env=env) for _ in range(count)]
    try:
        load_ms = []
        for p in workers:
            line = p.stdout.readline().split()
            if not line or line[0] != "ready":
                raise RuntimeError("%s %s %s did not load" % (worker, kind, path))
            load_ms.append(float(line[1]))
        total = sum(pss_bytes(p.pid) for p in workers)
    finally:
        for p in workers:
            p.stdin.close()
        for p in workers:
            p.wait()
    return total, load_ms


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: bench/shared_memory.py BUILD-DIR [WORKERS]")
    build = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) == 3 else 8
    worker = os.path.join(build, "bench", "mapped_memory")
    cli = os.path.join(build, "src", "cli", "kelvra-nlp")
    bench_packages.ensure_packages("shared_memory", ("python3-jieba",))
    dictionary = bench_packages.jieba_dictionary("shared_memory")
    bench_packages.embedding_files(build, DATA)
    vectors = os.path.join(DATA, "embedding.bin")

    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        automaton = os.path.join(tmp, "jieba.kvac")
        store = os.path.join(tmp, "embedding.kvwv")
        subprocess.run([cli, "match", "--dict", dictionary, "--save-automaton", automaton], check=True)
        subprocess.run([cli, "embed", "--model", vectors, "--binary", "save", store], check=True)
        cases = [("automaton", automaton, True), ("dictionary", dictionary, False),
                 ("store", store, True), ("word2vec", vectors, False)]
        for kind, path, saved in cases:
            one, one_ms = measure(worker, kind, path, 1)
            many, many_ms = measure(worker, kind, path, count)
            ratio = many / one
            print(json.dumps({
                "case": kind, "file_mb": round(os.path.getsize(path) / 1e6, 1),
                "pss_1_mb": round(one / 1e6, 1), "pss_%d_mb" % count: round(many / 1e6, 1),
                "ratio": round(ratio, 2),
                "load_ms_alone": round(one_ms[0], 1),
                "load_ms_median_of_%d" % count: round(statistics.median(many_ms), 1)}))
            if saved and ratio > LIMIT:
                print("shared_memory: %d workers mapping %s take %.2f times one worker's memory "
                      "(limit %.1f)" % (count, kind, ratio, LIMIT), file=sys.stderr)
                failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
