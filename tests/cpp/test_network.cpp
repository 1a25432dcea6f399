#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>

#include "network/network.hpp"
#include "random/random.hpp"

using namespace corvane;

namespace {

// A hand-made network: every bias, code and weight set by the test.
Network hand_network(std::int32_t inputs, std::int32_t outputs, std::int32_t n, bool recurrent) {
    Network network(inputs, outputs, recurrent);
    network.reset(n);
    return network;
}

void link(Network& network, std::int32_t s, std::int32_t t, double w) {
    network.set_connection(s, t);
    network.weight(s, t) = w;
}

}  // namespace

TEST(Network, ConstructedNetworkHasNoConnectionsAndOutputsHalf) {
    Network network(2, 1, false);
    EXPECT_EQ(network.node_count, 3);
    EXPECT_EQ(network.connection_count(), 0);
    for (double b : network.biases) EXPECT_EQ(b, 0.0);
    for (int code : network.activations) EXPECT_EQ(code, 0);
    EXPECT_EQ(network.forward({0.3, -7.0}), std::vector<double>{0.5});
    EXPECT_TRUE(is_valid(Network()));
}

struct ActivationCase {
    const char* name;
    std::int32_t code;
    double x;
    double expected;
};

class ActivationTest : public ::testing::TestWithParam<ActivationCase> {};

