#!/usr/bin/python3
"""Occurrences as arrays against Python's Aho-Corasick C extension
(Debian's python3-ahocorasick), on 3 M characters of words drawn from
python3-jieba's dictionary: uniformly, and by the dictionary's frequencies.

    PYTHONPATH=BUILD-DIR/python /usr/bin/python3 bench/matcher_arrays.py

Installs python3-ahocorasick and python3-jieba with apt-get when missing.
Prints CPU seconds (best of three) of Automaton.search_arrays, of
Automaton.search (a Word per occurrence) and of list(A.iter(text)), after
checking that the three find the same occurrences; then the leftmost kinds'
arrays, and search_many over eight texts on one thread and on two (wall
time: threads share the process's CPU time).
"""
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_packages  # noqa: E402

CHARACTERS = 3_000_000


def best_of(runs, call):
    best, result = float("inf"), None
    for _ in range(runs):
        start = time.process_time()
        result = call()
        best = min(best, time.process_time() - start)
    return best, result


def best_wall(runs, call):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def text_of(words, weights, seed):
    rng = random.Random(seed)
    pieces, size = [], 0
    while size < CHARACTERS:
        for word in rng.choices(words, weights=weights, k=10000):
            pieces.append(word)
            size += len(word)
    return "".join(pieces)[:CHARACTERS]


def main():
    bench_packages.ensure_packages("matcher_arrays", ("python3-ahocorasick", "python3-jieba"))
    import ahocorasick
    from kelvra.nlp.common.matcher import Automaton

    words, frequencies = [], []
    with open(bench_packages.jieba_dictionary("matcher_arrays"), encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if fields:
                words.append(fields[0])
                frequencies.append(int(fields[1]) if len(fields) > 1 else 1)
    ours = Automaton(words)
    peer = ahocorasick.Automaton()
    for index, word in enumerate(words):
        if word not in peer:
            peer.add_word(word, (index, len(word)))
    peer.make_automaton()
    print(f"{len(words)} words; texts of {CHARACTERS} characters")

    for name, weights in (("uniform", None), ("by frequency", frequencies)):
        text = text_of(words, weights, 27)
        t_arrays, (offsets, lengths, ids) = best_of(3, lambda: ours.search_arrays(text))
        t_objects, found = best_of(3, lambda: ours.search(text))
        t_peer, theirs = best_of(3, lambda: list(peer.iter(text)))
        mine = sorted(zip(offsets.tolist(), lengths.tolist()))
        assert mine == sorted((w.offset, w.length) for w in found)
        assert mine == sorted((end - length + 1, length) for end, (_, length) in theirs), \
            "the peer finds other occurrences"
        assert all(words[i] == text[o:o + n] for o, n, i in zip(offsets[:1000], lengths, ids))
        print(f"{name}: {len(mine)} occurrences; search_arrays {t_arrays:.3f} s, "
              f"search {t_objects:.3f} s, pyahocorasick list(iter) {t_peer:.3f} s: "
              f"arrays {t_peer / t_arrays:.1f}x, objects {t_peer / t_objects:.1f}x the peer")
        for kind in ("leftmost-longest", "leftmost-first"):
            t_kind, (kind_offsets, _, _) = best_of(3, lambda: ours.search_arrays(text, kind=kind))
            print(f"  {kind}: {len(kind_offsets)} occurrences, {t_kind:.3f} s")
        texts = [text[i::8] for i in range(8)]
        one = best_wall(3, lambda: ours.search_many(texts, threads=1))
        two = best_wall(3, lambda: ours.search_many(texts, threads=2))
        print(f"  search_many, 8 texts: 1 thread {one:.3f} s, 2 threads {two:.3f} s "
              f"({one / two:.2f}x)")


if __name__ == "__main__":
    main()
