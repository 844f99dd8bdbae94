// The process-global half of the state engine: the one record of the process,
// the reader-writer lock around it, and the clock system calls. The table logic
// it guards is in state_engine.h.
//
// Rules of use:
//  * Reach the record only through with_state_write / with_state_read. The work
//    passed to them runs with the lock held and must not call back into the
//    state engine: the lock is not recursive.
//  * Convert arguments before, build interpreter objects after. Nothing done
//    under the lock may create, read or release a Python object: an allocation
//    can run the garbage collector, a finalizer can re-enter this module, and
//    another thread could then block on the lock while holding the GIL.
//  * The record is made by the first state call and never destroyed, not even
//    at exit: a thread still inside a call at interpreter shutdown must not
//    find it gone.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "nonce_cache/state_engine.h"

// Whole seconds of the real-time clock since the Unix epoch; 0 before it.
std::uint64_t unix_now_secs();
// The monotonic clock. Both end the process when the clock cannot be read.
MonotonicInstant monotonic_now();

// The lock and the slot. Holding one of these is holding the lock.
class StateWriteHold {
public:
    StateWriteHold();  // exclusive; makes the record if there is none yet
    ~StateWriteHold();
    StateWriteHold(const StateWriteHold&) = delete;
    StateWriteHold& operator=(const StateWriteHold&) = delete;
    StateEngine& engine() noexcept { return *engine_; }

private:
    StateEngine* engine_;
};

class StateReadHold {
public:
    StateReadHold();  // shared
    ~StateReadHold();
    StateReadHold(const StateReadHold&) = delete;
    StateReadHold& operator=(const StateReadHold&) = delete;
    const StateEngine* engine() const noexcept { return engine_; }  // null before the first call

private:
    const StateEngine* engine_;
};

// Runs work(StateEngine&) under the exclusive lock and returns its result.
template <class Work>
std::invoke_result_t<Work&, StateEngine&> with_state_write(Work&& work) {
    StateWriteHold hold;
    return work(hold.engine());
}

// Runs work(const StateEngine&) under the shared lock. Before the record exists
// the shared hold is given up and the work runs under the exclusive one, which
// makes the record first (unless another thread made it in between).
template <class Work>
std::invoke_result_t<Work&, const StateEngine&> with_state_read(Work&& work) {
    {
        StateReadHold hold;
        if (const StateEngine* engine = hold.engine()) return work(*engine);
    }
    return with_state_write([&work](StateEngine& engine) { return work(std::as_const(engine)); });
}
