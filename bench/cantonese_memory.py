#!/usr/bin/python3
"""Peak memory of `kelvra-nlp cantonese` on one huge line, and a check that
its output is the translation of the line's sentences.

    /usr/bin/python3 bench/cantonese_memory.py BUILD-DIR [--mb 300]

The line is made under bench/data (git-ignored) from the everyday sentences
of bench/cantonese_pairs.tsv and bench/cantonese_sentences.txt, one after
the other, with a run of Chinese characters without punctuation (longer
than a sentence is ever taken whole) every few megabytes. The tool
translates a line a sentence at a time, so its output must equal, byte for
byte, that of the same text cut into lines at its sentences: after each
。！？!?…． and every 65,536 code points within a sentence. Peak memory is
measured with /usr/bin/time; the run with one sentence a line is the
reference.
"""
import argparse
import os
import random
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
SENTENCE_ENDS = set("。！？!?…．")
LONGEST_SENTENCE = 1 << 16  # code points


def sentences():
    out = []
    with open(os.path.join(HERE, "cantonese_pairs.tsv"), encoding="utf-8") as f:
        out += [line.split("\t")[0] for line in f if "\t" in line and not line.startswith("#")]
    with open(os.path.join(HERE, "cantonese_sentences.txt"), encoding="utf-8") as f:
        out += [line.strip() for line in f if line.strip() and not line.startswith("#")]
    return out


def make_line(path, megabytes):
    """One line of about `megabytes` MB."""
    random.seed(22)
    pool = sentences()
    run = "".join(random.choice("佢哋喺度食緊飯我哋聽日見啱啱先到係咪") for _ in range(200000))
    target = int(megabytes * 1e6)
    written = 0
    with open(path, "w", encoding="utf-8") as out:
        while written < target:
            chunk = "".join(random.choice(pool) for _ in range(20000)) + run
            out.write(chunk)
            written += len(chunk.encode())
        out.write("\n")


def cut_into_sentences(source, target):
    """The line of `source`, a sentence a line, as the translator cuts it."""
    with open(source, encoding="utf-8") as f:
        text = f.read().rstrip("\n")
    with open(target, "w", encoding="utf-8") as out:
        begin = 0
        length = 0
        for pos, cp in enumerate(text):
            length += 1
            if cp in SENTENCE_ENDS or length == LONGEST_SENTENCE:
                out.write(text[begin:pos + 1] + "\n")
                begin = pos + 1
                length = 0
        if begin < len(text):
            out.write(text[begin:] + "\n")


def measured(command, stdout_path):
    """Runs `command` with its output into `stdout_path`: (peak MB, wall s, CPU s)."""
    with open(stdout_path, "wb") as out:
        result = subprocess.run(["/usr/bin/time", "-f", "%M %e %U %S"] + command, stdout=out,
                                stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        sys.exit("failed: %s\n%s" % (" ".join(command), result.stderr))
    peak_kb, wall, user, system = result.stderr.strip().split("\n")[-1].split()
    return int(peak_kb) / 1e3, float(wall), float(user) + float(system)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--mb", type=float, default=300, help="size of the line (default 300)")
    args = parser.parse_args()
    cli = [os.path.join(args.build, "src", "cli", "kelvra-nlp"), "cantonese", "--quiet"]
    os.makedirs(DATA, exist_ok=True)
    line = os.path.join(DATA, "cantonese_line_%g.txt" % args.mb)
    if not os.path.exists(line):
        make_line(line, args.mb)
    by_sentence = line + ".sentences"
    cut_into_sentences(line, by_sentence)
    size = os.path.getsize(line) / 1e6

    peak, wall, cpu = measured(cli + [line], line + ".out")
    print("cantonese on one %.0f MB line: peak %.0f MB (%.2f x the line), %.1f s wall, %.1f s CPU"
          % (size, peak, peak / size, wall, cpu))
    peak, wall, cpu = measured(cli + [by_sentence], by_sentence + ".out")
    print("the same text a sentence a line: peak %.0f MB, %.1f s wall, %.1f s CPU" % (peak, wall, cpu))
    with open(line + ".out", encoding="utf-8") as f:
        whole = f.read()
    with open(by_sentence + ".out", encoding="utf-8") as f:
        joined = f.read().replace("\n", "") + "\n"
    print("output of the line equals its sentences' translations: %s" % ("yes" if whole == joined else "NO"))
    for path in (line + ".out", by_sentence, by_sentence + ".out"):
        os.remove(path)
    if whole != joined:
        sys.exit(1)


if __name__ == "__main__":
    main()
