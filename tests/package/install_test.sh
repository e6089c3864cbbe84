#!/usr/bin/env bash
# Installs the Octave package from its tarball into a temporary prefix, trains and
# predicts with it in a fresh Octave session, and checks that the results equal those
# of the build tree's modules bit for bit. The two builds run in separate sessions
# because their functions have the same names.
# The modules the package built are checked for their instruction-set clones as the build
# tree's are (tests/core/vector_clones_check.py): the package compiles with other flags.
#   install_test.sh TARBALL BUILD_DIR PACKAGE_NAME VERSION OCTAVE_CLI
set -euo pipefail
tarball=$1 build=$2 name=$3 version=$4 octave=$5
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"   # pkg test writes its log into the current folder

session() { "$octave" -q -H --norc --eval "$1"; }

session "addpath ('$here', '$build/test_helpers');
         check_installed_package ('$tarball', '$name', '$version', '$work', 'installed.mat')"
session "addpath ('$here', '$build', '$build/test_helpers');
         installed = load ('installed.mat');
         seeded_fits ('$build', installed.fits);
         printf ('The installed package and the build tree agree bit for bit.\n')"
python3 "$here/../core/vector_clones_check.py" "$here/../.." "$work"/installed_modules/*.mex
