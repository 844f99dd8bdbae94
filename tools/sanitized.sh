#!/usr/bin/env bash
# Usage: tools/sanitized.sh COMMAND [ARGS...]
#
# Runs COMMAND with gcc's AddressSanitizer and UndefinedBehaviorSanitizer runtimes
# preloaded, so that an extension built with -fsanitize=address,undefined can be
# imported by the ordinary (uninstrumented) interpreter. Fails when COMMAND fails
# or when any process it started wrote an AddressSanitizer report, even one whose
# exit status was swallowed by a test.
#
# - The ASan runtime has to be the first library of every process: it is put at
#   the head of LD_PRELOAD, and whatever the caller preloads (libfaketime in the
#   clock tests) comes after it.
# - PYTHONMALLOC=malloc sends every Python object to the sanitizer's allocator;
#   with pymalloc's arenas a freed object would still look like valid memory.
# - detect_leaks=0: the interpreter keeps interned strings, static types and
#   module state alive until exit on purpose, so LeakSanitizer would report
#   thousands of blocks at every interpreter exit. A suppressions file cannot
#   separate them from our own leaks either, since every object our code makes
#   is allocated inside libpython. Leaks are measured by tests/python/test_leaks.py
#   instead (object counts and the allocator's live-bytes counter).
# - allocator_release_to_os_interval_ms=-1: otherwise the ASan allocator reads the
#   monotonic clock while it holds its own lock; under libfaketime that clock is
#   libfaketime's, whose first call resolves symbols with dlsym, which allocates,
#   and the process deadlocks in its first malloc.
set -euo pipefail

if [[ $# -eq 0 ]]; then
    echo "usage: $0 COMMAND [ARGS...]" >&2
    exit 2
fi

cxx=${SANITIZER_CXX:-g++}
asan=$("$cxx" -print-file-name=libasan.so)
ubsan=$("$cxx" -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
    if [[ ! -f $lib ]]; then
        echo "error: $cxx has no sanitizer runtime ($lib); install its libasan/libubsan" >&2
        exit 2
    fi
done

reports=$(mktemp -d "${TMPDIR:-/tmp}/sanitizer-reports.XXXXXX")
trap 'rm -rf "$reports"' EXIT

export LD_PRELOAD="$asan $ubsan${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_release_to_os_interval_ms=-1:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
# UBSan ignores log_path when it runs beside ASan like this, so its reports go to
# standard error; built with -fno-sanitize-recover, each one aborts the process,
# and every test that starts a process checks how it ended.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"

status=0
"$@" || status=$?

shopt -s nullglob
found=("$reports"/*)
if [[ ${#found[@]} -gt 0 ]]; then
    for report in "${found[@]}"; do
        echo "=== sanitizer report: $(basename "$report")" >&2
        cat "$report" >&2
    done
    echo "error: ${#found[@]} sanitizer report(s) written" >&2
    [[ $status -ne 0 ]] || status=1
fi
exit "$status"
