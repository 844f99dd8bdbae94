// A hash table keyed by byte strings, with open addressing, for the state
// engine's nonce buckets (a set) and its ban table (string -> end second).
//
// Layout: one control byte per slot plus an array of slots. A control byte is
// EMPTY, DELETED, or the low seven bits of the key's hash for a full slot. Slots
// are probed in aligned groups of eight, whose control bytes are read as one
// 64-bit word and matched all at once, so a miss at the highest load (7/8)
// usually reads one or two words and compares no string at all.
//
// Rules of use:
//  * Keys are the exact bytes given: no terminator, NULs and any byte allowed.
//    Lookups take a std::string_view and never copy; a key is copied (or moved
//    in) only when a new entry is stored.
//  * Each table hashes with its own SipHash key, taken from next_table_key()
//    when the table is made and kept through growth and clear().
//  * A table holds at most 7/8 of its slots full or deleted. Inserting beyond
//    that rebuilds it: twice as large, or the same size when at least half of
//    the used slots were deletions.
//  * A moved-from table is empty and has no slots; it may be assigned to,
//    destroyed, or used again (its first insertion gives it slots).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "nonce_cache/siphash.h"

// The key for a table about to be made on this thread: random (from the
// getrandom system call) for the thread's first table, then the previous key
// with its first half increased by one, so that no two tables share a key.
SipKey next_table_key();

struct NoValue {};

namespace string_table_detail {

inline constexpr std::uint8_t CTRL_EMPTY = 0x80;
inline constexpr std::uint8_t CTRL_DELETED = 0xFE;
inline constexpr std::size_t GROUP_WIDTH = 8;
inline constexpr std::uint64_t LOW_BITS = 0x0101010101010101ULL;
inline constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ULL;

// Slots a table needs so that `room` entries fill at most 7/8 of them: a power
// of two, at least one group.
constexpr std::size_t slots_for_room(std::size_t room) {
    std::size_t slots = GROUP_WIDTH;
    while (slots - slots / 8 < room) slots *= 2;
    return slots;
}

constexpr std::size_t room_of(std::size_t slots) { return slots - slots / 8; }

// The eight control bytes of a group, byte i in bits 8i..8i+7 whatever the host order.
inline std::uint64_t load_group(const std::uint8_t* ctrl) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < GROUP_WIDTH; ++i) word |= std::uint64_t{ctrl[i]} << (8 * i);
    return word;
}

// High bit set in every byte equal to h7 (full slots only: EMPTY and DELETED have
// the high bit set, h7 has not). May also flag a full byte just above a true
// match; the caller compares keys anyway.
inline std::uint64_t match_h7(std::uint64_t group, std::uint8_t h7) {
    const std::uint64_t x = group ^ (LOW_BITS * h7);
    return (x - LOW_BITS) & ~x & HIGH_BITS;
}

// High bit set in every EMPTY byte: high bit set, bit 1 clear (DELETED has it set).
inline std::uint64_t match_empty(std::uint64_t group) { return group & ~(group << 6) & HIGH_BITS; }

inline std::uint64_t match_empty_or_deleted(std::uint64_t group) { return group & HIGH_BITS; }

inline std::size_t first_byte(std::uint64_t mask) {
    return static_cast<std::size_t>(std::countr_zero(mask)) / 8;
}

}  // namespace string_table_detail

template <class Value>
class StringTable {
public:
    // Empty, with slots for at least `room` entries before the first rebuild.
    explicit StringTable(std::size_t room) : key_(next_table_key()) {
        allocate(string_table_detail::slots_for_room(room));
    }

    StringTable(const StringTable&) = delete;
    StringTable& operator=(const StringTable&) = delete;

    StringTable(StringTable&& other) noexcept
        : ctrl_(std::exchange(other.ctrl_, nullptr)),
          slots_(std::exchange(other.slots_, nullptr)),
          slot_count_(std::exchange(other.slot_count_, 0)),
          size_(std::exchange(other.size_, 0)),
          growth_left_(std::exchange(other.growth_left_, 0)),
          key_(other.key_) {}

    StringTable& operator=(StringTable&& other) noexcept {
        if (this != &other) {
            release();
            ctrl_ = std::exchange(other.ctrl_, nullptr);
            slots_ = std::exchange(other.slots_, nullptr);
            slot_count_ = std::exchange(other.slot_count_, 0);
            size_ = std::exchange(other.size_, 0);
            growth_left_ = std::exchange(other.growth_left_, 0);
            key_ = other.key_;
        }
        return *this;
    }

