#!/usr/bin/python3
"""Makes mandarin_words.txt, the Mandarin word list that keeps the Cantonese
translator's segmenter from cutting Mandarin words apart.

    /usr/bin/python3 make_mandarin_words.py [C2M] [OUT] [RULES]

C2M defaults to c2m.tsv, OUT to mandarin_words.txt and RULES to
c2m_rules.tsv, all beside this script. Needs Debian's python3-jieba (its dict.txt, MIT licence) and opencc
(the t2s conversion); installs them with apt-get when missing.

What goes in, all in simplified characters as OpenCC t2s writes them (the
form in which the translator matches words):
- the Mandarin characters, one a line: those whose jieba entries (the
  character alone and the words holding it) count at least CHAR_MIN_COUNT
  uses, except CANTONESE_ONLY; a dictionary word holding a character that is
  not among them is one that only Cantonese writes;
- every jieba word of two or more Chinese characters that holds a Cantonese
  dictionary word (食 in 食物, 一係 in 一系列), unless it holds a character
  that only Cantonese writes (jieba, made from web text, has a few
  Cantonese words such as 瞓觉);
- the common ones (count at least OVERLAP_MIN_COUNT) among those whose
  beginning or end is the end or beginning of a dictionary word, which
  could otherwise pair with a neighbour into one (出年 across 輸出年份);
- the common ones (count at least RULE_MIN_COUNT) among those that hold a
  word of the rules file (点 in 点心, 好 in 好像), which the rules change
  only in some places;
- dictionary words that Mandarin uses as well (count at least
  SHARED_MIN_COUNT: 今日, 好多, 出面): the dictionary still decides what
  becomes of them, but the translator does not take them for a sign that a
  sentence is Cantonese, as it takes a dictionary word missing here (而家,
  幾耐).
The list only has to change when c2m.tsv gains words; run this script again
then.
"""
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CHAR_MIN_COUNT = 120
# Cantonese characters that jieba counts often enough to pass for Mandarin
# (唔 mostly as an interjection).
CANTONESE_ONLY = set("唔冧哂")
OVERLAP_MIN_COUNT = 1000
SHARED_MIN_COUNT = 100
RULE_MIN_COUNT = 100


def ensure_packages():
    missing = [p for p in ("python3-jieba", "opencc")
               if "install ok installed" not in subprocess.run(
                   ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True).stdout]
    if missing:
        print("make_mandarin_words: installing " + " ".join(missing), file=sys.stderr)
        subprocess.run(["apt-get", "install", "-y"] + missing, check=True)


def jieba_counts():
    listing = subprocess.run(["dpkg", "-L", "python3-jieba"], capture_output=True, text=True,
                             check=True).stdout.split()
    path = next(p for p in listing if p.endswith("/jieba/dict.txt"))
    counts = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 2:
                counts[fields[0]] = counts.get(fields[0], 0) + int(fields[1])
    return counts


def to_simplified(words):
    """t2s of each word, one OpenCC run for all."""
    text = "".join(w + "\n" for w in words)
    out = subprocess.run(["opencc", "-c", "t2s"], input=text.encode(), capture_output=True,
                         check=True).stdout.decode().split("\n")
    assert len(out) == len(words) + 1
    return out[:-1]


def dictionary_words(path):
    words = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.strip().split("\t")
            if len(fields) >= 2:
                words.append(fields[0])
    return set(to_simplified(words))


CLASS = re.compile(r"@[A-Z0-9_]+")


def rule_words(path):
    """The words the rules file gives rules for: a class's words for a class,
    and each filling of a pattern's slot (@V1唔@V1得: 食唔食得, ...)."""
    classes, words = {}, []
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = [field.strip() for field in line.split("\t")]
            while fields and not fields[-1]:
                fields.pop()
            if len(fields) < 2 or not fields[0] or fields[0].startswith("#"):
                continue
            if len(fields) == 2 and CLASS.fullmatch(fields[0]):
                classes[fields[0]] = [w.split("=")[0].strip() for w in fields[1].split("|")]
            elif "guard" not in (fields[2].split() if len(fields) > 2 else []):
                name = CLASS.search(fields[0])
                if name is None:
                    words.append(fields[0])
                else:
                    words.extend(fields[0].replace(name.group(0), w)
                                 for w in classes.get(name.group(0), []))
    return set(to_simplified(words))


def is_chinese(word):
    return all("\u3400" <= c <= "\u9fff" or "\U00020000" <= c <= "\U0003134f" for c in word)


def main():
    c2m = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "c2m.tsv")
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HERE, "mandarin_words.txt")
    rules = sys.argv[3] if len(sys.argv) > 3 else os.path.join(HERE, "c2m_rules.tsv")
    ensure_packages()
    keys = dictionary_words(c2m)
    ruled = rule_words(rules) - keys
    raw = jieba_counts()
    counts = {}
    for word, count in zip(raw, to_simplified(list(raw))):
        counts[count] = counts.get(count, 0) + raw[word]

    uses = {}
    for word, count in counts.items():
        for c in set(word):
            uses[c] = uses.get(c, 0) + count
    characters = {c for c, n in uses.items()
                  if len(c) == 1 and is_chinese(c) and n >= CHAR_MIN_COUNT and c not in CANTONESE_ONLY}
    cantonese_only = {c for key in keys for c in key} - characters
    heads, tails = set(), set()
    for key in keys:
        for i in range(1, len(key)):
            heads.add(key[:i])
            tails.add(key[i:])
    words = set(characters)
    for word, count in counts.items():
        n = len(word)
        if n < 2 or not is_chinese(word) or set(word) & cantonese_only:
            continue
        if word in keys:
            if count >= SHARED_MIN_COUNT:
                words.add(word)
            continue
        holds = any(word[i:j] in keys for i in range(n) for j in range(i + 1, n + 1)) or (
            count >= RULE_MIN_COUNT and any(word[i:j] in ruled for i in range(n) for j in range(i + 1, n + 1)))
        borders = count >= OVERLAP_MIN_COUNT and (
            any(word[i:] in heads for i in range(1, n)) or any(word[:i] in tails for i in range(1, n)))
        if holds or borders:
            words.add(word)

    with open(out, "w", encoding="utf-8") as f:
        f.write("# Mandarin words for the Cantonese segmenter, made by make_mandarin_words.py from\n"
                "# jieba's dict.txt (Debian python3-jieba, MIT licence), c2m.tsv and c2m_rules.tsv; simplified\n"
                "# characters as OpenCC t2s writes them. One word a line; # starts a comment.\n")
        for word in sorted(words, key=lambda w: (len(w), w)):
            f.write(word + "\n")
    print("make_mandarin_words: %d characters and %d words written to %s" % (
        len(characters), len(words) - len(characters), out), file=sys.stderr)


if __name__ == "__main__":
    main()
