"""What the Python tests share: the build tree (KRR_BUILD_DIR, set by ctest; else build/ in
the checkout), whose python/ folder holds the package, and
octave-cli with the built modules for the tests that compare bits with Octave."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("KRR_BUILD_DIR", SOURCE / "build"))
# KRRARD_INSTALLED=1 tests the package as installed (pip) instead of the build tree's.
if not os.environ.get("KRRARD_INSTALLED") and (BUILD / "python" / "krrard").is_dir():
    sys.path.insert(0, str(BUILD / "python"))


@pytest.fixture(scope="session")
def octave():
    """run(script, folder): runs Octave code in folder with the build's modules and the
    test helpers (c_srand) on the path; fails on a nonzero exit, with its output."""
    cli = os.environ.get("OCTAVE_CLI") or shutil.which("octave-cli")
    if not cli or not (BUILD / "tarvel.mex").exists():
        pytest.skip("octave-cli or the built Octave modules are missing: no comparison with Octave")

    def run(script, folder):
        path = pathlib.Path(folder) / "compare.m"
        path.write_text(script)
        prelude = (f"addpath('{BUILD}', '{BUILD / 'test_helpers'}'); cd('{folder}'); "
                   "warning('off', 'Octave:language-extension'); ")
        done = subprocess.run([cli, "-q", "-H", "--norc", "--eval", prelude + "compare"],
                              capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout
    return run
