#include "nonce_cache/string_table.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/fatal.h"

// glibc declares getrandom() from 2.25 on; a build against older glibc headers
// (the manylinux2014 wheel targets 2.17) makes the system call itself, which
// Linux has had since 3.17.
#if defined(__GLIBC__) && (__GLIBC__ < 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ < 25))
#include <sys/syscall.h>
#define VELKORA_RAW_GETRANDOM 1
#endif

namespace {

// Kernels before 3.17 have no getrandom (the manylinux2014 systems' reference,
// CentOS 7, shipped 3.10): there /dev/urandom, which those kernels seed at boot.
ssize_t read_urandom(unsigned char* bytes, std::size_t count) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t n = ::read(fd, bytes, count);
    const int read_errno = errno;
    ::close(fd);
    errno = read_errno;
    return n;
}

ssize_t fill_random(unsigned char* bytes, std::size_t count) {
#ifdef VELKORA_RAW_GETRANDOM
    const auto n = static_cast<ssize_t>(::syscall(SYS_getrandom, bytes, count, 0U));
#else
    const ssize_t n = ::getrandom(bytes, count, 0);
#endif
    if (n < 0 && errno == ENOSYS) return read_urandom(bytes, count);
    return n;
}

// 16 bytes from the kernel's random source. Blocks only until the pool is
// initialised at boot; a failure other than an interruption ends the process,
// since a table with a guessable key is not one we want to run with.
SipKey random_key() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = fill_random(bytes + got, sizeof bytes - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            fatal("getrandom failed: " + std::string(std::strerror(errno)));
        }
        got += static_cast<std::size_t>(n);
    }
    SipKey key;
    for (std::size_t i = 0; i < 8; ++i) {
        key.k0 |= std::uint64_t{bytes[i]} << (8 * i);
        key.k1 |= std::uint64_t{bytes[8 + i]} << (8 * i);
    }
    return key;
}

}  // namespace

SipKey next_table_key() {
    // Trivially destructible thread locals: nothing to tear down at thread exit.
    thread_local bool drawn = false;
    thread_local SipKey last;
    if (!drawn) {
        last = random_key();
        drawn = true;
    } else {
        last.k0 += 1;  // unsigned: wraps at 2^64
    }
    return last;
}
