// The trace sketch: a compact fingerprint of a session's pointer path and key
// timing, made so that a recorded human trace used again (moved, turned,
// scaled, jittered, slowed down or sped up, with samples lost or doubled,
// sampled again by another sensor) keeps sharing band hashes with the
// original, while the traces of different movements share none.
//
// Each stream (pointer, keys) becomes a sequence of symbols (symbols.h). Runs
// of consecutive symbols that carry at least a fixed amount of information are
// its shingles; a MinHash signature (one permutation, densified) summarises
// the set of shingles, and band hashes of the signature are the keys under
// which a memory of sketches finds candidates. The equal share of two
// signatures estimates the Jaccard similarity of the two shingle sets.
//
// Deterministic and the same bits on every machine: SipHash-1-3 under fixed
// keys, integer costs, no floating-point function from the C library.
// Pure: no interpreter calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "keystrokes/keystrokes.h"
#include "kinematics/telemetry.h"
#include "sketch/symbols.h"

inline constexpr std::int64_t SKETCH_VERSION = 3;

// MinHash values per stream, and rows per band (the bands split the signature).
// One row per band: every shingle is a long run chosen to be rare among
// different people, so one shared value is already telling, and a replay that
// keeps only a tenth of its shingles is still found.
inline constexpr std::size_t SIGNATURE_SIZE = 32;
inline constexpr std::size_t BAND_ROWS = 1;
inline constexpr std::size_t BAND_COUNT = SIGNATURE_SIZE / BAND_ROWS;
static_assert(SIGNATURE_SIZE % BAND_ROWS == 0 && (SIGNATURE_SIZE & (SIGNATURE_SIZE - 1)) == 0);

// Information a shingle needs, in tenths of a bit, and the most symbols it may
// span: a run of common symbols must be longer than a run of rare ones to tell
// two people apart as surely.
inline constexpr int POINTER_SHINGLE_COST = 360;
inline constexpr std::size_t POINTER_SHINGLE_MAX_SYMBOLS = 16;
inline constexpr int KEY_SHINGLE_COST = 360;
inline constexpr std::size_t KEY_SHINGLE_MAX_SYMBOLS = 32;

// Which stream a hash belongs to: its shingles are hashed under a key of their
// own and its bands with the stream's letter, so that a pointer shingle or band
// never equals a key one.
enum class Stream : unsigned char { pointer = 'P', keys = 'K' };

struct StreamSketch {
    std::vector<std::uint64_t> bands;      // BAND_COUNT values, or none without shingles
    std::vector<std::uint64_t> signature;  // SIGNATURE_SIZE values, or none without shingles
    std::uint64_t shingles = 0;            // distinct shingles summarised
};

struct TraceSketch {
    StreamSketch pointer;
    StreamSketch keys;
};

// Appends the shingle hashes of a symbol sequence to `out`: one shingle per
// starting symbol, the shortest run from there whose costs add up to at least
// `min_cost` within `max_symbols` symbols.
void add_shingle_hashes(Stream stream, std::span<const Symbol> symbols, int min_cost,
                        std::size_t max_symbols, std::vector<std::uint64_t>& out);

// Signature and bands of a set of shingle hashes (distinct, any order).
StreamSketch sketch_of(Stream stream, std::span<const std::uint64_t> shingles);

TraceSketch compute_trace_sketch(std::span<const MousePoint> points,
                                 std::span<const KeystrokeEvent> keys);
