// The symbol sequences a trace sketch is made of: one symbol per pointer
// movement (how it turns and grows from the movement before it) and one per
// keystroke (its flight and hold against the session's own medians). Each is
// built to survive what a replay does to a recorded trace (translation,
// rotation, scaling, a little jitter, a uniform change of tempo, lost or
// doubled samples, other sample instants) and carries an estimate of how much
// it tells two sessions apart, its cost. Pure: no interpreter calls, and no
// function of the math library: quantities are compared against constant
// boundaries, computed with the four basic operations in a fixed order, so the
// symbols are the same on every machine.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "keystrokes/keystrokes.h"
#include "kinematics/telemetry.h"

struct Symbol {
    std::uint16_t code = 0;  // what the symbol is; equal codes are the same symbol
    std::uint16_t cost = 0;  // its information, in tenths of a bit (an a-priori estimate)
};

// --- pointer -------------------------------------------------------------------------

// A pause is an interval between consecutive samples (by time) longer than a
// factor times the session's typical positive interval (the mean of their
// middle half): relative to the session's own sampling, so a uniform change of
// tempo moves no boundary. A replay shortens or lengthens a pause by about one
// interval, which moves the pauses close to the threshold across it; the path
// is cut at several thresholds, half an octave apart, whose symbols and
// shingles all go into the sketch, so that a pause near one of them still
// leaves the cuts at the others intact. The lowest is a few intervals: a
// replay sampled again at another pace keeps the short stops of a recording
// made at ~110 ms, and without them a window of a hundred samples has too few
// movements to make a shingle.
inline constexpr std::array<double, 5> POINTER_PAUSE_FACTORS = {3.0, 4.5, 6.75, 10.0, 15.0};
// Pauses are compared with this relative slack, so that an interval exactly at
// the threshold stays on the same side when every time is scaled (times in Unix
// milliseconds lose their last bits to rounding when they are).
inline constexpr double POINTER_PAUSE_SLACK = 1e-5;
// A movement whose chord is shorter than this fraction of the session's long
// chords (the 90th percentile) is too small to carry a direction that jitter
// leaves alone: it is joined to the movement after it.
inline constexpr double POINTER_MIN_CHORD_FRACTION = 0.1;
// Turning angle between consecutive chords: 12 sectors of 30 degrees, sector 0
// centred on a full reversal.
inline constexpr int POINTER_TURN_SECTORS = 12;
// Chord length ratio: steps of half an octave, clamped to +-4 steps.
inline constexpr int POINTER_RATIO_STEPS = 4;
// Bend: the largest sideways excursion of a movement from its chord, as a
// fraction of the chord; below this the movement counts as straight.
inline constexpr double POINTER_BEND_FRACTION = 0.12;

// For each of POINTER_PAUSE_FACTORS, one symbol per pair of consecutive
// movements, in time order. `points` are the accepted samples in input order;
// they are ordered by time here (a stable sort: equal time stamps keep their
// input order).
std::vector<std::vector<Symbol>> pointer_symbols(std::span<const MousePoint> points);

// --- keys ----------------------------------------------------------------------------

// Key times take whole milliseconds and repeat, so a median stays put when a
// replay moves some of them by a millisecond or two (a mean of the middle half,
// as for pointer intervals, was measured to keep fewer shingles when a
// keystroke is lost).
// Each keystroke is measured against the medians of the KEY_REFERENCE_STROKES
// keystrokes before it (fewer at the start of the session): a median over the
// whole session moves with the window's length, and with it every symbol.
inline constexpr std::size_t KEY_REFERENCE_STROKES = 12;
// Flight (press to press) against the reference's median positive flight: steps
// of 0.6 octave, -3 ... +4 (a flight of zero, or one without a reference, counts
// as the shortest).
inline constexpr int KEY_FLIGHT_LOW = -3;
inline constexpr int KEY_FLIGHT_HIGH = 4;
// Hold (press to release) against the reference's median hold: steps of half an
// octave, -2 ... +2; a keystroke without a hold, or without a hold to compare it
// with, has a code of its own.
inline constexpr int KEY_HOLD_STEPS = 2;
// Key codes fit in one byte: a shingle of keys is hashed one byte per symbol.
static_assert((KEY_FLIGHT_HIGH - KEY_FLIGHT_LOW + 1) * (2 * KEY_HOLD_STEPS + 2) <= 256);

// One symbol per keystroke after the first, in press order (a stable sort by
// press time). Keystrokes repeated exactly (same press and release time) count
// once. Key names are not used: only the timing is.
std::vector<Symbol> key_symbols(std::span<const KeystrokeEvent> keys);

// The same symbols as a session without releases has them: the hold part
// dropped, the flight kept. A collector that sends key presses only (no
// release) replays the same run with these symbols, so a sketch holds the
// shingles of both.
std::vector<Symbol> flight_symbols(std::span<const Symbol> symbols);
