#!/usr/bin/python3
"""Peak memory of the command-line tool on inputs made to be large in one
piece, as a table:

  answer-empty-sets  annotate, the service answering 60 MB of [{},{},...]
                     (20 million empty feature sets: refused by the cap on
                     the records' memory, 8 times max_answer_bytes)
  answer-words       annotate, the service answering 52 MB of words, each
                     inside the text sent (read and printed)
  jsonl-split        split --jsonl on one JSON line of 300 MB
  jsonl-section      section --jsonl --type ner --length 510 on that line
  jsonl-match        match --jsonl --dict (two words) on that line
  jsonl-match-dense  match --jsonl --dict (a ... aaaaaa) on one line of 10 MB of
                     "a": 60 million occurrences from one short record (its
                     output, 2.6 GB, was once held whole)
  normalize-limited  normalize --jsonl --skip-bad, under an address-space limit
                     of twice the line plus 400 MB, on that 300 MB line then a
                     short one: the long one fails for want of memory, is
                     reported and skipped, and the short one is still written

and, when the build has the Python package, the same two answers through
Python's NlpClient.features and Annotator.extract.

    /usr/bin/python3 bench/memory_peaks.py BUILD-DIR [--line-mb N] [--only NAME...]

Each case is one process measured with /usr/bin/time (peak resident set);
the ratio is the peak over the size of the answer or line. The service is a
small HTTP server in this script, on a loopback port. The data is made under
bench/data (git-ignored) on first use.
"""
import argparse
import http.server
import json
import os
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
MB = 1e6


