// The keystroke timing block of a result dict, written by
// evaluate_keystroke_dynamics_rs and by the feature dict of extract_features_rs
// (each puts key_count where its own order wants it). Runs with the interpreter
// lock held.
#pragma once

#include "keystrokes/keystrokes.h"
#include "module/call_frame.h"

// avg_dwell_time, dwell_time_var, avg_flight_time, flight_time_var,
// digraph_entropy, keystroke_score: in this order.
void add_keystroke_timing_items(DictBuilder& b, const KeystrokeStats& stats);
