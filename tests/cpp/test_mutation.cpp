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
using testing_support::rand_values;
using testing_support::seed_rand;
using Pair = std::pair<std::int32_t, std::int32_t>;

// ---------------------------------------------------------------- connect and disconnect

TEST(Connect, DrawsTheWeightFromTheNetworksOwnEngine) {
    Network net = build_network(1, 1, 3, false, {{0, 1, 0.5}});
    std::mt19937 engine = net.engine;
    const double first = engine_normal(engine);
    const double second = engine_normal(engine);
    connect(net, 1, 2);
    connect(net, 0, 1);  // an existing connection gets a new weight
    EXPECT_TRUE(net.has_connection(1, 2));
    EXPECT_EQ(net.weight(1, 2), first);
    EXPECT_EQ(net.weight(0, 1), second);
    EXPECT_EQ(net.engine, engine);
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
    std::mt19937 engine = net.engine;
    const double to_new = engine_normal(engine);
    const double from_new = engine_normal(engine);

    split_connection(net, c.s, c.t, -1.5, 3);

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
// taken at random_index; the activation is drawn right after the index.
TEST(AddNode, SplitsTheCandidateAtTheDrawnIndex) {
    for (bool recurrent : {false, true}) {
        std::vector<Link> links{{0, 2, 0.1}, {0, 4, 0.2}, {1, 3, 0.3}, {2, 4, 0.4}, {3, 4, 0.5}};
        std::vector<Pair> candidates{{0, 2}, {0, 4}, {1, 3}, {2, 4}, {3, 4}};
        if (recurrent) {
            links.push_back({3, 2, 0.6});
            candidates.insert(candidates.begin() + 4, {3, 2});
        }
        for (unsigned seed = 1; seed <= 30; ++seed) {
            const std::vector<int> draws = rand_values(seed, 2);
            const Pair chosen = candidates[draws[0] % candidates.size()];
            Network net = build_network(2, 1, 5, recurrent, links);
            seed_rand(seed);
            add_node(net);
            const std::int32_t g = chosen.first + 1 < 2 ? 2 : chosen.first + 1;
            ASSERT_EQ(net.node_count, 6);
            EXPECT_EQ(net.activations[g], draws[1] % 4);
            EXPECT_TRUE(net.has_connection(chosen.first, g));
            EXPECT_TRUE(net.has_connection(g, chosen.second >= g ? chosen.second + 1 : chosen.second));
            EXPECT_EQ(net.connection_count(), static_cast<std::int64_t>(links.size()) + 1);
            EXPECT_TRUE(is_valid(net));
        }
    }
}

TEST(AddNode, WithoutConnectionsChangesNothing) {
    Network net = build_network(2, 2, 6, false, {});
    const Network before = net;
    add_node(net);
    EXPECT_EQ(net, before);
}

// ---------------------------------------------------------------- remove_node

TEST(RemoveNode, WithoutHiddenNodesChangesNothing) {
    for (bool recurrent : {false, true}) {
        Network net = build_network(2, 1, 3, recurrent, {{0, 2, 0.5}, {1, 2, 0.5}});
        const Network before = net;
        remove_node(net);
        EXPECT_EQ(net, before);
    }
}

// Node 2 has sources {0, 1} and targets {6, 7} (5 and 6 after the removal); 0 -> 6 existed.
TEST(RemoveNode, JoinsEverySourceToEveryTargetWithFreshWeights) {
    Network net = build_network(2, 5, 8, false,
                                {{0, 2, 0.1}, {1, 2, 0.2}, {2, 6, 0.3}, {2, 7, 0.4}, {0, 3, 0.5}, {1, 4, 0.6},
                                 {1, 5, 0.7}, {0, 6, 0.8}});
    const Network source = net;
    std::mt19937 engine = net.engine;
    std::map<Pair, double> expected{{{0, 2}, 0.5}, {{1, 3}, 0.6}, {{1, 4}, 0.7}};
    for (Pair p : {Pair{0, 5}, Pair{0, 6}, Pair{1, 5}, Pair{1, 6}}) expected[p] = engine_normal(engine);

    remove_node(net);

    ASSERT_EQ(net.node_count, 7);
    std::map<Pair, double> actual;
    for (const Pair& p : connections_of(net)) actual[p] = net.weight(p.first, p.second);
    EXPECT_EQ(actual, expected);
    std::vector<double> biases = source.biases;
    biases.erase(biases.begin() + 2);
    EXPECT_EQ(net.biases, biases);
    EXPECT_TRUE(is_valid(net));
}

TEST(RemoveNode, RemovesTheHiddenNodeAtTheDrawnIndex) {
    const Network source = [] {
        Network net(2, 1, false);
        net.reset(7);
        net.randomize();
        return net;
    }();
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const std::int32_t r = 2 + rand_values(seed, 1)[0] % 4;
        Network net = source;
        seed_rand(seed);
        remove_node(net);
        ASSERT_EQ(net.node_count, 6);
        EXPECT_EQ(net.biases[r], source.biases[r + 1]);
        EXPECT_EQ(net.biases[r - 1], source.biases[r - 1]);
    }
}

