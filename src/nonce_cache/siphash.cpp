#include "nonce_cache/siphash.h"

#include <bit>
#include <cstddef>

namespace {

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void compress(std::uint64_t word) noexcept {
        v3 ^= word;
        round();
        v0 ^= word;
    }
};

// Little-endian whatever the host order; compilers turn this into one load.
std::uint64_t load_le(const unsigned char* p, std::size_t n) noexcept {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < n; ++i) word |= std::uint64_t{p[i]} << (8 * i);
    return word;
}

}  // namespace

std::uint64_t siphash13(const SipKey& key, std::string_view data) noexcept {
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
               key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t len = data.size();
    const std::size_t whole = len - len % 8;
    for (std::size_t i = 0; i < whole; i += 8) s.compress(load_le(bytes + i, 8));
    // Last block: the remaining bytes, with the length modulo 256 in the top byte.
    s.compress(load_le(bytes + whole, len - whole) | (std::uint64_t{len & 0xffU} << 56));
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}
