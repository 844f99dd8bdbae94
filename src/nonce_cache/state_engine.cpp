#include "nonce_cache/state_engine.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace {

// A ban that has ended by `now`, as a table upkeep predicate.
struct EndedBy {
    std::uint64_t now;
    bool operator()(std::uint64_t expires_at) const noexcept {
        return ban_has_ended(expires_at, now);
    }
};

}  // namespace

StateEngine make_state_engine(MonotonicClock clock) {
    // In this order, so that the keys run current, previous, bans.
    StringSet current(NONCE_BUCKET_ROOM);
    StringSet previous(NONCE_BUCKET_ROOM);
    const MonotonicInstant created = clock();
    StringTable<std::uint64_t> bans(IP_BAN_ROOM);
    return StateEngine{std::move(current), std::move(previous), std::move(bans), created,
                       BUCKET_DURATION};
}

Duration elapsed_between(MonotonicInstant earlier, MonotonicInstant later) noexcept {
    if (later.secs < earlier.secs || (later.secs == earlier.secs && later.nanos < earlier.nanos)) {
        return {};
    }
    // later >= earlier, so the difference fits in 64 unsigned bits even where
    // the signed subtraction could overflow.
    std::uint64_t secs =
        static_cast<std::uint64_t>(later.secs) - static_cast<std::uint64_t>(earlier.secs);
    std::int64_t nanos = later.nanos - earlier.nanos;
    if (nanos < 0) {
        secs -= 1;
        nanos += 1'000'000'000;
    }
    return {secs, static_cast<std::uint64_t>(nanos)};
}

std::uint64_t ban_end_second(std::uint64_t now, std::uint64_t duration_sec) noexcept {
    constexpr std::uint64_t LAST = std::numeric_limits<std::uint64_t>::max();
    return duration_sec > LAST - now ? LAST : now + duration_sec;
}

bool consume_nonce(StateEngine& state, std::string_view nonce, MonotonicClock clock) {
    if (elapsed_between(state.last_rotation, clock()) >= state.bucket_duration) {
        rotate_buckets(state, clock);
    }
    // One hash for the lookup in the current bucket and, if it is new, the
    // insertion. Both buckets' slots start loading before either is searched.
    const std::uint64_t hash = state.current_bucket.hash(nonce);
    state.current_bucket.prefetch_slots(hash);
    if (!state.previous_bucket.empty()) {
        const std::uint64_t previous_hash = state.previous_bucket.hash(nonce);
        state.previous_bucket.prefetch_slots(previous_hash);
        if (state.current_bucket.contains(nonce, hash)) return false;
        if (state.previous_bucket.contains(nonce, previous_hash)) return false;
    } else if (state.current_bucket.contains(nonce, hash)) {
        return false;
    }
    state.current_bucket.insert_absent(nonce, hash, NoValue{});
    return true;
}

void rotate_buckets(StateEngine& state, MonotonicClock clock) {
    StringSet fresh(NONCE_BUCKET_ROOM);
    state.previous_bucket = std::move(state.current_bucket);  // frees the old previous bucket
    state.current_bucket = std::move(fresh);
    // Read after the move, so that the time spent freeing is not counted
    // towards the next bucket.
    state.last_rotation = clock();
}

void ban_ip(StateEngine& state, std::string_view ip, std::uint64_t expires_at, std::uint64_t now) {
    StringTable<std::uint64_t>& table = state.ip_bans;
    table.insert_or_assign_dropping(ip, table.hash(ip), expires_at, EndedBy{now});
}

void unban_ip(StateEngine& state, std::string_view ip) { state.ip_bans.erase(ip); }

bool is_ip_banned(const StateEngine& state, std::string_view ip, std::uint64_t now) {
    const std::optional<std::uint64_t> expires_at = state.ip_bans.find(ip);
    return expires_at.has_value() && !ban_has_ended(*expires_at, now);
}

