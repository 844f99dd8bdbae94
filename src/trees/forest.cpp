#include "trees/forest.h"

#include <cmath>
#include <string>
#include <utility>

#include "support/fatal.h"

namespace {

std::string at(std::size_t tree, std::size_t node) {
    return "tree " + std::to_string(tree) + ", node " + std::to_string(node) + ": ";
}

// The check of one child index of split `node` in a tree of `size` nodes.
// Children strictly after their parent make every path end: no tree written
// this way can hold a cycle.
std::string child_problem(std::int64_t child, std::size_t node, std::size_t size,
                          const std::vector<bool>& reached) {
    if (child < 0 || static_cast<std::uint64_t>(child) >= size) {
        return "child " + std::to_string(child) + " is out of range [0, " + std::to_string(size) +
               ")";
    }
    if (static_cast<std::size_t>(child) <= node) {
        return "child " + std::to_string(child) +
               " is not after its parent (a child's index must be greater than its parent's)";
    }
    if (reached[static_cast<std::size_t>(child)]) {
        return "node " + std::to_string(child) + " is reachable twice";
    }
    return {};
}

}  // namespace

std::variant<TreeEnsemble, std::string> TreeEnsemble::build(
    std::int64_t feature_count, double baseline, std::span<const std::vector<TreeNode>> trees) {
    if (feature_count < 0 || feature_count > FOREST_FEATURE_LIMIT) {
        return "feature_count " + std::to_string(feature_count) + " is out of range [0, " +
               std::to_string(FOREST_FEATURE_LIMIT) + "]";
    }
    if (!std::isfinite(baseline)) return std::string("baseline is not finite");
    std::size_t total = 0;
    for (std::size_t t = 0; t < trees.size(); ++t) {
        if (trees[t].empty()) return "tree " + std::to_string(t) + " has no nodes";
        if (trees[t].size() > FOREST_NODE_LIMIT - total) {
            return "the trees hold more than " + std::to_string(FOREST_NODE_LIMIT) + " nodes";
        }
        total += trees[t].size();
    }

    TreeEnsemble ensemble;
    ensemble.feature_count_ = static_cast<std::size_t>(feature_count);
    ensemble.baseline_ = baseline;
    ensemble.nodes_.reserve(total);
    ensemble.roots_.reserve(trees.size());
    std::vector<bool> reached;
    for (std::size_t t = 0; t < trees.size(); ++t) {
        const std::vector<TreeNode>& tree = trees[t];
        const std::size_t offset = ensemble.nodes_.size();
        reached.assign(tree.size(), false);
        reached[0] = true;
        for (std::size_t i = 0; i < tree.size(); ++i) {
            const TreeNode& node = tree[i];
            // Children come after their parent, so by now every parent of
            // node i has been seen.
            if (!reached[i]) return at(t, i) + "node is not reachable from the root";
            if (!std::isfinite(node.value)) return at(t, i) + "value is not finite";
            Node flat{node.threshold, node.value, 0, 0, 0, node.missing_left};
            if (node.left == -1 && node.right == -1) {
                ensemble.nodes_.push_back(flat);
                continue;
            }
            if (node.left == -1 || node.right == -1) {
                return at(t, i) + "a split needs two children (a leaf has left == right == -1)";
            }
            std::string problem = child_problem(node.left, i, tree.size(), reached);
            if (problem.empty()) {
                reached[static_cast<std::size_t>(node.left)] = true;
                problem = child_problem(node.right, i, tree.size(), reached);
            }
            if (!problem.empty()) return at(t, i) + problem;
            reached[static_cast<std::size_t>(node.right)] = true;
            if (node.feature < 0 || node.feature >= feature_count) {
                return at(t, i) + "feature " + std::to_string(node.feature) +
                       " is out of range [0, " + std::to_string(feature_count) + ")";
            }
            if (std::isnan(node.threshold)) return at(t, i) + "threshold is NaN";
            flat.feature = static_cast<std::uint32_t>(node.feature);
            flat.left = static_cast<std::uint32_t>(offset + static_cast<std::size_t>(node.left));
            flat.right = static_cast<std::uint32_t>(offset + static_cast<std::size_t>(node.right));
            ensemble.nodes_.push_back(flat);
        }
        ensemble.roots_.push_back(static_cast<std::uint32_t>(offset));
    }
    return ensemble;
}

const TreeEnsemble::Node& TreeEnsemble::leaf_of(std::uint32_t root,
                                                std::span<const double> row) const {
    const Node* nodes = nodes_.data();
    const Node* node = nodes + root;
    while (node->left != 0) {
        const bool left = goes_left(*node, row[node->feature]);
        node = nodes + (left ? node->left : node->right);
    }
    return *node;
}

double TreeEnsemble::raw(std::span<const double> row) const {
    if (row.size() != feature_count_) fatal("TreeEnsemble::raw: row of the wrong length");
    // The trainer starts from zeros and adds the baseline, then each tree's
    // leaf in turn; 0.0 + baseline also turns a baseline of -0.0 into 0.0.
    double score = 0.0;
    score += baseline_;
    for (const std::uint32_t root : roots_) score += leaf_of(root, row).value;
    return score;
}

ForestExplanation TreeEnsemble::explain(std::span<const double> row,
                                        std::span<double> contributions) const {
    if (row.size() != feature_count_ || contributions.size() != feature_count_) {
        fatal("TreeEnsemble::explain: row or contributions of the wrong length");
    }
    for (double& c : contributions) c = 0.0;
    ForestExplanation result;
    result.raw = 0.0;
    result.raw += baseline_;
    result.bias = 0.0;
    result.bias += baseline_;
    const Node* nodes = nodes_.data();
    for (const std::uint32_t root : roots_) {
        const Node* node = nodes + root;
        result.bias += node->value;
        while (node->left != 0) {
            const bool left = goes_left(*node, row[node->feature]);
            const Node* child = nodes + (left ? node->left : node->right);
            contributions[node->feature] += child->value - node->value;
            node = child;
        }
        result.raw += node->value;
    }
    return result;
}