TEST_P(ActivationTest, Value) {
    const ActivationCase& c = GetParam();
    const double got = activate(c.code, c.x);
    if (std::isnan(c.expected))
        EXPECT_TRUE(std::isnan(got));
    else
        EXPECT_DOUBLE_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Codes, ActivationTest,
                         ::testing::Values(ActivationCase{"sigmoid_zero", 0, 0.0, 0.5},
                                           ActivationCase{"sigmoid_two", 0, 2.0, 1.0 / (1.0 + std::exp(-2.0))},
                                           ActivationCase{"tanh", 1, 0.5, std::tanh(0.5)},
                                           ActivationCase{"relu_negative", 2, -3.0, 0.0},
                                           ActivationCase{"relu_positive", 2, 3.0, 3.0},
                                           ActivationCase{"relu_nan", 2, std::nan(""), 0.0},
                                           ActivationCase{"linear", 3, -4.25, -4.25},
                                           ActivationCase{"unknown_code", 7, 5.0, 0.0},
                                           ActivationCase{"negative_code", -1, 5.0, 0.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Network, RandomizeCreatesEveryAllowedConnection) {
    Random random(1);
    Network forward(2, 1, false);
    forward.reset(5);
    forward.randomize(random);
    EXPECT_EQ(forward.connection_count(), 9);
    for (int s = 0; s < 5; ++s)
        for (int t = 0; t < 5; ++t) EXPECT_EQ(forward.has_connection(s, t), forward.allowed(s, t)) << s << "->" << t;
    EXPECT_TRUE(forward.has_connection(2, 3));
    EXPECT_FALSE(forward.has_connection(3, 2));

    Network recurrent(2, 1, true);
    recurrent.reset(5);
    recurrent.randomize(random);
    EXPECT_EQ(recurrent.connection_count(), 12);
    EXPECT_TRUE(recurrent.has_connection(2, 2));
    EXPECT_TRUE(recurrent.has_connection(3, 2));
    EXPECT_FALSE(recurrent.has_connection(4, 2));  // outputs feed nothing
    EXPECT_FALSE(recurrent.has_connection(0, 1));  // inputs are fed by nothing
    EXPECT_TRUE(is_valid(forward));
    EXPECT_TRUE(is_valid(recurrent));
    for (int code : recurrent.activations) EXPECT_TRUE(code >= 0 && code < 4);
}

TEST(Network, ConnectionCountFormulaForLargerNetworks) {
    Random random(2);
    for (bool recurrent : {false, true}) {
        Network network(3, 2, recurrent);
        network.reset(40);  // more than one 32-bit word per row
        network.randomize(random);
        std::int64_t expected = 0;
        for (int s = 0; s < 40 - 2; ++s) expected += recurrent ? 40 - 3 : 40 - std::max(3, s + 1);
        EXPECT_EQ(network.connection_count(), expected);
    }
}

TEST(Network, ForwardIsProductThenSumInNodeOrder) {
    // 0, 1 inputs; 2 hidden (linear); 3 output (linear).
    Network network = hand_network(2, 1, 4, false);
    network.activations = {0, 0, activation::linear, activation::linear};
    network.biases = {9.0, 9.0, 0.5, -1.0};  // input biases never apply
    link(network, 0, 2, 2.0);
    link(network, 1, 2, -1.0);
    link(network, 2, 3, 3.0);
    link(network, 0, 3, 0.25);
    // node 2 = 0.5 + 2*1 + -1*4 = -1.5; node 3 = -1 + 0.25*1 + 3*-1.5 = -5.25
    EXPECT_EQ(network.forward({1.0, 4.0, 99.0}), std::vector<double>{-5.25});
    EXPECT_EQ(network.values[0], 1.0);
    EXPECT_EQ(network.forward({1.0, 4.0}), std::vector<double>{-5.25});
}

TEST(Network, FeedForwardIgnoresBackwardAndSelfConnections) {
    Network network = hand_network(1, 1, 3, false);
    network.activations = {0, activation::linear, activation::linear};
    link(network, 0, 1, 1.0);
    link(network, 1, 2, 1.0);
    link(network, 1, 1, 5.0);  // left behind by a switch from recurrent mode
    link(network, 2, 1, 5.0);
    EXPECT_EQ(network.forward({2.0}), std::vector<double>{2.0});
    EXPECT_EQ(network.forward({2.0}), std::vector<double>{2.0});
}

TEST(Network, RecurrentConnectionsCarryOnePassOfDelay) {
    // 0 input; 1 hidden linear with a self connection; 2 output linear fed by 1.
    Network network = hand_network(1, 1, 3, true);
    network.activations = {0, activation::linear, activation::linear};
    link(network, 0, 1, 1.0);
    link(network, 1, 1, 0.5);
    link(network, 1, 2, 1.0);
    EXPECT_EQ(network.forward({2.0}), std::vector<double>{2.0});   // 2 + 0.5 * 0
    EXPECT_EQ(network.forward({2.0}), std::vector<double>{3.0});   // 2 + 0.5 * 2
    EXPECT_EQ(network.forward({2.0}), std::vector<double>{3.5});
    network.clear_state();
    EXPECT_EQ(network.forward({2.0}), std::vector<double>{2.0});
}

TEST(Network, RecurrentBackwardConnectionReadsThePreviousPass) {
    // The output 2 feeds hidden 1 back: the hidden node sees the output of the previous pass.
    Network network = hand_network(1, 1, 3, true);
    network.outputs = 1;
    network.activations = {0, activation::linear, activation::linear};
    link(network, 0, 1, 1.0);
    link(network, 1, 2, 2.0);
    network.set_connection(2, 1);  // not an allowed connection, but the pass must still read it
    network.weight(2, 1) = 1.0;
    EXPECT_EQ(network.forward({1.0}), std::vector<double>{2.0});  // h = 1 + 0, o = 2
    EXPECT_EQ(network.forward({1.0}), std::vector<double>{6.0});  // h = 1 + 2, o = 6
}

TEST(Network, OutputsAreTheLastNodesInOrder) {
    Network network = hand_network(1, 2, 3, false);
    network.activations = {0, activation::linear, activation::linear};
    network.biases = {0, 3.0, -2.0};
    EXPECT_EQ(network.forward({0.0}), (std::vector<double>{3.0, -2.0}));
}

// Biases, weights and codes come from the source: the same seed gives the same network, another
// seed another one; biases and weights are standard normal, codes uniform over the four.
TEST(Network, RandomizeDrawsEverythingFromTheSource) {
    auto randomized = [](std::uint64_t seed) {
        Network network(3, 2, false);
        network.reset(60);
        Random random(seed);
        network.randomize(random);
        return network;
    };
    const Network a = randomized(5);
    EXPECT_TRUE(a == randomized(5));
    EXPECT_FALSE(a == randomized(6));
    std::vector<double> values = a.biases;
    for (int s = 0; s < 60; ++s)
        for (int t = 0; t < 60; ++t)
            if (a.has_connection(s, t)) values.push_back(a.weight(s, t));
    ASSERT_GT(values.size(), 1700u);
    double sum = 0, squares = 0;
    for (double v : values) {
        sum += v;
        squares += v * v;
    }
    const double n = static_cast<double>(values.size());
    EXPECT_NEAR(sum / n, 0.0, 0.12);          // five standard errors
    EXPECT_NEAR(squares / n, 1.0, 0.2);       // five standard errors
    std::vector<int> codes(4, 0);
    for (int code : a.activations) codes.at(static_cast<std::size_t>(code)) += 1;
    for (int count : codes) EXPECT_GT(count, 3);  // 60 codes, 15 expected per code
}

TEST(Network, ResetKeepsCountsAndModeAndClearsEverything) {
    Network network(2, 1, true);
    network.reset(6);
    Random random(3);
    network.randomize(random);
    network.reset(4);
    EXPECT_EQ(network.node_count, 4);
    EXPECT_EQ(network.inputs, 2);
    EXPECT_EQ(network.outputs, 1);
    EXPECT_TRUE(network.recurrent);
    EXPECT_EQ(network.connection_count(), 0);
    EXPECT_EQ(network.weights, std::vector<double>(16, 0.0));
    EXPECT_EQ(network.biases, std::vector<double>(4, 0.0));
}

// A copy holds the same tables, state included, and shares none of them with the original.
TEST(Network, CopyIsTheTablesAndNothingElse) {
    Network network(2, 1, false);
    network.reset(4);
    Random random(4);
    network.randomize(random);
    network.forward({0.5, -1.0});
    Network copy = network;
    Network assigned;
    assigned = network;
    for (const Network* other : {&copy, &assigned}) {
        EXPECT_TRUE(*other == network);
        EXPECT_EQ(other->sums, network.sums);
        EXPECT_EQ(other->values, network.values);
    }
    copy.weight(0, 2) += 1.0;
    copy.biases[3] = 9.0;
    copy.clear_connection(1, 3);
    EXPECT_FALSE(copy == network);
    EXPECT_TRUE(assigned == network);
    EXPECT_TRUE(network.has_connection(1, 3));
    // The counts, the mode and the tables' handles: no engine or other state rides along.
    EXPECT_LE(sizeof(Network), 4 * sizeof(std::int32_t) + 6 * sizeof(std::vector<double>));
}

TEST(Network, InsertAndEraseShiftRowsAndColumns) {
    Network network = hand_network(1, 1, 3, false);
    link(network, 0, 1, 0.5);
    link(network, 1, 2, 0.75);
    network.insert_node(1, 2.0, activation::linear);
    EXPECT_EQ(network.node_count, 4);
    EXPECT_EQ(network.biases[1], 2.0);
    EXPECT_EQ(network.activations[1], activation::linear);
    EXPECT_TRUE(network.has_connection(0, 2));
    EXPECT_EQ(network.weight(0, 2), 0.5);
    EXPECT_TRUE(network.has_connection(2, 3));
    EXPECT_EQ(network.weight(2, 3), 0.75);
    EXPECT_EQ(network.connection_count(), 2);
    network.erase_node(1);
    Network expected = hand_network(1, 1, 3, false);
    link(expected, 0, 1, 0.5);
    link(expected, 1, 2, 0.75);
    EXPECT_TRUE(network == expected);
}

TEST(Network, ValidityRules) {
    Network network = hand_network(1, 1, 3, true);
    link(network, 0, 1, 1.0);
    link(network, 1, 2, 1.0);
    EXPECT_TRUE(is_valid(network));
    network.clear_connection(1, 2);
    link(network, 1, 1, 1.0);  // a self connection does not count as feeding
    EXPECT_FALSE(is_valid(network));
}

TEST(Network, TablesTooLargeForMemoryThrowBadAlloc) {
    Network network(1, 1, false);
    EXPECT_THROW(network.reset(2000000000), std::bad_alloc);
    EXPECT_EQ(network.node_count, 2);  // unchanged
    EXPECT_THROW(check_table_size(-1), std::bad_alloc);
}
