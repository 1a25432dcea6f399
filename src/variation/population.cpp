#include "variation/population.hpp"

#include <cmath>

#include "core/errors.hpp"
#include "random/random.hpp"
#include "variation/constants.hpp"
#include "variation/crossover.hpp"
#include "variation/mutation.hpp"

namespace corvane {

namespace {

// Entry j is j mod m, shuffled: with `length` a multiple of m every member appears equally often.
std::vector<std::int32_t> shuffled_indices(std::size_t length, std::size_t m) {
    std::vector<std::int32_t> indices(length);
    for (std::size_t j = 0; j < length; ++j) indices[j] = static_cast<std::int32_t>(j % m);
    shuffle_indices(indices);
    return indices;
}

// A member without loss values ranks as NaN: behind every member that has a number.
double first_loss(const LossList& losses) { return losses.empty() ? std::nan("") : losses.front(); }

}  // namespace

bool has_broken_member(const Population& population) {
    for (const Network& member : population)
        if (!is_valid(member)) return true;
    return false;
}

Population seed_population(const Network& network, std::int32_t pop_size) {
    Population population;
    population.reserve(pop_size > 1 ? static_cast<std::size_t>(pop_size) : 1);
    population.push_back(Network::clone(network));
    for (std::int32_t i = 1; i < pop_size; ++i) {
        population.push_back(Network::clone(network));
        mutate(population.back());
    }
    return population;
}

Population breed(const Population& parents, const std::vector<double>& losses) {
    if (losses.size() != parents.size()) throw precondition_error("breed needs one loss per parent");
    const std::size_t k = parents.size();
    Population children;
    if (k == 0) return children;
    const std::vector<std::int32_t> order = shuffled_indices(2 * k, k);
    children.reserve(2 * k);
    for (std::size_t p = 0; p < k; ++p) {
        const std::int32_t a = order[2 * p], b = order[2 * p + 1];
        if (uniform_draw(0.0, 1.0) >= crossover_probability) {
            children.push_back(crossover(parents[a], parents[b], losses[a], losses[b]));
            children.push_back(crossover(parents[a], parents[b], losses[a], losses[b]));
        } else {
            children.push_back(Network::clone(parents[a]));
            children.push_back(Network::clone(parents[b]));
        }
    }
    for (const Network& child : children) {
        if (!is_valid(child)) fail_check("Crossover broke network");
    }
    return children;
}

std::int32_t tournament_winner(const std::vector<LossList>& member_losses, const std::int32_t* group,
                               std::int32_t size) {
    std::int32_t winner = group[0];
    for (std::int32_t e = 1; e < size; ++e) {
        if (better_loss(first_loss(member_losses[group[e]]), first_loss(member_losses[winner]))) winner = group[e];
    }
    return winner;
}

Selection tournament_select(const Population& members, const std::vector<LossList>& member_losses,
                            std::int32_t count) {
    Selection selection;
    if (count <= 0) return selection;
    if (members.empty()) throw precondition_error("tournament_select needs at least one member");
    if (member_losses.size() != members.size())
        throw precondition_error("tournament_select needs one loss list per member");
    const std::size_t tournaments = static_cast<std::size_t>(count);
    const std::vector<std::int32_t> order = shuffled_indices(tournaments * tournament_size, members.size());
    selection.members.reserve(tournaments);
    selection.member_losses.reserve(tournaments);
    for (std::size_t t = 0; t < tournaments; ++t) {
        const std::int32_t winner = tournament_winner(member_losses, &order[t * tournament_size], tournament_size);
        selection.member_losses.push_back(member_losses[winner]);
        selection.members.push_back(members[winner]);
    }
    return selection;
}

}  // namespace corvane
