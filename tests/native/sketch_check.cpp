// The trace sketch's core on inputs too many for the Python tests: the one-pass
// shingle walk against a plain one, and the densified one-permutation MinHash
// as an estimator of Jaccard similarity.
//
// usage: sketch_check shingles | minhash
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "check.h"
#include "sketch/sketch.h"

namespace {

// The shingles as their description puts them: from each start, the shortest run
// whose costs reach min_cost, if it spans at most max_symbols symbols.
std::vector<std::uint64_t> plain_shingles(const std::vector<Symbol>& symbols, int min_cost,
                                          std::size_t max_symbols) {
    std::vector<std::uint64_t> out;
    for (std::size_t start = 0; start < symbols.size(); ++start) {
        int cost = 0;
        std::size_t end = start;
        while (end < symbols.size() && cost < min_cost) cost += symbols[end++].cost;
        if (cost < min_cost || end - start > max_symbols) continue;
        // Hash the run through the module's own walk on exactly these symbols.
        std::vector<std::uint64_t> one;
        const std::vector<Symbol> run(symbols.begin() + static_cast<std::ptrdiff_t>(start),
                                      symbols.begin() + static_cast<std::ptrdiff_t>(end));
        int run_cost = 0;
        for (const Symbol& s : run) run_cost += s.cost;
        add_shingle_hashes(Stream::keys, run, run_cost, run.size(), one);
        CHECK(one.size() == 1);
        out.push_back(one[0]);
    }
    return out;
}

int check_shingles() {
    std::mt19937_64 rng(17);
    for (int trial = 0; trial < 20000; ++trial) {
        std::vector<Symbol> symbols(rng() % 40);
        for (Symbol& s : symbols) {
            s.code = static_cast<std::uint16_t>(rng() % 6);
            s.cost = static_cast<std::uint16_t>(1 + rng() % 30);
        }
        const int min_cost = static_cast<int>(1 + rng() % 120);
        const std::size_t max_symbols = 1 + rng() % 12;
        std::vector<std::uint64_t> walked;
        add_shingle_hashes(Stream::keys, symbols, min_cost, max_symbols, walked);
        CHECK(walked == plain_shingles(symbols, min_cost, max_symbols));
    }
    // The same symbols make different shingles in the two streams.
    const std::vector<Symbol> run = {{1, 100}, {2, 100}};
    std::vector<std::uint64_t> pointer;
    std::vector<std::uint64_t> keys;
    add_shingle_hashes(Stream::pointer, run, 150, 4, pointer);
    add_shingle_hashes(Stream::keys, run, 150, 4, keys);
    CHECK(pointer.size() == 1 && keys.size() == 1 && pointer[0] != keys[0]);
    std::puts("shingles: one-pass walk agrees with the plain one on 20000 sequences");
    return 0;
}

double estimated(const StreamSketch& a, const StreamSketch& b) {
    int equal = 0;
    for (std::size_t i = 0; i < SIGNATURE_SIZE; ++i) equal += a.signature[i] == b.signature[i];
    return equal / static_cast<double>(SIGNATURE_SIZE);
}

int check_minhash() {
    std::mt19937_64 rng(29);
    // Sets of every size, small ones (far fewer shingles than bins) included: the
    // estimate is unbiased, its values come from the set, and equal sets agree.
    for (std::size_t common : {0UL, 1UL, 2UL, 5UL, 20UL, 100UL}) {
        for (std::size_t own : {1UL, 3UL, 10UL, 60UL, 300UL}) {
            double sum = 0.0;
            const int trials = 4000;
            for (int trial = 0; trial < trials; ++trial) {
                std::vector<std::uint64_t> a;
                std::vector<std::uint64_t> b;
                for (std::size_t i = 0; i < common; ++i) {
                    const std::uint64_t h = rng();
                    a.push_back(h);
                    b.push_back(h);
                }
                for (std::size_t i = 0; i < own; ++i) a.push_back(rng());
                for (std::size_t i = 0; i < own; ++i) b.push_back(rng());
                const StreamSketch sa = sketch_of(Stream::pointer, a);
                const StreamSketch sb = sketch_of(Stream::pointer, b);
                CHECK(sa.signature.size() == SIGNATURE_SIZE && sa.bands.size() == BAND_COUNT);
                const std::set<std::uint64_t> members(a.begin(), a.end());
                for (std::uint64_t v : sa.signature) CHECK(members.count(v) == 1);
                sum += estimated(sa, sb);
                if (trial == 0) {
                    std::vector<std::uint64_t> shuffled = a;
                    std::shuffle(shuffled.begin(), shuffled.end(), rng);
                    const StreamSketch again = sketch_of(Stream::pointer, shuffled);
                    CHECK(again.signature == sa.signature && again.bands == sa.bands);
                }
            }
            const double jaccard =
                static_cast<double>(common) / static_cast<double>(common + 2 * own);
            const double mean = sum / trials;
            std::printf("minhash: |common| %3zu, |own| %3zu: Jaccard %.4f, mean estimate %.4f\n",
                        common, own, jaccard, mean);
            // Over 4000 trials the mean's standard error is below 0.003, bins that
            // borrow their value from another (densified) included.
            CHECK(std::fabs(mean - jaccard) < 0.01);
        }
    }
    CHECK(sketch_of(Stream::keys, {}).signature.empty() &&
          sketch_of(Stream::keys, {}).bands.empty());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "shingles") == 0) return check_shingles();
    if (argc == 2 && std::strcmp(argv[1], "minhash") == 0) return check_minhash();
    std::fprintf(stderr, "usage: %s shingles | minhash\n", argv[0]);
    return 2;
}
