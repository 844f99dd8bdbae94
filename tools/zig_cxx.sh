#!/usr/bin/env bash
# The C++ compiler of the manylinux wheel: Zig's clang with its own libc++ (linked
# statically) and glibc stubs of the version in VELKORA_ZIG_TARGET, so the module
# links only against symbols that glibc already had then. VELKORA_ZIG is the zig
# binary (tools/build_wheel.sh sets both).
exec "${VELKORA_ZIG:?path of the zig binary}" c++ -target "${VELKORA_ZIG_TARGET:?zig target triple}" "$@"
