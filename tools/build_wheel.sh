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
# The unwinder is the system's libgcc_s.so.1, linked dynamically, not the LLVM
# libunwind that Zig links in statically beside libc++. glibc's pthread_exit and
# pthread_cancel unwind the thread with the libgcc_s.so.1 they load, which calls
# the personality routine of every C++ frame on the way with a libgcc_s context; a
# personality routine bound to a private libunwind reads that context as its own
# cursor and jumps to garbage (CPython ends daemon threads at exit with
# pthread_exit, from inside whatever call they are in). With libgcc_s.so.1 on the
# link line, libc++abi's _Unwind_* calls bind to it and no member of Zig's
# libunwind.a is pulled in (checked after the build). manylinux2014 allows
# libgcc_s.so.1, and these functions have its oldest version, GCC_3.0.
# Zig's driver takes -lgcc_s to mean its own libunwind, so the library goes in by
# path: the one this machine's dynamic loader finds. Only the module's link gets it
# (CMake appends LDFLAGS to CMAKE_MODULE_LINKER_FLAGS_INIT): a recent libgcc_s.so.1
# refers to glibc symbols newer than 2.17, which lld refuses when it links an
# executable (CMake's compiler check) and leaves to the loader in a shared object.
libgcc_s=$("$python" -c '
import ctypes
ctypes.CDLL("libgcc_s.so.1")
with open("/proc/self/maps") as maps:
    print(next(line.split()[-1] for line in maps if line.rstrip().endswith("/libgcc_s.so.1")))')
export CMAKE_ARGS="-DCMAKE_MODULE_LINKER_FLAGS_INIT=$libgcc_s ${CMAKE_ARGS:-}"
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
# The throw path and the personality routine's accessors must come from
# libgcc_s.so.1: had Zig's libunwind.a been pulled in, they would be its own.
# Both extension modules (velkora_core_rs and velkora._signals) are checked, and
# each must export its initialisation function and nothing else.
"$python" - "${wheels[0]}" <<'EOF'
import io, sys, zipfile
from elftools.elf.elffile import ELFFile
expected = {"velkora_core_rs": "PyInit_velkora_core_rs", "velkora/_signals": "PyInit__signals"}
with zipfile.ZipFile(sys.argv[1]) as wheel:
    modules = sorted(name for name in wheel.namelist() if name.endswith(".so"))
    found = {name.split(".")[0]: name for name in modules}
    if sorted(found) != sorted(expected):
        sys.exit(f"error: the wheel holds the modules {modules}, not {sorted(expected)}")
    for stem, module in found.items():
        elf = ELFFile(io.BytesIO(wheel.read(module)))
        symbols = list(elf.get_section_by_name(".dynsym").iter_symbols())
        imported = {s.name for s in symbols
                    if s.name.startswith("_Unwind_") and s["st_shndx"] == "SHN_UNDEF"}
        exported = {s.name for s in symbols if s.name and s["st_shndx"] != "SHN_UNDEF"
                    and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK")}
        wanted = {"_Unwind_RaiseException", "_Unwind_Resume", "_Unwind_GetLanguageSpecificData"}
        if not wanted <= imported:
            sys.exit(f"error: {module} does not take {sorted(wanted - imported)} from libgcc_s.so.1")
        if exported != {expected[stem]}:
            sys.exit(f"error: {module} exports {sorted(exported)}, not only {expected[stem]}")
        print(f"{module} exports {expected[stem]} only and unwinds with libgcc_s.so.1: "
              f"{', '.join(sorted(imported))}")
EOF
"$python" -m auditwheel show "${wheels[0]}"
"$python" -m auditwheel repair --plat manylinux2014_x86_64 --wheel-dir "$out" "${wheels[0]}"
cp "${sdists[0]}" "$out"/
ls -l "$out"