unsigned seed_drawing_index(int wanted, int count) {
    unsigned seed = 1;
    while (rand_values(seed, 1)[0] % count != wanted) ++seed;
    return seed;
}

// Removing node 1 of 0 -> 1, 1 -> 2, 2 -> 1, 2 -> 3: node 2 was source and target, and gets a
// self connection besides its connection to the output.
TEST(RemoveNode, RecurrentSourceAndTargetGetsASelfConnection) {
    Network net = build_network(1, 1, 4, true, {{0, 1, 0.1}, {1, 2, 0.2}, {2, 1, 0.3}, {2, 3, 0.4}});
    seed_rand(seed_drawing_index(0, 2));
    remove_node(net);
    EXPECT_EQ(connections_of(net), (std::vector<Pair>{{0, 1}, {1, 1}, {1, 2}}));
    EXPECT_TRUE(is_valid(net));
}

// Two hidden nodes feeding only each other: removing either leaves the other with nothing but a
// self connection, so the removal is taken back, engine state included.
TEST(RemoveNode, RemovalThatWouldBreakTheNetworkIsNotApplied) {
    Network net = build_network(1, 1, 4, true, {{0, 3, 0.1}, {1, 2, 0.2}, {2, 1, 0.3}});
    net.sums = {1, 2, 3, 4};
    net.values = {5, 6, 7, 8};
    ASSERT_TRUE(is_valid(net));
    for (int wanted : {0, 1}) {
        Network copy = net;
        seed_rand(seed_drawing_index(wanted, 2));
        remove_node(copy);
        EXPECT_EQ(copy, net);
        EXPECT_EQ(copy.sums, net.sums);
        EXPECT_EQ(copy.values, net.values);
        EXPECT_EQ(copy.engine, net.engine);
    }
}

// On a network that is already broken the removal cannot repair, the network is left as it was
// and the check after the branch still reports it.
TEST(RemoveNode, AlreadyInvalidNetworkIsLeftAsItWas) {
    Network net = build_network(1, 1, 3, true, {{0, 1, 0.5}});
    const Network before = net;
    remove_node(net);
    EXPECT_EQ(net, before);
    EXPECT_FALSE(is_valid(net));
}

// The remove-node branch of mutate on that network is reached about 4.4 % of the time (about 22
// times here) and must never fail, since the removal is not applied.
TEST(Mutate, RecurrentRemovalThatWouldBreakNeverFails) {
    const Network source = build_network(1, 1, 4, true, {{0, 3, 0.1}, {1, 2, 0.2}, {2, 1, 0.3}});
    for (int i = 0; i < 500; ++i) {
        Network net = source;
        mutate(net);
        ASSERT_TRUE(is_valid(net));
        ASSERT_TRUE(testing_support::only_allowed_connections(net));
    }
}

// ---------------------------------------------------------------- add_connection

TEST(AddConnection, FullNetworkChangesNothing) {
    for (bool recurrent : {false, true}) {
        Network net(3, 2, recurrent);
        net.reset(8);
        net.randomize();
        const Network before = net;
        add_connection(net);
        EXPECT_EQ(net, before);
        EXPECT_EQ(net.engine, before.engine);
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
        for (unsigned seed = 1; seed <= 20; ++seed) {
            const Pair chosen = c.candidates[rand_values(seed, 1)[0] % c.candidates.size()];
            Network net = build_network(2, 1, 4, c.recurrent, c.links);
            std::mt19937 engine = net.engine;
            seed_rand(seed);
            add_connection(net);
            EXPECT_EQ(net.connection_count(), static_cast<std::int64_t>(c.links.size()) + 1);
            ASSERT_TRUE(net.has_connection(chosen.first, chosen.second));
            EXPECT_EQ(net.weight(chosen.first, chosen.second), engine_normal(engine));
        }
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
        for (unsigned seed = 1; seed <= 20; ++seed) {
            Network net = source;
            const int draw = rand_values(seed, 1)[0];
            seed_rand(seed);
            remove_connection(net);
            if (c.candidates.empty()) {
                EXPECT_EQ(net, source);
                continue;
            }
            const Pair chosen = c.candidates[draw % c.candidates.size()];
            EXPECT_FALSE(net.has_connection(chosen.first, chosen.second));
            EXPECT_EQ(net.weight(chosen.first, chosen.second), 0.0);
            EXPECT_EQ(net.connection_count(), source.connection_count() - 1);
        }
    }
}

