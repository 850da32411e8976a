#!/usr/bin/python3
"""Cantonese.translate from many Python threads at once: it does its work
with the GIL released, so a ThreadPoolExecutor over many texts scales with
the cores.

    /usr/bin/python3 bench/cantonese_threads.py BUILD-DIR [--texts N] [--workers 1,2,4]

Translates N texts (the everyday sentences of bench/cantonese_pairs.tsv and
bench/cantonese_topics.tsv, twenty to a text) with 1, 2, ... workers and
prints the wall time of each run (the fastest of three), the speed-up over
one worker and the CPU time of the process; the translations must equal
those of one worker.
"""
import argparse
import concurrent.futures
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def sentences():
    out = []
    for name in ("cantonese_pairs.tsv", "cantonese_topics.tsv"):
        with open(os.path.join(HERE, name), encoding="utf-8") as f:
            out += [line.split("\t")[0] for line in f if "\t" in line and not line.startswith("#")]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--texts", type=int, default=4000)
    parser.add_argument("--workers", default="1,2,4")
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    from kelvra.nlp.common.lang.cantonese import Cantonese, logger

    logger.setLevel("WARNING")
    translator = Cantonese()
    pool = sentences()
    texts = ["".join(pool[(i * 20 + k) % len(pool)] for k in range(20)) for i in range(args.texts)]
    expected = [translator.translate(t) for t in texts]
    print("%d texts, %.1f MB, on %d cores" % (len(texts), sum(len(t.encode()) for t in texts) / 1e6,
                                              os.cpu_count()))
    base = None
    for workers in (int(w) for w in args.workers.split(",")):
        best, cpu = float("inf"), 0.0
        for _ in range(3):
            cpu_before = time.process_time()
            start = time.perf_counter()
            with concurrent.futures.ThreadPoolExecutor(workers) as executor:
                got = list(executor.map(translator.translate, texts))
            wall = time.perf_counter() - start
            if wall < best:
                best, cpu = wall, time.process_time() - cpu_before
            assert got == expected
        base = base or best
        print("%d workers: %.2f s wall (%.2fx one worker), %.2f s CPU" % (workers, best, base / best, cpu))


if __name__ == "__main__":
    main()
