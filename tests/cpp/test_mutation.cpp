#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>

#include "core/errors.hpp"
#include "variation/mutation.hpp"
#include "variation_helpers.hpp"

namespace corvane {
namespace {

using testing_support::build_network;
using testing_support::connections_of;
using testing_support::Link;
using testing_support::share_near;
using Pair = std::pair<std::int32_t, std::int32_t>;

// The first seed from 1 on whose source draws `wanted` as its first index(count).
std::uint64_t seed_drawing_index(std::int32_t wanted, std::int32_t count) {
    std::uint64_t seed = 1;
    while (Random(seed).index(count) != wanted) ++seed;
    return seed;
}

// ---------------------------------------------------------------- connect and disconnect

TEST(Connect, DrawsTheWeightAsTheNextStandardNormal) {
    Network net = build_network(1, 1, 3, false, {{0, 1, 0.5}});
    Random random(3), replay(3);
    const double first = replay.standard_normal();
    const double second = replay.standard_normal();
    connect(net, 1, 2, random);
    connect(net, 0, 1, random);  // an existing connection gets a new weight
    EXPECT_TRUE(net.has_connection(1, 2));
    EXPECT_EQ(net.weight(1, 2), first);
    EXPECT_EQ(net.weight(0, 1), second);
    EXPECT_EQ(random, replay);
    disconnect(net, 0, 1);
    EXPECT_FALSE(net.has_connection(0, 1));
    EXPECT_EQ(net.weight(0, 1), 0.0);
}

// ---------------------------------------------------------------- split_connection

struct SplitCase {
    const char* name;
    std::int32_t inputs, outputs, n;
    bool recurrent;
    std::vector<Link> links;
    std::int32_t s, t;
    std::int32_t new_node, new_target;  // expected index of the new node and the split target after the insertion
};
void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }


class SplitConnection : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitConnection, InsertsBehindTheSourceAndShiftsEveryLaterNode) {
    const SplitCase& c = GetParam();
    Network net = build_network(c.inputs, c.outputs, c.n, c.recurrent, c.links);
    const Network before = net;
    Random random(11), replay(11);
    const double to_new = replay.standard_normal();
    const double from_new = replay.standard_normal();

    split_connection(net, c.s, c.t, -1.5, 3, random);

