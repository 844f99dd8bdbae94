#!/usr/bin/env bash
# Prints the path of a CPython >= 3.13 (standard build, with the interpreter
# lock) that actually runs; pyenv shims on the PATH may exist without working.
set -u
ok() {
    "$1" -c 'import sys, sysconfig
sys.exit(0 if sys.version_info >= (3, 13) and sys.implementation.name == "cpython"
         and not sysconfig.get_config_var("Py_GIL_DISABLED") else 1)' >/dev/null 2>&1
}
for cand in python3.14 python3.13; do
    if path=$(command -v "$cand" 2>/dev/null) && ok "$path"; then
        echo "$path"; exit 0
    fi
done
root=${PYENV_ROOT:-$HOME/.pyenv}
for path in $(ls -d "$root"/versions/3.1[3-9]*/bin/python3 2>/dev/null | sort -rV); do
    if ok "$path"; then echo "$path"; exit 0; fi
done
echo "error: velkora_core_rs needs CPython >= 3.13 (standard build with the GIL): none found as" \
     "python3.14/python3.13 on the PATH or under $root/versions/3.1[3-9]*" >&2
exit 1
