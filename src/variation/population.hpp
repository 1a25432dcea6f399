// The population operations from which the training loops build generations.
#pragma once

#include <cstdint>
#include <vector>

#include "network/network.hpp"

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

// An unchanged clone of `network` followed by pop_size - 1 clones mutated once each.
Population seed_population(const Network& network, std::int32_t pop_size);

// Whether a member is not a valid network (the training loops warn before breeding from it).
bool has_broken_member(const Population& population);

// 2 x parents.size() children from random pairs: two crossovers or two clones per pair.
Population breed(const Population& parents, const std::vector<double>& losses);

// The member that wins a tournament over the `size` member indices of `group`: the first entry
// unless a later one has a strictly better first loss (better_loss; an empty list counts as NaN).
std::int32_t tournament_winner(const std::vector<LossList>& member_losses, const std::int32_t* group,
                               std::int32_t size);

// `count` winners of tournaments of four over a shuffled index list; ties go to the entry
// that stands first in its group.
Selection tournament_select(const Population& members, const std::vector<LossList>& member_losses,
                            std::int32_t count);

}  // namespace corvane
