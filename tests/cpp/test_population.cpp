#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>

#include "core/errors.hpp"
#include "variation/mutation.hpp"
#include "variation/population.hpp"
#include "variation_helpers.hpp"

namespace corvane {
namespace {

using testing_support::build_network;
using testing_support::only_allowed_connections;

constexpr double nan_loss = std::numeric_limits<double>::quiet_NaN();

Network random_network(std::int32_t n, bool recurrent) { return testing_support::random_network(3, 2, n, recurrent); }

// ---------------------------------------------------------------- seed_population

TEST(SeedPopulation, FirstMemberIsAnUnchangedCloneTheOthersOneStepAway) {
    const Network source = random_network(7, true);
    const Population population = seed_population(source, 5);
    ASSERT_EQ(population.size(), 5u);
    EXPECT_EQ(population[0], source);
    EXPECT_EQ(population[0].values, source.values);
    for (const Network& member : population) {
        EXPECT_NE(member.engine, source.engine);
        EXPECT_TRUE(is_valid(member));
        EXPECT_GE(member.node_count, 6);
        EXPECT_LE(member.node_count, 8);
    }
}

TEST(SeedPopulation, SizeOfOneOrLessGivesTheSingleClone) {
    const Network source = random_network(6, false);
    for (std::int32_t size : {1, 0, -4}) {
        const Population population = seed_population(source, size);
        ASSERT_EQ(population.size(), 1u) << size;
        EXPECT_EQ(population[0], source);
    }
}

// ---------------------------------------------------------------- breed

TEST(Breed, OneParentGivesTwoCopiesWithEnginesOfTheirOwn) {
    for (bool recurrent : {false, true}) {
        const Network source = random_network(7, recurrent);
        for (int round = 0; round < 20; ++round) {
            const Population children = breed({source}, {round % 2 ? 1.0 : nan_loss});
            ASSERT_EQ(children.size(), 2u);
            for (const Network& child : children) {
                EXPECT_EQ(child, source);
                EXPECT_NE(child.engine, source.engine);
            }
            EXPECT_NE(children[0].engine, children[1].engine);
        }
    }
}

TEST(Breed, GivesTwoChildrenPerParentAlsoWithNaNLosses) {
    for (bool recurrent : {false, true}) {
        Population parents;
        for (std::int32_t n : {5, 6, 7, 8, 9}) parents.push_back(random_network(n, recurrent));
        for (int round = 0; round < 20; ++round) {
            const Population children = breed(parents, {nan_loss, 2.0, nan_loss, 1.0, INFINITY});
            ASSERT_EQ(children.size(), 10u);
            for (const Network& child : children) {
                EXPECT_TRUE(is_valid(child));
                EXPECT_TRUE(only_allowed_connections(child));
                EXPECT_GE(child.node_count, 5);
                EXPECT_LE(child.node_count, 9);
            }
        }
    }
}

TEST(Breed, NoParentsGiveNoChildren) { EXPECT_TRUE(breed({}, {}).empty()); }

TEST(Breed, ChildrenOfABrokenParentFailTheCheckWithoutPrinting) {
    const Network broken = build_network(2, 1, 3, false, {{0, 2, 1.0}});
    EXPECT_TRUE(has_broken_member({random_network(6, false), broken}));
    EXPECT_FALSE(has_broken_member({random_network(6, false)}));
    ::testing::internal::CaptureStdout();
    EXPECT_THROW_MESSAGE(breed({broken}, {1.0}), consistency_error, "Crossover broke network");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(Breed, NeedsOneLossPerParent) {
    EXPECT_THROW_MESSAGE(breed({random_network(6, false)}, {}), precondition_error,
                         "breed needs one loss per parent");
}

// ---------------------------------------------------------------- tournaments

struct GroupCase {
    const char* name;
    std::vector<LossList> losses;  // one per member; the group is members 0, 1, 2, 3 in order
    std::int32_t winner;
};
void PrintTo(const GroupCase& c, std::ostream* os) { *os << c.name; }


class TournamentWinner : public ::testing::TestWithParam<GroupCase> {};

TEST_P(TournamentWinner, OnlyAStrictlyBetterLossReplacesTheWinner) {
    const std::int32_t group[] = {0, 1, 2, 3};
    EXPECT_EQ(tournament_winner(GetParam().losses, group, 4), GetParam().winner);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TournamentWinner,
    ::testing::Values(GroupCase{"AllEqual", {{1.0}, {1.0}, {1.0}, {1.0}}, 0},
                      GroupCase{"LowestWins", {{3.0}, {2.0}, {0.5}, {1.0}}, 2},
                      GroupCase{"TieGoesToTheEarlier", {{3.0}, {1.0}, {2.0}, {1.0}}, 1},
                      GroupCase{"OnlyTheFirstValueCounts", {{1.0, 0.0}, {1.0, -5.0}, {2.0}, {3.0}}, 0},
                      GroupCase{"FirstNaNLosesToNumbers", {{nan_loss}, {5.0}, {nan_loss}, {7.0}}, 1},
                      GroupCase{"LaterNaNNeverWins", {{5.0}, {nan_loss}, {nan_loss}, {nan_loss}}, 0},
                      GroupCase{"AllNaNGoesToTheFirst", {{nan_loss}, {nan_loss}, {nan_loss}, {nan_loss}}, 0},
                      GroupCase{"InfinityBeatsNaN", {{nan_loss}, {INFINITY}, {nan_loss}, {INFINITY}}, 1},
                      GroupCase{"EmptyListRanksAsNaN", {{}, {nan_loss}, {4.0}, {}}, 2},
                      GroupCase{"NegativeInfinityWins", {{-1e300}, {-INFINITY}, {0.0}, {-INFINITY}}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BetterLoss, RanksNaNBehindEveryNumber) {
    EXPECT_TRUE(better_loss(1.0, 2.0));
    EXPECT_FALSE(better_loss(2.0, 2.0));
    EXPECT_TRUE(better_loss(INFINITY, nan_loss));
    EXPECT_FALSE(better_loss(nan_loss, INFINITY));
    EXPECT_FALSE(better_loss(nan_loss, nan_loss));
}

// Members are told apart by their first bias, which is their index.
Population numbered_members(std::int32_t m) {
    Population members;
    for (std::int32_t i = 0; i < m; ++i) {
        members.push_back(random_network(6, false));
        members.back().biases[0] = i;
    }
    return members;
}

// With count = m / 2 every member stands twice among the 2m entries, so every group holds at
// least two other entries: the best member wins one or two tournaments, the worst none, and a
// NaN member none.
TEST(TournamentSelect, BestWinsWorstAndNaNNever) {
    const Population members = numbered_members(8);
    for (bool with_nan : {false, true}) {
        std::vector<LossList> losses;
        for (int i = 0; i < 8; ++i) losses.push_back({static_cast<double>(i), 100.0 - i});
        if (with_nan) losses[7] = {nan_loss};
        for (int round = 0; round < 30; ++round) {
            const Selection selection = tournament_select(members, losses, 4);
            ASSERT_EQ(selection.members.size(), 4u);
            ASSERT_EQ(selection.member_losses.size(), 4u);
            int best = 0;
            for (std::size_t t = 0; t < 4; ++t) {
                const auto index = static_cast<std::size_t>(selection.members[t].biases[0]);
                EXPECT_EQ(selection.members[t], members[index]);
                EXPECT_EQ(selection.members[t].engine, members[index].engine);  // a plain copy
                EXPECT_EQ(selection.member_losses[t], losses[index]);
                EXPECT_NE(index, 7u);
                best += index == 0;
            }
            EXPECT_GE(best, 1);
            EXPECT_LE(best, 2);
        }
    }
}

TEST(TournamentSelect, MoreTournamentsThanMembers) {
    const Population members = numbered_members(2);
    const Selection selection = tournament_select(members, {{2.0}, {1.0}}, 5);
    ASSERT_EQ(selection.members.size(), 5u);
    // Twenty entries, ten of each member: every group of four holds member 1 unless it is all 0s.
    int ones = 0;
    for (const Network& member : selection.members) ones += member.biases[0] == 1.0;
    EXPECT_GE(ones, 3);
}

TEST(TournamentSelect, CountOfZeroOrLessGivesAnEmptySelection) {
    for (std::int32_t count : {0, -2}) {
        const Selection selection = tournament_select({}, {}, count);
        EXPECT_TRUE(selection.members.empty());
        EXPECT_TRUE(selection.member_losses.empty());
    }
}

TEST(TournamentSelect, RejectsMismatchedLists) {
    EXPECT_THROW_MESSAGE(tournament_select({}, {}, 1), precondition_error,
                         "tournament_select needs at least one member");
    EXPECT_THROW_MESSAGE(tournament_select(numbered_members(2), {{1.0}}, 1), precondition_error,
                         "tournament_select needs one loss list per member");
}

// ---------------------------------------------------------------- many generations

void expect_sound(const Network& net, const char* where) {
    ASSERT_TRUE(is_valid(net)) << where;
    ASSERT_TRUE(only_allowed_connections(net)) << where;
}

// Populations of both modes through many generations of breeding, mutation and selection, with
// random losses that include NaN: no check may fail and every network stays valid with only
// allowed connections.
TEST(Stress, ManyGenerationsStayValid) {
    std::mt19937 losses_engine(12345);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    auto loss = [&] { return uniform(losses_engine) < 0.1 ? nan_loss : uniform(losses_engine); };
    for (bool recurrent : {false, true}) {
        SCOPED_TRACE(recurrent ? "recurrent" : "feed-forward");
        Network start(3, 2, recurrent);
        start.reset(6);
        start.randomize();
        const std::int32_t pop_size = 10;
        Population population = seed_population(start, pop_size);
        for (int generation = 0; generation < 500; ++generation) {
            std::vector<double> parent_losses;
            for (std::size_t i = 0; i < population.size(); ++i) parent_losses.push_back(loss());
            Population children = breed(population, parent_losses);
            std::vector<LossList> losses;
            for (double l : parent_losses) losses.push_back({l});
            for (Network& child : children) {
                expect_sound(child, "after breed");
                mutate(child);
                expect_sound(child, "after mutate");
            }
            for (std::int32_t c = 0; c < pop_size; ++c) {
                population.push_back(std::move(children[c]));
                losses.push_back({loss()});
            }
            population = tournament_select(population, losses, pop_size).members;
            for (const Network& member : population) expect_sound(member, "after selection");
        }
    }
}

}  // namespace
}  // namespace corvane
