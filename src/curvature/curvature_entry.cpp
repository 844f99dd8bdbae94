// The two module functions that score the curvature of a pointer path given as
// three float sequences. They return the same values for the same input and
// differ in their parameter names and in how a conversion failure is reported.
#include <algorithm>
#include <array>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "curvature/curvature.h"
#include "curvature/curvature_entry.h"
#include "module/call_frame.h"
#include "module/entry_points.h"

namespace {

Result<PyRef> curvature_result(const CurvatureStats& stats) {
    DictBuilder result;
    add_curvature_items(result, stats);
    return std::move(result).finish();
}

// Converts the three arguments in order; the first failure stops the others
// from being looked at. `report` turns a failure of argument i into the error
// the caller sees.
template <class Report>
Result<std::array<std::vector<double>, 3>> convert_all(std::span<PyObject* const, 3> args,
                                                       Report&& report) {
    std::array<std::vector<double>, 3> arrays;
    for (std::size_t i = 0; i < 3; ++i) {
        Result<std::vector<double>> values = extract_float_sequence(args[i]);
        if (!values) return report(i, values.take_error());
        arrays[i] = std::move(*values);
    }
    return arrays;
}

Result<PyRef> naturalness_impl(std::span<PyObject* const, 3> args) {
    auto arrays = convert_all(args, [](std::size_t i, Error&& error) {
        return wrap_argument_error(NATURALNESS_PARAMS[i], std::move(error));
    });
    if (!arrays) return arrays.take_error();
    const auto& [x, y, t] = *arrays;
    return curvature_result(analyze_curvature(x, y, t));
}

Result<PyRef> zerocopy_impl(std::span<PyObject* const, 3> args) {
    // Conversion errors pass through as the interpreter or the converter made
    // them, without the argument name.
    auto arrays = convert_all(args, [](std::size_t, Error&& error) { return std::move(error); });
    if (!arrays) return arrays.take_error();
    const auto& [x, y, t] = *arrays;
    const std::size_t n = std::min({x.size(), y.size(), t.size()});
    if (n < CURVATURE_MIN_POINTS) return curvature_result(CurvatureStats{});
    return curvature_result(
        analyze_curvature(std::span(x).first(n), std::span(y).first(n), std::span(t).first(n)));
}

}  // namespace

void add_curvature_items(DictBuilder& b, const CurvatureStats& stats) {
    b.set_float_item("curvature_score"_key, stats.curvature_score);
    b.set_float_item("mean_curvature"_key, stats.mean_curvature);
    b.set_float_item("curvature_var"_key, stats.curvature_var);
    b.set_float_item("curvature_rate_var"_key, stats.curvature_rate_var);
}

PyObject* evaluate_curvature_naturalness_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
    return run_call<3>(NATURALNESS_SPEC, args, nargs, kwnames, naturalness_impl);
}

PyObject* evaluate_curvature_zerocopy_rs(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
    return run_call<3>(ZEROCOPY_SPEC, args, nargs, kwnames, zerocopy_impl);
}
