#!/usr/bin/python3
"""A plain Python sentence splitter for the command-line benchmark: cuts the
text after each sentence ender (and line feed) with one regular expression
and prints one JSON line per sentence, {"id","offset","length","text"},
offsets in code points.

    /usr/bin/python3 bench/peer_split.py FILE > sentences.jsonl
"""
import json
import re
import sys

ENDERS = "｡。;；!?।॥၊။።፧፨᙮᠃᠉᱾᱿‼‽⁇⁈⁉⸮⸼꓿꘎꘏꡶꡷꧈꧉﹖﹗！．？\n"
SENTENCE = re.compile("[^%s]*(?:[%s]|$)" % (re.escape(ENDERS), re.escape(ENDERS)))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: peer_split.py FILE")
    with open(sys.argv[1], encoding="utf-8") as f:
        text = f.read()
    out = sys.stdout
    dumps = json.dumps
    sentence_id = 0
    for match in SENTENCE.finditer(text):
        sentence = match.group()
        if not sentence:
            continue
        out.write(dumps({"id": sentence_id, "offset": match.start(), "length": len(sentence),
                         "text": sentence}, ensure_ascii=False, separators=(",", ":")))
        out.write("\n")
        sentence_id += 1


if __name__ == "__main__":
    main()
