"""Builds the Python package for pip: CMake builds the C++ library and the
extension, and the wheel carries the extension with the module libraries
and the Cantonese data beside it (kelvra/libkelvra_*.so.0,
kelvra/data/). JOBS sets the build's parallelism (default 2)."""
import glob
import os
import shutil
import subprocess
import sys

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_py):
    def run(self):
        super().run()
        build = os.path.join(ROOT, "build-pip")
        subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        "-DKELVRA_BUILD_TESTS=OFF", "-DKELVRA_BUILD_BENCH=OFF", "-DKELVRA_INSTALL=OFF",
                        "-DKELVRA_BUILD_PYTHON=ON", "-DPython3_EXECUTABLE=" + sys.executable,
                        # The libraries find each other and the extension finds
                        # them through $ORIGIN, wherever the wheel is installed.
                        "-DCMAKE_BUILD_WITH_INSTALL_RPATH=ON"], check=True)
        subprocess.run(["cmake", "--build", build, "-j", os.environ.get("JOBS", "2"),
                        "--target", "kelvra_python"], check=True)
        package = os.path.join(self.build_lib, "kelvra")
        for extension in glob.glob(os.path.join(build, "python", "kelvra", "_native*.so")):
            shutil.copy2(extension, package)
        for library in glob.glob(os.path.join(build, "src", "libkelvra_*.so.*")):
            if library.rsplit(".so.", 1)[1].isdigit():
                shutil.copy2(library, package)  # the name the extension asks for: libkelvra_X.so.0
        # The Cantonese translator finds its data in data/ beside its library.
        os.makedirs(os.path.join(package, "data"), exist_ok=True)
        for name in ("c2m.tsv", "mandarin_words.txt", "c2m_rules.tsv"):
            shutil.copy2(os.path.join(ROOT, "src", "kelvra", "nlp", "common", "lang", "data", name),
                         os.path.join(package, "data"))


class BinaryDistribution(Distribution):
    def has_ext_modules(self):
        return True


# setuptools' own build folder goes beside CMake's, not into the build/ of `make`.
setup(cmdclass={"build_py": CMakeBuild}, distclass=BinaryDistribution,
      options={"build": {"build_base": os.path.join("build-pip", "setuptools")}})