def measure(command, stdin_path, env=None):
    """Runs `command` once; returns (peak RSS bytes, exit status, stderr lines, output lines)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report, open(stdin_path, "rb") as inp:
        done = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", report.name] + command,
                                stdin=inp, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        # The output is counted, not kept: some cases print gigabytes.
        err = []
        reader = threading.Thread(target=lambda: err.append(done.stderr.read()))
        reader.start()
        lines = 0
        for block in iter(lambda: done.stdout.read(1 << 20), b""):
            lines += block.count(b"\n")
        done.wait()
        reader.join()
        rss_kb = report.read().split()[-1]
    messages = err[0].decode(errors="replace").strip().splitlines()
    return int(rss_kb) * 1024, done.returncode, messages, lines


def made(name, write):
    """The path of bench/data/NAME, made by write(file) when missing."""
    path = os.path.join(DATA, name)
    if not os.path.exists(path):
        os.makedirs(DATA, exist_ok=True)
        with open(path + ".part", "wb") as out:
            write(out)
        os.replace(path + ".part", path)
    return path


class Answers(http.server.BaseHTTPRequestHandler):
    """POST /NAME/features answers the body of bench/data/NAME."""
    bodies = {}

    def do_POST(self):
        self.rfile.read(int(self.headers.get("Content-Length", 0)))
        body = self.bodies[self.path.split("/")[1]]
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--line-mb", type=int, default=300, help="size of the one JSON line")
    parser.add_argument("--only", nargs="*", help="run only these cases")
    args = parser.parse_args()
    cli = os.path.join(args.build, "src", "cli", "kelvra-nlp")
    if not os.access(cli, os.X_OK):
        sys.exit("memory_peaks: no %s; build it first" % cli)

    # 60 MB of empty feature sets, and 52 MB of words over a text of as many
    # code points as there are words.
    empty_sets = made("answer_empty_sets.json",
                      lambda out: out.write(b"[" + b",".join([b"{}"] * 20_000_000) + b"]"))
    words = 830_000
    word_answer = made("answer_words.json", lambda out: out.write(
        b'{"words":[' + b",".join(b'{"id":%d,"text":"a","offset":%d,"length":1,"pos":"NN"}' % (i, i)
                                  for i in range(words)) + b'],"nes":[]}'))
    word_text = made("answer_words_text.txt", lambda out: out.write(b"a" * words))
    tiny_text = made("tiny_text.txt", lambda out: out.write(b"x"))
    unit = "江城的雨季很长。后来放晴了！城东".encode()
    line_name = "one_line_%dmb.jsonl" % args.line_mb
    line = made(line_name, lambda out: out.write(
        b'{"doc":"a1","text":"' + unit * (args.line_mb * 1_000_000 // len(unit)) + b'"}\n'))
    dictionary = made("two_words.txt", lambda out: out.write("城东\n雨季\n".encode()))
    dense = made("one_line_10mb_of_a.jsonl",
                 lambda out: out.write(b'{"text":"' + b"a" * 10_000_000 + b'"}\n'))
    a_words = made("a_to_aaaaaa.txt", lambda out: out.write(
        b"".join(b"a" * n + b"\n" for n in range(1, 7))))
    then_short = made(line_name + ".then_short", lambda out: out.write(
        open(line, "rb").read() + b'{"doc":"a2","text":"\xe5\x9f\x8e"}\n'))
    limit = 2 * os.path.getsize(line) + 400_000_000

    Answers.bodies = {"empty": open(empty_sets, "rb").read(), "words": open(word_answer, "rb").read()}
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Answers)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d" % server.server_address[1]

    python_dir = os.path.join(args.build, "python")
    env = dict(os.environ, PYTHONPATH=python_dir)
    python = "from kvc.sdk import NlpClient\nfrom kelvra.nlp.common.feature.annotator import Annotator\n" \
             "from kelvra.nlp.common.feature.types import Types\nimport sys\ntext = sys.stdin.read()\n"
    cases = [
        ("answer-empty-sets", empty_sets, [cli, "annotate", "--url", url + "/empty", "--types", "WORD"], tiny_text),
        ("answer-words", word_answer, [cli, "annotate", "--url", url + "/words", "--types", "WORD"], word_text),
        ("jsonl-split", line, [cli, "split", "--jsonl", line], tiny_text),
        ("jsonl-section", line, [cli, "section", "--jsonl", "--type", "ner", "--length", "510", line], tiny_text),
        ("jsonl-match", line, [cli, "match", "--jsonl", "--dict", dictionary, line], tiny_text),
        ("jsonl-match-dense", dense, [cli, "match", "--jsonl", "--dict", a_words, dense], tiny_text),
        ("normalize-limited", then_short, ["prlimit", "--as=%d" % limit, cli, "normalize", "--jsonl",
                                           "--skip-bad", "--jobs", "1", then_short], tiny_text),
    ]
    if os.path.isdir(os.path.join(python_dir, "kelvra")):
        for name, answer, text in (("empty-sets", empty_sets, tiny_text), ("words", word_answer, word_text)):
            cases.append(("python-client-" + name, answer, ["/usr/bin/python3", "-c", python +
                          "NlpClient(%r).features(text, ['WORD'], 'zh_cn')" % (url + "/" + name.split("-")[0])], text))
            cases.append(("python-annotator-" + name, answer, ["/usr/bin/python3", "-c", python +
                          "Annotator({'kvcloud_url': %r}).extract(text, [Types.WORD])" % (url + "/" + name.split("-")[0])],
                          text))

    print("%-28s %10s %10s %7s %10s  %s" % ("case", "input MB", "peak MB", "ratio", "lines out",
                                             "outcome"))
    for name, data, command, stdin_path in cases:
        if args.only and name not in args.only:
            continue
        size = os.path.getsize(data)
        peak, status, messages, lines = measure(command, stdin_path, env)
        told = "; ".join(m.split("/features: ", 1)[-1][:100] for m in messages[-2:])
        outcome = ("ok" if status == 0 else "status %d" % status) + (": " + told if told else "")
        print("%-28s %10.1f %10.1f %6.2fx %10d  %s" % (name, size / MB, peak / MB, peak / size,
                                                     lines, outcome), flush=True)
    server.shutdown()


if __name__ == "__main__":
    main()
