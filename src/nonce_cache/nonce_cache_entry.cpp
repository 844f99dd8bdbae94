// Entry points of the state engine: nonce replay checks, the IP ban table,
// clearing and statistics.
//
// Every call goes the same way: convert the arguments, take the state lock, do
// the table work, release the lock, build the result. Python objects are only
// touched outside the lock (see state_engine.h for why).
#include <Python.h>
#include <pthread.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/call_frame.h"
#include "module/entry_points.h"
#include "nonce_cache/process_state.h"

namespace {

// The pairs of a hydration, converted before the lock is taken: every address
// is copied into one buffer while converting, so the call makes no allocation
// per pair and keeps no Python object alive past the conversion.
struct BanList {
    std::string addresses;
    std::vector<BanPair> pairs;
};

// Room for this many address bytes per pair is reserved up front (for as many
// pairs as for_each_item reserves), enough for an IPv4 address; longer ones
// grow the buffer as needed.
constexpr std::size_t ADDRESS_BYTES_GUESS = 16;
// The process keeps one set of hydration buffers for the next hydration, up to
// this size, so that re-loading many bans again and again does not fault in
// fresh pages each time; larger ones are given back.
constexpr std::size_t KEPT_BAN_LIST_BYTES = std::size_t{16} << 20;

// The buffers of the current hydration, emptied: the kept ones when they are
// free. They are made once and never freed, and only touched with the
// interpreter lock held. Python code run by a conversion (an __index__ method)
// may start another hydration, on this thread or on another one while the lock
// is let go; that one gets buffers of its own.
//
// A process forked while another thread is inside a hydration has only the
// forking thread: the child frees the kept buffers again, unless it is the
// forking thread itself (an __index__ that forks) that holds them.
class BanListLease {
public:
    BanListLease() {
        if (!kept_in_use_) {
            BanList& list = kept();
            kept_in_use_ = true;
            held_here_ = true;
            list_ = &list;
            list_->addresses.clear();
            list_->pairs.clear();
        }
    }
    ~BanListLease() {
        if (list_ != &own_) give_back();
    }
    BanListLease(const BanListLease&) = delete;
    BanListLease& operator=(const BanListLease&) = delete;
    BanList& list() noexcept { return *list_; }

private:
    static BanList& kept() {
        static BanList* const list = [] {
            ::pthread_atfork(nullptr, nullptr, [] { kept_in_use_ = held_here_; });
            return new BanList;
        }();
        return *list;
    }
    void give_back() {
        // No interpreter state: the thread is being ended at interpreter exit
        // (see py_ref.h) and no longer holds the lock that guards these.
        if (PyThreadState_GetUnchecked() == nullptr) return;
        if (list_->addresses.capacity() + list_->pairs.capacity() * sizeof(BanPair) >
            KEPT_BAN_LIST_BYTES) {
            // Not `*list_ = BanList{}`: moving an empty (in-place) string into
            // one on the heap copies the characters and keeps the heap buffer.
            list_->addresses.clear();
            list_->addresses.shrink_to_fit();
            list_->pairs.clear();
            list_->pairs.shrink_to_fit();
        }
        kept_in_use_ = false;
        held_here_ = false;
    }
    static inline bool kept_in_use_ = false;
    static inline thread_local bool held_here_ = false;  // this thread holds the kept ones
    BanList own_;
    BanList* list_ = &own_;
};

// Fills `list` with the converted pairs of `obj`; on failure its contents are
// unspecified.
Status to_ban_list(PyObject* obj, BanList& list) {
    auto copy_text = [&list](PyObject* item) -> Result<std::size_t> {
        Result<std::string_view> text = to_text(item);
        if (!text) return text.take_error();
        list.addresses.append(*text);
        return list.addresses.size();
    };
    // Each pair goes straight into `list`.
    return for_each_item(
        obj,
        [&list](std::size_t room) {
            list.addresses.reserve(room * ADDRESS_BYTES_GUESS);
            list.pairs.reserve(room);
        },
        [&](PyObject* item) -> Status {
            auto pair = extract_pair(item, copy_text, to_uint64);
            if (!pair) return pair.take_error();
            list.pairs.push_back(BanPair{pair->first, pair->second});
            return Unit{};
        });
}

// --- operations on converted values -------------------------------------------

Result<PyRef> consume_nonce_impl(std::string_view nonce) {
    const bool fresh = with_state_write(
        [nonce](StateEngine& s) { return consume_nonce(s, nonce, monotonic_now); });
    return bool_result(fresh);
}

Result<PyRef> is_ip_banned_impl(std::string_view ip) {
    const std::uint64_t now = unix_now_secs();
    const bool banned =
        with_state_read([ip, now](const StateEngine& s) { return is_ip_banned(s, ip, now); });
    return bool_result(banned);
}

Result<PyRef> ban_ip_impl(std::string_view ip, std::uint64_t duration_sec) {
    const std::uint64_t now = unix_now_secs();
    const std::uint64_t expires_at = ban_end_second(now, duration_sec);
    with_state_write([ip, expires_at, now](StateEngine& s) { ban_ip(s, ip, expires_at, now); });
    return none_result();
}

Result<PyRef> unban_ip_impl(std::string_view ip) {
    with_state_write([ip](StateEngine& s) { unban_ip(s, ip); });
    return none_result();
}

Result<PyRef> hydrate_bans_impl(const BanList& bans) {
    // The clock is read with the lock held, so that a hydration that waited
    // for the lock judges its end times against the moment it applies them.
    with_state_write(
        [&bans](StateEngine& s) { hydrate_bans(s, bans.addresses, bans.pairs, unix_now_secs()); });
    return none_result();
}

Result<PyRef> state_stats_impl() {
    const StateStats stats =
        with_state_read([](const StateEngine& s) { return state_stats(s, unix_now_secs()); });
    // The walk above has paid for one over the ended bans: when they are the
    // greater part of the table, drop them, so that the next walk and the
    // table's memory follow the active bans. A ban that ended by the count's
    // reading has ended at any later one too (unless the wall clock is set back).
    if (stats.ended_ip_bans >= ENDED_BANS_RECLAIM_MIN &&
        stats.ended_ip_bans > stats.active_ip_bans) {
        with_state_write([](StateEngine& s) { reclaim_ended_bans(s, unix_now_secs()); });
    }
    DictBuilder dict;
    dict.set_uint_item("current_bucket_nonces"_key, stats.current_bucket_nonces);
    dict.set_uint_item("previous_bucket_nonces"_key, stats.previous_bucket_nonces);
    dict.set_uint_item("active_ip_bans"_key, stats.active_ip_bans);
    return std::move(dict).finish();
}

// Wraps a conversion failure of parameter `name`, or yields the value.
template <class T>
Result<T> argument(std::string_view name, Result<T>&& converted) {
    if (!converted) return wrap_argument_error(name, converted.take_error());
    return std::move(*converted);
}

// The binder of a function whose one parameter is text.
template <const ParamSpec& Spec, Result<PyRef> (*Impl)(std::string_view)>
PyObject* text_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_call<1>(Spec, args, nargs, kwnames,
                       [](std::span<PyObject* const, 1> a) -> Result<PyRef> {
                           auto text = argument(Spec.params[0], to_text(a[0]));
                           if (!text) return text.take_error();
                           return Impl(*text);
                       });
}

}  // namespace

