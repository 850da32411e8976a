"""Prints where the Python of an installation prefix finds packages,
relative to the prefix:  python3 site_dir.py PREFIX

A Python installed at the prefix itself (a virtual environment, say) is
asked directly. Otherwise the answer is for this interpreter: Debian's
Python looks in lib/python3/dist-packages under /usr and in
lib/python3.X/dist-packages under other prefixes such as /usr/local;
other builds in lib/python3.X/site-packages.
"""
import os
import subprocess
import sys
import sysconfig


def main():
    prefix = os.path.abspath(sys.argv[1])
    own = os.path.join(prefix, "bin", "python3")
    if os.access(own, os.X_OK):
        site = subprocess.run([own, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
                              capture_output=True, text=True).stdout.strip()
        if site and os.path.abspath(site).startswith(prefix + os.sep):
            print(os.path.relpath(site, prefix))
            return
    version = "python%d.%d" % sys.version_info[:2]
    if "deb_system" in sysconfig.get_scheme_names():
        print(os.path.join("lib", "python3" if prefix == "/usr" else version, "dist-packages"))
    else:
        print(os.path.join("lib", version, "site-packages"))


if __name__ == "__main__":
    main()
