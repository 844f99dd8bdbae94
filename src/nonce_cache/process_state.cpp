#include "nonce_cache/process_state.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/fatal.h"

namespace {

// Constant-initialised and trivially destructible: it exists before any call
// and no exit-time destructor ever tears it down under a thread still using it.
//
// Every state call runs with the interpreter lock held and does no Python work
// under this lock, so today no two holds overlap and the lock is never
// contended. It stays a reader-writer lock all the same: the record must not
// depend on the interpreter lock for its safety (a free-threaded interpreter,
// or a call that lets the interpreter lock go, would otherwise race on it),
// and readers of the ban table may then share it.
pthread_rwlock_t STATE_LOCK = PTHREAD_RWLOCK_INITIALIZER;
// Written once, under the exclusive lock; read under either lock. Never freed.
StateEngine* STATE_ENGINE = nullptr;

void check_lock(int rc, const char* what) {
    if (rc != 0) fatal(std::string(what) + " failed: " + std::strerror(rc));
}

timespec read_clock(clockid_t clock, const char* name) {
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0) {
        fatal(std::string("clock_gettime(") + name + ") failed: " + std::strerror(errno));
    }
    if (ts.tv_nsec < 0 || ts.tv_nsec >= 1'000'000'000) {
        fatal(std::string("clock_gettime(") + name + ") returned " + std::to_string(ts.tv_nsec) +
              " nanoseconds");
    }
    return ts;
}

}  // namespace

std::uint64_t unix_now_secs() {
    const timespec ts = read_clock(CLOCK_REALTIME, "CLOCK_REALTIME");
    // A clock set before 1970 reads as the epoch itself; the fraction is dropped.
    return ts.tv_sec < 0 ? 0 : static_cast<std::uint64_t>(ts.tv_sec);
}

MonotonicInstant monotonic_now() {
    const timespec ts = read_clock(CLOCK_MONOTONIC, "CLOCK_MONOTONIC");
    return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::int64_t>(ts.tv_nsec)};
}

StateWriteHold::StateWriteHold() {
    check_lock(::pthread_rwlock_wrlock(&STATE_LOCK), "pthread_rwlock_wrlock");
    if (STATE_ENGINE == nullptr) {
        // Unlocked again should the record not fit in memory: the exception
        // leaves this constructor, so no destructor would release the lock.
        try {
            STATE_ENGINE = new StateEngine(make_state_engine(monotonic_now));
        } catch (...) {
            check_lock(::pthread_rwlock_unlock(&STATE_LOCK), "pthread_rwlock_unlock");
            throw;
        }
    }
    engine_ = STATE_ENGINE;
}

StateWriteHold::~StateWriteHold() {
    check_lock(::pthread_rwlock_unlock(&STATE_LOCK), "pthread_rwlock_unlock");
}

StateReadHold::StateReadHold() {
    check_lock(::pthread_rwlock_rdlock(&STATE_LOCK), "pthread_rwlock_rdlock");
    engine_ = STATE_ENGINE;
}

StateReadHold::~StateReadHold() {
    check_lock(::pthread_rwlock_unlock(&STATE_LOCK), "pthread_rwlock_unlock");
}
