// Checks of the state engine's pure parts: the table, time and engine modes run under
// ctest; tests/python/test_nonce_cache_native.py drives the siphash mode.
//
//   nonce_cache_check siphash   lines "k0 k1 data" (hex; data "-" when empty) on stdin,
//                               one hash in hex per line on stdout
//   nonce_cache_check table N   N random operations on string tables, compared
//                               with std::unordered_map; also sizing, clear, keys
//   nonce_cache_check time      elapsed_between and ban_end_second edge cases
//   nonce_cache_check engine    the state engine's table work on a clock the test
//                               moves: bucket rotation, ban end seconds, the
//                               dropping of ended bans (also against a model),
//                               a hydration that runs out of memory part-way
// Exit status 0 when every check held; otherwise the first failure on stderr.
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "nonce_cache/siphash.h"
#include "nonce_cache/state_engine.h"
#include "nonce_cache/string_table.h"

#include "check.h"

// operator new and delete of this program, so that a check can make large
// allocations fail: any block larger than FAIL_NEW_ABOVE throws std::bad_alloc.
static std::size_t FAIL_NEW_ABOVE = SIZE_MAX;

static void* allocate(std::size_t n, std::size_t alignment) {
    if (n > FAIL_NEW_ABOVE) throw std::bad_alloc();
    if (n == 0) n = 1;
    void* p = alignment <= alignof(std::max_align_t)
                  ? std::malloc(n)
                  : std::aligned_alloc(alignment, (n + alignment - 1) / alignment * alignment);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* operator new(std::size_t n) { return allocate(n, 0); }
void* operator new[](std::size_t n) { return allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) {
    return allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

std::string from_hex(std::string_view hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

int run_siphash() {
    std::string k0, k1, data;
    while (std::cin >> k0 >> k1 >> data) {
        const SipKey key{std::stoull(k0, nullptr, 16), std::stoull(k1, nullptr, 16)};
        const std::string bytes = data == "-" ? std::string() : from_hex(data);
        std::printf("%016" PRIx64 "\n", siphash13(key, bytes));
    }
    return 0;
}

// Short keys from a small alphabet that includes NUL, so that keys collide in
// their hash's low bits, share prefixes and differ only in trailing bytes.
std::string random_key(std::mt19937_64& rng) {
    static constexpr char ALPHABET[] = {'a', 'b', '\0', ' ', 'A'};
    std::string key(rng() % 6, 'a');
    for (char& c : key) c = ALPHABET[rng() % sizeof ALPHABET];
    if (rng() % 8 == 0) key += std::string(20 + rng() % 40, 'x');  // past the small-string buffer
    // Around 127 bytes, where a stored key's length moves out of its header byte.
    if (rng() % 16 == 0) key += std::string(122 + rng() % 8, 'y');
    return key;
}

template <class Table>
void check_same(const Table& table, const std::unordered_map<std::string, std::uint64_t>& model) {
    CHECK(table.size() == model.size());
    std::size_t seen = 0;
    table.for_each([&](std::string_view key, const auto&) {
        CHECK(model.count(std::string(key)) == 1);
        ++seen;
    });
    CHECK(seen == model.size());
}

void differential(std::size_t operations, std::size_t room, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    StringTable<std::uint64_t> table(room);
    std::unordered_map<std::string, std::uint64_t> model;
    for (std::size_t i = 0; i < operations; ++i) {
        const std::string key = random_key(rng);
        switch (rng() % 5) {
            case 0:
            case 1: {
                const std::uint64_t value = rng();
                const bool added = (rng() % 2 == 0)
                                       ? table.insert_or_assign(std::string_view(key), value)
                                       : table.insert_or_assign(std::string(key), value);
                CHECK(added == (model.count(key) == 0));
                model[key] = value;
                break;
            }
            case 2:
            case 3: {
                CHECK(table.erase(key) == (model.erase(key) == 1));
                break;
            }
            default: {
                const std::optional<std::uint64_t> found = table.find(key);
                const auto it = model.find(key);
                CHECK(found.has_value() == (it != model.end()));
                if (found) CHECK(*found == it->second);
            }
        }
        // Never more than 7/8 of the slots in use, and a power of two of them.
        CHECK(table.size() <= table.room());
        CHECK((table.slot_count() & (table.slot_count() - 1)) == 0);
        if (i % 97 == 0) check_same(table, model);
    }
    check_same(table, model);
    for (const auto& [key, value] : model) {
        const std::optional<std::uint64_t> found = table.find(key);
        CHECK(found && *found == value);
    }
}

void sizing_and_clear() {
    StringSet bucket(NONCE_BUCKET_ROOM);
    CHECK(bucket.slot_count() == 16'384 && bucket.room() == 14'336);
    StringTable<std::uint64_t> bans(IP_BAN_ROOM);
    CHECK(bans.slot_count() == 2'048 && bans.room() == 1'792);

    // Fills to the last entry of its room without growing, then doubles.
    for (std::size_t i = 0; i < NONCE_BUCKET_ROOM; ++i) {
        const std::string key = "nonce-" + std::to_string(i);
        CHECK(!bucket.contains(key));
        bucket.insert_absent(std::string(key), bucket.hash(key), NoValue{});
    }
    CHECK(bucket.slot_count() == 16'384 && bucket.size() == NONCE_BUCKET_ROOM);
    const SipKey key_before = bucket.key();
    bucket.insert_or_assign(std::string_view("one more"), NoValue{});
    CHECK(bucket.slot_count() == 32'768 && bucket.size() == NONCE_BUCKET_ROOM + 1);
    CHECK(bucket.key() == key_before);
    for (std::size_t i = 0; i < NONCE_BUCKET_ROOM; ++i) {
        CHECK(bucket.contains("nonce-" + std::to_string(i)));
    }

    // Clear keeps the grown room and the key.
    bucket.clear();
    CHECK(bucket.empty() && bucket.slot_count() == 32'768 && bucket.key() == key_before);
    CHECK(bucket.arena_bytes() == 0);
    CHECK(!bucket.contains("nonce-1"));
    CHECK(bucket.insert_or_assign(std::string_view("nonce-1"), NoValue{}));

    // Ban/unban churn at a steady size under half the room reclaims deleted
    // slots instead of growing.
    for (std::size_t i = 0; i < 200'000; ++i) {
        bans.insert_or_assign(std::string_view("ip-" + std::to_string(i)), i);
        if (i >= 800) CHECK(bans.erase("ip-" + std::to_string(i - 800)));
    }
    CHECK(bans.size() == 800 && bans.slot_count() == 2'048);
    // Erased keys' bytes are reclaimed too: about 18 bytes per live entry, at
    // most as many again erased, plus the least amount worth compacting.
    CHECK(bans.arena_bytes() <= 2 * 800 * 18 + 4096);
    for (std::size_t i = 200'000 - 800; i < 200'000; ++i) {
        const std::optional<std::uint64_t> found = bans.find("ip-" + std::to_string(i));
        CHECK(found && *found == i);
    }

    // A moved-from table is empty and can be filled again.
    StringSet moved(8);
    moved.insert_or_assign(std::string_view("x"), NoValue{});
    StringSet taken(std::move(moved));
    CHECK(taken.contains("x") && moved.empty() && !moved.contains("x"));
    CHECK(moved.insert_or_assign(std::string_view("y"), NoValue{}) && moved.contains("y"));
    moved.clear();
    CHECK(moved.empty());
}

// Each later table on a thread takes the previous key with its first half + 1;
// another thread draws its own random key.
void keys() {
    StringSet a(1), b(1), c(1);
    CHECK(b.key().k0 == a.key().k0 + 1 && b.key().k1 == a.key().k1);
    CHECK(c.key().k0 == b.key().k0 + 1 && c.key().k1 == b.key().k1);
    SipKey other;
    std::thread([&] { other = StringSet(1).key(); }).join();
    CHECK(!(other == a.key()) && !(other == b.key()) && !(other == c.key()));
}

int run_table(std::size_t operations) {
    sizing_and_clear();
    keys();
    differential(operations, 1, 1);      // one group: constant rebuilding and deletions
    differential(operations, 60, 2);     // many collisions of the 7 control bits
    differential(operations, 1'792, 3);  // the ban table's room
    return 0;
}

int run_time() {
    using I = MonotonicInstant;
    constexpr std::int64_t MIN = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
    CHECK((elapsed_between(I{10, 0}, I{70, 0}) == Duration{60, 0}));
    CHECK((elapsed_between(I{10, 900'000'000}, I{70, 100'000'000}) == Duration{59, 200'000'000}));
    CHECK((elapsed_between(I{70, 0}, I{10, 0}) == Duration{}));  // clock went back
    CHECK((elapsed_between(I{5, 2}, I{5, 1}) == Duration{}));
    CHECK((elapsed_between(I{-60, 0}, I{0, 0}) == Duration{60, 0}));
    CHECK((elapsed_between(I{MIN, 0}, I{MAX, 999'999'999}) ==
           Duration{std::numeric_limits<std::uint64_t>::max(), 999'999'999}));
    CHECK((Duration{59, 999'999'999} < BUCKET_DURATION && Duration{60, 0} >= BUCKET_DURATION));
    CHECK((Duration{60, 1} > BUCKET_DURATION && Duration{61, 0} > Duration{60, 999'999'999}));

    constexpr std::uint64_t LAST = std::numeric_limits<std::uint64_t>::max();
    CHECK(ban_end_second(1'700'000'000, 60) == 1'700'000'060);
    CHECK(ban_end_second(0, LAST) == LAST);
    CHECK(ban_end_second(1, LAST) == LAST);
    CHECK(ban_end_second(LAST - 5, 5) == LAST);
    CHECK(ban_end_second(LAST - 5, 6) == LAST);
    CHECK(ban_end_second(LAST, 0) == LAST);
    return 0;
}

// --- the state engine on a clock the test sets ------------------------------------

MonotonicInstant fake_now;
std::int64_t fake_step_nanos = 0;  // added after every reading

MonotonicInstant fake_clock() {
    const MonotonicInstant reading = fake_now;
    fake_now.nanos += fake_step_nanos;
    fake_now.secs += fake_now.nanos / 1'000'000'000;
    fake_now.nanos %= 1'000'000'000;
    return reading;
}

// Sets the fake clock to `secs` seconds and `nanos` nanoseconds after second 1000.
void at(std::int64_t secs, std::int64_t nanos = 0) { fake_now = {1000 + secs, nanos}; }

bool consume(StateEngine& e, std::string_view nonce) { return consume_nonce(e, nonce, fake_clock); }

bool buckets(const StateEngine& e, std::size_t current, std::size_t previous) {
    return e.current_bucket.size() == current && e.previous_bucket.size() == previous;
}

void rotation() {
    // A rotation exactly when 60 s have passed since the last one, not a nanosecond sooner.
    at(0);
    StateEngine e = make_state_engine(fake_clock);
    CHECK(consume(e, "n"));
    at(59, 999'999'999);
    CHECK(consume(e, "x") && buckets(e, 2, 0));
    CHECK(!consume(e, "n"));
    at(60);
    CHECK(consume(e, "y") && buckets(e, 1, 2));
    CHECK(!consume(e, "n") && buckets(e, 1, 2));  // refused from the previous bucket, not moved
    at(119, 999'999'999);
    CHECK(!consume(e, "n"));
    at(120);
    CHECK(consume(e, "n") && buckets(e, 1, 1));  // the second rotation forgot it

    // Ten idle minutes rotate once; the old current bucket is still refused.
    at(720);
    CHECK(!consume(e, "n") && buckets(e, 0, 1));
    at(779, 999'999'999);
    CHECK(!consume(e, "n"));
    at(780);
    CHECK(consume(e, "n") && buckets(e, 1, 0));

    // The clock going back is no time at all.
    at(100);
    CHECK(!consume(e, "n") && buckets(e, 1, 0));

    // A clear restarts the 60 seconds.
    at(800);
    clear_state(e, fake_clock());
    CHECK(buckets(e, 0, 0) && consume(e, "n"));
    at(859, 999'999'999);
    CHECK(consume(e, "a") && buckets(e, 2, 0));
    at(860);
    CHECK(consume(e, "b") && buckets(e, 1, 2));

    // The rotation time is read after the old bucket is released, not the
    // reading that decided to rotate: here the clock moves 5 s per reading.
    at(0);
    StateEngine s = make_state_engine(fake_clock);  // created at 0
    at(60);
    fake_step_nanos = 5'000'000'000;
    CHECK(consume(s, "p"));  // decides at 60, rotates, restarts at 65
    fake_step_nanos = 0;
    CHECK(s.last_rotation.secs == 1065 && s.last_rotation.nanos == 0);
    at(124, 999'999'999);
    CHECK(consume(s, "q") && buckets(s, 2, 0));
    at(125);
    CHECK(consume(s, "r") && buckets(s, 1, 2));

    // A call every second: a nonce is accepted again 125 s after it was added
    // (the rotations at 60 and 120 have dropped it), refused at 59, 60 and 119.
    at(0);
    StateEngine t = make_state_engine(fake_clock);
    CHECK(consume(t, "n"));
    for (std::int64_t second = 1; second <= 125; ++second) {
        at(second);
        CHECK(consume(t, "filler-" + std::to_string(second)));
        if (second == 59 || second == 60 || second == 119) CHECK(!consume(t, "n"));
    }
    CHECK(consume(t, "n"));
}

void ban_end_seconds() {
    at(0);
    StateEngine e = make_state_engine(fake_clock);
    ban_ip(e, "a", 5000, 1000);
    ban_ip(e, "a", 1060, 1000);  // the shorter ban replaces the longer one
    CHECK(is_ip_banned(e, "a", 1059) && !is_ip_banned(e, "a", 1060));
    StateStats stats = state_stats(e, 1059);
    CHECK(stats.active_ip_bans == 1 && stats.ended_ip_bans == 0);
    stats = state_stats(e, 1060);  // a ban ending in the current second is over
    CHECK(stats.active_ip_bans == 0 && stats.ended_ip_bans == 1);

    // Hydration: a pair ending at or before now is skipped and leaves the entry
    // as it was; the last unexpired pair of an address wins.
    const std::string addresses = "cccddd";
    const BanPair pairs[] = {{1, 9000}, {2, 1150}, {3, 1100}, {4, 2000}, {5, 1200}, {6, 1100}};
    ban_ip(e, "d", 2000, 1100);
    hydrate_bans(e, addresses, pairs, 1100);
    CHECK(is_ip_banned(e, "c", 1149) && !is_ip_banned(e, "c", 1150));
    CHECK(is_ip_banned(e, "d", 1199) && !is_ip_banned(e, "d", 1200));
    unban_ip(e, "c");
    CHECK(!is_ip_banned(e, "c", 1100));
}

std::string address(std::size_t i) { return "2001:db8::" + std::to_string(i); }

void ended_bans_are_dropped() {
    at(0);
    StateEngine e = make_state_engine(fake_clock);
    // 200,000 bans of one second each, one second after the other: when the
    // table would grow, the ended ones are dropped instead, so it never holds
    // more than a few thousand.
    for (std::size_t i = 0; i < 200'000; ++i) {
        const std::uint64_t now = 1'000'000 + i / 1'000;  // 1,000 bans a second
        ban_ip(e, address(i), now + 1, now);
        CHECK(e.ip_bans.size() <= 4'000);
    }
    CHECK(e.ip_bans.slot_count() <= 8'192);
    const std::uint64_t last = 1'000'000 + 199;
    CHECK(state_stats(e, last).active_ip_bans == 1'000);
    CHECK(is_ip_banned(e, address(199'999), last) && !is_ip_banned(e, address(198'999), last));

    // Dropping on request: only ended bans go, and the table shrinks back to
    // the room it was made with.
    CHECK(reclaim_ended_bans(e, last + 1));
    CHECK(e.ip_bans.empty() && e.ip_bans.slot_count() == 2'048);
    CHECK(!reclaim_ended_bans(e, last + 1));
    ban_ip(e, "x", 10, 0);
    ban_ip(e, "y", 20, 0);
    CHECK(reclaim_ended_bans(e, 10) && e.ip_bans.size() == 1 && is_ip_banned(e, "y", 19));
}

// Random bans, unbans, hydrations, queries and a clock that moves forward,
// compared with a model that stores every ban for ever: the answers must not
// tell the difference.
void dropping_against_a_model(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    at(0);
    StateEngine e = make_state_engine(fake_clock);
    std::unordered_map<std::string, std::uint64_t> model;
    std::uint64_t now = 1'000;
    for (std::size_t i = 0; i < 60'000; ++i) {
        const std::string ip = "ip-" + std::to_string(rng() % 3'000);
        switch (rng() % 8) {
            case 0:
            case 1:
            case 2: {
                const std::uint64_t end = ban_end_second(now, rng() % 40);
                ban_ip(e, ip, end, now);
                model[ip] = end;
                break;
            }
            case 3:
                unban_ip(e, ip);
                model.erase(ip);
                break;
            case 4: {
                std::string addresses;
                std::vector<BanPair> pairs;
                for (std::size_t k = rng() % 50; k > 0; --k) {
                    const std::string one = "ip-" + std::to_string(rng() % 3'000);
                    addresses += one;
                    pairs.push_back({addresses.size(), now - 5 + rng() % 60});
                    if (pairs.back().expires_at > now) model[one] = pairs.back().expires_at;
                }
                hydrate_bans(e, addresses, pairs, now);
                break;
            }
            case 5:
                if (rng() % 16 == 0) reclaim_ended_bans(e, now);
                break;
            default: {
                const auto it = model.find(ip);
                CHECK(is_ip_banned(e, ip, now) == (it != model.end() && now < it->second));
            }
        }
        if (rng() % 20 == 0) now += rng() % 5;
        if (i % 499 == 0) {
            std::uint64_t active = 0;
            for (const auto& [key, end] : model) active += end > now ? 1 : 0;
            CHECK(state_stats(e, now).active_ip_bans == active);
        }
    }
}

// The active bans of a table with their end seconds.
std::map<std::string, std::uint64_t> active_bans(const StateEngine& e, std::uint64_t now) {
    std::map<std::string, std::uint64_t> out;
    e.ip_bans.for_each([&](std::string_view ip, std::uint64_t end) {
        if (end > now) out.emplace(std::string(ip), end);
    });
    return out;
}

// A hydration whose table cannot grow part-way stores nothing: the pairs
// stored before the failure, new addresses and new end seconds of old ones
// alike, are taken back.
void hydration_all_or_nothing() {
    at(0);
    StateEngine e = make_state_engine(fake_clock);
    const std::uint64_t now = 1'000;
    for (std::size_t i = 0; i < 1'000; ++i) ban_ip(e, "old-" + std::to_string(i), 5'000, now);
    for (std::size_t i = 0; i < 10; ++i) ban_ip(e, "ended-" + std::to_string(i), 900, 800);
    const auto before = active_bans(e, now);

    std::string addresses;
    std::vector<BanPair> pairs;
    auto add = [&](const std::string& ip, std::uint64_t end) {
        addresses += ip;
        pairs.push_back({addresses.size(), end});
    };
    for (std::size_t i = 0; i < 500; ++i) add("old-" + std::to_string(i), 7'000);
    for (std::size_t i = 0; i < 20'000; ++i) {
        add("new-" + std::to_string(i), 6'000);
        if (i % 1'000 == 0) add("new-0", 6'000 + i);  // an address stored again
    }
    // The table grows 2,048 -> 4,096 -> 8,192 -> 16,384 slots on the way; the
    // next growth needs a 256 KiB block of offsets and fails.
    FAIL_NEW_ABOVE = 200'000;
    bool failed = false;
    try {
        hydrate_bans(e, addresses, pairs, now);
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    FAIL_NEW_ABOVE = SIZE_MAX;
    CHECK(failed);
    CHECK(active_bans(e, now) == before);
    CHECK(!is_ip_banned(e, "new-0", now) && e.ip_bans.find("old-0") == 5'000);

    hydrate_bans(e, addresses, pairs, now);  // with the memory there: all of it
    CHECK(e.ip_bans.find("old-0") == 7'000 && e.ip_bans.find("old-999") == 5'000);
    CHECK(e.ip_bans.find("new-0") == 6'000 + 19'000 && e.ip_bans.find("new-19999") == 6'000);
    CHECK(state_stats(e, now).active_ip_bans == 21'000);
}

int run_engine() {
    hydration_all_or_nothing();
    rotation();
    ban_end_seconds();
    ended_bans_are_dropped();
    dropping_against_a_model(7);
    dropping_against_a_model(8);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "siphash") return run_siphash();
    if (mode == "table") return run_table(argc > 2 ? std::stoul(argv[2]) : 100'000);
    if (mode == "time") return run_time();
    if (mode == "engine") return run_engine();
    std::fprintf(stderr, "usage: %s siphash|table [operations]|time|engine\n", argv[0]);
    return 2;
}
