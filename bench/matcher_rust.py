#!/usr/bin/python3
"""The leftmost kinds against the Rust crate's (Debian's
librust-aho-corasick-dev, built offline with cargo), on python3-jieba's
dictionary over the 8 MB Chinese and ASCII-heavy texts of matcher_bench.

    PYTHONPATH=BUILD-DIR/python /usr/bin/python3 bench/matcher_rust.py RELEASE-DIR [TEXT ...]

RELEASE-DIR is a Release tree with the benchmarks (`make bench` makes
build-release); its matcher_bench writes the texts. Installs the crate,
python3-jieba and cargo's Debian package when missing (a cargo already on
PATH is used). For each kind and text it checks that both find the same
occurrences (the crate's byte offsets turned into code points) and prints
the crate's best search time and that of Automaton.search_arrays (best of
five each, wall time, one thread). TEXT files (UTF-8; real text such as
message catalogues, `msgunfmt` of /usr/share/locale/zh_CN/LC_MESSAGES/*.mo)
are compared and timed too.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_packages  # noqa: E402

RUNS = 5
KINDS = ("leftmost-longest", "leftmost-first")


def build_peer(work):
    """The peer's binary, built in `work` from Debian's crate, offline."""
    project = os.path.join(work, "project")
    shutil.copytree(os.path.join(os.path.dirname(os.path.abspath(__file__)), "matcher_rust"),
                    project)
    cargo_home = os.path.join(work, "cargo")
    os.makedirs(cargo_home)
    with open(os.path.join(cargo_home, "config.toml"), "w") as f:
        f.write('[source.crates-io]\nreplace-with = "debian"\n'
                '[source.debian]\ndirectory = "/usr/share/cargo/registry"\n'
                '[net]\noffline = true\n')
    env = dict(os.environ, CARGO_HOME=cargo_home, CARGO_TARGET_DIR=os.path.join(work, "target"))
    subprocess.run(["cargo", "build", "--release", "--offline", "--quiet"], cwd=project, env=env,
                   check=True)
    return os.path.join(work, "target", "release", "matcher_rust_peer")


def code_point_positions(numpy, data, starts, ends):
    """Byte offsets [starts, ends) in UTF-8 `data` as code point offsets and
    lengths."""
    lead = (numpy.frombuffer(data, dtype=numpy.uint8) & 0xC0) != 0x80
    index = numpy.cumsum(lead) - 1
    offsets = index[starts]
    return offsets, index[ends - 1] + 1 - offsets


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    packages = ["librust-aho-corasick-dev", "python3-jieba"]
    if shutil.which("cargo") is None:
        packages.append("cargo")
    bench_packages.ensure_packages("matcher_rust", packages)
    import numpy
    from kelvra.nlp.common.matcher import Automaton

    dictionary = bench_packages.jieba_dictionary("matcher_rust")
    with open(dictionary, encoding="utf-8") as f:
        words = [line.split(None, 1)[0] for line in f if line.strip()]
    with tempfile.TemporaryDirectory() as work:
        peer = build_peer(work)
        subprocess.run([os.path.join(sys.argv[1], "bench", "matcher_bench"), "--dict",
                        dictionary, "--write-texts", work], check=True)
        automaton = Automaton(words)
        print("| text | kind | occurrences | same | crate ms | ours ms | ratio |")
        print("|---|---|---:|---|---:|---:|---:|")
        named = [(name, os.path.join(work, "matcher_%s.txt" % name)) for name in ("zh", "ascii")]
        named += [(os.path.basename(path), path) for path in sys.argv[2:]]
        for name, path in named:
            with open(path, "rb") as f:
                data = f.read()
            text = data.decode("utf-8")
            for kind in KINDS:
                out = os.path.join(work, "found.txt")
                report = subprocess.run([peer, dictionary, path, kind, str(RUNS), out],
                                        capture_output=True, text=True, check=True).stdout
                crate_ms = float(report.split("best search ")[1].split(" ms")[0])
                found = numpy.loadtxt(out, dtype=numpy.int64, ndmin=2).reshape(-1, 3)
                offsets, lengths = code_point_positions(numpy, data, found[:, 0], found[:, 1])
                best = float("inf")
                for _ in range(RUNS):
                    start = time.perf_counter()
                    ours = automaton.search_arrays(text, kind=kind)
                    best = min(best, time.perf_counter() - start)
                same = (numpy.array_equal(ours[0], offsets) and numpy.array_equal(ours[1], lengths)
                        and numpy.array_equal(ours[2], found[:, 2]))
                print("| %s | %s | %d | %s | %.1f | %.1f | %.2f |" % (
                    name, kind, len(found), "yes" if same else "NO", crate_ms, best * 1e3,
                    crate_ms / (best * 1e3)))
                if not same:
                    sys.exit("matcher_rust: the occurrences differ")


if __name__ == "__main__":
    main()
