#!/usr/bin/python3
"""Compares the dictionary automaton with the Aho-Corasick C extension that
Python users use for this job (Debian's python3-ahocorasick), on the same
dictionary (the first column of python3-jieba's dict.txt) and the same texts.

    /usr/bin/python3 bench/matcher_peer.py BUILD-DIR

Installs python3-ahocorasick and python3-jieba with apt-get when missing.
The texts come from BUILD-DIR/bench/matcher_bench --write-texts bench/data;
our occurrences come from BUILD-DIR/src/cli/kelvra-nlp match, and must equal
the peer's, occurrence by occurrence. Prints build time, search throughput
and memory for the peer; the benchmark prints ours. Times are CPU times of
this process, as the benchmark's are, so that other work on the machine
does not skew the comparison.
"""
import json
import os
import resource
import subprocess
import sys
import time

import bench_packages

HERE = os.path.dirname(os.path.abspath(__file__))


def rss_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: bench/matcher_peer.py BUILD-DIR")
    build = sys.argv[1]
    bench_packages.ensure_packages("matcher_peer", ("python3-ahocorasick", "python3-jieba"))
    import ahocorasick

    dict_path = bench_packages.jieba_dictionary("matcher_peer")
    with open(dict_path, encoding="utf-8") as f:
        words = [line.split()[0] for line in f if line.split()]
    data = os.path.join(HERE, "data")
    os.makedirs(data, exist_ok=True)
    subprocess.run([os.path.join(build, "bench", "matcher_bench"), "--write-texts", data],
                   check=True)
    cli = os.path.join(build, "src", "cli", "kelvra-nlp")

    # The values are those the module stores with each word: (word, length).
    before = rss_bytes()
    start = time.process_time()
    automaton = ahocorasick.Automaton()
    for word in words:
        automaton.add_word(word, (word, len(word)))
    automaton.make_automaton()
    build_seconds = time.process_time() - start
    memory = rss_bytes() - before
    print("peer build: %d words (%d distinct) in %.3f s; %.1f MB, %.0f bytes per word"
          % (len(words), len(automaton), build_seconds, memory / 1e6, memory / len(automaton)))

    for name in ("matcher_zh.txt", "matcher_ascii.txt"):
        path = os.path.join(data, name)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        size = len(text.encode("utf-8"))
        count = 0
        start = time.process_time()
        for end, value in automaton.iter(text):
            count += 1
        seconds = time.process_time() - start
        print("peer search %s: %.1f MB, %d occurrences in %.3f s: %.2f MB/s, %.2f M occurrences/s"
              % (name, size / 1e6, count, seconds, size / 1e6 / seconds, count / 1e6 / seconds))

        # Occurrence by occurrence against kelvra-nlp match.
        ours = subprocess.Popen([cli, "match", "--dict", dict_path, path], stdout=subprocess.PIPE,
                                text=True, encoding="utf-8")
        checked = 0
        for end, (word, length) in automaton.iter(text):
            expected = json.dumps({"text": word, "length": length, "offset": end - length + 1},
                                  ensure_ascii=False, separators=(",", ":"))
            line = ours.stdout.readline().rstrip("\n")
            if line != expected:
                sys.exit("matcher_peer: %s occurrence %d differs: peer %s, ours %s"
                         % (name, checked, expected, line or "(none)"))
            checked += 1
        extra = ours.stdout.readline()
        ours.wait()
        if extra or ours.returncode != 0:
            sys.exit("matcher_peer: %s: ours reports more occurrences or failed" % name)
        print("identical occurrence lists for %s: %d occurrences" % (name, checked))
    print("peer peak RSS %.1f MB" % (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e3))


if __name__ == "__main__":
    main()
