#!/usr/bin/python3
"""The Python way to do what `kelvra-nlp match --dict DICT FILE` does, for the
command-line benchmark: every occurrence of the dictionary's words in the
text, found with pyahocorasick (Debian's python3-ahocorasick), printed as the
same JSON lines with an f-string.

    /usr/bin/python3 bench/peer_match.py DICT FILE > occurrences.jsonl
"""
import json
import sys

import ahocorasick


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: peer_match.py DICT FILE")
    automaton = ahocorasick.Automaton()
    with open(sys.argv[1], encoding="utf-8-sig") as f:
        for line in f:
            fields = line.split(None, 1)
            if fields:
                word = fields[0]
                # The word's JSON form is made once, not per occurrence.
                automaton.add_word(word, (json.dumps(word, ensure_ascii=False), len(word)))
    automaton.make_automaton()
    with open(sys.argv[2], encoding="utf-8") as f:
        text = f.read()
    out = sys.stdout
    for end, (word, length) in automaton.iter(text):
        out.write(f'{{"text":{word},"length":{length},"offset":{end - length + 1}}}\n')


if __name__ == "__main__":
    main()
