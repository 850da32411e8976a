#!/usr/bin/python3
"""Sets our word-vector store beside the peer that Python users load word2vec
files with (gensim's KeyedVectors, Debian's python3-gensim), on the same
generated file of 100,000 words x 300 dimensions in both variants.

Usage: /usr/bin/python3 bench/embedding_peer.py BUILD-DIR

Writes the files with BUILD-DIR/bench/make_embeddings when they are missing,
gets our figures and results from embedding_bench --dump and embedding_memory,
measures the peer on the same work, checks that vectors, similarities and
neighbour order agree within float rounding, and prints every figure for
both. Exits non-zero when the results disagree.
"""
import json
import os
import subprocess
import sys
import time
import warnings

import bench_packages

DATA = os.environ.get("KELVRA_BENCH_DATA", "bench/data")
FILES = {"text": os.path.join(DATA, "embedding.txt"), "binary": os.path.join(DATA, "embedding.bin")}


def ensure_peer():
    try:
        import gensim  # noqa: F401
    except ImportError:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        subprocess.run(sudo + ["apt-get", "install", "-y", "-qq", "python3-gensim"], check=True, env=env)


def status_bytes(field):
    """A field of /proc/self/status in bytes; VmHWM starts afresh at exec,
    unlike getrusage's maximum, which a child inherits from its parent."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def peer_load(variant):
    """Runs in a child process: load one variant, report time and memory."""
    from gensim.models import KeyedVectors
    before = status_bytes("VmRSS")
    start = time.perf_counter()
    kv = KeyedVectors.load_word2vec_format(FILES[variant], binary=(variant == "binary"))
    load_s = time.perf_counter() - start
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        kv.init_sims(replace=True)
    total_s = time.perf_counter() - start
    peak = status_bytes("VmHWM")
    matrix = kv.vectors.nbytes
    words = sum(len(w.encode("utf-8")) for w in kv.index_to_key)
    print(json.dumps({"load_s": load_s, "load_and_normalise_s": total_s, "peak_rss_mb": peak / 1e6,
                      "before_load_mb": before / 1e6, "ratio": (peak - before) / (matrix + words)}))


def run_json(command):
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--child-load":
        peer_load(sys.argv[2])
        return 0
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = sys.argv[1]
    ensure_peer()
    import logging
    logging.disable(logging.WARNING)  # the peer warns about init_sims(replace=True)
    from gensim.models import KeyedVectors

    bench_packages.embedding_files(build, DATA)
    dump_path = os.path.join(DATA, "embedding_ours.json")
    subprocess.run([os.path.join(build, "bench", "embedding_bench"), "--benchmark_filter=^$",
                    "--dump", dump_path], check=True, capture_output=True)
    with open(dump_path, encoding="utf-8") as f:
        ours = json.load(f)
    figures = ours["figures"]
    memory = {v: run_json([os.path.join(build, "bench", "embedding_memory"), FILES[v]] +
                          (["--binary"] if v == "binary" else [])) for v in FILES}
    peer_memory = {v: run_json([sys.executable, __file__, "--child-load", v]) for v in FILES}

    # Best of several loads, as for ours: the machine is shared.
    peer_load_s = {}
    for variant, runs in (("text", 2), ("binary", 3)):
        for _ in range(runs):
            kv = None
            start = time.perf_counter()
            kv = KeyedVectors.load_word2vec_format(FILES[variant], binary=(variant == "binary"))
            elapsed = time.perf_counter() - start
            peer_load_s[variant] = min(peer_load_s.get(variant, elapsed), elapsed)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        kv.init_sims(replace=True)
    queries = list(ours["similar"].keys())
    singles, batch = queries[:200], queries[200:]
    start = time.perf_counter()
    peer_similar = {w: kv.most_similar(w, topn=10) for w in singles}
    peer_single_ms = (time.perf_counter() - start) * 1e3 / len(singles)
    start = time.perf_counter()
    peer_similar.update({w: kv.most_similar(w, topn=10) for w in batch})
    peer_batch_ms = (time.perf_counter() - start) * 1e3 / len(batch)

    # Agreement: vectors, similarities, neighbour order.
    vector_diff = max(max(abs(a - float(b)) for a, b in zip(v, kv[w])) for w, v in ours["vectors"].items())
    sim_diff, same_order, near_tie_only, differ = 0.0, 0, 0, []
    for w in queries:
        mine, theirs = ours["similar"][w], peer_similar[w]
        theirs_sims = dict(theirs)
        for word, sim in mine:
            if word in theirs_sims:
                sim_diff = max(sim_diff, abs(sim - theirs_sims[word]))
        if [x[0] for x in mine] == [x[0] for x in theirs]:
            same_order += 1
            continue
        # A swap between scores equal within float rounding is not a disagreement.
        close = len(mine) == len(theirs) and all(
            a[0] == b[0] or abs(a[1] - b[1]) < 1e-6 for a, b in zip(mine, theirs))
        if close:
            near_tie_only += 1
        else:
            differ.append(w)

    rows = [
        ("text load, MB/s", figures["load_text_mb_s"], figures["text_mb"] / peer_load_s["text"], "10x faster"),
        ("binary load, MB/s", figures["load_binary_mb_s"], figures["binary_mb"] / peer_load_s["binary"], "5x faster"),
        ("most_similar top 10, ms/query", figures["most_similar_ms_per_query"], peer_single_ms, "no slower"),
        ("batch of 64, ms/query", figures["batch64_ms_per_query"], peer_batch_ms, "5x faster"),
        ("text: peak RSS, MB", memory["text"]["peak_rss_mb"], peer_memory["text"]["peak_rss_mb"], ""),
        ("text: growth / (matrix + words)", memory["text"]["ratio"], peer_memory["text"]["ratio"], "<= 1.15"),
        ("binary: peak RSS, MB", memory["binary"]["peak_rss_mb"], peer_memory["binary"]["peak_rss_mb"], ""),
        ("binary: growth / (matrix + words)", memory["binary"]["ratio"], peer_memory["binary"]["ratio"], "<= 1.15"),
    ]
    print("embedding_peer: %s (%.0f MB) and %s (%.0f MB), matrix %.1f MB, words %.2f MB" % (
        FILES["text"], figures["text_mb"], FILES["binary"], figures["binary_mb"],
        memory["text"]["matrix_mb"], memory["text"]["words_mb"]))
    print("%-36s %12s %12s %10s  %s" % ("figure", "ours", "peer", "advantage", "target"))
    for name, mine, theirs, target in rows:
        ratio = theirs / mine if mine else float("nan")
        if "MB/s" in name:
            ratio = mine / theirs
        print("%-36s %12.3f %12.3f %10.2f  %s" % (name, mine, theirs, ratio, target))
    print("peer load + normalise: text %.2f s, binary %.2f s" % (
        peer_memory["text"]["load_and_normalise_s"], peer_memory["binary"]["load_and_normalise_s"]))
    print("agreement: max vector difference %.2e, max similarity difference %.2e; "
          "neighbour order identical for %d of %d queries, %d more differ only between "
          "scores within 1e-6, %d differ" % (vector_diff, sim_diff, same_order, len(queries),
                                             near_tie_only, len(differ)))
    ok = vector_diff < 1e-6 and sim_diff < 1e-5 and not differ
    if not ok:
        print("embedding_peer: results DISAGREE (e.g. %s)" % differ[:5])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
