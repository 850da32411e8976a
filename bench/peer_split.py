#!/usr/bin/python3
"""A plain Python sentence splitter for the command-line benchmark: cuts the
text after each sentence ender (and line feed), and each sentence after its
clause marks, with regular expressions, and prints one JSON line per
sentence laid out as kelvra-nlp split prints them ({"id","offset","length",
"text","clauses":[{"id","tense","offset","length","text"}]}, offsets in
code points). It knows nothing of quotes, brackets or a length cap, so its
cuts differ from ours where those occur; the work and the output size are
the same.

    /usr/bin/python3 bench/peer_split.py FILE > sentences.jsonl
"""
import json
import re
import sys

ENDERS = "｡。;；!?।॥၊။።፧፨᙮᠃᠉᱾᱿‼‽⁇⁈⁉⸮⸼꓿꘎꘏꡶꡷꧈꧉﹖﹗！．？\n"
CLAUSE_MARKS = "，：,:】」"
SENTENCE = re.compile("[^%s]*(?:[%s]|$)" % (re.escape(ENDERS), re.escape(ENDERS)))
CLAUSE = re.compile("[^%s]*(?:[%s]|$)" % (re.escape(CLAUSE_MARKS), re.escape(CLAUSE_MARKS)))


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
        offset = match.start()
        clauses = []
        for clause in CLAUSE.finditer(sentence):
            piece = clause.group()
            if piece:
                clauses.append({"id": len(clauses), "tense": "done", "offset": offset + clause.start(),
                                "length": len(piece), "text": piece})
        out.write(dumps({"id": sentence_id, "offset": offset, "length": len(sentence),
                         "text": sentence, "clauses": clauses},
                        ensure_ascii=False, separators=(",", ":")))
        out.write("\n")
        sentence_id += 1


if __name__ == "__main__":
    main()
