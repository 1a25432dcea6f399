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
// the same size share some connections but not all; parents of different seeds differ.
Network parent(std::int32_t n, bool recurrent, std::uint64_t seed) {
    Network net = testing_support::random_network(2, 2, n, recurrent, seed);
    Random random(seed + 100);
    for (int i = 0; i < 4; ++i) remove_connection(net, random);
    return net;
}

// What crossover must build, from the draws of `replay`: per node a draw of at most 0.5 picks
// the first parent (the fitter one when the drawn parent lacks the node); then per connection of
// the fitter parent, in row-then-column order, a draw only where the other parent shares it.
Network expected_child(const Network& first, const Network& second, bool second_fitter, Random& replay) {
    const Network& fitter = second_fitter ? second : first;
    const Network& other = second_fitter ? first : second;
    Network child(first.inputs, first.outputs, first.recurrent);
    child.reset(fitter.node_count);
    for (std::int32_t i = 0; i < child.node_count; ++i) {
        const Network& drawn = replay.uniform(0, 1) <= 0.5 ? first : second;
        const Network& source = i < drawn.node_count ? drawn : fitter;
        child.biases[i] = source.biases[i];
        child.activations[i] = source.activations[i];
    }
    for (const auto& [s, t] : connections_of(fitter)) {
        const bool shared = s < other.node_count && t < other.node_count && other.has_connection(s, t);
        child.set_connection(s, t);
        child.weight(s, t) = fitter.weight(s, t);
        if (shared) child.weight(s, t) = replay.uniform(0, 1) <= 0.5 ? first.weight(s, t) : second.weight(s, t);
    }
    return child;
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
    const Network a = parent(c.first_size, recurrent, 1);
    const Network b = parent(c.second_size, recurrent, 2);
    const Network& fitter = c.second_fitter ? b : a;
    const Network& other = c.second_fitter ? a : b;
    Random random(3), replay(3);

    const Network child = crossover(a, b, c.first_loss, c.second_loss, random);

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
    const Network expected = expected_child(a, b, c.second_fitter, replay);
    EXPECT_EQ(child, expected);
    EXPECT_EQ(child.weights, expected.weights);
    EXPECT_EQ(random, replay);
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

// Node genes and shared weights come from either parent half of the time.
TEST(CrossoverMix, NodeGenesAndSharedWeightsComeFromBothParents) {
    const Network a = parent(6, true, 4);
    const Network b = parent(6, true, 5);
    std::int64_t nodes_from_a = 0, nodes = 0, weights_from_a = 0, weights = 0;
    Random random(6);
    for (int round = 0; round < 20000; ++round) {
        const Network child = crossover(a, b, 1.0, 1.0, random);
        for (std::int32_t i = 0; i < 6; ++i, ++nodes) nodes_from_a += child.biases[i] == a.biases[i];
        for (const auto& [s, t] : connections_of(child)) {
            if (!b.has_connection(s, t)) continue;
            ++weights;
            weights_from_a += child.weight(s, t) == a.weight(s, t);
        }
    }
    ASSERT_GT(weights, 100000);
    EXPECT_TRUE(testing_support::share_near(nodes_from_a, nodes, 0.5));
    EXPECT_TRUE(testing_support::share_near(weights_from_a, weights, 0.5));
}

TEST(CrossoverMix, WithAnIdenticalCopyRepeatsTheParent) {
    for (bool recurrent : {false, true}) {
        const Network a = parent(7, recurrent, 7);
        const Network b = a;
        Random random(8);
        const Network child = crossover(a, b, 3.0, 1.0, random);
        EXPECT_EQ(child, a);
    }
}

}  // namespace
}  // namespace corvane
