"""The Python package krrard: `pip install --no-build-isolation .` (with Debian's
python3-setuptools, python3-pybind11, python3-numpy) compiles the extension krrard._core from
python/krrard/_core.cpp and the core's sources (core/), with the core's flags: -O3, no
fused multiply-add (-ffp-contract=off), never fast-math, so that it gives the bits of the
Octave modules."""

import glob
import os

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension, build_ext
from setuptools import setup

here = os.path.dirname(os.path.abspath(__file__))
os.chdir(here)  # the sources below are relative to the checkout
with open("VERSION") as f:
    version = f.read().split()[0]

# KRR_BUILD_JOBS compilers at once (2 by default).
ParallelCompile("KRR_BUILD_JOBS", default=2).install()

core_sources = sorted(glob.glob("core/**/*.cpp", recursive=True))
extension = Pybind11Extension(
    "krrard._core", ["python/krrard/_core.cpp"] + core_sources, include_dirs=["."],
    cxx_std=17, extra_compile_args=["-O3", "-ffp-contract=off", "-DNDEBUG"],
    extra_link_args=["-pthread"])

setup(
    name="krrard",
    version=version,
    description="Exact kernel ridge regression and Gaussian processes with the ARD Gaussian "
                "kernel, with scikit-learn's conventions",
    license="GPL-3.0-or-later",
    packages=["krrard"],
    package_dir={"": "python"},
    ext_modules=[extension],
    cmdclass={"build_ext": build_ext},
    python_requires=">=3.9",
    install_requires=["numpy", "scipy", "scikit-learn"],
    # Out of CMake's build/ folder's way.
    options={"build": {"build_base": "build-setuptools"}},
)