    ~StringTable() { release(); }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] std::size_t slot_count() const noexcept { return slot_count_; }
    // Entries the table holds at most before it is rebuilt.
    [[nodiscard]] std::size_t room() const noexcept {
        return string_table_detail::room_of(slot_count_);
    }
    [[nodiscard]] const SipKey& key() const noexcept { return key_; }

    [[nodiscard]] std::uint64_t hash(std::string_view key) const noexcept {
        return siphash13(key_, key);
    }

    // The value stored under `key`, or null. `hash` must be hash(key).
    [[nodiscard]] const Value* find(std::string_view key, std::uint64_t hash) const noexcept {
        const std::size_t at = find_slot(key, hash);
        return at == NOT_FOUND ? nullptr : &slots_[at].value;
    }
    // These two do not even hash the key when the table is empty.
    [[nodiscard]] const Value* find(std::string_view key) const noexcept {
        return empty() ? nullptr : find(key, hash(key));
    }
    [[nodiscard]] bool contains(std::string_view key, std::uint64_t hash) const noexcept {
        return find_slot(key, hash) != NOT_FOUND;
    }
    [[nodiscard]] bool contains(std::string_view key) const noexcept {
        return !empty() && contains(key, hash(key));
    }

    // Stores a key known to be absent; `hash` must be hash(key).
    void insert_absent(std::string&& key, std::uint64_t hash, Value value) {
        if (slot_count_ == 0) rebuild();  // moved-from: no slots yet
        std::size_t at = free_slot(hash);
        if (ctrl_[at] == string_table_detail::CTRL_EMPTY && growth_left_ == 0) {
            rebuild();
            at = free_slot(hash);
        }
        if (ctrl_[at] == string_table_detail::CTRL_EMPTY) --growth_left_;
        std::construct_at(slots_ + at, Slot{std::move(key), std::move(value)});
        ctrl_[at] = h7(hash);
        ++size_;
    }

    // Stores `value` under `key`. A key already present keeps its stored bytes and
    // takes the new value. True when the key was added.
    // A std::string&& key is moved in when stored; a std::string_view is copied.
    template <class Key>
    bool insert_or_assign(Key&& key, Value value) {
        const std::string_view bytes(key);
        const std::uint64_t h = hash(bytes);
        const std::size_t at = find_slot(bytes, h);
        if (at != NOT_FOUND) {
            slots_[at].value = std::move(value);
            return false;
        }
        insert_absent(std::string(std::forward<Key>(key)), h, std::move(value));
        return true;
    }

    // Removes the entry of `key`; false when there was none.
    bool erase(std::string_view key) {
        using namespace string_table_detail;
        const std::size_t at = find_slot(key, hash(key));
        if (at == NOT_FOUND) return false;
        std::destroy_at(slots_ + at);
        --size_;
        // Lookups stop at the first group with an EMPTY byte, so no entry lives
        // further along a probe path that crosses such a group: the slot can be
        // EMPTY again. In a group without one, a lookup for another key may need
        // to run on through it, so the slot is only marked DELETED.
        const std::size_t group = at - at % GROUP_WIDTH;
        if (match_empty(load_group(ctrl_ + group)) != 0) {
            ctrl_[at] = CTRL_EMPTY;
            ++growth_left_;
        } else {
            ctrl_[at] = CTRL_DELETED;
        }
        return true;
    }

    // Removes every entry; keeps the slots (the room the table has grown to) and the key.
    void clear() noexcept {
        if (size_ == 0 && growth_left_ == room()) return;  // nothing stored, nothing deleted
        destroy_entries();
        std::memset(ctrl_, string_table_detail::CTRL_EMPTY, slot_count_);
        size_ = 0;
        growth_left_ = room();
    }

    // Calls f(key, value) for every entry, in slot order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t i = 0; i < slot_count_; ++i) {
            if (is_full(ctrl_[i])) {
                f(std::string_view(slots_[i].key), std::as_const(slots_[i].value));
            }
        }
    }

