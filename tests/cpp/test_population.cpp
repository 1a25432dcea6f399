#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/errors.hpp"
#include "variation/crossover.hpp"
#include "variation/mutation.hpp"
#include "variation/population.hpp"
#include "variation_helpers.hpp"

namespace corvane {
namespace {

using testing_support::build_network;
using testing_support::only_allowed_connections;

constexpr double nan_loss = std::numeric_limits<double>::quiet_NaN();

Network random_network(std::int32_t n, bool recurrent, std::uint64_t seed = 1) {
    return testing_support::random_network(3, 2, n, recurrent, seed);
}

// Parents of sizes 5 .. 9, each drawn from its own seed.
Population parents_of(bool recurrent) {
    Population parents;
    for (std::int32_t n : {5, 6, 7, 8, 9})
        parents.push_back(random_network(n, recurrent, static_cast<std::uint64_t>(n)));
    return parents;
}

const std::vector<double> parent_losses{nan_loss, 2.0, nan_loss, 1.0, INFINITY};

// ---------------------------------------------------------------- seed_population

TEST(SeedPopulation, FirstMemberIsAnUnchangedCopyTheOthersOneStepAway) {
    const Network source = random_network(7, true);
    const Population population = seed_population(source, 5, 77);
    ASSERT_EQ(population.size(), 5u);
    EXPECT_EQ(population[0], source);
    EXPECT_EQ(population[0].values, source.values);
    for (const Network& member : population) {
        EXPECT_TRUE(is_valid(member));
        EXPECT_GE(member.node_count, 6);
        EXPECT_LE(member.node_count, 8);
    }
}

// Member i is the start mutated once with stream(seed, population, 0, i): the same seed gives
// the same population, another seed another one.
TEST(SeedPopulation, MemberIDrawsFromItsOwnStream) {
    const Network source = random_network(7, false);
    const Population population = seed_population(source, 12, 77);
    for (std::size_t i = 1; i < population.size(); ++i) {
        Network expected = source;
        Random random = stream(77, stream_kind::population, 0, i);
        mutate(expected, random);
        EXPECT_EQ(population[i], expected) << "member " << i;
    }
    EXPECT_EQ(seed_population(source, 12, 77), population);
    EXPECT_NE(seed_population(source, 12, 78), population);
    // A longer population starts with the members of a shorter one.
    const Population longer = seed_population(source, 20, 77);
    EXPECT_EQ(Population(longer.begin(), longer.begin() + 12), population);
}

TEST(SeedPopulation, SizeOfOneOrLessGivesTheSingleCopy) {
    const Network source = random_network(6, false);
    for (std::int32_t size : {1, 0, -4}) {
        const Population population = seed_population(source, size, 1);
        ASSERT_EQ(population.size(), 1u) << size;
        EXPECT_EQ(population[0], source);
    }
}

// ---------------------------------------------------------------- breed

TEST(Breed, OneParentGivesTwoCopies) {
    for (bool recurrent : {false, true}) {
        const Network source = random_network(7, recurrent);
        for (std::uint64_t generation = 0; generation < 20; ++generation) {
            const Population children = breed({source}, {generation % 2 ? 1.0 : nan_loss}, 5, generation, 2);
            ASSERT_EQ(children.size(), 2u);
            for (const Network& child : children) EXPECT_EQ(child, source);
        }
    }
}

TEST(Breed, GivesTwoChildrenPerParentAlsoWithNaNLosses) {
    for (bool recurrent : {false, true}) {
        const Population parents = parents_of(recurrent);
        for (std::uint64_t generation = 0; generation < 20; ++generation) {
            const Population children = breed(parents, parent_losses, 9, generation, 10);
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

// The pairing order is the list 0, 1, .., k-1, 0, .., k-1 shuffled with stream(seed, pairing,
// generation, 0); pair p (entries 2p and 2p + 1) draws from stream(seed, pair, generation, p):
// a draw of at least 0.5 gives two crossovers from that stream, otherwise the two parents are
// copied.
TEST(Breed, PairPDrawsFromItsOwnStream) {
    const Population parents = parents_of(false);
    const std::uint64_t seed = 31, generation = 4;
    const Population children = breed(parents, parent_losses, seed, generation, 10);
    std::vector<std::int32_t> order{0, 1, 2, 3, 4, 0, 1, 2, 3, 4};
    Random pairing = stream(seed, stream_kind::pairing, generation, 0);
    shuffle_indices(order, pairing);
    int crossed = 0;
    for (std::size_t p = 0; p < 5; ++p) {
        const std::int32_t a = order[2 * p], b = order[2 * p + 1];
        Random random = stream(seed, stream_kind::pair, generation, p);
        if (random.uniform(0, 1) >= 0.5) {
            ++crossed;
            const Network first = crossover(parents[a], parents[b], parent_losses[a], parent_losses[b], random);
            const Network second = crossover(parents[a], parents[b], parent_losses[a], parent_losses[b], random);
            EXPECT_EQ(children[2 * p], first) << "pair " << p;
            EXPECT_EQ(children[2 * p + 1], second) << "pair " << p;
        } else {
            EXPECT_EQ(children[2 * p], parents[a]) << "pair " << p;
            EXPECT_EQ(children[2 * p + 1], parents[b]) << "pair " << p;
        }
    }
    EXPECT_GT(crossed, 0);
    EXPECT_LT(crossed, 5);
}

// A pair is crossed with chance one half.
TEST(Breed, HalfOfThePairsAreCrossed) {
    // Parents with distinct biases: a copy repeats a parent's biases, a crossover of two
    // different parents almost never does.
    const Population parents = parents_of(true);
    std::int64_t copies = 0, pairs = 0;
    for (std::uint64_t generation = 0; generation < 2000; ++generation) {
        const Population children = breed(parents, parent_losses, 3, generation, 10);
        for (std::size_t p = 0; p < 5; ++p, ++pairs) {
            bool copied = false;
            for (const Network& parent : parents) copied = copied || children[2 * p] == parent;
            copies += copied;
        }
    }
    // A crossed pair whose parents are one and the same gives copies too: chance 1/9 per pair
    // (the order holds every parent twice).
    const double copy_share = 0.5 + 0.5 * (1.0 / 9.0);
    EXPECT_TRUE(testing_support::share_near(copies, pairs, copy_share));
}

TEST(Breed, SameSeedAndGenerationRepeatTheChildrenOthersDiffer) {
    const Population parents = parents_of(true);
    const Population children = breed(parents, parent_losses, 17, 2, 10);
    EXPECT_EQ(breed(parents, parent_losses, 17, 2, 10), children);
    EXPECT_NE(breed(parents, parent_losses, 18, 2, 10), children);
    EXPECT_NE(breed(parents, parent_losses, 17, 3, 10), children);
}

// Building only the first `count` children gives exactly those of a full generation: the loop
// can leave out the children it would throw away without changing the ones it keeps.
TEST(Breed, FewerChildrenAreThePrefixOfAFullGeneration) {
    for (bool recurrent : {false, true}) {
        const Population parents = parents_of(recurrent);
        for (std::uint64_t generation = 0; generation < 6; ++generation) {
            const Population full = breed(parents, parent_losses, 23, generation, 10);
            for (std::size_t count = 0; count <= 10; ++count) {
                const Population some = breed(parents, parent_losses, 23, generation, count);
                ASSERT_EQ(some.size(), count);
                EXPECT_EQ(some, Population(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(count)))
                    << "count " << count << ", generation " << generation;
            }
        }
    }
}

TEST(Breed, NoParentsGiveNoChildren) { EXPECT_TRUE(breed({}, {}, 1, 0, 0).empty()); }

TEST(Breed, ChildrenOfABrokenParentFailTheCheckWithoutPrinting) {
    const Network broken = build_network(2, 1, 3, false, {{0, 2, 1.0}});
    EXPECT_TRUE(has_broken_member({random_network(6, false), broken}));
    EXPECT_FALSE(has_broken_member({random_network(6, false)}));
    for (std::size_t count : {1u, 2u}) {
        ::testing::internal::CaptureStdout();
        EXPECT_THROW_MESSAGE(breed({broken}, {1.0}, 1, 0, count), consistency_error, "Crossover broke network");
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    }
}

TEST(Breed, NeedsOneLossPerParentAndAtMostTwoChildrenEach) {
    EXPECT_THROW_MESSAGE(breed({random_network(6, false)}, {}, 1, 0, 2), precondition_error,
                         "breed needs one loss per parent");
    EXPECT_THROW_MESSAGE(breed({random_network(6, false)}, {1.0}, 1, 0, 3), precondition_error,
                         "breed makes at most two children per parent");
    EXPECT_THROW_MESSAGE(breed({}, {}, 1, 0, 1), precondition_error,
                         "breed makes at most two children per parent");
}

// ---------------------------------------------------------------- mutate_children

// Child c is mutated once with stream(seed, mutation, generation, c), whatever the other
// children are and however many there are.
TEST(MutateChildren, ChildCDrawsFromItsOwnStream) {
    const Population children = breed(parents_of(false), parent_losses, 41, 1, 10);
    Population mutated = children;
    mutate_children(mutated, 41, 1);
    for (std::size_t c = 0; c < children.size(); ++c) {
        Network expected = children[c];
        Random random = stream(41, stream_kind::mutation, 1, c);
        mutate(expected, random);
        EXPECT_EQ(mutated[c], expected) << "child " << c;
    }
    Population again = children;
    mutate_children(again, 41, 1);
    EXPECT_EQ(again, mutated);
    Population fewer(children.begin(), children.begin() + 4);
    mutate_children(fewer, 41, 1);
    EXPECT_EQ(fewer, Population(mutated.begin(), mutated.begin() + 4));
    Population other_generation = children;
    mutate_children(other_generation, 41, 2);
    EXPECT_NE(other_generation, mutated);
    Population other_seed = children;
    mutate_children(other_seed, 42, 1);
    EXPECT_NE(other_seed, mutated);
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
        Random random(51);
        for (int round = 0; round < 30; ++round) {
            const Selection selection = tournament_select(members, losses, 4, random);
            ASSERT_EQ(selection.members.size(), 4u);
            ASSERT_EQ(selection.member_losses.size(), 4u);
            int best = 0;
            for (std::size_t t = 0; t < 4; ++t) {
                const auto index = static_cast<std::size_t>(selection.members[t].biases[0]);
                EXPECT_EQ(selection.members[t], members[index]);
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
    Random random(52);
    const Selection selection = tournament_select(members, {{2.0}, {1.0}}, 5, random);
    ASSERT_EQ(selection.members.size(), 5u);
    // Twenty entries, ten of each member: every group of four holds member 1 unless it is all 0s.
    int ones = 0;
    for (const Network& member : selection.members) ones += member.biases[0] == 1.0;
    EXPECT_GE(ones, 3);
}

TEST(TournamentSelect, CountOfZeroOrLessGivesAnEmptySelection) {
    for (std::int32_t count : {0, -2}) {
        Random random(53);
        const Random unused = random;
        const Selection selection = tournament_select({}, {}, count, random);
        EXPECT_EQ(random, unused);
        EXPECT_TRUE(selection.members.empty());
        EXPECT_TRUE(selection.member_losses.empty());
    }
}

TEST(TournamentSelect, RejectsMismatchedLists) {
    Random random(54);
    EXPECT_THROW_MESSAGE(tournament_select({}, {}, 1, random), precondition_error,
                         "tournament_select needs at least one member");
    EXPECT_THROW_MESSAGE(tournament_select(numbered_members(2), {{1.0}}, 1, random), precondition_error,
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
    Random losses_source(12345);
    auto loss = [&] { return losses_source.canonical() < 0.1 ? nan_loss : losses_source.canonical(); };
    for (bool recurrent : {false, true}) {
        SCOPED_TRACE(recurrent ? "recurrent" : "feed-forward");
        const Network start = random_network(6, recurrent);
        const std::int32_t pop_size = 10;
        const std::uint64_t seed = recurrent ? 2 : 1;
        Population population = seed_population(start, pop_size, seed);
        for (std::uint64_t generation = 0; generation < 500; ++generation) {
            std::vector<double> parent_losses;
            for (std::size_t i = 0; i < population.size(); ++i) parent_losses.push_back(loss());
            Population children = breed(population, parent_losses, seed, generation, 2 * population.size());
            std::vector<LossList> losses;
            for (double l : parent_losses) losses.push_back({l});
            for (const Network& child : children) expect_sound(child, "after breed");
            mutate_children(children, seed, generation);
            for (const Network& child : children) expect_sound(child, "after mutate");
            for (std::int32_t c = 0; c < pop_size; ++c) {
                population.push_back(std::move(children[c]));
                losses.push_back({loss()});
            }
            Random tournaments = stream(seed, stream_kind::selection, generation, 0);
            population = tournament_select(population, losses, pop_size, tournaments).members;
            for (const Network& member : population) expect_sound(member, "after selection");
        }
    }
}

}  // namespace
}  // namespace corvane
