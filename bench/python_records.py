#!/usr/bin/python3
"""Records through Python at corpus scale: the package's record operations
on the caller's own objects, against the plain Python code a user would
otherwise write, the C++ library on the same documents, and the command-line
tool for the same steps.

    /usr/bin/python3 bench/python_records.py BUILD-DIR [--documents N]

The corpus (made under bench/data on first use): N documents (500) of
varied Chinese prose from make_corpus, 66 KB each (33 MB), one in three
converted to traditional characters with OpenCC's s2t; and an entity
dictionary, the words of python3-jieba's dict.txt tagged as names of
people, places, organisations and other proper nouns (nr, ns, nt, nz) or as
nouns (n) of two to four characters, which the automaton finds in the
documents (the "entity model").

Measured, CPU time of this process (best of a few runs):
- the notebook pipeline per document (normalise, section at 510, search
  each segment, stitch), in its natural form, against the CLI's normalize,
  section --jsonl, match --jsonl and stitch with --jobs 1 (the sum of their
  CPU times; their intermediate files are made beforehand, untimed);
- Stitcher.merge(segments, "ner") against the plain loop that shifts the
  same offsets and collects the entities;
- Gleaner.extract and Sectioner.split "relation" against bench/records_bench
  (the C++ calls) on the same documents and entities;
- search(text) against search(text, records=True); Word.to_json and
  pickle of a million Words; the memory of Normalizer.normalize's changes.
"""
import argparse
import gc
import json
import os
import pickle
import subprocess
import sys
import tempfile
import time
import tracemalloc

import bench_packages
from cli_peer import measure

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("KELVRA_BENCH_DATA", os.path.join(HERE, "data"))
MB = 1e6
ENTITY_TAGS = {"nr", "ns", "nt", "nz", "n"}


def cpu_best(function, runs=3, prepare=None):
    """Least CPU time of `runs` calls (each after an untimed `prepare`,
    whose result is passed on), and the last result."""
    best, result = None, None
    for _ in range(runs):
        argument = prepare() if prepare else None
        gc.collect()
        start = time.process_time()
        result = function(argument) if prepare else function()
        spent = time.process_time() - start
        best = spent if best is None else min(best, spent)
    return best, result


def line(name, ours, theirs, what, target):
    print("%-46s %9.3f s  %-10s %9.3f s  %6.2fx  (target %s)"
          % (name, ours, what, theirs, theirs / ours if ours else float("inf"), target))
    sys.stdout.flush()


# --- data ---

def corpus(build, count):
    """The documents (str), made once."""
    path = os.path.join(DATA, "records_corpus_%d.json" % count)
    if not os.path.exists(path):
        os.makedirs(DATA, exist_ok=True)
        documents = []
        with tempfile.TemporaryDirectory() as scratch:
            for index in range(count):
                plain = os.path.join(scratch, "doc.txt")
                subprocess.run([os.path.join(build, "bench", "make_corpus"), "66000", plain, str(index + 1)],
                               check=True)
                if index % 3 == 2:
                    converted = os.path.join(scratch, "doc_t.txt")
                    subprocess.run(["opencc", "-c", "s2t.json", "-i", plain, "-o", converted], check=True)
                    plain = converted
                with open(plain, encoding="utf-8") as f:
                    documents.append(f.read())
        with open(path, "w", encoding="utf-8") as f:
            json.dump(documents, f, ensure_ascii=False)
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def entity_words():
    words = []
    with open(bench_packages.jieba_dictionary("python_records"), encoding="utf-8") as f:
        for entry in f:
            fields = entry.split()
            if len(fields) == 3 and fields[2] in ENTITY_TAGS and (fields[2] != "n" or 2 <= len(fields[0]) <= 4):
                words.append(fields[0])
    return words


# --- the notebook pipeline ---

def pipeline(documents, tools, records=False):
    normalizer, sectioner, stitcher, automaton = tools
    out = []
    for document in documents:
        normalized = normalizer.normalize(document)
        segments = sectioner.split({"text": normalized.normalized_text, "length": 510}, "ner")
        for segment in segments:
            segment["nes"] = automaton.search(segment["text"], records=records)
        out.append(stitcher.merge(segments, "ner"))
    return out