private:
    struct Slot {
        std::string key;
        [[no_unique_address]] Value value;
    };

    static constexpr std::size_t NOT_FOUND = static_cast<std::size_t>(-1);

    static std::uint8_t h7(std::uint64_t hash) noexcept {
        return static_cast<std::uint8_t>(hash & 0x7F);
    }
    static bool is_full(std::uint8_t ctrl) noexcept { return (ctrl & 0x80) == 0; }

    // Groups are visited at offsets 0, 1, 3, 6, … from the home group; with a
    // power-of-two group count that sequence reaches every group once.
    std::size_t home_group(std::uint64_t hash) const noexcept {
        return static_cast<std::size_t>(hash >> 7) & (group_count() - 1);
    }
    std::size_t group_count() const noexcept {
        return slot_count_ / string_table_detail::GROUP_WIDTH;
    }

    std::size_t find_slot(std::string_view key, std::uint64_t hash) const noexcept {
        using namespace string_table_detail;
        if (size_ == 0) return NOT_FOUND;
        const std::size_t mask = group_count() - 1;
        std::size_t group = home_group(hash);
        for (std::size_t step = 1;; ++step) {
            const std::uint64_t word = load_group(ctrl_ + group * GROUP_WIDTH);
            for (std::uint64_t m = match_h7(word, h7(hash)); m != 0; m &= m - 1) {
                const std::size_t at = group * GROUP_WIDTH + first_byte(m);
                if (slots_[at].key == key) return at;
            }
            // At most 7/8 of the slots are in use, so some group has an EMPTY byte.
            if (match_empty(word) != 0) return NOT_FOUND;
            group = (group + step) & mask;
        }
    }

    // The first EMPTY or DELETED slot on the probe path of `hash`.
    std::size_t free_slot(std::uint64_t hash) const noexcept {
        using namespace string_table_detail;
        const std::size_t mask = group_count() - 1;
        std::size_t group = home_group(hash);
        for (std::size_t step = 1;; ++step) {
            const std::uint64_t m =
                match_empty_or_deleted(load_group(ctrl_ + group * GROUP_WIDTH));
            if (m != 0) return group * GROUP_WIDTH + first_byte(m);
            group = (group + step) & mask;
        }
    }

    void allocate(std::size_t slots) {
        auto ctrl = std::make_unique_for_overwrite<std::uint8_t[]>(slots);
        // Slot storage stays raw until an entry is stored: a fresh table with full
        // room touches only its control bytes.
        slots_ = std::allocator<Slot>().allocate(slots);
        ctrl_ = ctrl.release();
        std::memset(ctrl_, string_table_detail::CTRL_EMPTY, slots);
        slot_count_ = slots;
        size_ = 0;
        growth_left_ = string_table_detail::room_of(slots);
    }

    // Full of entries and deletions: double the slots, or, when at least half of
    // the used slots are deletions, rebuild at the same size to reclaim them.
    void rebuild() {
        std::size_t slots = slot_count_ == 0 ? string_table_detail::GROUP_WIDTH : slot_count_;
        if (size_ > room() / 2) slots *= 2;
        StringTable old(std::move(*this));
        allocate(slots);
        for (std::size_t i = 0; i < old.slot_count_; ++i) {
            if (!is_full(old.ctrl_[i])) continue;
            Slot& from = old.slots_[i];
            const std::uint64_t h = hash(from.key);
            const std::size_t at = free_slot(h);
            std::construct_at(slots_ + at, std::move(from));
            ctrl_[at] = h7(h);
            ++size_;
            --growth_left_;
        }
    }

    void destroy_entries() noexcept {
        for (std::size_t i = 0; i < slot_count_; ++i) {
            if (is_full(ctrl_[i])) std::destroy_at(slots_ + i);
        }
    }

    void release() noexcept {
        if (ctrl_ == nullptr) return;
        destroy_entries();
        std::allocator<Slot>().deallocate(slots_, slot_count_);
        delete[] ctrl_;
        ctrl_ = nullptr;
        slots_ = nullptr;
        slot_count_ = 0;
        size_ = 0;
        growth_left_ = 0;
    }

    std::uint8_t* ctrl_ = nullptr;
    Slot* slots_ = nullptr;
    std::size_t slot_count_ = 0;
    std::size_t size_ = 0;
    std::size_t growth_left_ = 0;  // EMPTY slots that may still be filled before a rebuild
    SipKey key_;
};

using StringSet = StringTable<NoValue>;
template <class Value>
using StringMap = StringTable<Value>;
