// Keystroke timing features: dwell, flight, flight-time entropy and a keystroke
// score, over events in milliseconds. Pure: no interpreter calls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct KeystrokeEvent {
    std::string key;           // UTF-8 key name as the client reported it
    double down = 0.0;         // press time
    std::optional<double> up;  // release time, when one was reported
};

struct KeystrokeStats {
    std::uint64_t key_count = 0;
    double avg_dwell_time = 0.0;
    double dwell_time_var = 0.0;
    double avg_flight_time = 0.0;
    double flight_time_var = 0.0;
    double digraph_entropy = 0.0;
    double keystroke_score = 0.0;
};

KeystrokeStats compute_keystroke_features(std::span<const KeystrokeEvent> events);
