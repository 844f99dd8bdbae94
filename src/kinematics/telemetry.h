// The native form of one telemetry dict: everything the feature extraction
// needs, read once from the interpreter objects and then worked on without
// them. Pure: no interpreter types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "keystrokes/keystrokes.h"

// How many entries of the "keystrokes" list are examined, accepted or not.
inline constexpr std::size_t KEYSTROKE_SCAN_LIMIT = 150;

// One accepted pointer sample. x, y and t are always finite; the touch radius
// r and force f default to 0.0 and may hold any value, NaN and infinities too.
struct MousePoint {
    double x = 0.0;
    double y = 0.0;
    double t = 0.0;
    double r = 0.0;
    double f = 0.0;
};

// The defaults are those of an input that is not a dict at all. A "browser"
// dict replaces the screen defaults: missing screen keys then read as 0.0.
struct Telemetry {
    std::vector<MousePoint> mouse_movements;  // input order
    std::vector<KeystrokeEvent> keystrokes;   // input order
    std::uint64_t click_count = 0;
    std::uint64_t scroll_count = 0;
    double screen_width = 1024.0;
    double screen_height = 768.0;
    bool screen_valid = true;
    bool webdriver = false;
    bool touch_supported = false;
    std::int64_t max_touch_points = 0;
    std::int64_t plugins_length = 1;  // one, not zero, when not reported
};
