#!/usr/bin/python3
"""How the streaming subcommands of kelvra-nlp scale with --jobs, and what
predicts their scaling on a machine with more cores than this one:

  for each subcommand: throughput at --jobs 1 and --jobs 2 (fastest of
  --repeat runs, output to /dev/null), their ratio, and the serial fraction:
  the CPU time of the thread that reads the input and writes the output
  (work that does not shrink with more threads), over all CPU time, at
  --jobs 2, as the tool reports it when KELVRA_NLP_THREAD_TIMES is set.
  Amdahl's law then predicts the speed-up at N jobs: 1 / (s + (1 - s) / N).

  the road: normalize --jsonl | section --jsonl | match --jsonl --attach nes
  | stitch as one pipeline, against each stage alone on its own input.

    /usr/bin/python3 bench/scaling.py BUILD-DIR [--size MB] [--repeat N]
                                                [--only NAME...]

The corpus is made under bench/data (git-ignored) on first use; the
dictionary is jieba's (python3-jieba, installed with apt-get when missing),
which match reads as a saved automaton, built once beforehand.
Other processes share the cores: the load average and the busiest other
processes are printed before and after, to judge the figures by.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

import bench_packages
from cli_peer import make

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
MB = 1e6


def machine_state():
    """The load average and the three busiest processes other than ours."""
    load = open("/proc/loadavg").read().split()[:3]
    top = subprocess.run(["ps", "-eo", "pcpu,comm", "--sort=-pcpu", "--no-headers"],
                         capture_output=True, text=True).stdout.splitlines()
    others = [line.strip() for line in top if "kelvra-nlp" not in line and "ps" != line.split()[-1]][:3]
    return "load %s; busiest: %s" % (" ".join(load), ", ".join(others))


def data(build, size_mb, dictionary, cli):
    """The inputs: a Chinese corpus (one paragraph a line), its paragraphs as
    documents {"doc", "text"}, their segments, and the segments with their
    dictionary words under "nes"."""
    size = size_mb * 1_000_000
    corpus = make(os.path.join(DATA, "scaling_zh_%dm.txt" % size_mb),
                  lambda out: subprocess.run([os.path.join(build, "bench", "make_corpus"), str(size), out],
                                             check=True))

    def documents(out):
        with open(corpus, encoding="utf-8") as f, open(out, "w", encoding="utf-8") as o:
            for n, line in enumerate(f):
                o.write(json.dumps({"doc": n, "text": line}, ensure_ascii=False) + "\n")
    docs = make(os.path.join(DATA, "scaling_docs_%dm.jsonl" % size_mb), documents)

    def run_into(command, out):
        with open(out, "wb") as o:
            subprocess.run([cli] + command, stdout=o, check=True)
    segments = make(os.path.join(DATA, "scaling_segments_%dm.jsonl" % size_mb),
                    lambda out: run_into(["section", "--jsonl", "--type", "ner", "--length", "510", docs], out))
    filled = make(os.path.join(DATA, "scaling_filled_%dm.jsonl" % size_mb),
                  lambda out: run_into(["match", "--jsonl", "--attach", "nes", "--dict", dictionary, segments],
                                       out))
    return corpus, docs, segments, filled


THREAD_TIMES = re.compile(r"thread times: .*: reader and writer ([0-9.]+) s, workers ([0-9.]+) s")


def run_once(command, jobs, output=os.devnull):
    """Wall seconds, and (serial, worker) CPU seconds as the tool reports them."""
    env = dict(os.environ, KELVRA_NLP_THREAD_TIMES="1")
    start = time.perf_counter()
    with open(output, "wb") as out:
        done = subprocess.run(command + ["--jobs", str(jobs)], stdout=out,
                              stderr=subprocess.PIPE, env=env, text=True)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit("scaling: %s failed:\n%s" % (" ".join(command), done.stderr[-2000:]))
    found = THREAD_TIMES.search(done.stderr)
    return wall, (float(found.group(1)), float(found.group(2))) if found else None


def scaling(name, command, size, repeat):
    # Taken in turn, so that both meet the same neighbours on the machine.
    ones, runs = [], []
    for _ in range(repeat):
        ones.append(run_once(command, 1)[0])
        runs.append(run_once(command, 2))
    one = min(ones)
    two = min(wall for wall, _ in runs)
    serial, workers = min((times for _, times in runs), key=lambda t: t[0] / (t[0] + t[1]))
    fraction = serial / (serial + workers)
    predicted = 1 / (fraction + (1 - fraction) / 16)
    print("  %-36s %7.1f MB/s %7.1f MB/s %6.2fx %8.2f ms %6.2f%% %6.1fx"
          % (name, size / MB / one, size / MB / two, one / two, serial / (size / MB) * 1e3,
             fraction * 100, predicted))
    sys.stdout.flush()


def writer_to_memory(name, command):
    """The writer's rate into a file in memory (tmpfs), where the system's
    copy of every byte written is the writing thread's work."""
    if not os.path.isdir("/dev/shm"):
        return
    with tempfile.NamedTemporaryFile(dir="/dev/shm") as out:
        _, (serial, workers) = run_once(command, 2, out.name)
        size = os.path.getsize(out.name)
    print("  %-36s %8.1f MB out, writer %.2f GB/s, serial %.2f%%"
          % (name + " into /dev/shm", size / MB, size / serial / 1e9, serial / (serial + workers) * 100))


