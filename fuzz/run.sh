#!/usr/bin/env bash
# Usage: fuzz/run.sh PYTHON WORKDIR TARGET...
#
# Builds the extension with clang under AddressSanitizer, UndefinedBehaviorSanitizer
# and libFuzzer's coverage instrumentation into WORKDIR/build, then runs each
# target of fuzz/targets.py under atheris for FUZZ_SECONDS seconds. Inputs that
# find new coverage go to WORKDIR/corpus/TARGET; fuzz/corpus/TARGET holds the
# seeds kept in the repository and is only read. A crash, a sanitizer report or
# a failed check stops the run with a non-zero status and leaves the input in
# WORKDIR/artifacts. With FUZZ_MERGE=1 nothing is fuzzed: the inputs gathered in
# WORKDIR/corpus are folded into fuzz/corpus instead.
#
# The sanitizer runtime is the clang one that atheris ships with libFuzzer in it
# (asan_with_fuzzer.so); it has to be preloaded into the uninstrumented
# interpreter, as gcc's is for `make test-asan`. It lacks the handlers of two
# UBSan checks, vptr and function, so the list below is clang's "undefined"
# group without them; -fno-sanitize-recover=all comes from CMake.
set -euo pipefail

if [[ $# -lt 3 ]]; then
    echo "usage: $0 PYTHON WORKDIR TARGET..." >&2
    exit 2
fi
# Absolute paths, without resolving the venv's interpreter symlink.
bindir=$(cd "$(dirname "$1")" && pwd)
py=$bindir/$(basename "$1")
mkdir -p "$2"
work=$(cd "$2" && pwd)
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-60}

cxx=${FUZZ_CXX:-}
if [[ -z $cxx ]]; then
    for candidate in clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++; do
        if command -v "$candidate" >/dev/null; then cxx=$candidate; break; fi
    done
fi
if [[ -z $cxx ]]; then
    echo "error: fuzzing needs clang for libFuzzer's coverage instrumentation" \
         "(Debian: apt-get install clang-19), or FUZZ_CXX set to a clang++" >&2
    exit 2
fi

runtime=$("$py" -c "import atheris, os; print(os.path.join(atheris.path(), 'asan_with_fuzzer.so'))")

sanitize=address,fuzzer-no-link,alignment,bool,builtin,array-bounds,enum,float-cast-overflow
sanitize+=,integer-divide-by-zero,nonnull-attribute,null,object-size,pointer-overflow,return
sanitize+=,returns-nonnull-attribute,shift,signed-integer-overflow,unreachable,vla-bound

mkdir -p "$work/artifacts"
"$bindir/cmake" -S "$root" -B "$work/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$bindir/ninja" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$py" -DVELKORA_SANITIZE="$sanitize" >"$work/configure.log" ||
    { cat "$work/configure.log" >&2; exit 1; }
"$bindir/cmake" --build "$work/build" >"$work/build.log" 2>&1 ||
    { tail -n 60 "$work/build.log" >&2; exit 1; }

fuzz() {
    # PYTHONPATH puts the instrumented build ahead of whatever the venv has installed, and
    # the source tree's velkora package after it, into which run.py slots the build's
    # velkora._signals (VELKORA_FUZZ_BUILD).
    env LD_PRELOAD="$runtime" PYTHONMALLOC=malloc PYTHONPATH="$work/build:$root/python" \
        VELKORA_FUZZ_BUILD="$work/build" \
        ASAN_OPTIONS="detect_leaks=0:allocator_release_to_os_interval_ms=-1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$py" "$root/fuzz/run.py" "$@"
}

total=0
for target in "$@"; do
    mkdir -p "$work/corpus/$target" "$root/fuzz/corpus/$target"
    log=$work/$target.log
    if [[ ${FUZZ_MERGE:-} == 1 ]]; then
        # Folds the inputs of earlier runs into the stored seeds: the smallest set
        # of them that keeps all the coverage both directories reach.
        merged=$work/merged/$target
        rm -rf "$merged" && mkdir -p "$merged"
        fuzz "$target" -set_cover_merge=1 -detect_leaks=0 "$merged" "$root/fuzz/corpus/$target" \
            "$work/corpus/$target" >"$log" 2>&1 || { tail -n 40 "$log" >&2; exit 1; }
        rm -rf "$root/fuzz/corpus/$target" && mv "$merged" "$root/fuzz/corpus/$target"
        echo "fuzz $target: $(find "$root/fuzz/corpus/$target" -type f | wc -l) seeds after merging"
        continue
    fi
    status=0
    fuzz "$target" "$work/corpus/$target" "$root/fuzz/corpus/$target" \
        -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -detect_leaks=0 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
        >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [[ $status -ne 0 || -z $runs ]]; then
        tail -n 80 "$log" >&2
        echo "fuzz $target: FAILED (status $status); log $log, inputs in $work/artifacts" >&2
        exit 1
    fi
    corpus=$(find "$work/corpus/$target" "$root/fuzz/corpus/$target" -type f | wc -l)
    echo "fuzz $target: $runs executions in ${seconds}s, corpus $corpus, no findings"
    total=$((total + runs))
done
[[ ${FUZZ_MERGE:-} == 1 ]] || echo "fuzz: $total executions over $# target(s), no findings"
