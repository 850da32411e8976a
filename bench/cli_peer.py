#!/usr/bin/python3
"""Whole-process figures of the command-line tool at corpus scale, beside the
peers a user would otherwise run on the same data:

  match      kelvra-nlp match --dict jieba/dict.txt over 8 MB of Chinese
             vs bench/peer_match.py (pyahocorasick, f-string JSON lines)
  split      kelvra-nlp split over 100 MB vs bench/peer_split.py (re)
  normalize  kelvra-nlp normalize over 8 MB of traditional lines
             vs opencc -c t2s.json; and its peak memory on one 48 MB line
  section    kelvra-nlp section --type ner --length 510 over 100 MB
  stream     section --jsonl --type ner --length 510 and normalize over
             100 MB and (with --big) 2 GB of lines: memory and throughput
  start-up   each line and text subcommand on a tiny input, and opencc

    /usr/bin/python3 bench/cli_peer.py BUILD-DIR [--big] [--only NAME...]
                                                 [--cli PATH]

Each run is one process measured with /usr/bin/time: wall seconds, CPU
seconds (user + system) and peak resident memory. Outputs of ours and of a
peer that prints the same records are compared byte for byte. The data is
made under bench/data (git-ignored) on first use; installs
python3-ahocorasick, python3-jieba and opencc with apt-get when missing.
--cli runs another kelvra-nlp (e.g. an older build) on the same data.
"""
import argparse
import hashlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

import bench_packages

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
MB = 1e6


def measure(command, output=os.devnull, stdin=None):
    """Runs `command` once; returns (wall s, cpu s, peak RSS bytes)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        with open(output, "wb") as out:
            inp = open(stdin, "rb") if stdin else subprocess.DEVNULL
            done = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", report.name] + command,
                                  stdout=out, stdin=inp, stderr=subprocess.PIPE)
            if stdin:
                inp.close()
        if done.returncode != 0:
            sys.exit("cli_peer: %s failed:\n%s" % (" ".join(command), done.stderr.decode()[-2000:]))
        wall, user, system, rss_kb = report.read().split()[-4:]
    return float(wall), float(user) + float(system), int(rss_kb) * 1024


def supports(cli, subcommand, option):
    """Whether this kelvra-nlp's subcommand has `option` (older builds lack some)."""
    help_text = subprocess.run([cli, subcommand, "--help"], capture_output=True, text=True).stdout
    return option in help_text


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def show(name, size, figures):
    wall, cpu, rss = figures
    print("  %-34s %8.2f s wall %8.2f s cpu %8.1f MB/s %8.1f MB peak (%.1fx input)"
          % (name, wall, cpu, size / MB / wall, rss / MB, rss / size))
    sys.stdout.flush()


# --- data ---

def make(path, build_step):
    if not os.path.exists(path):
        print("cli_peer: making " + os.path.relpath(path), file=sys.stderr)
        build_step(path + ".part")
        os.replace(path + ".part", path)
    return path


