// Gradient-boosted decision trees, evaluated as the trainer's own predictor
// evaluates them: a validated, flattened ensemble of binary trees over numeric
// features, NaN meaning "missing".
//
// A split sends x to its left child when x <= threshold and a NaN x to the side
// its missing_left flag names; a threshold of +inf is how a split that parts
// the missing values from all the others is written, so infinite thresholds
// are valid, NaN ones are not. The raw score is summed in tree order, starting
// from the baseline: ((baseline + leaf_1) + leaf_2) + ..., the order in which
// the trainer adds its trees up, so that the two agree to the last bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

// One node as a tree is written: indices are positions in the tree's own node
// list, the root is node 0. A leaf has left == right == -1; its feature,
// threshold and missing_left are not read.
struct TreeNode {
    std::int64_t feature = 0;
    double threshold = 0.0;
    bool missing_left = false;
    std::int64_t left = -1;
    std::int64_t right = -1;
    double value = 0.0;
};

// Bounds of what an ensemble may hold: the explanation of a row allocates one
// contribution per feature, and nodes are indexed with 32 bits.
inline constexpr std::int64_t FOREST_FEATURE_LIMIT = std::int64_t{1} << 20;
inline constexpr std::size_t FOREST_NODE_LIMIT = std::size_t{1} << 30;

struct ForestExplanation {
    double raw = 0.0;   // as TreeEnsemble::raw gives it
    double bias = 0.0;  // baseline + the root values, in tree order
};

class TreeEnsemble {
public:
    // The ensemble, or the message that says which tree and node is malformed
    // and why: an empty tree, a child out of range or not after its parent (so
    // no cycle can be written), a node with one child, a node reachable twice
    // or not at all, a split feature out of [0, feature_count), a NaN
    // threshold, a non-finite value or baseline.
    static std::variant<TreeEnsemble, std::string> build(
        std::int64_t feature_count, double baseline, std::span<const std::vector<TreeNode>> trees);

    // The raw score of `row`, which holds feature_count values.
    [[nodiscard]] double raw(std::span<const double> row) const;

    // The raw score as raw() gives it, plus its path contributions: for every
    // tree, along the path from the root to the row's leaf, each split adds
    // value(child) - value(split) to the contribution of its feature.
    // `contributions` holds feature_count values and is overwritten.
    // bias + the sum of the contributions equals raw up to rounding.
    ForestExplanation explain(std::span<const double> row, std::span<double> contributions) const;

    [[nodiscard]] std::size_t feature_count() const noexcept { return feature_count_; }
    [[nodiscard]] std::size_t tree_count() const noexcept { return roots_.size(); }
    [[nodiscard]] std::size_t node_count() const noexcept { return nodes_.size(); }
    [[nodiscard]] double baseline() const noexcept { return baseline_; }

private:
    // Flattened: the trees one after another, children as absolute positions.
    // A child always comes after the tree's root, so position 0 is never a
    // child and left == 0 marks a leaf.
    struct Node {
        double threshold;
        double value;
        std::uint32_t feature;
        std::uint32_t left;
        std::uint32_t right;
        bool missing_left;
    };

    TreeEnsemble() = default;

    // The split rule: x <= threshold is false for NaN, which then goes where
    // the flag says.
    static bool goes_left(const Node& split, double x) noexcept {
        return x <= split.threshold || (std::isnan(x) && split.missing_left);
    }

    // The leaf that `row` reaches from `root`.
    [[nodiscard]] const Node& leaf_of(std::uint32_t root, std::span<const double> row) const;

    std::size_t feature_count_ = 0;
    double baseline_ = 0.0;
    std::vector<Node> nodes_;
    std::vector<std::uint32_t> roots_;
};
