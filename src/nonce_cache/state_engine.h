// The state engine's table logic: the nonce replay cache and the IP ban table
// of one record, worked on by plain functions. Pure: no interpreter calls, no
// lock and no clock of its own (process_state.h holds the process-wide record,
// its lock and the clock readings).
//
// Rules of use:
//  * The table work reads no clock: the entry points read the real clocks and
//    pass the readings in (or, where a reading must be taken at a particular
//    step, the clock itself), so the native tests can drive time directly.
//  * Table work that fails for want of memory throws std::bad_alloc and leaves
//    the record as it was: a hydration stores all of its pairs or none.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "nonce_cache/string_table.h"

// A reading of the monotonic clock.
struct MonotonicInstant {
    std::int64_t secs = 0;
    std::int64_t nanos = 0;  // 0 ..< 1'000'000'000
};

// Where the table work reads the monotonic clock: monotonic_now in the module.
using MonotonicClock = MonotonicInstant (*)();

struct Duration {
    std::uint64_t secs = 0;
    std::uint64_t nanos = 0;  // 0 ..< 1'000'000'000

    // Seconds first, nanoseconds when the seconds are equal.
    friend auto operator<=>(const Duration&, const Duration&) = default;
};

inline constexpr std::size_t NONCE_BUCKET_ROOM = 14'336;  // 16,384 slots at 7/8
inline constexpr std::size_t IP_BAN_ROOM = 1'792;         // 2,048 slots at 7/8
inline constexpr Duration BUCKET_DURATION{60, 0};
// get_state_engine_stats_rs, which walks every ban anyway, drops the ended ones
// when there are at least this many and more of them than active ones.
inline constexpr std::size_t ENDED_BANS_RECLAIM_MIN = 1'024;

// `later - earlier`, or zero when `later` is the earlier reading.
Duration elapsed_between(MonotonicInstant earlier, MonotonicInstant later) noexcept;

// A ban has ended once the clock reads its end second: ended at `now` when its
// end second is at or before `now`. The one test of a ban's end.
constexpr bool ban_has_ended(std::uint64_t expires_at, std::uint64_t now) noexcept {
    return expires_at <= now;
}

// now + duration, held at 2^64 - 1 rather than wrapping round to a second in
// the past: a very long ban must not end at once.
std::uint64_t ban_end_second(std::uint64_t now, std::uint64_t duration_sec) noexcept;

struct StateEngine {
    StringSet current_bucket;            // nonces consumed since the last rotation
    StringSet previous_bucket;           // those of the bucket before; looked up only
    StringTable<std::uint64_t> ip_bans;  // address -> second at which its ban ends
    MonotonicInstant last_rotation;      // creation, last rotation or last clear
    Duration bucket_duration;
};

struct StateStats {
    std::uint64_t current_bucket_nonces = 0;
    std::uint64_t previous_bucket_nonces = 0;
    std::uint64_t active_ip_bans = 0;
    std::uint64_t ended_ip_bans = 0;  // stored still; not reported
};

// A new record, its rotation clock started by a reading of `clock`.
StateEngine make_state_engine(MonotonicClock clock);

// Table work, run under the lock.
//
// Ended bans (end second at or before `now`) are dropped from the ban table
// whenever it is rebuilt to grow and by reclaim_ended_bans: no query can tell
// an ended ban from no ban, so memory follows the active bans instead of every
// ban ever stored.

// True, and the nonce remembered, when neither bucket holds it. Rotates the
// buckets first when a full bucket duration has passed since the last rotation
// (both read from `clock`).
bool consume_nonce(StateEngine& state, std::string_view nonce, MonotonicClock clock);
// Takes the new rotation time from `clock` after the old buckets are released.
void rotate_buckets(StateEngine& state, MonotonicClock clock);
// Sets the end second of `ip`, later or earlier than a ban it already has.
void ban_ip(StateEngine& state, std::string_view ip, std::uint64_t expires_at, std::uint64_t now);
void unban_ip(StateEngine& state, std::string_view ip);
bool is_ip_banned(const StateEngine& state, std::string_view ip, std::uint64_t now);
// A hydrated pair: where its address ends in the buffer of packed addresses
// (it starts where the previous pair's ends, the first at 0) and the second at
// which its ban ends.
struct BanPair {
    std::size_t address_end = 0;
    std::uint64_t expires_at = 0;
};

// Stores, in order, every pair that ends after `now`, taking its address from
// `addresses`; pairs that have already ended leave the address's entry as it is.
// All or nothing: should the table fail to grow, the pairs already stored are
// taken back before std::bad_alloc is passed on.
void hydrate_bans(StateEngine& state, std::string_view addresses, std::span<const BanPair> bans,
                  std::uint64_t now);
// Empties every table and restarts the rotation clock at `now`.
void clear_state(StateEngine& state, MonotonicInstant now);
StateStats state_stats(const StateEngine& state, std::uint64_t now);
// Drops the bans that have ended by `now`; true when there were any.
bool reclaim_ended_bans(StateEngine& state, std::uint64_t now);