namespace {

// How many pairs of a hydration end after `now`: those it stores.
std::size_t live_pairs(std::span<const BanPair> bans, std::uint64_t now) {
    return static_cast<std::size_t>(
        std::count_if(bans.begin(), bans.end(),
                      [now](const BanPair& pair) { return !ban_has_ended(pair.expires_at, now); }));
}

// Calls f(address, hash, expires_at), in order, for every pair of a hydration
// that ends after `now`. In batches: hash a batch and start loading the slots
// each pair will probe, then the stored keys, then hand the pairs to `f`. A
// batch's loads then overlap instead of each pair waiting on its own.
template <class F>
void for_each_live_pair(const StringTable<std::uint64_t>& table, std::string_view addresses,
                        std::span<const BanPair> bans, std::uint64_t now, F&& f) {
    constexpr std::size_t BATCH = 32;
    std::string_view ips[BATCH];
    std::uint64_t hashes[BATCH];
    std::size_t address_start = 0;
    for (std::size_t start = 0; start < bans.size(); start += BATCH) {
        const std::span<const BanPair> batch =
            bans.subspan(start, std::min(BATCH, bans.size() - start));
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const std::size_t end = batch[i].address_end;
            ips[i] = addresses.substr(address_start, end - address_start);
            address_start = end;
            if (ban_has_ended(batch[i].expires_at, now)) continue;
            hashes[i] = table.hash(ips[i]);
            table.prefetch_slots(hashes[i]);
        }
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (!ban_has_ended(batch[i].expires_at, now)) table.prefetch_key(hashes[i]);
        }
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (!ban_has_ended(batch[i].expires_at, now)) f(ips[i], hashes[i], batch[i].expires_at);
        }
    }
}

// What a hydration's stored pairs replaced, one record per pair that ends
// after `now`, in order: the previous end second of its address, if it had one.
// Made before the first pair is stored, so that taking the pairs back needs no
// allocation.
class HydrationUndo {
public:
    explicit HydrationUndo(std::size_t pairs)
        : before_(std::make_unique_for_overwrite<std::uint64_t[]>(pairs)), had_(pairs) {}

    void record(std::optional<std::uint64_t> before) noexcept {
        had_[count_] = before.has_value();
        before_[count_] = before.value_or(0);
        ++count_;
    }

    // Takes the recorded pairs back, last first, so that an address stored
    // twice ends with what it held before the first.
    void take_back(StringTable<std::uint64_t>& table, std::string_view addresses,
                   std::span<const BanPair> bans, std::uint64_t now) noexcept {
        std::size_t live = live_pairs(bans, now);
        for (std::size_t j = bans.size(); j-- > 0;) {
            if (ban_has_ended(bans[j].expires_at, now)) continue;
            if (--live >= count_) continue;  // not stored yet
            const std::size_t start = j == 0 ? 0 : bans[j - 1].address_end;
            const std::string_view ip = addresses.substr(start, bans[j].address_end - start);
            if (had_[live]) {
                table.assign_if_present(ip, before_[live]);
            } else {
                table.erase(ip);
            }
        }
    }

private:
    std::unique_ptr<std::uint64_t[]> before_;
    std::vector<bool> had_;
    std::size_t count_ = 0;
};

}  // namespace

void hydrate_bans(StateEngine& state, std::string_view addresses, std::span<const BanPair> bans,
                  std::uint64_t now) {
    StringTable<std::uint64_t>& table = state.ip_bans;
    const std::size_t live = live_pairs(bans, now);
    if (live == 0) return;
    // All or nothing: should the table fail to grow for a pair, the pairs
    // stored before it are taken back and the failure passed on. Growing drops
    // ended bans, which no pair of this hydration is: each ends after `now`.
    HydrationUndo undo(live);
    try {
        for_each_live_pair(
            table, addresses, bans, now,
            [&](std::string_view ip, std::uint64_t hash, std::uint64_t expires_at) {
                undo.record(table.exchange_dropping(ip, hash, expires_at, EndedBy{now}));
            });
    } catch (const std::bad_alloc&) {
        undo.take_back(table, addresses, bans, now);
        throw;
    }
}

void clear_state(StateEngine& state, MonotonicInstant now) {
    state.current_bucket.clear();
    state.previous_bucket.clear();
    state.ip_bans.clear();
    state.last_rotation = now;
}

StateStats state_stats(const StateEngine& state, std::uint64_t now) {
    StateStats stats;
    state.ip_bans.for_each([&](std::string_view, std::uint64_t expires_at) {
        if (!ban_has_ended(expires_at, now)) {
            ++stats.active_ip_bans;
        } else {
            ++stats.ended_ip_bans;
        }
    });
    stats.current_bucket_nonces = state.current_bucket.size();
    stats.previous_bucket_nonces = state.previous_bucket.size();
    return stats;
}

bool reclaim_ended_bans(StateEngine& state, std::uint64_t now) {
    return state.ip_bans.rebuild_dropping(EndedBy{now}, 0);
}
