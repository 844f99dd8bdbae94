// SipHash-1-3: one compression round per 8-byte word, three finalisation rounds,
// 64-bit result. Keyed, so that callers who choose the strings a table holds
// cannot predict where they land; one round instead of two because the inputs
// are short and the key is per table and never leaves the process.
#pragma once

#include <cstdint>
#include <string_view>

struct SipKey {
    std::uint64_t k0 = 0;  // the first eight key bytes, read little-endian
    std::uint64_t k1 = 0;  // the last eight

    friend bool operator==(const SipKey&, const SipKey&) = default;
};

// The hash of `data` under `key`. Reads the bytes as given: no terminator, NULs included.
std::uint64_t siphash13(const SipKey& key, std::string_view data) noexcept;