// --- binders --------------------------------------------------------------------

PyObject* consume_nonce_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return text_call<CONSUME_NONCE_SPEC, consume_nonce_impl>(args, nargs, kwnames);
}

PyObject* is_ip_banned_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return text_call<IS_IP_BANNED_SPEC, is_ip_banned_impl>(args, nargs, kwnames);
}

PyObject* ban_ip_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_call<2>(BAN_IP_SPEC, args, nargs, kwnames,
                       [](std::span<PyObject* const, 2> a) -> Result<PyRef> {
                           auto ip = argument(BAN_PARAMS[0], to_text(a[0]));
                           if (!ip) return ip.take_error();
                           auto duration_sec = argument(BAN_PARAMS[1], to_uint64(a[1]));
                           if (!duration_sec) return duration_sec.take_error();
                           return ban_ip_impl(*ip, *duration_sec);
                       });
}

PyObject* unban_ip_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return text_call<UNBAN_IP_SPEC, unban_ip_impl>(args, nargs, kwnames);
}

PyObject* hydrate_bans_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_call<1>(HYDRATE_BANS_SPEC, args, nargs, kwnames,
                       [](std::span<PyObject* const, 1> a) -> Result<PyRef> {
                           BanListLease bans;
                           Status converted =
                               argument(HYDRATE_PARAMS[0], to_ban_list(a[0], bans.list()));
                           if (!converted) return converted.take_error();
                           return hydrate_bans_impl(bans.list());
                       });
}

PyObject* clear_state_engine_rs(PyObject*, PyObject*) {
    return guard_call([] {
        with_state_write([](StateEngine& s) { clear_state(s, monotonic_now()); });
        return none_result().release();
    });
}

PyObject* get_state_engine_stats_rs(PyObject*, PyObject*) {
    return guard_call([] { return finish_call(state_stats_impl()); });
}