def cli_pipeline(cli, documents, normalized, segments, scratch):
    """CPU seconds of the CLI's four steps, each with --jobs 1."""
    def write(name, lines):
        path = os.path.join(scratch, name)
        with open(path, "w", encoding="utf-8") as f:
            for item in lines:
                f.write(item)
                f.write("\n")
        return path

    words = write("words.txt", entity_words())
    texts = write("documents.txt", documents)  # one line a paragraph: the same work line by line
    docs = write("normalized.jsonl", (json.dumps({"text": t}, ensure_ascii=False) for t in normalized))
    pieces = write("segments.jsonl", (json.dumps({"text": s["text"]}, ensure_ascii=False)
                                      for doc in segments for s in doc))
    filled = write("filled.jsonl", (json.dumps({"offset": s["offset"], "nes": s["nes"]}, ensure_ascii=False)
                                    for doc in segments for s in doc))
    steps = [("normalize", [cli, "normalize", "--jobs", "1", "--quiet", texts]),
             ("section", [cli, "section", "--jsonl", "--type", "ner", "--length", "510", "--jobs", "1",
                          "--quiet", docs]),
             ("match", [cli, "match", "--jsonl", "--dict", words, "--jobs", "1", "--quiet", pieces]),
             ("stitch", [cli, "stitch", "--type", "ner", "--jobs", "1", "--quiet", filled])]
    total = 0.0
    for name, command in steps:
        cpu = min(measure(command)[1] for _ in range(2))
        print("   CLI %-9s %7.2f s CPU" % (name, cpu))
        total += cpu
    return total


# --- the parts ---

def python_merge(segments):
    merged = []
    for segment in segments:
        shift = segment["offset"]
        for entity in segment["nes"]:
            entity["offset"] += shift
            merged.append(entity)
    return merged


def fresh_segments(base):
    return [{"offset": s["offset"], "nes": [dict(e) for e in s["nes"]]} for s in base]


