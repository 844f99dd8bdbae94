// The behavioural signals' core on hand-made paths and key sequences whose
// answers are worked out by hand: a straight line at constant speed, an exact
// overshoot, two speed bumps, movements that follow Fitts' law exactly, pixel
// steps of known kinds, a typed word with Shift, rollover and a correction.
//
// usage: behaviour_check pointer | keys
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <optional>
#include <vector>

#include "behaviour/behaviour.h"
#include "check.h"

namespace {

bool near(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::fmax(1.0, std::fabs(b)); }

// Samples along x from x0, one per step_ms, `dx` px per sample, starting at t0.
void add_line(std::vector<MousePoint>& out, double x0, double y, double t0, double dx,
              double step_ms, int steps) {
    for (int k = 0; k <= steps; ++k) {
        out.push_back(MousePoint{x0 + dx * k, y, t0 + step_ms * k, 0.0, 0.0});
    }
}

void check_straight_line() {
    std::vector<MousePoint> path;
    add_line(path, 0.0, 50.0, 1000.0, 10.0, 10.0, 20);  // 200 px in 200 ms
    const std::vector<Movement> ms = split_movements(path);
    CHECK(ms.size() == 1);
    const Movement& m = ms[0];
    CHECK(m.first == 0 && m.last == 20);
    CHECK(m.chord_px == 200.0 && m.path_px == 200.0 && m.duration_ms == 200.0);
    CHECK(m.straightness == 1.0);
    CHECK(m.backtrack == 0.0 && m.overshoot == 0.0);
    CHECK(m.submovements == 1);
    CHECK(near(m.peak_time, 5.0 / 200.0));        // the first of equal speeds, mid-step
    CHECK(near(m.endpoint_phase, 20.0 / 200.0));  // from x = 180 on

    const PointerSignals s = compute_pointer_signals(path);
    CHECK(s.pointer_movement_count == 1.0);
    CHECK(s.pointer_straightness_median == 1.0 && s.pointer_straightness_min == 1.0);
    CHECK(s.pointer_submovements_mean == 1.0 && s.pointer_submovements_multi_share == 0.0);
    CHECK(s.pointer_zero_step_share == 0.0 && s.pointer_unit_step_share == 0.0);
    CHECK(s.pointer_axis_step_share == 1.0);
    CHECK(s.pointer_collinear_share == 1.0 && s.pointer_turn_zero_share == 1.0);
    CHECK(s.pointer_turn_mean_abs == 0.0 && s.pointer_turn_p90_abs == 0.0);
    CHECK(std::isnan(s.pointer_turn_sign_change_share));  // no turn to a side
    CHECK(std::isnan(s.pointer_fitts_slope_ms));          // one movement is no fit
}

void check_overshoot() {
    // 0, 10, ..., 110 and back to 100: 10 px past the end of a 100 px movement.
    std::vector<MousePoint> path;
    add_line(path, 0.0, 0.0, 0.0, 10.0, 10.0, 11);
    path.push_back(MousePoint{100.0, 0.0, 120.0, 0.0, 0.0});
    const std::vector<Movement> ms = split_movements(path);
    CHECK(ms.size() == 1);
    const Movement& m = ms[0];
    CHECK(m.chord_px == 100.0 && m.path_px == 120.0);
    CHECK(near(m.straightness, 100.0 / 120.0));
    CHECK(near(m.backtrack, 10.0 / 120.0));
    CHECK(near(m.overshoot, 0.1));
    CHECK(near(m.endpoint_phase, 30.0 / 120.0));  // from x = 90: 20 px out, 10 back
    CHECK(m.submovements == 1);                   // 1 px/ms throughout
    const PointerSignals s = compute_pointer_signals(path);
    CHECK(s.pointer_overshoot_share == 1.0 && near(s.pointer_overshoot_mean, 0.1));
    // Ten straight turns and one reversal: all collinear, ten of eleven zero.
    CHECK(s.pointer_collinear_share == 1.0);
    CHECK(near(s.pointer_turn_zero_share, 10.0 / 11.0));
}

void check_two_bumps() {
    // Speeds (px per 10 ms / 10) 1 2 4 2 1 2 4 2 1; smoothed 1-2-1 they peak twice at 3.
    const double speeds[] = {1, 2, 4, 2, 1, 2, 4, 2, 1};
    std::vector<MousePoint> path{{0.0, 0.0, 0.0, 0.0, 0.0}};
    for (double v : speeds) {
        const MousePoint& p = path.back();
        path.push_back(MousePoint{p.x + 10.0 * v, 0.0, p.t + 10.0, 0.0, 0.0});
    }
    const std::vector<Movement> ms = split_movements(path);
    CHECK(ms.size() == 1);
    CHECK(ms[0].submovements == 2);
    CHECK(near(ms[0].peak_time, 25.0 / 90.0));  // the first peak, step 2 of 9
    CHECK(compute_pointer_signals(path).pointer_submovements_multi_share == 1.0);
}

void check_splitting_and_fitts() {
    // Distances 20 (2^1 - 1) * 20, 60, 140 px: index of difficulty 1, 2, 3 bits;
    // durations 150, 200, 250 ms = 100 + 50 * bits exactly. Gaps of 500 ms between.
    std::vector<MousePoint> path;
    add_line(path, 0.0, 0.0, 0.0, 4.0, 30.0, 5);
    add_line(path, 100.0, 0.0, 700.0, 12.0, 40.0, 5);
    // A stay of 320 ms at one place, sampled every 80 ms, ends a movement as well.
    add_line(path, 300.0, 0.0, 1500.0, 28.0, 50.0, 5);
    for (int k = 1; k <= 4; ++k) path.push_back(MousePoint{440.0, 0.0, 1750.0 + 80.0 * k, 0, 0});
    add_line(path, 440.0, 0.0, 2150.0, 28.0, 50.0, 5);
    const std::vector<Movement> ms = split_movements(path);
    CHECK(ms.size() == 4);
    CHECK(ms[2].last == 17 && ms[3].first == 22);  // the stay (18 to 22) belongs to neither
    const PointerSignals s = compute_pointer_signals(path);
    CHECK(s.pointer_movement_count == 4.0);
    CHECK(near(s.pointer_fitts_slope_ms, 50.0));
    CHECK(near(s.pointer_fitts_intercept_ms, 100.0));
    CHECK(std::fabs(s.pointer_fitts_residual_ms) < 1e-9);
    CHECK(s.pointer_movement_duration_median_ms == 225.0);  // 150 200 250 250

    // A stay shorter than the pause (200 ms, sampled) keeps the movement whole.
    std::vector<MousePoint> halted;
    add_line(halted, 0.0, 0.0, 0.0, 10.0, 10.0, 5);
    for (int k = 1; k <= 4; ++k) halted.push_back(MousePoint{50.0, 0.0, 50.0 + 50.0 * k, 0, 0});
    add_line(halted, 50.0, 0.0, 250.0, 10.0, 10.0, 5);
    const std::vector<Movement> hm = split_movements(halted);
    CHECK(hm.size() == 1 && hm[0].first == 0 && hm[0].last == halted.size() - 1);

    // Too short to measure: three samples in time, or under the minimum distance.
    std::vector<MousePoint> short_path;
    add_line(short_path, 0.0, 0.0, 0.0, 50.0, 10.0, 2);
    add_line(short_path, 0.0, 100.0, 500.0, 1.0, 10.0, 8);
    CHECK(split_movements(short_path).empty());
    const PointerSignals none = compute_pointer_signals(short_path);
    CHECK(none.pointer_movement_count == 0.0 && std::isnan(none.pointer_straightness_median));
    CHECK(std::isnan(none.pointer_backtrack_mean) && std::isnan(none.pointer_overshoot_share));

    // Samples sharing a time stamp are one time for the speeds: four distinct times.
    std::vector<MousePoint> doubled;
    add_line(doubled, 0.0, 0.0, 0.0, 10.0, 10.0, 3);
    doubled.insert(doubled.begin() + 2, MousePoint{15.0, 0.0, 10.0, 0.0, 0.0});
    const std::vector<Movement> dm = split_movements(doubled);
    CHECK(dm.size() == 1 && dm[0].path_px == 30.0);
}

void check_pixel_steps() {
    // Steps (1,1) (0,0) (1,0) (0,1): one repeated sample, three 1-px steps, two
    // along an axis; turns of -45 and +90 degrees.
    const std::vector<MousePoint> path = {
        {0, 0, 0, 0, 0}, {1, 1, 10, 0, 0}, {1, 1, 20, 0, 0}, {2, 1, 30, 0, 0}, {2, 2, 40, 0, 0}};
    const PointerSignals s = compute_pointer_signals(path);
    CHECK(s.pointer_zero_step_share == 0.25);
    CHECK(s.pointer_unit_step_share == 1.0);
    CHECK(near(s.pointer_axis_step_share, 2.0 / 3.0));
    const double pi = std::numbers::pi;
    CHECK(near(s.pointer_turn_mean_abs, (pi / 4 + pi / 2) / 2));
    CHECK(near(s.pointer_turn_p90_abs, pi / 4 + 0.9 * (pi / 2 - pi / 4)));
    CHECK(s.pointer_turn_zero_share == 0.0 && s.pointer_collinear_share == 0.0);
    CHECK(s.pointer_turn_sign_change_share == 1.0);
    // Unsorted input is put in time order first.
    const std::vector<MousePoint> shuffled = {path[3], path[0], path[4], path[2], path[1]};
    const PointerSignals u = compute_pointer_signals(shuffled);
    CHECK(u.pointer_zero_step_share == 0.25 &&
          u.pointer_axis_step_share == s.pointer_axis_step_share);
    CHECK(u.pointer_turn_mean_abs == s.pointer_turn_mean_abs);
    CHECK(u.pointer_turn_sign_change_share == 1.0);
}

int check_pointer() {
    check_straight_line();
    check_overshoot();
    check_two_bumps();
    check_splitting_and_fitts();
    check_pixel_steps();
    const PointerSignals empty = compute_pointer_signals({});
    CHECK(empty.pointer_movement_count == 0.0 && std::isnan(empty.pointer_zero_step_share));
    CHECK(std::isnan(empty.pointer_turn_mean_abs) && std::isnan(empty.pointer_fitts_slope_ms));
    std::puts("pointer signals: ok");
    return 0;
}

KeystrokeEvent key(const char* name, double down, double up) { return {name, down, up}; }

int check_keys() {
    // "Hello" with Shift over H and e, a rollover from e to l, a correction and a
    // Control press; given out of order, which the press order puts right.
    const std::vector<KeystrokeEvent> typed = {
        key("e", 250, 400),        key("Shift", 0, 300),      key("H", 100, 180),
        key("l", 350, 420),        key("l", 500, 560),        key("o", 620, 700),
        key("Control", 900, 1000), key("Backspace", 800, 850)};
    const KeySignals s = compute_key_signals(typed);
    CHECK(s.key_press_count == 8.0);
    CHECK(s.key_shift_share == 0.125 && s.key_modifier_share == 0.125);
    CHECK(s.key_correction_share == 0.125);
    CHECK(near(s.key_shift_chord_share, 2.0 / 6.0));  // H and e of six typing keys
    CHECK(near(s.key_rollover_share, 2.0 / 7.0));     // Shift->H, e->l
    // Holds of the typing keys: 50 60 70 80 80 150.
    CHECK(near(s.key_hold_p10_ms, 55.0) && near(s.key_hold_p50_ms, 75.0));
    CHECK(near(s.key_hold_p90_ms, 115.0) && near(s.key_hold_iqr_ratio, 17.5 / 75.0));
    const double mean = 490.0 / 6.0;
    const double var =
        (50 * 50 + 60 * 60 + 70 * 70 + 80 * 80 + 80 * 80 + 150 * 150) / 6.0 - mean * mean;
    CHECK(near(s.key_hold_cv, std::sqrt(var) / mean));
    // Press to press 150 100 150 120 180; release to press 70 -50 80 60 100.
    CHECK(near(s.key_flight_pp_p10_ms, 108.0) && s.key_flight_pp_p50_ms == 150.0);
    CHECK(near(s.key_flight_pp_p90_ms, 168.0) && near(s.key_flight_pp_iqr_ratio, 0.2));
    CHECK(near(s.key_flight_rp_p10_ms, -6.0) && s.key_flight_rp_p50_ms == 70.0);
    CHECK(near(s.key_flight_rp_p90_ms, 92.0) && s.key_flight_rp_iqr_ms == 20.0);
    CHECK(s.key_negative_flight_share == 0.2);
    CHECK(std::isnan(s.key_digraph_cv_median));  // no pair of keys repeats

    // t->h twice, 100 and 140 ms apart: CV 20 / 120. The 4.4 s pause before x is
    // no flight: press to press 100 100 100 100 140 100, p90 120.
    const std::vector<KeystrokeEvent> repeated = {
        key("t", 0, 50),    key("h", 100, 150), key("e", 200, 250),   key(" ", 300, 350),
        key("t", 400, 450), key("h", 540, 600), key("x", 5000, 5050), key("y", 5100, 5150)};
    const KeySignals r = compute_key_signals(repeated);
    CHECK(near(r.key_digraph_cv_median, 20.0 / 120.0));
    CHECK(near(r.key_flight_pp_p90_ms, 120.0));
    CHECK(r.key_shift_chord_share == 0.0 && r.key_shift_share == 0.0);

    // Too few keys for quantiles; unusable releases (NaN, before the press) are left out.
    std::vector<KeystrokeEvent> few = {key("a", 0, 80), key("b", 100, 170), key("c", 200, 150)};
    few.push_back(KeystrokeEvent{"d", 300, std::nullopt});
    few.push_back(key("e", 400, std::nan("")));
    const KeySignals f = compute_key_signals(few);
    CHECK(f.key_press_count == 5.0);
    CHECK(std::isnan(f.key_hold_p50_ms) && std::isnan(f.key_hold_cv));
    CHECK(near(f.key_rollover_share, 0.0) && std::isnan(f.key_flight_rp_p50_ms));
    CHECK(f.key_negative_flight_share == 0.0);  // a->b 20 ms and b->c 30 ms only
    const KeySignals none = compute_key_signals({});
    CHECK(none.key_press_count == 0.0 && std::isnan(none.key_shift_share));
    CHECK(std::isnan(none.key_rollover_share) && std::isnan(none.key_digraph_cv_median));
    std::puts("key signals: ok");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "pointer") == 0) return check_pointer();
    if (argc == 2 && std::strcmp(argv[1], "keys") == 0) return check_keys();
    std::fprintf(stderr, "usage: behaviour_check pointer | keys\n");
    return 2;
}
