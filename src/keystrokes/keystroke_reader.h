// Reads keystroke events forgivingly from a list of the interpreter's objects:
// the one reader behind evaluate_keystroke_dynamics_rs and the "keystrokes" of a
// telemetry dict. Runs with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "keystrokes/keystrokes.h"
#include "module/call_frame.h"

// What differs between the two lists the module reads keystrokes from.
struct KeystrokeListRules {
    // Where the press time is looked up, in order: the first that is present,
    // converts and is finite wins; a key whose value fails falls through.
    std::span<const StaticKey> press_time_keys;
    // How many entries are examined, accepted or not (the length is read once).
    std::size_t scan_limit;
    // Whether a dict whose "type" is "up" (a release record) is skipped.
    bool skip_release_records;
    // Whether (key, down, up) tuples are accepted beside event dicts.
    bool accept_tuples;
    // Whether the key's name is read (when not, KeystrokeEvent::key stays empty).
    bool read_key_text = true;
};

// Appends one event per accepted entry of `list` (a list) to `out`, in list
// order. An entry that is neither an accepted tuple nor an event dict, or that
// fails to convert, is skipped and its error discarded; an error that is not
// about the data stops the read and is left in `r`.
void read_keystroke_list(ForgivingReader& r, PyObject* list, const KeystrokeListRules& rules,
                         std::vector<KeystrokeEvent>& out);
