// A hash table keyed by byte strings, with open addressing, for the state
// engine's nonce buckets (a set) and its ban table (string -> end second).
//
// Layout, chosen so that a stored key costs its own bytes plus a few more and
// no allocation of its own:
//  * The control bytes: one per slot, EMPTY, DELETED, or the low seven bits of
//    the key's hash for a full slot. Slots are probed in aligned groups of
//    eight, whose control bytes are read as one 64-bit word and matched all at
//    once, so a miss at the highest load (7/8) usually reads one or two words
//    and compares no string at all.
//  * The slots: one 64-bit offset each, into the table's key arena.
//  * The key arena: one growing byte buffer holding, per entry, a header byte
//    (an erased flag and the key length, or a marker that an 8-byte length
//    follows), the value, then the key bytes. Entries are packed without
//    alignment and always read and written with memcpy. Entries are appended
//    in insertion order; an erased entry stays in place, flagged, until the
//    arena is compacted.
//
// Rules of use:
//  * Keys are the exact bytes given: no terminator, NULs and any byte allowed.
//    Lookups take a std::string_view and never copy; a key is copied into the
//    arena only when a new entry is stored.
//  * Values are trivially copyable; find() returns a copy (an arena value may
//    be unaligned, so no reference into it is handed out).
//  * Each table hashes with its own SipHash key, taken from next_table_key()
//    when the table is made and kept through growth, compaction and clear().
//  * A table holds at most 7/8 of its slots full or deleted. Inserting beyond
//    that rebuilds it: twice as large, or the same size when at least half of
//    the used slots were deletions. A rebuild also compacts the arena.
//  * Erased entries' bytes are reclaimed by compacting the arena in place once
//    they make up more than half of it (and at least ARENA_COMPACT_MIN bytes),
//    so ban/unban churn does not grow the arena without bound.
//  * A table whose values go stale (the ban table: a ban that has ended) can
//    drop them as part of its upkeep: the *_dropping insertions and
//    rebuild_dropping() leave out every entry `drop(value)` is true for when
//    the table is rebuilt, and size the rebuilt table for what is left, down
//    to the room it was made with, giving back the arena's spare memory too.
//  * Allocation failures throw std::bad_alloc and change nothing: an insertion
//    either stores its entry or leaves the table as it was (a rebuild it did
//    first changes only the layout). Erasing and assigning never fail: a
//    caller that must store all or nothing can take its insertions back.
//  * Any insertion, erasure or clear may move entries in the arena: a key view
//    passed to for_each's callback is valid only until the table changes.
//  * A moved-from table is empty and has no slots; it may be assigned to,
//    destroyed, or used again (its first insertion gives it slots).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
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

// Arena entry header byte: bit 7 marks an erased entry; bits 0..6 hold the key
// length, or LONG_KEY when the length follows as 8 bytes.
inline constexpr std::uint8_t ENTRY_ERASED = 0x80;
inline constexpr std::uint8_t LONG_KEY = 0x7F;
// Erased bytes below this are never worth a compaction.
inline constexpr std::size_t ARENA_COMPACT_MIN = 4096;
inline constexpr std::size_t ARENA_FIRST_CAPACITY = 4096;

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

