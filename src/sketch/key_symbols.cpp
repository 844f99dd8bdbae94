// Key symbols: each keystroke's flight (from the previous press) and hold (to
// its own release), each as a step on a logarithmic scale around the median of
// the keystrokes just before it. Dividing by a median cancels a uniform change
// of tempo; taking it from the trailing keystrokes only, not from the whole
// session, keeps a keystroke's symbol the same in every window that holds the
// same run before it (a replay that types the first 20 keys of a recorded run
// and one that types 150 agree on the first 20 symbols). The steps are wide
// against the few milliseconds by which a replayed key event lands off its
// recorded time.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "sketch/symbols.h"

namespace {

struct Stroke {
    double down;
    std::optional<double> up;
};

// A flight is in step k (or above) when it is at least the median flight times
// 2 ** (0.6 k - 0.3), k = -2 ... 4; below the first bound it is in step -3.
constexpr std::array<double, KEY_FLIGHT_HIGH - KEY_FLIGHT_LOW> FLIGHT_BOUNDS = {
    0.35355339059327376,  // 2 ** -1.5
    0.53588673126814658,  // 2 ** -0.9
    0.81225239635623552,  // 2 ** -0.3
    1.2311444133449163,   // 2 ** 0.3
    1.8660659830736148,   // 2 ** 0.9
    2.8284271247461901,   // 2 ** 1.5
    4.2870938501451727,   // 2 ** 2.1
};
// A hold is in step k (or above) when it is at least the median hold times
// 2 ** (0.5 k - 0.25), k = -1 ... 2; below the first bound it is in step -2.
constexpr std::array<double, 2 * KEY_HOLD_STEPS> HOLD_BOUNDS = {
    0.59460355750136053,  // 2 ** -0.75
    0.84089641525371454,  // 2 ** -0.25
    1.1892071150027211,   // 2 ** 0.25
    1.6817928305074291,   // 2 ** 0.75
};
// Code of a keystroke without a usable hold.
constexpr int NO_HOLD = 2 * KEY_HOLD_STEPS + 1;

// Information per part, in tenths of a bit (a-priori estimates: steps near the
// median are the common ones).
constexpr int FLIGHT_COST_BASE = 15;
constexpr int FLIGHT_COST_STEP = 7;
constexpr int HOLD_COST_BASE = 11;
constexpr int HOLD_COST_STEP = 13;

// Same press and release time (both missing, or both the same value, NaN
// included): the same keystroke reported twice.
bool same_stroke(const Stroke& a, const Stroke& b) {
    if (a.down != b.down) return false;
    if (a.up.has_value() != b.up.has_value()) return false;
    if (!a.up) return true;
    return *a.up == *b.up || (std::isnan(*a.up) && std::isnan(*b.up));
}

std::vector<Stroke> in_press_order(std::span<const KeystrokeEvent> keys) {
    std::vector<Stroke> strokes;
    strokes.reserve(keys.size());
    for (const KeystrokeEvent& k : keys) strokes.push_back(Stroke{k.down, k.up});
    // Press times are finite (the reader drops the others).
    const auto earlier = [](const Stroke& a, const Stroke& b) { return a.down < b.down; };
    if (!std::is_sorted(strokes.begin(), strokes.end(), earlier)) {
        std::stable_sort(strokes.begin(), strokes.end(), earlier);
    }
    // Keystrokes with equal press times stay in input order, so an exact repeat
    // sits next to its original only when nothing with the same press time
    // came between them; compare with every earlier stroke of that press time.
    std::vector<Stroke> unique;
    unique.reserve(strokes.size());
    std::size_t group = 0;  // first stroke in `unique` with the current press time
    for (const Stroke& s : strokes) {
        if (unique.empty() || unique.back().down != s.down) group = unique.size();
        bool repeated = false;
        for (std::size_t i = group; i < unique.size() && !repeated; ++i) {
            repeated = same_stroke(unique[i], s);
        }
        if (!repeated) unique.push_back(s);
    }
    return unique;
}

// The hold of a stroke when it has a finite release after its press, else 0.0:
// a usable hold is positive, so zero marks its absence without an optional.
double hold_of(const Stroke& s) {
    if (!s.up) return 0.0;
    const double hold = *s.up - s.down;
    if (!std::isfinite(hold) || !(hold > 0.0)) return 0.0;
    return hold;
}

// The values of a sliding window of keystrokes, kept in order: a keystroke's
// reference is the lower median of the window, which slides by one keystroke at a
// time, so inserting and erasing one value beats selecting the median afresh.
// Values are positive and never NaN (flights and holds that are not positive are
// left out; a flight between two finite press times far apart can overflow to
// +infinity, which compares like any other value), so they are totally ordered
// and an erased value is found exactly. The window
// holds a dozen values at most: a plain scan that moves them one by one costs
// less than a binary search followed by a block move.
class SortedWindow {
public:
    void insert(double v) {
        if (size_ == values_.size()) return;  // never: see values_
        std::size_t at = size_;               // after every value not above v
        for (; at > 0 && values_[at - 1] > v; --at) values_[at] = values_[at - 1];
        values_[at] = v;
        ++size_;
    }
    void erase(double v) {
        const std::size_t at = find(v);
        if (at == size_) return;  // never: only inserted values are erased
        for (std::size_t i = at; i + 1 < size_; ++i) values_[i] = values_[i + 1];
        --size_;
    }
    // One step of the window: `leaving` taken out and `entering` put in, either
    // 0.0 for none. With both, the gap the leaving value leaves is moved to the
    // entering value's place, so only the values between the two move.
    void slide(double leaving, double entering) {
        if (!(leaving > 0.0)) {
            if (entering > 0.0) insert(entering);
            return;
        }
        if (!(entering > 0.0)) {
            erase(leaving);
            return;
        }
        std::size_t at = find(leaving);
        if (at == size_) {  // never: only inserted values leave
            insert(entering);
            return;
        }
        if (entering > leaving) {
            for (; at + 1 < size_ && values_[at + 1] < entering; ++at)
                values_[at] = values_[at + 1];
        } else {
            for (; at > 0 && values_[at - 1] > entering; --at) values_[at] = values_[at - 1];
        }
        values_[at] = entering;
    }
    bool empty() const { return size_ == 0; }
    double lower_median() const { return values_[(size_ - 1) / 2]; }

private:
    // The place of a value equal to v, or size_ when there is none.
    std::size_t find(double v) const {
        std::size_t at = 0;  // the first value not below v
        while (at < size_ && values_[at] < v) ++at;
        return at < size_ && values_[at] == v ? at : size_;
    }

