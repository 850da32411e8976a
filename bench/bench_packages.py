"""Debian packages the benchmark scripts measure against or read data from,
and the generated data they share."""
import os
import subprocess
import sys


def ensure_packages(tool, packages):
    """Installs those of `packages` that are missing, with apt-get (updating
    the package lists once if the first attempt fails); `tool` names the
    script in its message."""
    missing = [p for p in packages
               if "install ok installed" not in subprocess.run(
                   ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True).stdout]
    if not missing:
        return
    print("%s: installing %s" % (tool, " ".join(missing)), file=sys.stderr)
    if subprocess.run(["apt-get", "install", "-y"] + missing).returncode != 0:
        subprocess.run(["apt-get", "update"], check=True)
        subprocess.run(["apt-get", "install", "-y"] + missing, check=True)


def jieba_dictionary(tool):
    """The path of jieba's dict.txt, as python3-jieba installs it."""
    listing = subprocess.run(["dpkg", "-L", "python3-jieba"], capture_output=True, text=True,
                             check=True).stdout.split()
    for path in listing:
        if path.endswith("/jieba/dict.txt"):
            return path
    sys.exit("%s: python3-jieba has no jieba/dict.txt" % tool)


def embedding_files(build, data):
    """The benchmark's word2vec files in `data` (embedding.txt and
    embedding.bin, 100,000 x 300), made with BUILD/bench/make_embeddings
    when either is missing."""
    files = [os.path.join(data, name) for name in ("embedding.txt", "embedding.bin")]
    if not all(os.path.exists(f) for f in files):
        os.makedirs(data, exist_ok=True)
        subprocess.run([os.path.join(build, "bench", "make_embeddings"), data], check=True)