def road(cli, docs, automaton, repeat):
    stages = [["normalize", "--jsonl"],
              ["section", "--jsonl", "--field", "normalized_text", "--drop", "alter_words",
               "--type", "ner", "--length", "510"],
              ["match", "--jsonl", "--attach", "nes", "--automaton", automaton],
              ["stitch", "--type", "ner", "--carry", "doc"]]
    with tempfile.TemporaryDirectory() as scratch:
        # Each stage's own input: the output of the stages before it.
        inputs = [docs]
        for i, stage in enumerate(stages[:-1]):
            out = os.path.join(scratch, "stage%d.jsonl" % i)
            with open(out, "wb") as o:
                subprocess.run([cli] + stage + [inputs[-1]], stdout=o, check=True)
            inputs.append(out)
        alone = []
        for stage, source in zip(stages, inputs):
            alone.append(min(run_once([cli] + stage + [source], 2)[0] for _ in range(repeat)))
            print("  %-36s %8.2f s  (%.1f MB in)" % (stage[0] + " alone", alone[-1],
                                                    os.path.getsize(source) / MB))
        pipeline = " | ".join(" ".join([cli] + stage + ([docs] if i == 0 else []))
                              for i, stage in enumerate(stages))
        piped = []
        for _ in range(repeat):
            start = time.perf_counter()
            subprocess.run(["bash", "-c", "set -o pipefail; " + pipeline + " > /dev/null"], check=True)
            piped.append(time.perf_counter() - start)
        print("  %-36s %8.2f s  = %.2fx the slowest stage alone" % ("the road, piped", min(piped),
                                                                     min(piped) / max(alone)))


def main():
    parser = argparse.ArgumentParser(description="Scaling of the streaming subcommands.")
    parser.add_argument("build")
    parser.add_argument("--size", type=int, default=20, help="corpus size in MB (default 20)")
    parser.add_argument("--repeat", type=int, default=2, help="runs of each, the fastest counts")
    parser.add_argument("--only", nargs="*", default=[], help="names of the runs to make (and 'road')")
    args = parser.parse_args()
    bench_packages.ensure_packages("scaling", ("python3-jieba",))
    os.makedirs(DATA, exist_ok=True)
    cli = os.path.join(args.build, "src", "cli", "kelvra-nlp")
    dictionary = bench_packages.jieba_dictionary("scaling")
    corpus, docs, segments, filled = data(args.build, args.size, dictionary, cli)
    # match reads the dictionary built once and saved: building it (a fifth
    # of a second, on one thread) is not streaming work and would hide how
    # the stream scales.
    automaton = os.path.join(DATA, "scaling_jieba.kvac")
    subprocess.run([cli, "match", "--dict", dictionary, "--save-automaton", automaton], check=True)
    runs = [
        ("normalize", ["normalize", corpus], corpus),
        ("normalize --jsonl", ["normalize", "--jsonl", docs], docs),
        ("cantonese", ["cantonese", corpus], corpus),
        ("split --jsonl", ["split", "--jsonl", docs], docs),
        ("section --jsonl", ["section", "--jsonl", "--type", "ner", "--length", "510", docs], docs),
        ("match --jsonl", ["match", "--jsonl", "--automaton", automaton, docs], docs),
        ("match --jsonl --attach nes", ["match", "--jsonl", "--attach", "nes", "--automaton", automaton, segments],
         segments),
        ("stitch", ["stitch", "--type", "ner", filled], filled),
        ("split (whole text)", ["split", corpus], corpus),
        ("section (whole text)", ["section", "--type", "ner", "--length", "510", corpus], corpus),
    ]
    print("machine: %d cores; %s" % (os.cpu_count(), cli))
    print("before: " + machine_state())
    print("  %-36s %12s %12s %7s %11s %7s %7s" % ("", "--jobs 1", "--jobs 2", "ratio", "serial/MB",
                                                 "serial", "at 16"))
    for name, command, source in runs:
        if not args.only or name in args.only or name.split()[0] in args.only:
            scaling(name, [cli] + command, os.path.getsize(source), args.repeat)
    if not args.only or "match" in args.only:
        writer_to_memory("match --jsonl", [cli, "match", "--jsonl", "--automaton", automaton, docs])
    if not args.only or "road" in args.only:
        print("road (default --jobs in every stage):")
        road(cli, docs, automaton, args.repeat)
    print("after: " + machine_state())


if __name__ == "__main__":
    main()