// A growing byte buffer. Plain bytes, so growth is a realloc, which for large
// buffers remaps pages instead of copying them.
class ByteArena {
public:
    ByteArena() = default;
    ByteArena(const ByteArena&) = delete;
    ByteArena& operator=(const ByteArena&) = delete;
    ByteArena(ByteArena&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteArena& operator=(ByteArena&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~ByteArena() { std::free(data_); }

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] unsigned char* data() noexcept { return data_; }
    [[nodiscard]] const unsigned char* data() const noexcept { return data_; }

    // `n` more bytes at the end, uninitialised; returns their offset.
    std::size_t grow_by(std::size_t n) {
        if (n > capacity_ - size_) reserve_more(n);
        const std::size_t at = size_;
        size_ += n;
        return at;
    }
    // Keeps the capacity.
    void truncate(std::size_t n) noexcept { size_ = n; }
    // Gives back capacity beyond max(size, keep): realloc to a smaller block,
    // which for large blocks returns the pages. When the C library cannot do
    // that in place it may refuse; the buffer then simply stays as it was.
    void shrink_to(std::size_t keep) noexcept {
        const std::size_t capacity = std::max({size_, keep, ARENA_FIRST_CAPACITY});
        if (capacity >= capacity_ || data_ == nullptr) return;
        if (void* smaller = std::realloc(data_, capacity)) {
            data_ = static_cast<unsigned char*>(smaller);
            capacity_ = capacity;
        }
    }

private:
    void reserve_more(std::size_t n) {
        if (n > SIZE_MAX / 2 - size_) throw std::bad_alloc();
        std::size_t capacity = capacity_ == 0 ? ARENA_FIRST_CAPACITY : capacity_ * 2;
        if (capacity < size_ + n) capacity = size_ + n;
        void* grown = std::realloc(data_, capacity);
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<unsigned char*>(grown);
        capacity_ = capacity;
    }

    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace string_table_detail

template <class Value>
class StringTable {
    static_assert(std::is_trivially_copyable_v<Value>);
    static constexpr std::size_t VALUE_BYTES = std::is_empty_v<Value> ? 0 : sizeof(Value);

public:
    // Empty, with slots for at least `room` entries before the first rebuild.
    explicit StringTable(std::size_t room)
        : min_slots_(string_table_detail::slots_for_room(room)), key_(next_table_key()) {
        allocate(min_slots_);
    }

    StringTable(const StringTable&) = delete;
    StringTable& operator=(const StringTable&) = delete;

    StringTable(StringTable&& other) noexcept
        : ctrl_(std::move(other.ctrl_)),
          refs_(std::move(other.refs_)),
          arena_(std::move(other.arena_)),
          slot_count_(std::exchange(other.slot_count_, 0)),
          size_(std::exchange(other.size_, 0)),
          growth_left_(std::exchange(other.growth_left_, 0)),
          erased_bytes_(std::exchange(other.erased_bytes_, 0)),
          min_slots_(other.min_slots_),
          key_(other.key_) {}

    StringTable& operator=(StringTable&& other) noexcept {
        if (this != &other) {
            ctrl_ = std::move(other.ctrl_);
            refs_ = std::move(other.refs_);
            arena_ = std::move(other.arena_);
            slot_count_ = std::exchange(other.slot_count_, 0);
            size_ = std::exchange(other.size_, 0);
            growth_left_ = std::exchange(other.growth_left_, 0);
            erased_bytes_ = std::exchange(other.erased_bytes_, 0);
            min_slots_ = other.min_slots_;
            key_ = other.key_;
        }
        return *this;
    }

    ~StringTable() = default;

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    [[nodiscard]] std::size_t slot_count() const noexcept { return slot_count_; }
    // Entries the table holds at most before it is rebuilt.
    [[nodiscard]] std::size_t room() const noexcept {
        return string_table_detail::room_of(slot_count_);
    }
    [[nodiscard]] const SipKey& key() const noexcept { return key_; }
    // Bytes the key arena uses, erased entries included.
    [[nodiscard]] std::size_t arena_bytes() const noexcept { return arena_.size(); }

    [[nodiscard]] std::uint64_t hash(std::string_view key) const noexcept {
        return siphash13(key_, key);
    }

    // The value stored under `key`, if any. `hash` must be hash(key).
    [[nodiscard]] std::optional<Value> find(std::string_view key,
                                            std::uint64_t hash) const noexcept {
        const std::size_t at = find_slot(key, hash);
        if (at == NOT_FOUND) return std::nullopt;
        return value_at(refs_[at]);
    }
    // These two do not even hash the key when the table is empty.
    [[nodiscard]] std::optional<Value> find(std::string_view key) const noexcept {
        if (empty()) return std::nullopt;
        return find(key, hash(key));
    }
    [[nodiscard]] bool contains(std::string_view key, std::uint64_t hash) const noexcept {
        return find_slot(key, hash) != NOT_FOUND;
    }
    [[nodiscard]] bool contains(std::string_view key) const noexcept {
        return !empty() && contains(key, hash(key));
    }

    // Hints for a batch of lookups, which otherwise wait on memory one after
    // the other. prefetch_slots starts loading the control bytes and offsets
    // of the home group of `hash`; prefetch_key, called once those are likely
    // in cache, the arena entry of the first slot there whose control byte
    // matches. Neither changes anything; both are wasted, not wrong, when the
    // table changes before the lookup. Always inlined: as calls of their own,
    // GCC takes them for functions without effect and drops them.
    [[gnu::always_inline]] void prefetch_slots(std::uint64_t hash) const noexcept {
        if (size_ == 0) return;
        const std::size_t first = home_group(hash) * string_table_detail::GROUP_WIDTH;
        __builtin_prefetch(ctrl_.get() + first);
        __builtin_prefetch(refs_.get() + first);
    }
    [[gnu::always_inline]] void prefetch_key(std::uint64_t hash) const noexcept {
        using namespace string_table_detail;
        if (size_ == 0) return;
        const std::size_t first = home_group(hash) * GROUP_WIDTH;
        const std::uint64_t m = match_h7(load_group(ctrl_.get() + first), h7(hash));
        if (m != 0) __builtin_prefetch(arena_.data() + refs_[first + first_byte(m)]);
    }

    // Stores a key known to be absent; `hash` must be hash(key).
    void insert_absent(std::string_view key, std::uint64_t hash, Value value) {
        insert_absent_dropping(key, hash, value, KeepAll{});
    }
    // The same; should the table have to be rebuilt first, entries whose value
    // `drop` is true for are left out of it.
    template <class Drop>
    void insert_absent_dropping(std::string_view key, std::uint64_t hash, Value value,
                                Drop&& drop) {
        if (slot_count_ == 0) rebuild();  // moved-from: no slots yet
        std::size_t at = free_slot(hash);
        if (ctrl_[at] == string_table_detail::CTRL_EMPTY && growth_left_ == 0) {
            if constexpr (std::is_same_v<std::decay_t<Drop>, KeepAll>) {
                rebuild();
            } else if (!rebuild_dropping(drop, 1)) {
                rebuild();
            }
            at = free_slot(hash);
        }
        // Append first: should the arena fail to grow, the table is unchanged.
        const std::uint64_t ref = append_entry(key, value);
        if (ctrl_[at] == string_table_detail::CTRL_EMPTY) --growth_left_;
        refs_[at] = ref;
        ctrl_[at] = h7(hash);
        ++size_;
    }

    // Stores `value` under `key`. A key already present keeps its stored bytes and
    // takes the new value. True when the key was added.
    bool insert_or_assign(std::string_view key, Value value) {
        return insert_or_assign(key, hash(key), value);
    }
    // The same, with `hash` = hash(key) computed by the caller.
    bool insert_or_assign(std::string_view key, std::uint64_t hash, Value value) {
        return insert_or_assign_dropping(key, hash, value, KeepAll{});
    }
    // The same, with the upkeep of insert_absent_dropping.
    template <class Drop>
    bool insert_or_assign_dropping(std::string_view key, std::uint64_t hash, Value value,
                                   Drop&& drop) {
        const std::size_t at = find_slot(key, hash);
        if (at != NOT_FOUND) {
            set_value_at(refs_[at], value);
            return false;
        }
        insert_absent_dropping(key, hash, value, drop);
        return true;
    }

    // Stores `value` under `key` as insert_or_assign_dropping does; returns the
    // value the key had before, if it was there.
    template <class Drop>
    std::optional<Value> exchange_dropping(std::string_view key, std::uint64_t hash, Value value,
                                           Drop&& drop) {
        const std::size_t at = find_slot(key, hash);
        if (at != NOT_FOUND) {
            const Value before = value_at(refs_[at]);
            set_value_at(refs_[at], value);
            return before;
        }
        insert_absent_dropping(key, hash, value, drop);
        return std::nullopt;
    }

    // Sets the value of `key` if it is there; never allocates.
    bool assign_if_present(std::string_view key, Value value) noexcept {
        if (empty()) return false;
        const std::size_t at = find_slot(key, hash(key));
        if (at == NOT_FOUND) return false;
        set_value_at(refs_[at], value);
        return true;
    }

    // When some entry's value `drop` is true for: rebuilds the table without
    // those entries, with the fewest slots (at least those it was made with)
    // that hold what is left plus `extra` more entries in at most half their
    // room, so that the walk this costs is paid for by as many insertions
    // again; the arena's spare memory beyond a quarter of what is kept is
    // given back. False, and nothing changed, when there is nothing to drop.
    template <class Drop>
    bool rebuild_dropping(Drop&& drop, std::size_t extra) {
        using namespace string_table_detail;
        std::size_t kept = 0;
        for_each([&](std::string_view, const Value& value) { kept += drop(value) ? 0u : 1u; });
        if (kept == size_) return false;
        std::size_t slots = min_slots_;
        while (room_of(slots) / 2 < kept + extra) slots *= 2;
        rebuild_with(slots, drop);
        arena_.shrink_to(arena_.size() + arena_.size() / 4);
        return true;
    }

    // Removes the entry of `key`; false when there was none.
    bool erase(std::string_view key) noexcept {
        using namespace string_table_detail;
        const std::size_t at = find_slot(key, hash(key));
        if (at == NOT_FOUND) return false;
        unsigned char* e = arena_.data() + refs_[at];
        erased_bytes_ += entry_bytes(e);
        *e |= ENTRY_ERASED;
        --size_;
        // Lookups stop at the first group with an EMPTY byte, so no entry lives
        // further along a probe path that crosses such a group: the slot can be
        // EMPTY again. In a group without one, a lookup for another key may need
        // to run on through it, so the slot is only marked DELETED.
        const std::size_t group = at - at % GROUP_WIDTH;
        if (match_empty(load_group(ctrl_.get() + group)) != 0) {
            ctrl_[at] = CTRL_EMPTY;
            ++growth_left_;
        } else {
            ctrl_[at] = CTRL_DELETED;
        }
        if (erased_bytes_ >= ARENA_COMPACT_MIN && erased_bytes_ > arena_.size() / 2) {
            // Compaction is only upkeep: the entry is gone whether or not there
            // is memory for new slots now, and the next erasure tries again.
            try {
                rebuild_with(slot_count_);
            } catch (const std::bad_alloc&) {}
        }
        return true;
    }

    // Removes every entry; keeps the slots (the room the table has grown to), the
    // arena's memory and the key.
    void clear() noexcept {
        if (size_ == 0 && growth_left_ == room() && arena_.size() == 0) return;
        std::memset(ctrl_.get(), string_table_detail::CTRL_EMPTY, slot_count_);
        arena_.truncate(0);
        size_ = 0;
        growth_left_ = room();
        erased_bytes_ = 0;
    }

    // Calls f(key, value) for every entry, in insertion order.
    template <class F>
    void for_each(F&& f) const {
        const unsigned char* base = arena_.data();
        for (std::size_t at = 0; at < arena_.size();) {
            const unsigned char* e = base + at;
            const EntryView view = read_entry(e);
            if ((*e & string_table_detail::ENTRY_ERASED) == 0) {
                f(view.key, value_at(at));
            }
            at += view.bytes;
        }
    }

private:
    struct EntryView {
        std::string_view key;
        std::size_t value_offset;  // from the entry's start; VALUE_BYTES bytes, unaligned
        std::size_t bytes;         // the whole entry
    };

    static constexpr std::size_t NOT_FOUND = static_cast<std::size_t>(-1);

    // The upkeep of a table whose values never go stale.
    struct KeepAll {
        constexpr bool operator()(const Value&) const noexcept { return false; }
    };

    static std::uint8_t h7(std::uint64_t hash) noexcept {
        return static_cast<std::uint8_t>(hash & 0x7F);
    }
    static bool is_full(std::uint8_t ctrl) noexcept { return (ctrl & 0x80) == 0; }

    static EntryView read_entry(const unsigned char* e) noexcept {
        using namespace string_table_detail;
        std::size_t length = *e & static_cast<unsigned char>(~ENTRY_ERASED);
        std::size_t header = 1;
        if (length == LONG_KEY) {
            std::uint64_t long_length;
            std::memcpy(&long_length, e + 1, sizeof long_length);
            length = static_cast<std::size_t>(long_length);
            header += sizeof long_length;
        }
        const auto* key = reinterpret_cast<const char*>(e + header + VALUE_BYTES);
        return {std::string_view(key, length), header, header + VALUE_BYTES + length};
    }
    static std::size_t entry_bytes(const unsigned char* e) noexcept { return read_entry(e).bytes; }

    Value value_at(std::uint64_t ref) const noexcept {
        Value value{};
        if constexpr (VALUE_BYTES != 0) {
            const unsigned char* e = arena_.data() + ref;
            std::memcpy(&value, e + read_entry(e).value_offset, VALUE_BYTES);
        }
        return value;
    }
    EntryView entry(std::uint64_t ref) const noexcept { return read_entry(arena_.data() + ref); }

    void set_value_at(std::uint64_t ref, const Value& value) noexcept {
        if constexpr (VALUE_BYTES != 0) {
            unsigned char* e = arena_.data() + ref;
            std::memcpy(e + read_entry(e).value_offset, &value, VALUE_BYTES);
        }
    }

    std::uint64_t append_entry(std::string_view key, const Value& value) {
        using namespace string_table_detail;
        const bool long_key = key.size() >= LONG_KEY;
        const std::size_t header = long_key ? 1 + sizeof(std::uint64_t) : 1;
        if (key.size() > SIZE_MAX - header - VALUE_BYTES) throw std::bad_alloc();
        const std::size_t at = arena_.grow_by(header + VALUE_BYTES + key.size());
        unsigned char* e = arena_.data() + at;
        if (long_key) {
            *e = LONG_KEY;
            const std::uint64_t length = key.size();
            std::memcpy(e + 1, &length, sizeof length);
        } else {
            *e = static_cast<std::uint8_t>(key.size());
        }
        if constexpr (VALUE_BYTES != 0) std::memcpy(e + header, &value, VALUE_BYTES);
        if (!key.empty()) std::memcpy(e + header + VALUE_BYTES, key.data(), key.size());
        return at;
    }

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
            const std::uint64_t word = load_group(ctrl_.get() + group * GROUP_WIDTH);
            for (std::uint64_t m = match_h7(word, h7(hash)); m != 0; m &= m - 1) {
                const std::size_t at = group * GROUP_WIDTH + first_byte(m);
                if (entry(refs_[at]).key == key) return at;
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
                match_empty_or_deleted(load_group(ctrl_.get() + group * GROUP_WIDTH));
            if (m != 0) return group * GROUP_WIDTH + first_byte(m);
            group = (group + step) & mask;
        }
    }

    // The offsets of a group fill one 64-byte cache line.
    static constexpr std::align_val_t REFS_ALIGNMENT{64};
    struct RefsDeleter {
        void operator()(std::uint64_t* refs) const noexcept {
            ::operator delete[](refs, REFS_ALIGNMENT);
        }
    };

    void allocate(std::size_t slots) {
        // Offsets stay unwritten until an entry is stored: a fresh table with
        // full room touches only its control bytes.
        std::unique_ptr<std::uint64_t[], RefsDeleter> refs(static_cast<std::uint64_t*>(
            ::operator new[](slots * sizeof(std::uint64_t), REFS_ALIGNMENT)));
        auto ctrl = std::make_unique_for_overwrite<std::uint8_t[]>(slots);
        std::memset(ctrl.get(), string_table_detail::CTRL_EMPTY, slots);
        refs_ = std::move(refs);
        ctrl_ = std::move(ctrl);
        slot_count_ = slots;
        size_ = 0;
        growth_left_ = string_table_detail::room_of(slots);
    }

    // Full of entries and deletions: double the slots, or, when at least half of
    // the used slots are deletions, rebuild at the same size to reclaim them.
    void rebuild() {
        std::size_t slots = slot_count_ == 0 ? string_table_detail::GROUP_WIDTH : slot_count_;
        if (size_ > room() / 2) slots *= 2;
        rebuild_with(slots);
    }

    // New control bytes and offsets for `slots` slots, filled by one pass over
    // the arena in insertion order, which also slides the live entries down
    // over the erased ones.
    // Entries `drop(value)` is true for are left out like erased ones. Only the
    // allocation of the new slots can fail, and it comes before any change.
    void rebuild_with(std::size_t slots) { rebuild_with(slots, KeepAll{}); }
    template <class Drop>
    void rebuild_with(std::size_t slots, Drop&& drop) {
        using namespace string_table_detail;
        const std::size_t used = arena_.size();
        allocate(slots);  // the old slots are released; the arena is untouched
        unsigned char* base = arena_.data();
        std::size_t kept = 0;
        for (std::size_t at = 0; at < used;) {
            unsigned char* e = base + at;
            const std::size_t bytes = entry_bytes(e);
            if ((*e & ENTRY_ERASED) == 0 && !drop(value_at(at))) {
                if (kept != at) std::memmove(base + kept, e, bytes);
                const std::uint64_t h = hash(read_entry(base + kept).key);
                const std::size_t slot = free_slot(h);
                refs_[slot] = kept;
                ctrl_[slot] = h7(h);
                ++size_;
                --growth_left_;
                kept += bytes;
            }
            at += bytes;
        }
        arena_.truncate(kept);
        erased_bytes_ = 0;
    }

    std::unique_ptr<std::uint8_t[]> ctrl_;
    std::unique_ptr<std::uint64_t[], RefsDeleter>
        refs_;  // per full slot: its entry's offset in the arena
    string_table_detail::ByteArena arena_;
    std::size_t slot_count_ = 0;
    std::size_t size_ = 0;
    std::size_t growth_left_ = 0;   // EMPTY slots that may still be filled before a rebuild
    std::size_t erased_bytes_ = 0;  // arena bytes of erased entries
    std::size_t min_slots_ = string_table_detail::GROUP_WIDTH;  // the slots it was made with
    SipKey key_;
};

using StringSet = StringTable<NoValue>;
