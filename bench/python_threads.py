#!/usr/bin/python3
"""The long calls from Python threads: a ThreadPoolExecutor over eight
texts, with one worker and with two, for Automaton.search_arrays,
Phraser.split, Sectioner.split, Normalizer.normalize, Cantonese.translate
and Stitcher.merge. Each call does its C++ work with the GIL released and
touches Python objects only before and after, so the speed-up is what is
left of the call once the objects it makes are counted.

    PYTHONPATH=BUILD-DIR/python /usr/bin/python3 bench/python_threads.py [--mb 6] [--one-text]

With --one-text: one text of MB megabytes, through Phraser.split,
Phraser.layout and Sectioner.split with threads=1 and threads=2 (the library walks the text in
pieces), in turns, best of five, the collector run between calls.

The eight texts are generated Chinese prose of MB megabytes in all (the
Cantonese ones are the everyday sentences of bench/cantonese_pairs.tsv).
Prints, for each call, the wall time with one worker and with two (best of
three) and the ratio; results must equal those of one worker. The
automaton is python3-jieba's dictionary (installed when missing).
"""
import argparse
import concurrent.futures
import gc
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_packages  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def prose(rng, characters, words):
    """Text of about `characters` code points: dictionary words with
    commas and full stops now and then."""
    pieces, size = [], 0
    while size < characters:
        word = rng.choice(words)
        pieces.append(word)
        size += len(word)
        roll = rng.random()
        if roll < 0.05:
            pieces.append("。")
        elif roll < 0.12:
            pieces.append("，")
    return "".join(pieces)


def best_wall(call, runs=3):
    best, result = float("inf"), None
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def one_text(text, phraser, sectioner):
    calls = [
        ("Phraser.split", lambda n: phraser.split(text, threads=n)),
        ("Phraser.layout", lambda n: [a.tolist() for a in phraser.layout(text, threads=n)]),
        ("Sectioner.split", lambda n: sectioner.split({"text": text, "length": 510}, "ner", threads=n)),
    ]
    print("one text of %.1f MB, on %d cores" % (len(text.encode()) / 1e6, os.cpu_count()))
    print("| call | threads=1 s | threads=2 s | ratio |")
    print("|---|---:|---:|---:|")
    for name, call in calls:
        assert call(1) == call(2), name
        if name == "Phraser.layout":  # timed as the arrays alone
            call = (lambda n: phraser.layout(text, threads=n))
        best = {1: float("inf"), 2: float("inf")}
        for _ in range(5):
            for threads in (1, 2):
                gc.collect()
                start = time.perf_counter()
                result = call(threads)
                best[threads] = min(best[threads], time.perf_counter() - start)
                del result
        print("| %s | %.3f | %.3f | %.2f |" % (name, best[1], best[2], best[1] / best[2]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, default=6.0, help="megabytes of text in all (6)")
    parser.add_argument("--one-text", action="store_true",
                        help="one long text, the calls' own threads instead of workers")
    args = parser.parse_args()
    bench_packages.ensure_packages("python_threads", ("python3-jieba",))
    from kelvra.nlp.common.lang.cantonese import Cantonese, logger
    from kelvra.nlp.common.matcher import Automaton
    from kelvra.nlp.common.normalizer import Normalizer
    from kelvra.nlp.common.phraser import Phraser
    from kelvra.nlp.common.sectioner import Sectioner
    from kelvra.nlp.common.stitcher import Stitcher

    logger.setLevel("WARNING")
    with open(bench_packages.jieba_dictionary("python_threads"), encoding="utf-8") as f:
        words = [line.split()[0] for line in f if line.strip()]
    rng = random.Random(28)
    if args.one_text:
        one_text(prose(rng, int(args.mb * 1e6 / 3), words), Phraser(), Sectioner())
        return
    texts = [prose(rng, int(args.mb * 1e6 / 3 / 8), words) for _ in range(8)]
    with open(os.path.join(HERE, "cantonese_pairs.tsv"), encoding="utf-8") as f:
        sentences = [line.split("\t")[0] for line in f if "\t" in line and not line.startswith("#")]
    cantonese = ["".join(rng.choice(sentences) for _ in range(len(t) // 12)) for t in texts]
    automaton, phraser, sectioner = Automaton(words), Phraser(), Sectioner()
    normalizer, translator, stitcher = Normalizer([]), Cantonese(), Stitcher()
    segmented = []
    for text in texts:
        segments = sectioner.split({"text": text, "length": 510}, "ner")
        for segment in segments:
            segment["nes"] = automaton.search(segment["text"])
        segmented.append(segments)
    calls = [
        ("Automaton.search_arrays", automaton.search_arrays, texts, lambda r: [a.tolist() for a in r]),
        ("Phraser.split", phraser.split, texts, lambda r: [s.to_json() for s in r]),
        ("Sectioner.split", lambda t: sectioner.split({"text": t, "length": 510}, "ner"), texts, None),
        ("Normalizer.normalize", normalizer.normalize, texts, lambda r: r.to_json()),
        ("Cantonese.translate", translator.translate, cantonese, None),
        ("Stitcher.merge", lambda s: stitcher.merge(s, "ner"), segmented, None),
    ]
    print("8 texts, %.1f MB of prose in all, on %d cores" % (
        sum(len(t.encode()) for t in texts) / 1e6, os.cpu_count()))
    print("| call | 1 worker s | 2 workers s | ratio |")
    print("|---|---:|---:|---:|")
    for name, call, inputs, comparable in calls:
        comparable = comparable or (lambda r: r)
        times = []
        results = []
        for workers in (1, 2):
            def run():
                with concurrent.futures.ThreadPoolExecutor(workers) as executor:
                    return list(executor.map(call, inputs))
            wall, got = best_wall(run)
            times.append(wall)
            results.append([comparable(r) for r in got])
        assert results[0] == results[1], name
        print("| %s | %.3f | %.3f | %.2f |" % (name, times[0], times[1], times[0] / times[1]))


if __name__ == "__main__":
    main()
