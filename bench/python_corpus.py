#!/usr/bin/python3
"""A corpus run on Dask with two workers, against the command-line tool
doing the same on both cores.

    /usr/bin/python3 bench/python_corpus.py BUILD-DIR [--documents N]

The corpus (made under bench/data on first use): N documents (800, 53 MB)
of varied Chinese prose from make_corpus, 66 KB each, one file each; the
entity dictionary: the proper nouns and short nouns of python3-jieba's
dict.txt, as bench/python_records.py takes them.

Measured by wall time, each the best of RUNS (2):
- python3 -m kelvra.corpus DIR --dict WORDS --workers 2: normalise,
  section at 510, find the words in each segment, stitch, one JSON line a
  document (the cluster's start and the automaton's build included);
- the same with --automaton (a saved automaton that each worker maps);
- the same with --single-process;
- kelvra-nlp section --jsonl --jobs 2 over the documents as JSON Lines
  (each document a line), and then match --jsonl --jobs 2 over the
  segments' texts: the CLI's segmentation and search, without normalising
  and stitching; and the whole road on the command line, normalize (the
  documents' lines), section, match and stitch, each --jobs 2 (their
  inputs made beforehand, untimed).
Prints one line per run with its throughput in MB of corpus a second; the
two-worker Dask run should be within 15% of the CLI's (exit status 1 when
it is slower by more).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile

from cli_peer import measure
from python_records import corpus, entity_words

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("KELVRA_BENCH_DATA", os.path.join(HERE, "data"))
RUNS = 2
MB = 1e6


def best(command, output=os.devnull):
    """Least wall seconds of RUNS runs."""
    return min(measure(command, output)[0] for _ in range(RUNS))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--documents", type=int, default=800)
    args = parser.parse_args()
    cli = os.path.join(args.build, "src", "cli", "kelvra-nlp")
    python_dir = os.path.join(args.build, "python")
    folder = os.path.join(DATA, "corpus_%d" % args.documents)
    if not os.path.isdir(folder):
        documents = corpus(args.build, args.documents)
        os.makedirs(folder + ".part", exist_ok=True)
        for index, text in enumerate(documents):
            with open(os.path.join(folder + ".part", "doc%05d.txt" % index), "w", encoding="utf-8") as f:
                f.write(text)
        os.replace(folder + ".part", folder)
    names = sorted(os.listdir(folder))
    size = sum(os.path.getsize(os.path.join(folder, name)) for name in names)
    os.environ["PYTHONPATH"] = python_dir  # for the corpus runs
    sys.path.insert(0, python_dir)
    from kelvra.corpus import make_tools
    results = {}
    with tempfile.TemporaryDirectory() as scratch:
        words = os.path.join(scratch, "words.txt")
        with open(words, "w", encoding="utf-8") as f:
            f.write("\n".join(entity_words()) + "\n")
        lines = os.path.join(scratch, "documents.jsonl")
        with open(lines, "w", encoding="utf-8") as out:
            for name in names:
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    out.write(json.dumps({"text": f.read()}, ensure_ascii=False) + "\n")
        saved = os.path.join(scratch, "words.kvac")
        subprocess.run([cli, "match", "--dict", words, "--save-automaton", saved], check=True)
        corpus_run = ["/usr/bin/python3", "-m", "kelvra.corpus", folder, "--no-progress"]
        runs = [
            ("kelvra.corpus --dict, 2 workers", corpus_run + ["--dict", words, "--workers", "2"]),
            ("kelvra.corpus --automaton, 2 workers", corpus_run + ["--automaton", saved, "--workers", "2"]),
            ("kelvra.corpus --single-process", corpus_run + ["--dict", words, "--single-process"]),
        ]
        for name, command in runs:
            results[name] = best(command)
            print("%-52s %7.2f s" % (name, results[name]), flush=True)
        segments = os.path.join(scratch, "segments.jsonl")
        section = best([cli, "section", "--jsonl", "--type", "ner", "--length", "510", "--jobs", "2", "--quiet",
                        lines], segments)
        # match --jsonl takes documents {"text"}: the segments' texts, made untimed.
        pieces = os.path.join(scratch, "pieces.jsonl")
        with open(segments, encoding="utf-8") as inp, open(pieces, "w", encoding="utf-8") as out:
            for line in inp:
                out.write(json.dumps({"text": json.loads(line)["text"]}, ensure_ascii=False) + "\n")
        match = best([cli, "match", "--jsonl", "--dict", words, "--jobs", "2", "--quiet", pieces])
        results["kelvra-nlp section --jsonl --jobs 2"] = section
        results["kelvra-nlp match --jsonl --jobs 2 (on the segments)"] = match
        results["kelvra-nlp section, then match"] = section + match
        # The whole road on the command line: normalize (the documents' lines),
        # section, match, stitch, each --jobs 2; inputs made untimed.
        texts = os.path.join(scratch, "texts.txt")
        normalized = os.path.join(scratch, "normalized.jsonl")
        filled = os.path.join(scratch, "filled.jsonl")
        tools = make_tools(words)
        with open(texts, "w", encoding="utf-8") as plain, open(normalized, "w", encoding="utf-8") as docs:
            for name in names:
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    text = f.read()
                plain.write(text if text.endswith("\n") else text + "\n")
                docs.write(json.dumps({"text": tools[0].normalize(text).normalized_text}, ensure_ascii=False) + "\n")
        segments_of_road = os.path.join(scratch, "road_segments.jsonl")
        road = best([cli, "normalize", "--jobs", "2", "--quiet", texts])
        road += best([cli, "section", "--jsonl", "--type", "ner", "--length", "510", "--jobs", "2", "--quiet",
                      normalized], segments_of_road)
        with open(segments_of_road, encoding="utf-8") as inp, open(pieces, "w", encoding="utf-8") as out, \
                open(filled, "w", encoding="utf-8") as fill:
            for line in inp:
                segment = json.loads(line)
                out.write(json.dumps({"text": segment["text"]}, ensure_ascii=False) + "\n")
                fill.write(json.dumps({"offset": segment["offset"],
                                       "nes": tools[3].search(segment["text"], records=True)},
                                      ensure_ascii=False) + "\n")
        road += best([cli, "match", "--jsonl", "--dict", words, "--jobs", "2", "--quiet", pieces])
        road += best([cli, "stitch", "--type", "ner", "--jobs", "2", "--quiet", filled])
        results["kelvra-nlp normalize, section, match, stitch"] = road
    print("corpus: %d documents, %.1f MB" % (len(names), size / MB))
    for name, seconds in results.items():
        print("%-52s %7.2f s  %6.1f MB/s" % (name, seconds, size / MB / seconds))
    cli_seconds = results["kelvra-nlp section, then match"]
    dask_seconds = results["kelvra.corpus --dict, 2 workers"]
    print("two Dask workers take %.2f times the time of the CLI's section and match (limit 1.15), "
          "%.2f times that of its whole road" % (dask_seconds / cli_seconds,
                                                 dask_seconds / results["kelvra-nlp normalize, section, match, stitch"]))
    return 1 if dask_seconds > 1.15 * cli_seconds else 0


if __name__ == "__main__":
    sys.exit(main())