TEST(RemoveConnection, WithoutConnectionsChangesNothing) {
    Network net = build_network(2, 2, 5, true, {});
    const Network before = net;
    remove_connection(net);
    EXPECT_EQ(net, before);
}

// ---------------------------------------------------------------- perturb and mutate_activations

TEST(Perturb, MovesNonZeroValuesAndLeavesZerosAndAbsentWeights) {
    Network net = build_network(1, 1, 3, false, {{0, 1, 0.0}, {0, 2, 2.0}, {1, 2, -3.0}});
    net.biases = {0.0, 1.0, 0.0};
    net.weight(1, 1) = 7.0;  // no connection: its weight must not move
    perturb(net);
    EXPECT_EQ(net.biases[0], 0.0);
    EXPECT_EQ(net.biases[2], 0.0);
    EXPECT_NE(net.biases[1], 1.0);
    EXPECT_EQ(net.weight(0, 1), 0.0);
    EXPECT_NE(net.weight(0, 2), 2.0);
    EXPECT_NE(net.weight(1, 2), -3.0);
    EXPECT_EQ(net.weight(1, 1), 7.0);
    EXPECT_EQ(connections_of(net), (std::vector<Pair>{{0, 1}, {0, 2}, {1, 2}}));
}

TEST(MutateActivations, ChangesOnlyHiddenAndOutputCodes) {
    Network net = build_network(3, 2, 20, false, {});
    for (std::int32_t& code : net.activations) code = 9;
    for (int round = 0; round < 100; ++round) mutate_activations(net);
    for (std::int32_t i = 0; i < 3; ++i) EXPECT_EQ(net.activations[i], 9);
    int changed = 0;
    for (std::int32_t i = 3; i < 20; ++i) {
        if (net.activations[i] == 9) continue;
        ++changed;
        EXPECT_GE(net.activations[i], 0);
        EXPECT_LT(net.activations[i], 4);
    }
    EXPECT_GT(changed, 0);  // 17 nodes x 100 rounds at 5 %: all unchanged has odds below 1e-37
}

// ---------------------------------------------------------------- mutate and its checks

TEST(FailCheck, ThrowsTheMessageAsConsistencyErrorAndPrintsNothing) {
    ::testing::internal::CaptureStdout();
    EXPECT_THROW_MESSAGE(fail_check("Add node mutation broke network."), consistency_error,
                         "Add node mutation broke network.");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    static_assert(std::is_base_of_v<error, consistency_error>);
}

// A network that is invalid from the start fails every structural branch, also where the
// operator changes nothing, and never the others. The failure shares follow the decision tree:
// add node 0.049, remove node 0.0441, remove connection 0.019845, add connection 0.01885275.
TEST(Mutate, AlreadyInvalidNetworkFailsEveryStructuralBranch) {
    const Network broken = build_network(2, 1, 3, false, {});
    const std::vector<std::string> messages{"Add node mutation broke network.", "Remove node mutation broke network.",
                                            "Remove connection mutation broke network.",
                                            "Add connection mutation broke network."};
    std::map<std::string, int> failures;
    const int calls = 10000;
    ::testing::internal::CaptureStdout();
    for (int i = 0; i < calls; ++i) {
        Network net = broken;
        try {
            mutate(net);
        } catch (const consistency_error& error) {
            failures[error.what()] += 1;
        }
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // the core never prints
    ASSERT_EQ(failures.size(), 4u);
    // Each bound lies about seven standard deviations from the expected count.
    const std::vector<std::pair<int, int>> bounds{{340, 640}, {300, 590}, {100, 300}, {95, 285}};
    for (std::size_t k = 0; k < messages.size(); ++k) {
        EXPECT_GT(failures[messages[k]], bounds[k].first) << messages[k];
        EXPECT_LT(failures[messages[k]], bounds[k].second) << messages[k];
    }
}

TEST(Mutate, EmptyNetworkIsValidAndStaysEmpty) {
    Network net;
    EXPECT_TRUE(is_valid(net));
    for (int i = 0; i < 200; ++i) mutate(net);
    EXPECT_EQ(net.node_count, 0);
}

}  // namespace
}  // namespace corvane