def corpus(build, size):
    return make(os.path.join(DATA, "cli_zh_%dm.txt" % (size // 1000000)),
                lambda out: subprocess.run([os.path.join(build, "bench", "make_corpus"), str(size), out],
                                           check=True))


def traditional(build, size):
    source = corpus(build, size)

    def convert(out):
        with open(out, "wb") as f:
            subprocess.run(["opencc", "-c", "s2t.json", "-i", source], stdout=f, check=True)
    return make(os.path.join(DATA, "cli_zht_%dm.txt" % (size // 1000000)), convert)


def documents(build, size):
    """JSON lines {"id": n, "text": paragraph} from a corpus of `size` bytes."""
    import json
    source = corpus(build, size)

    def write(out):
        with open(source, encoding="utf-8") as f, open(out, "w", encoding="utf-8") as o:
            for n, line in enumerate(f):
                o.write(json.dumps({"id": n, "text": line}, ensure_ascii=False) + "\n")
    return make(os.path.join(DATA, "cli_docs_%dm.jsonl" % (size // 1000000)), write)


def one_line(path, size, name):
    """`path`'s lines joined into one line of about `size` bytes."""
    def write(out):
        with open(path, "rb") as f:
            text = f.read().replace(b"\n", b"")
        joined = (text * (size // len(text) + 1))[:size]
        while joined and (joined[-1] & 0xC0) == 0x80:  # end on a whole code point
            joined = joined[:-1]
        if joined and joined[-1] >= 0x80:
            joined = joined[:-1]
        with open(out, "wb") as o:
            o.write(joined + b"\n")
    return make(os.path.join(DATA, name), write)


def repeated(path, times, name):
    def write(out):
        with open(out, "wb") as o:
            for _ in range(times):
                with open(path, "rb") as f:
                    for block in iter(lambda: f.read(1 << 24), b""):
                        o.write(block)
    return make(os.path.join(DATA, name), write)


# --- scenarios ---

def bench_match(cli, build, scratch):
    subprocess.run([os.path.join(build, "bench", "matcher_bench"), "--write-texts", DATA], check=True)
    text = os.path.join(DATA, "matcher_zh.txt")
    size = os.path.getsize(text)
    dictionary = bench_packages.jieba_dictionary("cli_peer")
    print("match: %.1f MB of Chinese, jieba's dictionary" % (size / MB))
    ours_out, peer_out = os.path.join(scratch, "ours"), os.path.join(scratch, "peer")
    ours = measure([cli, "match", "--dict", dictionary, text], ours_out)
    peer = measure(["/usr/bin/python3", os.path.join(HERE, "peer_match.py"), dictionary, text], peer_out)
    show("kelvra-nlp match", size, ours)
    show("peer_match.py (pyahocorasick)", size, peer)
    same = digest(ours_out) == digest(peer_out)
    lines = sum(1 for _ in open(ours_out, "rb"))
    print("  %d occurrences; outputs %s; ours %.1fx the peer's speed (cpu)"
          % (lines, "identical" if same else "DIFFER", peer[1] / ours[1]))


def bench_split(cli, build, scratch):
    text = corpus(build, 100_000_000)
    size = os.path.getsize(text)
    print("split: %.1f MB of Chinese" % (size / MB))
    ours = measure([cli, "split", text])
    peer = measure(["/usr/bin/python3", os.path.join(HERE, "peer_split.py"), text])
    show("kelvra-nlp split", size, ours)
    show("peer_split.py (re)", size, peer)
    print("  ours %.1fx the peer's speed (wall)" % (peer[0] / ours[0]))


def bench_normalize(cli, build, scratch):
    text = traditional(build, 8_000_000)
    size = os.path.getsize(text)
    print("normalize: %.1f MB of traditional Chinese lines" % (size / MB))
    ours = measure([cli, "normalize", text])
    show("kelvra-nlp normalize", size, ours)
    if supports(cli, "normalize", "--jobs"):
        show("kelvra-nlp normalize --jobs 1", size, measure([cli, "normalize", "--jobs", "1", text]))
    peer = measure(["opencc", "-c", "t2s.json", "-i", text])
    show("opencc -c t2s.json", size, peer)
    print("  ours %.2fx opencc's speed (wall, default --jobs; %.2fx by cpu)"
          % (peer[0] / ours[0], peer[1] / ours[1]))
    line = one_line(text, 48_000_000, "cli_zht_line_48m.txt")
    show("kelvra-nlp normalize, one 48 MB line", os.path.getsize(line), measure([cli, "normalize", line]))


def bench_section(cli, build, scratch):
    text = corpus(build, 100_000_000)
    size = os.path.getsize(text)
    print("section: %.1f MB of Chinese, whole text" % (size / MB))
    show("kelvra-nlp section --length 510", size,
         measure([cli, "section", "--type", "ner", "--length", "510", text]))


def bench_stream(cli, build, scratch, big):
    docs = documents(build, 100_000_000)
    lines = traditional(build, 100_000_000)
    inputs = [("100 MB", docs, lines)]
    if big:
        inputs.append(("2 GB", repeated(docs, 20, "cli_docs_2g.jsonl"),
                       repeated(lines, 20, "cli_zht_2g.txt")))
    print("stream: lines and documents, default --jobs")
    jsonl = supports(cli, "section", "--jsonl")
    for label, docs_path, lines_path in inputs:
        if jsonl:
            show("section --jsonl, %s" % label, os.path.getsize(docs_path),
                 measure([cli, "section", "--jsonl", "--type", "ner", "--length", "510", docs_path]))
        show("normalize, %s" % label, os.path.getsize(lines_path),
             measure([cli, "normalize", lines_path]))


def bench_startup(cli, build, scratch):
    def write(name, content):
        path = os.path.join(scratch, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(content)
        return path
    small = write("small.txt", "你好。\n")
    segments = write("segments.jsonl", '{"offset":0,"nes":[]}\n')
    document = write("document.json", '{"text":"你好\\n世界","entities":[]}\n')
    runs = 200
    print("start-up: a tiny input, median of %d runs (and the fastest)" % runs)

    def run(label, command):
        times = []
        for _ in range(runs):
            start = time.perf_counter()
            subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            times.append(time.perf_counter() - start)
        print("  %-24s %6.1f ms (fastest %.1f ms)" % (label, statistics.median(times) * 1e3, min(times) * 1e3))
    for command in (["split", small], ["section", "--type", "ner", "--length", "510", small],
                    ["normalize", small], ["cantonese", small], ["match", "--dict", small, small],
                    ["stitch", "--type", "ner", segments], ["glean", document]):
        run("kelvra-nlp " + command[0], [cli] + command)
    run("opencc -c t2s.json", ["opencc", "-c", "t2s.json", "-i", small])


def main():
    parser = argparse.ArgumentParser(description="Command-line figures beside their peers.")
    parser.add_argument("build")
    parser.add_argument("--big", action="store_true", help="also the 2 GB streaming runs")
    parser.add_argument("--only", nargs="*", default=[],
                        help="match split normalize section stream start-up")
    parser.add_argument("--cli", help="the kelvra-nlp to measure (default: the build's)")
    args = parser.parse_args()
    bench_packages.ensure_packages("cli_peer", ("python3-ahocorasick", "python3-jieba", "opencc", "time"))
    os.makedirs(DATA, exist_ok=True)
    cli = args.cli or os.path.join(args.build, "src", "cli", "kelvra-nlp")
    scenarios = {"match": bench_match, "split": bench_split, "normalize": bench_normalize,
                 "section": bench_section, "start-up": bench_startup}
    print("machine: %d cores; %s" % (os.cpu_count(), cli))
    with tempfile.TemporaryDirectory() as scratch:
        for name, run in scenarios.items():
            if not args.only or name in args.only:
                run(cli, args.build, scratch)
        if not args.only or "stream" in args.only:
            bench_stream(cli, args.build, scratch, args.big)


if __name__ == "__main__":
    main()
