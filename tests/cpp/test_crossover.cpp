#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "variation/crossover.hpp"
#include "variation/mutation.hpp"
#include "variation_helpers.hpp"

namespace corvane {
namespace {

using testing_support::connections_of;

constexpr double nan_loss = std::numeric_limits<double>::quiet_NaN();

// A random valid network of n nodes with some connections thinned out, so that two parents of
// the same size share some connections but not all.
Network parent(std::int32_t n, bool recurrent) {
    Network net = testing_support::random_network(2, 2, n, recurrent);
    for (int i = 0; i < 4; ++i) remove_connection(net);
    return net;
}

struct CrossCase {
    const char* name;
    std::int32_t first_size, second_size;
    double first_loss, second_loss;
    bool second_fitter;
};
void PrintTo(const CrossCase& c, std::ostream* os) { *os << c.name; }


class Crossover : public ::testing::TestWithParam<std::tuple<CrossCase, bool>> {};

// The child has the fitter parent's node count and exactly its connections; every node takes bias
// and code together from one parent that has it; a shared connection takes either weight, any
// other the fitter parent's.
TEST_P(Crossover, ChildTakesTheFitterParentsStructure) {
    const auto& [c, recurrent] = GetParam();
    const Network a = parent(c.first_size, recurrent);
    const Network b = parent(c.second_size, recurrent);
    const Network& fitter = c.second_fitter ? b : a;
    const Network& other = c.second_fitter ? a : b;

    const Network child = crossover(a, b, c.first_loss, c.second_loss);

    ASSERT_EQ(child.node_count, fitter.node_count);
    EXPECT_EQ(child.inputs, a.inputs);
    EXPECT_EQ(child.outputs, a.outputs);
    EXPECT_EQ(child.recurrent, a.recurrent);
    EXPECT_EQ(connections_of(child), connections_of(fitter));
    EXPECT_TRUE(is_valid(child));
    for (std::int32_t i = 0; i < child.node_count; ++i) {
        auto from = [&](const Network& p) {
            return i < p.node_count && child.biases[i] == p.biases[i] && child.activations[i] == p.activations[i];
        };
        EXPECT_TRUE(from(fitter) || from(other)) << "node " << i;
        if (i >= other.node_count) {
            EXPECT_TRUE(from(fitter)) << "node " << i;
        }
        EXPECT_EQ(child.sums[i], 0.0);
        EXPECT_EQ(child.values[i], 0.0);
    }
    for (const auto& [s, t] : connections_of(child)) {
        const bool shared = s < other.node_count && t < other.node_count && other.has_connection(s, t);
        const double w = child.weight(s, t);
        if (shared) {
            EXPECT_TRUE(w == fitter.weight(s, t) || w == other.weight(s, t)) << s << "->" << t;
        } else {
            EXPECT_EQ(w, fitter.weight(s, t)) << s << "->" << t;
        }
    }
    EXPECT_NE(child.engine, a.engine);
    EXPECT_NE(child.engine, b.engine);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Crossover,
    ::testing::Combine(::testing::Values(CrossCase{"EqualLosses", 6, 6, 1.0, 1.0, false},
                                         CrossCase{"SecondFitterAndLarger", 5, 7, 2.0, 1.0, true},
                                         CrossCase{"SecondFitterAndSmaller", 7, 5, 2.0, 1.0, true},
                                         CrossCase{"FirstFitterAndLarger", 7, 5, 1.0, 2.0, false},
                                         CrossCase{"FirstFitterAndSmaller", 5, 7, 1.0, 2.0, false},
                                         CrossCase{"FirstLossNaN", 5, 7, nan_loss, 1.0, false},
                                         CrossCase{"SecondLossNaN", 7, 5, 1.0, nan_loss, false},
                                         CrossCase{"BothLossesNaN", 6, 7, nan_loss, nan_loss, false},
                                         CrossCase{"InfiniteFirstLoss", 6, 7, INFINITY, 1.0, true}),
                       ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Recurrent" : "FeedForward");
    });

// Node genes and shared weights come from either parent about half of the time.
TEST(CrossoverMix, NodeGenesAndSharedWeightsComeFromBothParents) {
    const Network a = parent(6, true);
    const Network b = parent(6, true);
    int nodes_from_a = 0, nodes = 0, weights_from_a = 0, weights = 0;
    for (int round = 0; round < 40; ++round) {
        const Network child = crossover(a, b, 1.0, 1.0);
        for (std::int32_t i = 0; i < 6; ++i, ++nodes) nodes_from_a += child.biases[i] == a.biases[i];
        for (const auto& [s, t] : connections_of(child)) {
            if (!b.has_connection(s, t)) continue;
            ++weights;
            weights_from_a += child.weight(s, t) == a.weight(s, t);
        }
    }
    // 240 node draws and over 300 weight draws at one half each: the bounds lie beyond 6 sigma.
    EXPECT_GT(nodes_from_a, 74);
    EXPECT_LT(nodes_from_a, 166);
    ASSERT_GT(weights, 300);
    EXPECT_GT(weights_from_a, weights / 2 - 6 * std::sqrt(weights / 4.0));
    EXPECT_LT(weights_from_a, weights / 2 + 6 * std::sqrt(weights / 4.0));
}

TEST(CrossoverMix, WithAnIdenticalCopyRepeatsTheParent) {
    for (bool recurrent : {false, true}) {
        const Network a = parent(7, recurrent);
        const Network b = a;
        const Network child = crossover(a, b, 3.0, 1.0);
        EXPECT_EQ(child, a);
        EXPECT_NE(child.engine, a.engine);
    }
}

}  // namespace
}  // namespace corvane
