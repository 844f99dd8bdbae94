#!/usr/bin/env bash
# Installs the one wheel in WHEEL_DIR, with every extra that pyproject.toml
# declares, into a fresh virtual environment and runs the test suite against it,
# all but the suites marked browser and cluster (they run once in CI, on the
# build). VELKORA_WHEEL names the wheel file for the test of its platform tag.
# The tests run from a scratch copy of tests/ (with pyproject.toml for the
# pytest settings, src/ for the native tests that compile C++ sources and
# examples/ for the test of the embedding example; not the documentation, whose links
# make test checks in the repository), so
# the only velkora_core_rs that can be imported is the installed one; the import
# is checked before the run.
#
# usage: tools/test_wheel.sh PYTHON WHEEL_DIR [PYTEST_ARGS...]
set -euo pipefail
python=$1 wheel_dir=$2
shift 2

wheels=("$wheel_dir"/*.whl)
if [[ ${#wheels[@]} -ne 1 || ! -f ${wheels[0]} ]]; then
    echo "error: expected exactly one wheel in $wheel_dir" >&2
    exit 1
fi
wheel=$(realpath "${wheels[0]}")
root=$(pwd)

scratch=$(mktemp -d "${TMPDIR:-/tmp}/velkora-wheel-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# A venv made by a venv's interpreter is based on the same base interpreter,
# which is the one the wheel was built for.
"$python" -m venv "$scratch/venv"
venv_python=$scratch/venv/bin/python
extras=$("$python" -c 'import sys, tomllib
print(",".join(tomllib.load(open(sys.argv[1], "rb"))["project"]["optional-dependencies"]))' "$root/pyproject.toml")
echo "installing $(basename "$wheel") with extras [$extras]"
"$venv_python" -m pip install --disable-pip-version-check -q "$wheel[$extras]"

mkdir -p "$scratch/tree"
cp "$root/pyproject.toml" "$scratch/tree/"
cp -r "$root/tests" "$root/src" "$root/fuzz" "$root/examples" "$scratch/tree/"
find "$scratch/tree" -name __pycache__ -prune -exec rm -rf {} +

cd "$scratch/tree"
# -P: the working directory is not put on sys.path.
for module in velkora_core_rs velkora._signals; do
    location=$("$venv_python" -P -c "import importlib; print(importlib.import_module('$module').__file__)")
    case $location in
        "$scratch/venv/"*) echo "testing $(basename "$wheel"), $module installed as $location" ;;
        *) echo "error: $module was imported from $location, not from the wheel" >&2
           exit 1 ;;
    esac
done
# The shared sample sessions sit beside the repository, not beside the scratch copy.
export VELKORA_SHARED_DATA=${VELKORA_SHARED_DATA:-$(dirname "$root")/shared/data}
VELKORA_WHEEL=$wheel PATH="$scratch/venv/bin:$PATH" "$venv_python" -P -m pytest -p no:cacheprovider \
    --rootdir "$scratch/tree" tests/python tests/wheel -q -m "not browser and not cluster and not slow and not chaos and not failover" \
    --ignore=tests/python/test_docs_links.py "$@"