    // One value per reference stroke at most: a step takes one out as it puts one in.
    std::array<double, KEY_REFERENCE_STROKES> values_{};
    std::size_t size_ = 0;
};

// The bounds grow and the median is positive, so their products never shrink
// (rounding keeps the order): the first bound the value stays below ends the scan.
template <std::size_t N>
int step_of(double value, double median, const std::array<double, N>& bounds, int lowest) {
    int step = lowest;
    for (std::size_t i = 0; i < N && value >= median * bounds[i]; ++i) {
        step = lowest + 1 + static_cast<int>(i);
    }
    return step;
}

constexpr int FLIGHT_STEPS = KEY_FLIGHT_HIGH - KEY_FLIGHT_LOW + 1;

std::uint16_t key_code(int flight_step, int hold_code) {
    return static_cast<std::uint16_t>((flight_step - KEY_FLIGHT_LOW) + FLIGHT_STEPS * hold_code);
}

}  // namespace

std::vector<Symbol> flight_symbols(std::span<const Symbol> symbols) {
    std::vector<Symbol> out;
    out.reserve(symbols.size());
    for (const Symbol& s : symbols) {
        const int f = s.code % FLIGHT_STEPS + KEY_FLIGHT_LOW;
        out.push_back(
            Symbol{key_code(f, NO_HOLD),
                   static_cast<std::uint16_t>(FLIGHT_COST_BASE + FLIGHT_COST_STEP * std::abs(f))});
    }
    return out;
}

std::vector<Symbol> key_symbols(std::span<const KeystrokeEvent> keys) {
    std::vector<Symbol> symbols;
    const std::vector<Stroke> strokes = in_press_order(keys);
    if (strokes.size() < 2) return symbols;

    std::vector<double> flights;  // flights[i - 1]: press i - 1 to press i
    flights.reserve(strokes.size() - 1);
    for (std::size_t i = 1; i < strokes.size(); ++i) {
        flights.push_back(strokes[i].down - strokes[i - 1].down);
    }
    std::vector<double> holds;  // 0.0: none
    holds.reserve(strokes.size());
    for (const Stroke& s : strokes) holds.push_back(hold_of(s));

    // The reference of keystroke i is the KEY_REFERENCE_STROKES strokes before it
    // (from ... i - 1): their positive flights (between two of them) and their holds.
    // Both windows hold positive values only, so 0.0 stands for a value that
    // neither enters nor leaves.
    SortedWindow flight_window;
    SortedWindow hold_window;
    symbols.reserve(strokes.size() - 1);
    for (std::size_t i = 1; i < strokes.size(); ++i) {
        // Stroke i - 1 enters, with the flight that ends at it; the stroke before
        // the window leaves, with the flight that starts at it.
        double flight_leaving = 0.0;
        double hold_leaving = 0.0;
        if (i > KEY_REFERENCE_STROKES) {
            const std::size_t gone = i - KEY_REFERENCE_STROKES - 1;  // the stroke that left
            flight_leaving = flights[gone];
            hold_leaving = holds[gone];
        }
        flight_window.slide(flight_leaving, i >= 2 ? flights[i - 2] : 0.0);
        hold_window.slide(hold_leaving, holds[i - 1]);
        const double flight = flights[i - 1];
        int f = KEY_FLIGHT_LOW;
        if (flight > 0.0 && !flight_window.empty()) {
            f = step_of(flight, flight_window.lower_median(), FLIGHT_BOUNDS, KEY_FLIGHT_LOW);
        }
        int cost = FLIGHT_COST_BASE + FLIGHT_COST_STEP * std::abs(f);
        int h = NO_HOLD;
        if (holds[i] > 0.0 && !hold_window.empty()) {
            const int step =
                step_of(holds[i], hold_window.lower_median(), HOLD_BOUNDS, -KEY_HOLD_STEPS);
            h = step + KEY_HOLD_STEPS;
            cost += HOLD_COST_BASE + HOLD_COST_STEP * std::abs(step);
        }
        symbols.push_back(Symbol{key_code(f, h), static_cast<std::uint16_t>(cost)});
    }
    return symbols;
}