    const std::int32_t g = c.new_node;
    ASSERT_EQ(net.node_count, c.n + 1);
    EXPECT_EQ(net.biases[g], -1.5);
    EXPECT_EQ(net.activations[g], 3);
    auto moved = [g](std::int32_t i) { return i >= g ? i + 1 : i; };
    for (std::int32_t i = 0; i < c.n; ++i) {
        EXPECT_EQ(net.biases[moved(i)], before.biases[i]);
        EXPECT_EQ(net.activations[moved(i)], before.activations[i]);
    }
    // Exactly the old connections at their new places, without the split one, plus the two new ones.
    std::map<Pair, double> expected{{{c.s, g}, to_new}, {{g, c.new_target}, from_new}};
    for (const Link& link : c.links)
        if (!(link.s == c.s && link.t == c.t)) expected[{moved(link.s), moved(link.t)}] = link.w;
    std::map<Pair, double> actual;
    for (const Pair& p : connections_of(net)) actual[p] = net.weight(p.first, p.second);
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(net.weight(moved(c.s), moved(c.t)), 0.0);
    EXPECT_EQ(net.sums[g], 0.0);
    EXPECT_EQ(net.values[g], 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitConnection,
    ::testing::Values(
        // 0 -> 5 with three inputs: the new node goes behind the inputs, the target becomes 6.
        SplitCase{"InputToOutput", 3, 2, 6, false, {{0, 5, 0.7}, {1, 3, 0.2}, {2, 4, 0.3}, {3, 5, 0.4}, {3, 4, 0.6}},
                  0, 5, 3, 6},
        SplitCase{"HiddenToOutput", 3, 2, 9, false, {{4, 7, 0.7}, {0, 4, 0.2}, {5, 8, 0.3}, {6, 7, 0.4}}, 4, 7, 5, 8},
        SplitCase{"RecurrentSelf", 1, 1, 3, true, {{0, 1, 0.2}, {1, 1, 0.7}, {1, 2, 0.3}}, 1, 1, 2, 1},
        SplitCase{"RecurrentBackward", 1, 1, 5, true, {{0, 1, 0.2}, {1, 2, 0.4}, {3, 2, 0.7}, {2, 3, 0.5}, {3, 4, 0.3}},
                  3, 2, 4, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- add_node

// The split candidates are the existing connections from non-outputs, in row-then-column order,
// taken at the drawn index; then come the code, the bias (standard deviation 1) and the weights
// into and out of the new node.
TEST(AddNode, SplitsTheCandidateAtTheDrawnIndex) {
    for (bool recurrent : {false, true}) {
        std::vector<Link> links{{0, 2, 0.1}, {0, 4, 0.2}, {1, 3, 0.3}, {2, 4, 0.4}, {3, 4, 0.5}};
        std::vector<Pair> candidates{{0, 2}, {0, 4}, {1, 3}, {2, 4}, {3, 4}};
        if (recurrent) {
            links.push_back({3, 2, 0.6});
            candidates.insert(candidates.begin() + 4, {3, 2});
        }
        std::set<Pair> seen;
        for (std::uint64_t seed = 1; seed <= 40; ++seed) {
            Random random(seed), replay(seed);
            const Pair chosen = candidates[replay.below(candidates.size())];
            const std::int32_t code = replay.activation();
            const double bias = 1.0 * replay.standard_normal();
            const double to_new = replay.standard_normal();
            const double from_new = replay.standard_normal();
            seen.insert(chosen);
            Network net = build_network(2, 1, 5, recurrent, links);
            add_node(net, random);
            const std::int32_t g = chosen.first + 1 < 2 ? 2 : chosen.first + 1;
            const std::int32_t target = chosen.second >= g ? chosen.second + 1 : chosen.second;
            ASSERT_EQ(net.node_count, 6);
            EXPECT_EQ(net.activations[g], code);
            EXPECT_EQ(net.biases[g], bias);
            ASSERT_TRUE(net.has_connection(chosen.first, g));
            ASSERT_TRUE(net.has_connection(g, target));
            EXPECT_EQ(net.weight(chosen.first, g), to_new);
            EXPECT_EQ(net.weight(g, target), from_new);
            EXPECT_EQ(net.connection_count(), static_cast<std::int64_t>(links.size()) + 1);
            EXPECT_TRUE(is_valid(net));
            EXPECT_EQ(random, replay);
        }
        EXPECT_EQ(seen.size(), candidates.size());
    }
}

TEST(AddNode, WithoutConnectionsChangesNothing) {
    Network net = build_network(2, 2, 6, false, {});
    const Network before = net;
    Random random(1);
    const Random unused = random;
    add_node(net, random);
    EXPECT_EQ(net, before);
    EXPECT_EQ(random, unused);
}

// ---------------------------------------------------------------- remove_node

TEST(RemoveNode, WithoutHiddenNodesChangesNothing) {
    for (bool recurrent : {false, true}) {
        Network net = build_network(2, 1, 3, recurrent, {{0, 2, 0.5}, {1, 2, 0.5}});
        const Network before = net;
        Random random(1);
        remove_node(net, random);
        EXPECT_EQ(net, before);
    }
}

// Node 2 has sources {0, 1} and targets {6, 7} (5 and 6 after the removal); 0 -> 6 existed.
TEST(RemoveNode, JoinsEverySourceToEveryTargetWithFreshWeights) {
    Network net = build_network(2, 5, 8, false,
                                {{0, 2, 0.1}, {1, 2, 0.2}, {2, 6, 0.3}, {2, 7, 0.4}, {0, 3, 0.5}, {1, 4, 0.6},
                                 {1, 5, 0.7}, {0, 6, 0.8}});
    const Network source = net;
    Random random(21), replay(21);
    EXPECT_EQ(replay.index(1), 0);  // the only hidden node
    std::map<Pair, double> expected{{{0, 2}, 0.5}, {{1, 3}, 0.6}, {{1, 4}, 0.7}};
    for (Pair p : {Pair{0, 5}, Pair{0, 6}, Pair{1, 5}, Pair{1, 6}}) expected[p] = replay.standard_normal();

    remove_node(net, random);

    ASSERT_EQ(net.node_count, 7);
    std::map<Pair, double> actual;
    for (const Pair& p : connections_of(net)) actual[p] = net.weight(p.first, p.second);
    EXPECT_EQ(actual, expected);
    std::vector<double> biases = source.biases;
    biases.erase(biases.begin() + 2);
    EXPECT_EQ(net.biases, biases);
    EXPECT_TRUE(is_valid(net));
    EXPECT_EQ(random, replay);
}

TEST(RemoveNode, RemovesTheHiddenNodeAtTheDrawnIndex) {
    const Network source = testing_support::random_network(2, 1, 7, false);
    std::set<std::int32_t> removed;
    for (std::uint64_t seed = 1; seed <= 30; ++seed) {
        const std::int32_t r = 2 + Random(seed).index(4);
        removed.insert(r);
        Network net = source;
        Random random(seed);
        remove_node(net, random);
        ASSERT_EQ(net.node_count, 6);
        std::vector<double> biases = source.biases;
        biases.erase(biases.begin() + r);
        EXPECT_EQ(net.biases, biases);
    }
    EXPECT_EQ(removed.size(), 4u);
}

// Removing node 1 of 0 -> 1, 1 -> 2, 2 -> 1, 2 -> 3: node 2 was source and target, and gets a
// self connection besides its connection to the output.
TEST(RemoveNode, RecurrentSourceAndTargetGetsASelfConnection) {
    Network net = build_network(1, 1, 4, true, {{0, 1, 0.1}, {1, 2, 0.2}, {2, 1, 0.3}, {2, 3, 0.4}});
    Random random(seed_drawing_index(0, 2));
    remove_node(net, random);
    EXPECT_EQ(connections_of(net), (std::vector<Pair>{{0, 1}, {1, 1}, {1, 2}}));
    EXPECT_TRUE(is_valid(net));
}

// Two hidden nodes feeding only each other: removing either leaves the other with nothing but a
// self connection, so the removal is taken back: structure, biases, codes and node state.
TEST(RemoveNode, RemovalThatWouldBreakTheNetworkIsNotApplied) {
    Network net = build_network(1, 1, 4, true, {{0, 3, 0.1}, {1, 2, 0.2}, {2, 1, 0.3}});
    net.sums = {1, 2, 3, 4};
    net.values = {5, 6, 7, 8};
    ASSERT_TRUE(is_valid(net));
    for (int wanted : {0, 1}) {
        Network copy = net;
        Random random(seed_drawing_index(wanted, 2));
        remove_node(copy, random);
        EXPECT_EQ(copy, net);
        EXPECT_EQ(copy.weights, net.weights);  // also where no connection is set
        EXPECT_EQ(copy.sums, net.sums);
        EXPECT_EQ(copy.values, net.values);
    }
}

// On a network that is already broken the removal cannot repair, the network is left as it was
// and the check after the branch still reports it.
TEST(RemoveNode, AlreadyInvalidNetworkIsLeftAsItWas) {
    Network net = build_network(1, 1, 3, true, {{0, 1, 0.5}});
    const Network before = net;
    Random random(1);
    remove_node(net, random);
    EXPECT_EQ(net, before);
    EXPECT_FALSE(is_valid(net));
}

// Whether mutate's first four draws from `random` lead to the remove-node branch.
bool takes_remove_node_branch(Random random) {
    return random.uniform(0, 1) >= 0.3 && random.uniform(0, 1) >= 0.3 && random.uniform(0, 1) > 0.1 &&
           random.uniform(0, 1) <= 0.1;
}

// The remove-node branch of mutate on that network is reached about 4.4 % of the time and must
// never fail, since the removal is not applied.
TEST(Mutate, RecurrentRemovalThatWouldBreakNeverFails) {
    const Network source = build_network(1, 1, 4, true, {{0, 3, 0.1}, {1, 2, 0.2}, {2, 1, 0.3}});
    Random random(31);
    int removals = 0;
    for (int i = 0; i < 500; ++i) {
        Network net = source;
        removals += takes_remove_node_branch(random);
        mutate(net, random);
        ASSERT_TRUE(is_valid(net));
        ASSERT_TRUE(testing_support::only_allowed_connections(net));
    }
    EXPECT_GT(removals, 10);
}

// ---------------------------------------------------------------- add_connection

TEST(AddConnection, FullNetworkChangesNothing) {
    for (bool recurrent : {false, true}) {
        Network net = testing_support::random_network(3, 2, 8, recurrent);
        const Network before = net;
        Random random(1);
        const Random unused = random;
        add_connection(net, random);
        EXPECT_EQ(net, before);
        EXPECT_EQ(random, unused);
    }
}

TEST(AddConnection, AddsTheAbsentAllowedPairAtTheDrawnIndex) {
    struct Case {
        bool recurrent;
        std::vector<Link> links;
        std::vector<Pair> candidates;
    };
    const std::vector<Case> cases{
        {false, {}, {{0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}}},
        {false, {{0, 3, 1.0}, {1, 2, 1.0}}, {{0, 2}, {1, 3}, {2, 3}}},
        {true, {{0, 2, 1.0}, {2, 3, 1.0}}, {{0, 3}, {1, 2}, {1, 3}, {2, 2}}},
    };
    for (const Case& c : cases) {
        std::set<Pair> seen;
        for (std::uint64_t seed = 1; seed <= 30; ++seed) {
            Random random(seed), replay(seed);
            const Pair chosen = c.candidates[replay.below(c.candidates.size())];
            seen.insert(chosen);
            Network net = build_network(2, 1, 4, c.recurrent, c.links);
            add_connection(net, random);
            EXPECT_EQ(net.connection_count(), static_cast<std::int64_t>(c.links.size()) + 1);
            ASSERT_TRUE(net.has_connection(chosen.first, chosen.second));
            EXPECT_EQ(net.weight(chosen.first, chosen.second), replay.standard_normal());
            EXPECT_EQ(random, replay);
        }
        EXPECT_EQ(seen.size(), c.candidates.size());
    }
}

// ---------------------------------------------------------------- remove_connection

// A connection may go only while its source keeps another outgoing and its target another
// incoming connection, self connections not counted.
TEST(RemoveConnection, RemovesOnlyConnectionsBothEndsCanSpare) {
    struct Case {
        const char* name;
        std::int32_t inputs, outputs, n;
        bool recurrent;
        std::vector<Link> links;
        std::vector<Pair> candidates;
    };
    const std::vector<Case> cases{
        {"LoneSourceAndLoneTarget", 2, 1, 4, false, {{0, 2, 1}, {0, 3, 1}, {1, 3, 1}, {2, 3, 1}}, {{0, 3}}},
        {"Chain", 1, 1, 3, false, {{0, 1, 1}, {1, 2, 1}}, {}},
        {"SelfConnectionsDoNotCount", 1, 1, 4, true,
         {{0, 1, 1}, {0, 2, 1}, {1, 1, 1}, {1, 2, 1}, {1, 3, 1}, {2, 3, 1}, {2, 2, 1}, {2, 1, 1}},
         {{0, 1}, {0, 2}, {1, 1}, {1, 2}, {1, 3}, {2, 1}, {2, 2}, {2, 3}}},
        {"SelfConnectionOfALoneNode", 1, 1, 3, true, {{0, 1, 1}, {1, 1, 1}, {1, 2, 1}, {0, 2, 1}}, {{0, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Network source = build_network(c.inputs, c.outputs, c.n, c.recurrent, c.links);
        std::set<Pair> seen;
        for (std::uint64_t seed = 1; seed <= 80; ++seed) {
            Network net = source;
            Random random(seed), replay(seed);
            remove_connection(net, random);
            if (c.candidates.empty()) {
                EXPECT_EQ(net, source);
                EXPECT_EQ(random, replay);  // nothing to choose, nothing drawn
                continue;
            }
            const Pair chosen = c.candidates[replay.below(c.candidates.size())];
            seen.insert(chosen);
            EXPECT_FALSE(net.has_connection(chosen.first, chosen.second));
            EXPECT_EQ(net.weight(chosen.first, chosen.second), 0.0);
            EXPECT_EQ(net.connection_count(), source.connection_count() - 1);
            EXPECT_EQ(random, replay);
        }
        EXPECT_EQ(seen.size(), c.candidates.size());
    }
}

TEST(RemoveConnection, WithoutConnectionsChangesNothing) {
    Network net = build_network(2, 2, 5, true, {});
    const Network before = net;
    Random random(1);
    remove_connection(net, random);
    EXPECT_EQ(net, before);
}

// ---------------------------------------------------------------- perturb and mutate_activations

TEST(Perturb, MovesNonZeroValuesAndLeavesZerosAndAbsentWeights) {
    Network net = build_network(1, 1, 3, false, {{0, 1, 0.0}, {0, 2, 2.0}, {1, 2, -3.0}});
    net.biases = {0.0, 1.0, 0.0};
    net.weight(1, 1) = 7.0;  // no connection: its weight must not move
    Random random(41);
    perturb(net, random);
    EXPECT_EQ(net.biases[0], 0.0);
    EXPECT_EQ(net.biases[2], 0.0);
    EXPECT_NE(net.biases[1], 1.0);
    EXPECT_EQ(net.weight(0, 1), 0.0);
    EXPECT_NE(net.weight(0, 2), 2.0);
    EXPECT_NE(net.weight(1, 2), -3.0);
    EXPECT_EQ(net.weight(1, 1), 7.0);
    EXPECT_EQ(connections_of(net), (std::vector<Pair>{{0, 1}, {0, 2}, {1, 2}}));
}

// Node by node, the bias and then the node's outgoing weights in target order each move by
// 0.2 * |value| times the next standard normal value (zeros draw one too).
TEST(Perturb, ExactNewValuesFromTheSource) {
    const Network source =
        build_network(2, 1, 5, true, {{0, 2, 0.5}, {0, 4, -2.0}, {2, 2, 0.0}, {2, 3, 1.5}, {3, 2, -0.25}, {3, 4, 3.0}});
    Network net = source;
    Random random(42), replay(42);
    perturb(net, random);
    Network expected = source;
    auto step = [&](double& value) { value += 0.2 * std::fabs(value) * replay.standard_normal(); };
    for (std::int32_t i = 0; i < 5; ++i) {
        step(expected.biases[i]);
        for (std::int32_t j = 0; j < 5; ++j)
            if (expected.has_connection(i, j)) step(expected.weight(i, j));
    }
    EXPECT_EQ(net, expected);
    EXPECT_EQ(net.weights, expected.weights);
    EXPECT_EQ(random, replay);
}

// The step is a normal value with mean 0 and standard deviation 20 % of the value's magnitude,
// for positive and negative values of any size. 20,000 perturbs of 10 values: the standard error
// of the measured deviation is about 0.0003.
TEST(Perturb, StepIsTwentyPercentOfTheMagnitude) {
    const Network source = build_network(
        1, 1, 4, false, {{0, 1, 0.5}, {0, 2, -3.0}, {0, 3, 1e-6}, {1, 2, 250.0}, {1, 3, -0.125}, {2, 3, 7.5}});
    Random random(43);
    std::vector<double> relative;
    for (int round = 0; round < 20000; ++round) {
        Network net = source;
        perturb(net, random);
        for (std::int32_t i = 0; i < 4; ++i) {
            relative.push_back((net.biases[i] - source.biases[i]) / std::fabs(source.biases[i]));
            for (const auto& [s, t] : connections_of(source)) {
                if (s != i) continue;
                relative.push_back((net.weight(s, t) - source.weight(s, t)) / std::fabs(source.weight(s, t)));
            }
        }
    }
    double sum = 0, squares = 0;
    for (double r : relative) {
        sum += r;
        squares += r * r;
    }
    const double n = static_cast<double>(relative.size());
    EXPECT_NEAR(sum / n, 0.0, 0.002);
    EXPECT_NEAR(std::sqrt(squares / n - (sum / n) * (sum / n)), 0.2, 0.0015);
}

// Per hidden or output node: a uniform draw, and when it is at most 0.05 a new code.
TEST(MutateActivations, ExactCodesFromTheSource) {
    Network net = build_network(3, 2, 40, false, {});
    for (std::int32_t& code : net.activations) code = 9;
    Random random(44), replay(44);
    for (int round = 0; round < 20; ++round) mutate_activations(net, random);
    std::vector<std::int32_t> expected(40, 9);
    for (int round = 0; round < 20; ++round)
        for (std::int32_t i = 3; i < 40; ++i)
            if (replay.uniform(0, 1) <= 0.05) expected[i] = replay.activation();
    EXPECT_EQ(net.activations, expected);
    EXPECT_EQ(random, replay);
}

// Every hidden and output node is redrawn with chance 5 % per call, to a uniform code; inputs
// never. 17 nodes x 20,000 calls.
TEST(MutateActivations, ChangesEachHiddenAndOutputNodeWithChanceFivePercent) {
    Network net = build_network(3, 2, 20, false, {});
    Random random(45);
    std::int64_t redrawn = 0, trials = 0;
    std::vector<std::int64_t> codes(4, 0);
    for (int round = 0; round < 20000; ++round) {
        for (std::int32_t& code : net.activations) code = 9;
        mutate_activations(net, random);
        for (std::int32_t i = 0; i < 3; ++i) ASSERT_EQ(net.activations[i], 9);
        for (std::int32_t i = 3; i < 20; ++i, ++trials) {
            if (net.activations[i] == 9) continue;
            ++redrawn;
            ASSERT_GE(net.activations[i], 0);
            ASSERT_LT(net.activations[i], 4);
            codes[static_cast<std::size_t>(net.activations[i])] += 1;
        }
    }
    EXPECT_TRUE(share_near(redrawn, trials, 0.05));
    EXPECT_LT(testing_support::chi_square_uniform(codes), testing_support::chi_square_limit(3));
}

// ---------------------------------------------------------------- mutate and its checks

TEST(FailCheck, ThrowsTheMessageAsConsistencyErrorAndPrintsNothing) {
    ::testing::internal::CaptureStdout();
    EXPECT_THROW_MESSAGE(fail_check("Add node mutation broke network."), consistency_error,
                         "Add node mutation broke network.");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    static_assert(std::is_base_of_v<error, consistency_error>);
}

// On a network that is invalid from the start (hidden nodes without connections) every branch
// shows: perturb moves the biases (none is zero), mutate_activations redraws some of the 28 codes
// set to 9 (all stay with chance 0.95^28), and every structural branch fails its check, also where
// the operator changes nothing. The shares follow the decision tree: perturb 0.3, activations
// 0.7 * 0.3, add node 0.49 * 0.1, remove node 0.441 * 0.1, remove connection 0.3969 * 0.05, add
// connection 0.377055 * 0.05, nothing the rest.
TEST(Mutate, BranchSharesFollowTheDecisionTree) {
    Network broken = build_network(2, 1, 30, false, {});
    for (std::int32_t& code : broken.activations) code = 9;
    const std::vector<std::string> messages{"Add node mutation broke network.", "Remove node mutation broke network.",
                                            "Remove connection mutation broke network.",
                                            "Add connection mutation broke network."};
    std::map<std::string, std::int64_t> failures;
    std::int64_t perturbed = 0, redrawn = 0, unchanged = 0;
    const std::int64_t calls = 160000;
    Random random(46);
    ::testing::internal::CaptureStdout();
    for (std::int64_t i = 0; i < calls; ++i) {
        Network net = broken;
        try {
            mutate(net, random);
        } catch (const consistency_error& error) {
            failures[error.what()] += 1;
            continue;
        }
        if (net.biases != broken.biases) {
            ++perturbed;
            EXPECT_EQ(net.activations, broken.activations);
        } else if (net.activations != broken.activations) {
            ++redrawn;
        } else {
            ++unchanged;
        }
        ASSERT_EQ(net.node_count, 30);
        ASSERT_EQ(net.connection_count(), 0);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // the core never prints
    ASSERT_EQ(failures.size(), 4u);
    const double rest = 0.7 * 0.7;
    const double visible_redraw = 1 - std::pow(0.95, 28);
    EXPECT_TRUE(share_near(perturbed, calls, 0.3));
    EXPECT_TRUE(share_near(redrawn, calls, 0.7 * 0.3 * visible_redraw));
    const std::vector<double> structural{rest * 0.1, rest * 0.9 * 0.1, rest * 0.9 * 0.9 * 0.05,
                                         rest * 0.9 * 0.9 * 0.95 * 0.05};
    for (std::size_t k = 0; k < messages.size(); ++k)
        EXPECT_TRUE(share_near(failures[messages[k]], calls, structural[k])) << messages[k];
    const double nothing = rest * 0.9 * 0.9 * 0.95 * 0.95 + 0.7 * 0.3 * (1 - visible_redraw);
    EXPECT_TRUE(share_near(unchanged, calls, nothing));
}

// A valid network never fails; the same source gives the same mutation, another source (with
// these seeds) another one.
TEST(Mutate, IsAPureFunctionOfTheNetworkAndTheSource) {
    for (bool recurrent : {false, true}) {
        const Network source = testing_support::random_network(3, 2, 8, recurrent);
        int differing = 0;
        for (std::uint64_t seed = 1; seed <= 200; ++seed) {
            Network a = source, b = source, c = source;
            Random ra(seed), rb(seed), rc(seed + 1000);
            mutate(a, ra);
            mutate(b, rb);
            mutate(c, rc);
            ASSERT_EQ(a, b);
            ASSERT_EQ(ra, rb);
            ASSERT_TRUE(is_valid(a));
            differing += !(a == c);
        }
        EXPECT_GT(differing, 100);
    }
}

TEST(Mutate, EmptyNetworkIsValidAndStaysEmpty) {
    Network net;
    EXPECT_TRUE(is_valid(net));
    Random random(47);
    for (int i = 0; i < 200; ++i) mutate(net, random);
    EXPECT_EQ(net.node_count, 0);
}

}  // namespace
}  // namespace corvane
