#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>

#include "network/network.hpp"
#include "random/random.hpp"

using namespace corvane;

TEST(Random, CanonicalValueUsesTheSecondOutputAsTheHighWord) {
    EXPECT_EQ(canonical_value(0, 0), 0.0);
    EXPECT_EQ(canonical_value(0, 0x80000000u), 0.5);
    EXPECT_EQ(canonical_value(1u << 31, 0), std::ldexp(1.0, -33));
    // Rounds up to exactly 1 when the high word is all ones and the low word is near 2^32.
    EXPECT_EQ(canonical_value(0xFFFFFFFFu, 0xFFFFFFFFu), 1.0);
}

TEST(Random, UniformDrawStaysInItsRangeAndVaries) {
    double low = 1, high = 0;
    for (int i = 0; i < 2000; ++i) {
        const double u = uniform_draw(0, 1);
        ASSERT_GE(u, 0.0);
        ASSERT_LE(u, 1.0);
        low = std::min(low, u);
        high = std::max(high, u);
    }
    EXPECT_LT(low, 0.05);
    EXPECT_GT(high, 0.95);
    const double scaled = uniform_draw(-3, -1);
    EXPECT_GE(scaled, -3.0);
    EXPECT_LE(scaled, -1.0);
}

TEST(Random, NormalDrawWithZeroDeviationIsTheMean) {
    EXPECT_EQ(normal_draw(0, 0), 0.0);
    EXPECT_EQ(normal_draw(2.5, 0), 2.5);
    double sum = 0, squares = 0;
    const int n = 4000;
    for (int i = 0; i < n; ++i) {
        const double v = normal_draw(1.0, 2.0);
        sum += v;
        squares += v * v;
    }
    const double mean = sum / n;
    EXPECT_NEAR(mean, 1.0, 0.25);
    EXPECT_NEAR(std::sqrt(squares / n - mean * mean), 2.0, 0.25);
}

TEST(Random, EngineNormalRepeatsForCopiesOfAnEngine) {
    std::mt19937 engine(random_seed());
    std::mt19937 copy = engine;
    for (int i = 0; i < 5; ++i) EXPECT_EQ(engine_normal(engine), engine_normal(copy));
}

TEST(Random, IndexAndActivationDrawsStayInRange) {
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(random_index(1), 0);
        const int index = random_index(7);
        EXPECT_GE(index, 0);
        EXPECT_LT(index, 7);
        const int code = random_activation();
        EXPECT_GE(code, 0);
        EXPECT_LT(code, 4);
    }
}

TEST(Random, ShuffleIndicesPermutes) {
    std::vector<std::int32_t> list(50);
    std::iota(list.begin(), list.end(), 0);
    shuffle_indices(list);
    std::vector<std::int32_t> sorted = list;
    std::sort(sorted.begin(), sorted.end());
    for (int i = 0; i < 50; ++i) EXPECT_EQ(sorted[i], i);
    std::vector<std::int32_t> empty;
    shuffle_indices(empty);
    EXPECT_TRUE(empty.empty());
}

TEST(Random, ShufflePairsKeepsPairsTogether) {
    for (std::size_t n : {0u, 1u, 2u, 17u, 300u}) {
        std::vector<int> xs(n), ys(n);
        for (std::size_t k = 0; k < n; ++k) {
            xs[k] = static_cast<int>(k);
            ys[k] = static_cast<int>(1000 + k);
        }
        shuffle_pairs(xs, ys);
        std::vector<int> seen(n, 0);
        for (std::size_t k = 0; k < n; ++k) {
            EXPECT_EQ(ys[k], xs[k] + 1000);
            seen[xs[k]] += 1;
        }
        for (int count : seen) EXPECT_EQ(count, 1);
    }
}

TEST(Random, ApplyPermutationMovesEachElementToItsTarget) {
    std::vector<std::string> items = {"a", "b", "c", "d", "e"};
    const std::vector<std::size_t> perm = {2, 0, 1, 4, 3};  // a->2, b->0, c->1, d->4, e->3
    apply_permutation(items, perm);
    EXPECT_EQ(items, (std::vector<std::string>{"b", "c", "a", "e", "d"}));
}

TEST(Random, RandBelowCoversEveryValue) {
    std::vector<int> counts(5, 0);
    for (int i = 0; i < 1000; ++i) counts[rand_below(5)] += 1;
    for (int count : counts) EXPECT_GT(count, 100);
    EXPECT_EQ(rand_below(1), 0u);
}