def cpp_figures(build, data):
    out = subprocess.run([os.path.join(build, "bench", "records_bench"), "--data=" + data,
                          "--benchmark_format=json", "--benchmark_repetitions=3",
                          "--benchmark_report_aggregates_only=true"],
                         check=True, capture_output=True, text=True).stdout
    report = json.loads(out[out.index("{"):])
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    return {b["run_name"]: b["cpu_time"] * scale[b["time_unit"]]
            for b in report["benchmarks"] if b.get("aggregate_name") == "median"}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--documents", type=int, default=500)
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    sys.path.insert(0, os.path.join(build, "python"))
    bench_packages.ensure_packages("python_records", ["python3-jieba", "opencc"])
    from kelvra.nlp.common.gleaner import Gleaner
    from kelvra.nlp.common.matcher import Automaton, Word
    from kelvra.nlp.common.normalizer import Normalizer
    from kelvra.nlp.common.sectioner import Sectioner
    from kelvra.nlp.common.stitcher import Stitcher

    documents = corpus(build, args.documents)
    size = sum(len(d.encode("utf-8")) for d in documents)
    tools = (Normalizer([]), Sectioner(), Stitcher(), Automaton(entity_words()))
    spent, results = cpu_best(lambda: pipeline(documents, tools), runs=2)
    entities = sum(len(r) for r in results)
    print("corpus: %d documents, %.1f MB, %d entities found by %d dictionary words"
          % (len(documents), size / MB, entities, len(tools[3])))
    records_spent, _ = cpu_best(lambda: pipeline(documents, tools, records=True), runs=2)

    # The CLI's steps on the same documents and the same intermediate records.
    normalized = [tools[0].normalize(d).normalized_text for d in documents]
    segments = []
    for text in normalized:
        doc_segments = tools[1].split({"text": text, "length": 510}, "ner")
        for segment in doc_segments:
            segment["nes"] = tools[3].search(segment["text"], records=True)
        segments.append(doc_segments)
    with tempfile.TemporaryDirectory() as scratch:
        cli_cpu = cli_pipeline(os.path.join(build, "src", "cli", "kelvra-nlp"), documents, normalized,
                               segments, scratch)
    print("pipeline (normalise, section, search, stitch): Python %.1f MB/s (%.2f s; with records=True "
          "%.2f s), CLI --jobs 1 %.1f MB/s (%.2f s): %.0f%% of the CLI (target >= 60%%)"
          % (size / MB / spent, spent, records_spent, size / MB / cli_cpu, cli_cpu, 100 * cli_cpu / spent))

    # Stitching alone, against the plain loop: document by document, right
    # after the entities were made (as in the pipeline), and all the corpus's
    # segments in one call.
    stitcher = tools[2]
    automaton = tools[3]

    def per_document(merge, as_words=False):
        spent = 0.0
        for doc in segments:
            fresh = ([{"offset": s["offset"], "nes": automaton.search(s["text"])} for s in doc] if as_words
                     else fresh_segments(doc))
            start = time.process_time()
            merged = merge(fresh)
            spent += time.process_time() - start
            del merged, fresh
        return spent

    def python_merge_words(segments_):
        merged = []
        for segment in segments_:
            shift = segment["offset"]
            for entity in segment["nes"]:
                entity.offset += shift
                merged.append(entity)
        return merged

    ours = min(per_document(lambda s: stitcher.merge(s, "ner")) for _ in range(2))
    theirs = min(per_document(python_merge) for _ in range(2))
    line("Stitcher.merge per document, %d dicts" % entities, ours, theirs, "Python loop", ">= 3x")
    ours_words = min(per_document(lambda s: stitcher.merge(s, "ner"), True) for _ in range(2))
    theirs_words = min(per_document(python_merge_words, True) for _ in range(2))
    line("Stitcher.merge per document, matcher.Words", ours_words, theirs, "dict loop", ">= 3x")
    print("   the plain loop over the same Words (w.offset += ...): %.3f s" % theirs_words)
    flat = [s for doc in segments for s in doc]
    ours, _ = cpu_best(lambda s: stitcher.merge(s, "ner"), prepare=lambda: fresh_segments(flat))
    theirs, _ = cpu_best(python_merge, prepare=lambda: fresh_segments(flat))
    line("Stitcher.merge, all %d segments in one call" % len(flat), ours, theirs, "Python loop", ">= 3x")

    # Gleaner and relation Sectioner on the documents with their entities, against C++.
    annotated = []
    for text, doc_segments in zip(normalized, segments):
        found = [dict(e, uuid="e%d" % i) if i % 3 == 0 else dict(e, type="T")
                 for i, e in enumerate(e for s in doc_segments for e in s["nes"])]
        annotated.append({"text": text, "entities": found})
    with tempfile.NamedTemporaryFile("w", suffix=".jsonl", encoding="utf-8", delete=False) as f:
        for doc in annotated:
            f.write(json.dumps(doc, ensure_ascii=False) + "\n")
        data = f.name
    try:
        cpp = cpp_figures(build, data)
    finally:
        os.unlink(data)
    source = json.dumps(annotated, ensure_ascii=False)
    gleaner = Gleaner()
    ours, passages = cpu_best(lambda docs: [gleaner.extract(d) for d in docs], prepare=lambda: json.loads(source))
    line("Gleaner.extract, %d passages" % sum(len(p) for p in passages if p), ours,
         cpp["BM_GleanerExtractCorpus"], "C++", "Python within 1.5x of C++")
    inputs = [{"feature_set": {"text": d["text"], "nes": d["entities"]}, "length": 510} for d in annotated]
    sectioner = tools[1]
    ours, split = cpu_best(lambda: [sectioner.split(i, "relation") for i in inputs])
    line("Sectioner.split relation, %d segments" % sum(len(s) for s in split), ours,
         cpp["BM_SectionerRelationCorpus"], "C++", "Python within 1.3x of C++")

    # Search results as Words or as dicts.
    texts = [s["text"] for s in flat]
    as_words, _ = cpu_best(lambda: [automaton.search(t) for t in texts])
    as_dicts, _ = cpu_best(lambda: [automaton.search(t, records=True) for t in texts])
    print("search over %d segments: Words %.3f s, records=True %.3f s (%.2fx, target <= 1.3x)"
          % (len(texts), as_words, as_dicts, as_dicts / as_words))

    million = [Word("北京", 2, offset) for offset in range(1000000)]
    spent_json, _ = cpu_best(lambda: [w.to_json() for w in million])
    tracemalloc.start()
    made = [w.to_json() for w in million]
    held = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del made
    print("Word.to_json of 1M Words: %.0f ns and %.0f bytes a result (target <= 150 ns, <= 250 bytes)"
          % (spent_json * 1e3, held / 1e6))
    spent_pickle, pickled = cpu_best(lambda: pickle.dumps(million))
    spent_load, _ = cpu_best(lambda: pickle.loads(pickled))
    print("pickle of 1M Words: %.3f s, %.1f bytes a Word; loads %.3f s" % (spent_pickle, len(pickled) / 1e6,
                                                                         spent_load))
    del million, pickled
    subprocess.run([sys.executable, __file__, build, "--changes-memory"], check=True)


def changes_memory(build):
    """The memory of 5M changed characters, in a process of its own."""
    sys.path.insert(0, os.path.join(build, "python"))
    from kelvra.nlp.common.normalizer import Normalizer

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def peak():
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))

    text = "Ａ頭" * 2500000
    normalizer = Normalizer([])
    start = rss()
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak so far (from the parent, across fork) starts again here
    result = normalizer.normalize(text)
    normalized = rss()
    changes = result.alter_words
    made = rss()
    print("Normalizer.normalize, %d changes: %.0f bytes a change held before alter_words is read, "
          "%.0f once the AlterWords are made (target <= 100), peak %.0f bytes a change above the start"
          % (len(changes), (normalized - start) / len(changes), (made - start) / len(changes),
             (peak() - start) / len(changes)))


if __name__ == "__main__":
    if sys.argv[2:] == ["--changes-memory"]:
        changes_memory(os.path.abspath(sys.argv[1]))
    else:
        main()
