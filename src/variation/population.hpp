// The population operations from which the training loops build generations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "network/network.hpp"
#include "random/random.hpp"
#include "variation/settings.hpp"

namespace corvane {

using Population = std::vector<Network>;
using LossList = std::vector<double>;

struct Selection {
    std::vector<LossList> member_losses;
    Population members;
};

// Whether loss a is strictly better than loss b: lower wins, and NaN is worse than any number
// (two NaN losses are equal, so the earlier entry keeps its place).
inline bool better_loss(double a, double b) {
    if (a != a) return false;
    if (b != b) return true;
    return a < b;
}

// Runs task(i) for every i in 0 .. count-1, in any order and possibly at the same time; returns
// when all are done. The training loops pass their pool of threads; by default the calling
// thread runs them in order.
using ParallelFor = std::function<void(std::size_t count, const std::function<void(std::size_t)>& task)>;
void run_in_order(std::size_t count, const std::function<void(std::size_t)>& task);

// Whether a member is not a valid network (the training loops warn before breeding from it).
bool has_broken_member(const Population& population);

// An unchanged copy of `network` followed by pop_size - 1 copies mutated once each (by default;
// settings.mutations times each, or with settings.first_population random networks of the same
// shape instead; every member but the first with settings.output_activation on its outputs when
// that is set); member i draws from stream(run_seed, population, 0, i).
Population seed_population(const Network& network, std::int32_t pop_size, std::uint64_t run_seed,
                           const ParallelFor& each = run_in_order, const VariationSettings& settings = {});

// The children of generation `generation`, from random pairs of parents: two crossovers or two
// clones per pair. Of the 2 x parents.size() children of a full generation only the first
// `count` are built (count <= 2 x parents.size()); the rest would be thrown away unseen. The
// pairing order comes from stream(run_seed, pairing, generation, 0), the children of pair p
// from stream(run_seed, pair, generation, p). A pair is crossed with chance
// settings.crossover_share (by default one half).
Population breed(const Population& parents, const std::vector<double>& losses, std::uint64_t run_seed,
                 std::uint64_t generation, std::size_t count, const ParallelFor& each = run_in_order,
                 const VariationSettings& settings = {});

// Mutates child c settings.mutations times (by default once) with stream(run_seed, mutation,
// generation, c).
void mutate_children(Population& children, std::uint64_t run_seed, std::uint64_t generation,
                     const ParallelFor& each = run_in_order, const VariationSettings& settings = {});

// The member that wins a tournament over the `size` member indices of `group`: the first entry
// unless a later one has a strictly better first loss (better_loss; an empty list counts as NaN).
std::int32_t tournament_winner(const std::vector<LossList>& member_losses, const std::int32_t* group,
                               std::int32_t size);

// The member indices of the `count` winners of tournaments of `size` (by default four) over a
// shuffled index list drawn from `random`; ties go to the entry that stands first in its group.
std::vector<std::int32_t> tournament_winners(const std::vector<LossList>& member_losses, std::int32_t count,
                                             Random& random, std::int32_t size = tournament_size);

// The winners of tournament_winners with their loss lists, copied.
Selection tournament_select(const Population& members, const std::vector<LossList>& member_losses,
                            std::int32_t count, Random& random, const ParallelFor& each = run_in_order,
                            std::int32_t size = tournament_size);

}  // namespace corvane
