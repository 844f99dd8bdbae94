#include "nonce_cache/string_table.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "module/fatal.h"

namespace {

// 16 bytes from the kernel's random source. Blocks only until the pool is
// initialised at boot; a failure other than an interruption ends the process,
// since a table with a guessable key is not one we want to run with.
SipKey random_key() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
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
