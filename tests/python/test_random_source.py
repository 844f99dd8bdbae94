"""The state engine's hash keys come from getrandom, and from /dev/urandom on a kernel without
that system call (before Linux 3.17, as on CentOS 7, which the manylinux2014 wheel reaches).
A preloaded library makes getrandom fail with ENOSYS, both as the glibc function (which the
build for a current glibc calls) and as the raw system call (which the wheel's build for
glibc 2.17 makes)."""

import os
import subprocess
import sys

import native

REFUSE_GETRANDOM = r"""
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <sys/types.h>

static void refused() { fputs("getrandom refused\n", stderr); }

extern "C" ssize_t getrandom(void*, size_t, unsigned) {
    refused();
    errno = ENOSYS;
    return -1;
}

extern "C" long syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long& x : a) x = va_arg(ap, long);
    va_end(ap);
    if (number == SYS_getrandom) {
        refused();
        errno = ENOSYS;
        return -1;
    }
    using Real = long (*)(long, ...);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "syscall"));
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
"""

SCRIPT = """
import sys
print("importing", file=sys.stderr, flush=True)
import velkora_core_rs as core
first, again = core.consume_nonce_rs("n-1"), core.consume_nonce_rs("n-1")
core.ban_ip_rs("192.0.2.1", 60)
print(first, again, core.is_ip_banned_rs("192.0.2.1"), core.get_state_engine_stats_rs())
print("done", file=sys.stderr, flush=True)
"""


def test_keys_come_from_urandom_when_the_kernel_has_no_getrandom(tmp_path):
    source = tmp_path / "refuse_getrandom.cpp"
    source.write_text(REFUSE_GETRANDOM)
    library = native.shared_library(tmp_path, "librefuse_getrandom.so", source, libraries=("dl",))
    # After whatever is preloaded already: a sanitizer runtime must stay first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
    # A fixed hash seed: the interpreter draws no random bytes of its own at start-up.
    env = dict(os.environ, LD_PRELOAD=preload, PYTHONHASHSEED="0")
    done = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split(" ", 3)[:3] == ["True", "False", "True"]
    # The module did ask for getrandom, was refused, and went on.
    module_part = done.stderr.split("importing\n", 1)[1].split("done\n", 1)[0]
    assert "getrandom refused" in module_part, done.stderr
