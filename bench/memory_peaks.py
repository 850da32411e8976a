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
    """Runs `command` once; returns (peak RSS bytes, exit status, last line of stderr)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report, open(stdin_path, "rb") as inp:
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + command,
                              stdin=inp, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        rss_kb = report.read().split()[-1]
    lines = done.stderr.decode(errors="replace").strip().splitlines()
    return int(rss_kb) * 1024, done.returncode, lines[-1] if lines else ""


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
    ]
    if os.path.isdir(os.path.join(python_dir, "kelvra")):
        for name, answer, text in (("empty-sets", empty_sets, tiny_text), ("words", word_answer, word_text)):
            cases.append(("python-client-" + name, answer, ["/usr/bin/python3", "-c", python +
                          "NlpClient(%r).features(text, ['WORD'], 'zh_cn')" % (url + "/" + name.split("-")[0])], text))
            cases.append(("python-annotator-" + name, answer, ["/usr/bin/python3", "-c", python +
                          "Annotator({'kvcloud_url': %r}).extract(text, [Types.WORD])" % (url + "/" + name.split("-")[0])],
                          text))

    print("%-28s %10s %10s %7s  %s" % ("case", "input MB", "peak MB", "ratio", "outcome"))
    for name, data, command, stdin_path in cases:
        if args.only and name not in args.only:
            continue
        size = os.path.getsize(data)
        peak, status, last = measure(command, stdin_path, env)
        outcome = "ok" if status == 0 else "status %d: %s" % (status, last.split("/features: ", 1)[-1][:100])
        print("%-28s %10.1f %10.1f %6.2fx  %s" % (name, size / MB, peak / MB, peak / size, outcome), flush=True)
    server.shutdown()


if __name__ == "__main__":
    main()
