// The tree ensemble's core on more inputs than the Python tests can afford: random
// ensembles against a plain walk over the trees as written, a tree a million
// nodes deep, and every kind of malformed tree refused.
//
// usage: forest_check random | deep | refusals
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "check.h"
#include "trees/forest.h"

namespace {

using Trees = std::vector<std::vector<TreeNode>>;
constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

TreeEnsemble built(std::int64_t features, double baseline, const Trees& trees) {
    auto result = TreeEnsemble::build(features, baseline, trees);
    if (const auto* problem = std::get_if<std::string>(&result)) {
        std::fprintf(stderr, "refused: %s\n", problem->c_str());
        std::exit(1);
    }
    return std::get<TreeEnsemble>(std::move(result));
}

// A random tree of `leaves` leaves in pre-order, the layout a trainer writes.
std::int64_t grow(std::mt19937_64& rng, std::vector<TreeNode>& nodes, int leaves, int features) {
    std::normal_distribution<double> normal;
    const auto at = static_cast<std::int64_t>(nodes.size());
    nodes.push_back(TreeNode{-1, 0.0, false, -1, -1, normal(rng)});
    if (leaves == 1) return at;
    const int left_leaves = 1 + static_cast<int>(rng() % static_cast<unsigned>(leaves - 1));
    const std::int64_t left = grow(rng, nodes, left_leaves, features);
    const std::int64_t right = grow(rng, nodes, leaves - left_leaves, features);
    TreeNode& split = nodes[static_cast<std::size_t>(at)];
    split.feature = static_cast<std::int64_t>(rng() % static_cast<unsigned>(features));
    split.threshold = rng() % 16 == 0 ? INF : std::round(normal(rng) * 4.0) / 4.0;
    split.missing_left = (rng() & 1) != 0;
    split.left = left;
    split.right = right;
    return at;
}

// The leaf a row reaches, walking the tree as written; the path in `path`.
double plain_leaf(const std::vector<TreeNode>& tree, const std::vector<double>& row,
                  std::vector<std::size_t>& path) {
    std::size_t i = 0;
    path.assign(1, 0);
    while (tree[i].left != -1) {
        const double x = row[static_cast<std::size_t>(tree[i].feature)];
        const bool left = std::isnan(x) ? tree[i].missing_left : x <= tree[i].threshold;
        i = static_cast<std::size_t>(left ? tree[i].left : tree[i].right);
        path.push_back(i);
    }
    return tree[i].value;
}

int check_random() {
    std::mt19937_64 rng(20261209);
    std::normal_distribution<double> normal;
    for (int round = 0; round < 200; ++round) {
        const int features = 1 + static_cast<int>(rng() % 40);
        Trees trees(rng() % 60);
        for (auto& tree : trees) grow(rng, tree, 1 + static_cast<int>(rng() % 31), features);
        const double baseline = normal(rng);
        const TreeEnsemble ensemble = built(features, baseline, trees);
        CHECK(ensemble.tree_count() == trees.size());
        std::vector<double> row(static_cast<std::size_t>(features));
        std::vector<double> contributions(row.size());
        std::vector<std::size_t> path;
        for (int r = 0; r < 200; ++r) {
            for (double& x : row) {
                const auto pick = rng() % 20;
                // Quarter steps hit the thresholds exactly now and then.
                x = pick == 0   ? NaN
                    : pick == 1 ? INF
                    : pick == 2 ? -INF
                                : std::round(normal(rng) * 4.0) / 4.0;
            }
            double raw = 0.0;
            raw += baseline;
            double bias = 0.0;
            bias += baseline;
            std::vector<double> expected(row.size(), 0.0);
            for (const auto& tree : trees) {
                raw += plain_leaf(tree, row, path);
                bias += tree[0].value;
                for (std::size_t k = 1; k < path.size(); ++k) {
                    const TreeNode& parent = tree[path[k - 1]];
                    expected[static_cast<std::size_t>(parent.feature)] +=
                        tree[path[k]].value - parent.value;
                }
            }
            CHECK(ensemble.raw(row) == raw);
            const ForestExplanation explained = ensemble.explain(row, contributions);
            CHECK(explained.raw == raw && explained.bias == bias);
            CHECK(contributions == expected);
        }
    }
    return 0;
}

// A chain: every split's left child is a leaf, its right child the next split.
int check_deep() {
    constexpr std::int64_t SPLITS = 1'000'000;
    std::vector<TreeNode> chain;
    chain.reserve(2 * SPLITS + 1);
    for (std::int64_t i = 0; i < SPLITS; ++i) {
        const auto at = static_cast<std::int64_t>(chain.size());
        chain.push_back(TreeNode{0, static_cast<double>(i), false, at + 1, at + 2, 0.0});
        chain.push_back(TreeNode{-1, 0.0, false, -1, -1, static_cast<double>(i)});
    }
    chain.push_back(TreeNode{-1, 0.0, false, -1, -1, -1.0});
    const TreeEnsemble ensemble = built(1, 0.0, Trees{chain});
    CHECK(ensemble.raw(std::vector<double>{0.5}) == 1.0);
    CHECK(ensemble.raw(std::vector<double>{1e9}) == -1.0);
    CHECK(ensemble.raw(std::vector<double>{NaN}) == -1.0);  // NaN goes right at every split
    std::vector<double> contribution(1);
    const ForestExplanation explained =
        ensemble.explain(std::vector<double>{static_cast<double>(SPLITS - 1)}, contribution);
    CHECK(explained.raw == static_cast<double>(SPLITS - 1) && explained.bias == 0.0);
    CHECK(contribution[0] == static_cast<double>(SPLITS - 1));
    return 0;
}

bool refused(std::int64_t features, double baseline, const Trees& trees, const char* part) {
    auto result = TreeEnsemble::build(features, baseline, trees);
    const auto* problem = std::get_if<std::string>(&result);
    if (problem == nullptr || problem->find(part) == std::string::npos) {
        std::fprintf(stderr, "expected a refusal with '%s', got '%s'\n", part,
                     problem ? problem->c_str() : "(accepted)");
        return false;
    }
    return true;
}

int check_refusals() {
    const TreeNode leaf{-1, 0.0, false, -1, -1, 1.0};
    auto split = [](std::int64_t left, std::int64_t right) {
        return TreeNode{0, 1.0, true, left, right, 0.0};
    };
    CHECK(refused(1, 0.0, Trees{{}}, "tree 0 has no nodes"));
    CHECK(refused(1, 0.0, Trees{{split(1, 2), leaf}}, "child 2 is out of range [0, 2)"));
    CHECK(refused(1, 0.0, Trees{{split(0, 1), leaf}}, "child 0 is not after its parent"));
    CHECK(refused(1, 0.0, Trees{{split(1, 3), split(3, 2), leaf, leaf}}, "node 3 is reachable"));
    CHECK(refused(1, 0.0, Trees{{split(1, 2), leaf, leaf, leaf}}, "node 3: node is not reach"));
    CHECK(refused(1, 0.0, Trees{{split(-1, 1), leaf}}, "a split needs two children"));
    CHECK(refused(0, 0.0, Trees{{split(1, 2), leaf, leaf}}, "feature 0 is out of range [0, 0)"));
    TreeNode nan_split = split(1, 2);
    nan_split.threshold = NaN;
    CHECK(refused(1, 0.0, Trees{{nan_split, leaf, leaf}}, "threshold is NaN"));
    CHECK(refused(1, 0.0, Trees{{TreeNode{-1, 0.0, false, -1, -1, -INF}}}, "value is not finite"));
    CHECK(refused(1, INF, Trees{}, "baseline is not finite"));
    CHECK(refused(FOREST_FEATURE_LIMIT + 1, 0.0, Trees{}, "feature_count"));
    // A leaf's feature and threshold are not read; infinite thresholds are valid.
    TreeNode odd_leaf{99, NaN, true, -1, -1, 2.0};
    TreeNode inf_split = split(1, 2);
    inf_split.threshold = INF;
    const TreeEnsemble ensemble = built(1, 0.0, Trees{{inf_split, odd_leaf, leaf}});
    CHECK(ensemble.raw(std::vector<double>{INF}) == 2.0);
    CHECK(ensemble.raw(std::vector<double>{NaN}) == 2.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "random") == 0) return check_random();
    if (argc == 2 && std::strcmp(argv[1], "deep") == 0) return check_deep();
    if (argc == 2 && std::strcmp(argv[1], "refusals") == 0) return check_refusals();
    std::fprintf(stderr, "usage: %s random | deep | refusals\n", argv[0]);
    return 2;
}
