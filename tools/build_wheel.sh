#!/usr/bin/env bash
# Builds the sdist and, from that sdist, a wheel; auditwheel then reports the
# manylinux policy the wheel meets and writes the retagged wheel and the sdist
# to the output folder. Building from the sdist proves that it holds every
# file the build needs. auditwheel and patchelf must be on the PATH.
#
# usage: tools/build_wheel.sh PYTHON RAW_DIR OUT_DIR
set -euo pipefail
python=$1 raw=$2 out=$3

rm -rf "$raw" "$out"
mkdir -p "$raw" "$out"
# No isolation: the build requirements are already installed in this venv, and a
# fresh one per build would fetch them again.
"$python" -m build --no-isolation --outdir "$raw" .

wheels=("$raw"/*.whl)
sdists=("$raw"/*.tar.gz)
if [[ ${#wheels[@]} -ne 1 || ${#sdists[@]} -ne 1 ]]; then
    echo "error: expected one wheel and one sdist in $raw" >&2
    exit 1
fi
"$python" -m auditwheel show "${wheels[0]}"
"$python" -m auditwheel repair --wheel-dir "$out" "${wheels[0]}"
cp "${sdists[0]}" "$out"/
ls -l "$out"
