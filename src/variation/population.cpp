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
std::vector<std::int32_t> shuffled_indices(std::size_t length, std::size_t m, Random& random) {
    std::vector<std::int32_t> indices(length);
    for (std::size_t j = 0; j < length; ++j) indices[j] = static_cast<std::int32_t>(j % m);
    shuffle_indices(indices, random);
    return indices;
}

// A member without loss values ranks as NaN: behind every member that has a number.
double first_loss(const LossList& losses) { return losses.empty() ? std::nan("") : losses.front(); }

// The children of pair p, crossed or cloned from stream(run_seed, pair, generation, p): child
// 2p always, child 2p + 1 when it is below children.size().
void breed_pair(const Population& parents, const std::vector<double>& losses, const std::vector<std::int32_t>& order,
                std::size_t p, std::uint64_t run_seed, std::uint64_t generation, double crossover_share,
                Population& children) {
    const std::int32_t a = order[2 * p], b = order[2 * p + 1];
    const bool both = 2 * p + 1 < children.size();
    Random random = stream(run_seed, stream_kind::pair, generation, p);
    // draw >= 1 - share crosses: one half gives the threshold 0.5 exactly; a share of 0 never
    // crosses (a draw is below 1).
    if (random.uniform(0.0, 1.0) >= 1.0 - crossover_share && crossover_share > 0.0) {
        children[2 * p] = crossover(parents[a], parents[b], losses[a], losses[b], random);
        if (both) children[2 * p + 1] = crossover(parents[a], parents[b], losses[a], losses[b], random);
    } else {
        children[2 * p] = parents[a];
        if (both) children[2 * p + 1] = parents[b];
    }
    if (!is_valid(children[2 * p]) || (both && !is_valid(children[2 * p + 1]))) fail_check("Crossover broke network");
}

}  // namespace

bool has_broken_member(const Population& population) {
    for (const Network& member : population)
        if (!is_valid(member)) return true;
    return false;
}

void run_in_order(std::size_t count, const std::function<void(std::size_t)>& task) {
    for (std::size_t i = 0; i < count; ++i) task(i);
}

Population seed_population(const Network& network, std::int32_t pop_size, std::uint64_t run_seed,
                           const ParallelFor& each, const VariationSettings& settings) {
    Population population(pop_size > 1 ? static_cast<std::size_t>(pop_size) : 1);
    population[0] = network;
    const bool random_members = settings.first_population == FirstPopulation::random;
    each(population.size() - 1, [&](std::size_t j) {
        const std::size_t i = j + 1;
        Random random = stream(run_seed, stream_kind::population, 0, i);
        if (random_members) {
            // Same inputs, outputs, node count and mode, fully connected as a new model is.
            Network member(network.inputs, network.outputs, network.recurrent);
            member.reset(network.node_count);
            member.randomize(random);
            if (settings.random_bias_scale != 1.0)
                for (double& bias : member.biases) bias *= settings.random_bias_scale;
            if (settings.random_scale != 1.0)
                for (double& weight : member.weights) weight *= settings.random_scale;
            population[i] = std::move(member);
        } else {
            population[i] = network;
            mutate_times(population[i], random, settings);
        }
        if (settings.output_activation != any_activation)
            for (std::int32_t o = population[i].node_count - population[i].outputs; o < population[i].node_count; ++o)
                population[i].activations[o] = settings.output_activation;
    });
    return population;
}

Population breed(const Population& parents, const std::vector<double>& losses, std::uint64_t run_seed,
                 std::uint64_t generation, std::size_t count, const ParallelFor& each,
                 const VariationSettings& settings) {
    if (losses.size() != parents.size()) throw precondition_error("breed needs one loss per parent");
    const std::size_t k = parents.size();
    if (count > 2 * k) throw precondition_error("breed makes at most two children per parent");
    Population children(count);
    if (k == 0) return children;
    Random pairing = stream(run_seed, stream_kind::pairing, generation, 0);
    const std::vector<std::int32_t> order = shuffled_indices(2 * k, k, pairing);
    each((count + 1) / 2, [&](std::size_t p) {
        breed_pair(parents, losses, order, p, run_seed, generation, settings.crossover_share, children);
    });
    return children;
}

void mutate_children(Population& children, std::uint64_t run_seed, std::uint64_t generation,
                     const ParallelFor& each, const VariationSettings& settings) {
    each(children.size(), [&](std::size_t c) {
        Random random = stream(run_seed, stream_kind::mutation, generation, c);
        mutate_times(children[c], random, settings);
    });
}

std::int32_t tournament_winner(const std::vector<LossList>& member_losses, const std::int32_t* group,
                               std::int32_t size) {
    std::int32_t winner = group[0];
    for (std::int32_t e = 1; e < size; ++e) {
        if (better_loss(first_loss(member_losses[group[e]]), first_loss(member_losses[winner]))) winner = group[e];
    }
    return winner;
}

std::vector<std::int32_t> tournament_winners(const std::vector<LossList>& member_losses, std::int32_t count,
                                             Random& random, std::int32_t size) {
    std::vector<std::int32_t> winners;
    if (count <= 0) return winners;
    if (member_losses.empty()) throw precondition_error("tournament_select needs at least one member");
    if (size < 1) throw precondition_error("tournament_select needs groups of at least one member");
    const std::size_t group = static_cast<std::size_t>(size);
    const std::size_t tournaments = static_cast<std::size_t>(count);
    const std::vector<std::int32_t> order =
        shuffled_indices(tournaments * group, member_losses.size(), random);
    winners.reserve(tournaments);
    for (std::size_t t = 0; t < tournaments; ++t) winners.push_back(tournament_winner(member_losses, &order[t * group], size));
    return winners;
}

Selection tournament_select(const Population& members, const std::vector<LossList>& member_losses,
                            std::int32_t count, Random& random, const ParallelFor& each, std::int32_t size) {
    Selection selection;
    if (count <= 0) return selection;
    if (members.empty()) throw precondition_error("tournament_select needs at least one member");
    if (member_losses.size() != members.size())
        throw precondition_error("tournament_select needs one loss list per member");
    const std::vector<std::int32_t> winners = tournament_winners(member_losses, count, random, size);
    selection.member_losses.reserve(winners.size());
    for (std::int32_t winner : winners) selection.member_losses.push_back(member_losses[winner]);
    selection.members.resize(winners.size());
    each(winners.size(), [&](std::size_t t) { selection.members[t] = members[winners[t]]; });
    return selection;
}

}  // namespace corvane
