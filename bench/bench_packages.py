"""Debian packages the benchmark scripts measure against or read data from."""
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
