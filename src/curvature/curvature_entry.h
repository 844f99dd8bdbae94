// The curvature block of a result dict, written by the curvature entry points
// and by the feature dict of extract_features_rs. Runs with the interpreter lock held.
#pragma once

#include "curvature/curvature.h"
#include "module/call_frame.h"

// curvature_score, mean_curvature, curvature_var, curvature_rate_var: in this order.
void add_curvature_items(DictBuilder& b, const CurvatureStats& stats);
