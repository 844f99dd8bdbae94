#!/usr/bin/env bash
# Builds the sdist and, from that sdist, a wheel; auditwheel then reports the
# manylinux policy the wheel meets and writes the manylinux2014 wheel and the
# sdist to the output folder. Building from the sdist proves that it holds every
# file the build needs. auditwheel and patchelf must be on the PATH, and PYTHON
# must have the ziglang package (the wheel extra).
#
# The compiler is Zig's clang (tools/zig_cxx.sh) aimed at glibc 2.17, whatever
# glibc this machine has, with Zig's libc++ linked statically; only the module is
# built that way (the native test programs need the host's libpython and glibc).
#
# usage: tools/build_wheel.sh PYTHON RAW_DIR OUT_DIR
set -euo pipefail
python=$1 raw=$2 out=$3
root=$(cd "$(dirname "$0")/.." && pwd)

export VELKORA_ZIG_TARGET=x86_64-linux-gnu.2.17
VELKORA_ZIG=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export VELKORA_ZIG
# Zig builds its libc++ and glibc stubs once per target (about 100 s) into its
# global cache; keeping that outside the clone lets later builds and CI reruns
# skip it.
export ZIG_GLOBAL_CACHE_DIR=${ZIG_GLOBAL_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/velkora/zig}
export CXX=$root/tools/zig_cxx.sh
# Zig's driver turns -O3 into -O2 and keeps frame pointers; the gcc build has -O3
# and none. -Xclang -O3 reaches the compiler proper after Zig's -O2, so it wins.
# -g0 and --strip-debug: Zig compiles and links its libc++ with debug information.
export CXXFLAGS="-fomit-frame-pointer -Xclang -O3 -g0 ${CXXFLAGS:-}"
export LDFLAGS="-Wl,--strip-debug ${LDFLAGS:-}"
echo "compiler: $("$VELKORA_ZIG" version) zig c++ -target $VELKORA_ZIG_TARGET (cache $ZIG_GLOBAL_CACHE_DIR)"

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
"$python" -m auditwheel repair --plat manylinux2014_x86_64 --wheel-dir "$out" "${wheels[0]}"
cp "${sdists[0]}" "$out"/
ls -l "$out"
