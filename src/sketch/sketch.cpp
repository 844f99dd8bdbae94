#include "sketch/sketch.h"

#include <algorithm>
#include <array>
#include <bit>
#include <string>
#include <string_view>

#include "nonce_cache/siphash.h"

namespace {

// Fixed keys: a sketch must be the same in every process and on every host
// that shares a memory of sketches, so nothing here is random. They keep the
// shingle hashes of the two streams apart from each other. Each is the ASCII of
// "velkora pointer1" and "velkora keys   1", read little-endian; the band
// salt that of "bands  1".
constexpr SipKey POINTER_SHINGLE_KEY{0x2061726f6b6c6576ULL, 0x317265746e696f70ULL};
constexpr SipKey KEY_SHINGLE_KEY{0x2061726f6b6c6576ULL, 0x312020207379656bULL};
constexpr std::uint64_t BAND_SALT = 0x31202073646e6162ULL;

constexpr int BIN_SHIFT = 64 - std::countr_zero(SIGNATURE_SIZE);
// Donor draws for an empty bin before it falls back to the next filled bin.
constexpr std::uint64_t DENSIFY_DRAWS = 32;

// SplitMix64's finaliser: the donor order of an empty bin, and band hashes.
std::uint64_t mix(std::uint64_t z) {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::size_t bin_of(std::uint64_t h) { return static_cast<std::size_t>(h >> BIN_SHIFT); }

}  // namespace

void add_shingle_hashes(Stream stream, std::span<const Symbol> symbols, int min_cost,
                        std::size_t max_symbols, std::vector<std::uint64_t>& out) {
    // A shingle is hashed as the codes of its symbols, little-endian, under its
    // stream's key: laid out once, each shingle is a slice. Key codes fit in one
    // byte each (half the bytes to hash), pointer codes take two.
    const std::size_t width = stream == Stream::keys ? 1 : 2;
    std::string codes(width * symbols.size(), '\0');
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        for (std::size_t b = 0; b < width; ++b) {
            codes[width * i + b] = static_cast<char>(symbols[i].code >> (8 * b));
        }
    }
    const SipKey& key = stream == Stream::pointer ? POINTER_SHINGLE_KEY : KEY_SHINGLE_KEY;
    // Costs are positive, so the shortest run that reaches min_cost never ends
    // earlier for a later start: one pass moves both ends forward.
    const std::size_t n = symbols.size();
    std::size_t end = 0;
    int cost = 0;  // of symbols [start, end)
    for (std::size_t start = 0; start < n; ++start) {
        while (end < n && cost < min_cost) cost += symbols[end++].cost;
        if (cost < min_cost) break;  // every later start has less left to add up
        if (end - start <= max_symbols) {
            out.push_back(siphash13(
                key, std::string_view(codes).substr(width * start, width * (end - start))));
        }
        cost -= symbols[start].cost;
    }
}

namespace {

void sort_unique(std::vector<std::uint64_t>& hashes) {
    std::sort(hashes.begin(), hashes.end());
    hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
}

}  // namespace

// One-permutation MinHash: each shingle falls into the bin of its top bits and
// a bin keeps its smallest hash. An empty bin takes the value of a filled bin
// drawn in a fixed order of its own (the optimal densification of one-
// permutation hashing), so that two sets agree on a bin about as often as the
// Jaccard similarity of the sets, however few shingles they hold.
StreamSketch sketch_of(Stream stream, std::span<const std::uint64_t> shingles) {
    StreamSketch out;
    out.shingles = shingles.size();
    if (shingles.empty()) return out;

    std::array<std::uint64_t, SIGNATURE_SIZE> own{};
    std::array<bool, SIGNATURE_SIZE> filled{};
    for (std::uint64_t h : shingles) {
        const std::size_t bin = bin_of(h);
        if (!filled[bin] || h < own[bin]) own[bin] = h;
        filled[bin] = true;
    }
    out.signature.resize(SIGNATURE_SIZE);
    for (std::size_t i = 0; i < SIGNATURE_SIZE; ++i) {
        if (filled[i]) {
            out.signature[i] = own[i];
            continue;
        }
        std::size_t donor = SIGNATURE_SIZE;
        for (std::uint64_t draw = 1; draw <= DENSIFY_DRAWS && donor == SIGNATURE_SIZE; ++draw) {
            const std::size_t j = bin_of(mix((static_cast<std::uint64_t>(i) << 32) | draw));
            if (filled[j]) donor = j;
        }
        // Rarely (few filled bins), no draw hits one: the next filled bin, in order.
        for (std::size_t k = 1; donor == SIGNATURE_SIZE; ++k) {
            const std::size_t j = (i + k) % SIGNATURE_SIZE;
            if (filled[j]) donor = j;
        }
        out.signature[i] = own[donor];
    }

    // A band's hash mixes its rows into a start made of the stream, the sketch
    // version and the band's index. Its rows are already uniform hashes, so a
    // mixing function is all it needs.
    out.bands.reserve(BAND_COUNT);
    for (std::size_t band = 0; band < BAND_COUNT; ++band) {
        std::uint64_t h = mix(BAND_SALT ^ (static_cast<std::uint64_t>(stream) << 48) ^
                              (static_cast<std::uint64_t>(SKETCH_VERSION) << 40) ^ band);
        for (std::size_t row = 0; row < BAND_ROWS; ++row) {
            h = mix(h ^ out.signature[band * BAND_ROWS + row]);
        }
        out.bands.push_back(h);
    }
    return out;
}

TraceSketch compute_trace_sketch(std::span<const MousePoint> points,
                                 std::span<const KeystrokeEvent> keys) {
    TraceSketch sketch;
    std::vector<std::uint64_t> hashes;
    for (const std::vector<Symbol>& run : pointer_symbols(points)) {
        add_shingle_hashes(Stream::pointer, run, POINTER_SHINGLE_COST, POINTER_SHINGLE_MAX_SYMBOLS,
                           hashes);
    }
    sort_unique(hashes);
    sketch.pointer = sketch_of(Stream::pointer, hashes);
    hashes.clear();
    const std::vector<Symbol> symbols = key_symbols(keys);
    add_shingle_hashes(Stream::keys, symbols, KEY_SHINGLE_COST, KEY_SHINGLE_MAX_SYMBOLS, hashes);
    add_shingle_hashes(Stream::keys, flight_symbols(symbols), KEY_SHINGLE_COST,
                       KEY_SHINGLE_MAX_SYMBOLS, hashes);
    sort_unique(hashes);
    sketch.keys = sketch_of(Stream::keys, hashes);
    return sketch;
}
