#include "training/evolution.hpp"

#include <cfloat>
#include <cmath>
#include <limits>

#include "core/errors.hpp"
#include "random/random.hpp"
#include "training/config.hpp"
#include "training/progress.hpp"
#include "variation/mutation.hpp"

namespace corvane {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

const char* const small_batch_warning =
    "WARNING! The batch size is less than 10% the number of samples in your dataset. If the dataset is highly "
    "nonlinear, individual batches may not represent your dataset correctly and the loss can be extremely "
    "underestimated. Make sure to use a validation set to monitor the actual loss closely.\n";

// Adds `key` with `epochs` slots, or finds the column already holding it (a metric named twice
// keeps the position of its first key and takes the later values, which are equal).
std::size_t column(History& history, const std::string& key, std::int32_t epochs, bool integer = false) {
    for (std::size_t i = 0; i < history.size(); ++i)
        if (history[i].key == key) return i;
    history.push_back({key, std::vector<double>(static_cast<std::size_t>(epochs), 0.0), integer});
    return history.size() - 1;
}


// Runs a variation step; a failed consistency check writes its message as a line to `output`
// before the error goes on.
template <class Step>
auto reporting_failed_checks(const Output& output, Step step) {
    try {
        return step();
    } catch (const consistency_error& error) {
        output(std::string(error.what()) + "\n");
        throw;
    }
}

Population first_population(const Network& start, std::int32_t pop_size, const Output& output) {
    return reporting_failed_checks(output, [&] { return seed_population(start, pop_size); });
}

// Breeds the children of `population`, mutates them, and lines up the candidates:
// population[0], children[0], population[1], children[1], ... (the first pop_size children).
Population next_candidates(Population& population, const std::vector<double>& fitness, const Output& output) {
    if (has_broken_member(population)) output("One of networks already broken.\n");
    Population children = reporting_failed_checks(output, [&] { return breed(population, fitness); });
    reporting_failed_checks(output, [&] {
        for (Network& child : children) mutate(child);
    });
    Population candidates;
    candidates.reserve(population.size() * 2);
    for (std::size_t j = 0; j < population.size(); ++j) {
        candidates.push_back(std::move(population[j]));
        candidates.push_back(std::move(children[j]));
    }
    return candidates;
}

// The position of the member with the lowest first loss strictly below the largest finite
// double (ties keep the earlier one), or -1 when there is none (every loss NaN or infinite).
std::int32_t best_member(const std::vector<LossList>& losses, double& minimum) {
    minimum = DBL_MAX;
    std::int32_t best = -1;
    for (std::size_t j = 0; j < losses.size(); ++j) {
        if (losses[j][0] < minimum) {
            minimum = losses[j][0];
            best = static_cast<std::int32_t>(j);
        }
    }
    return best;
}

// The fitness function must give every candidate a loss.
void check_scores(const std::vector<LossList>& scores, std::size_t candidates) {
    if (scores.size() < candidates)
        throw value_error("Expected the result of train_func to have one row per genome (" +
                          std::to_string(candidates) + "), got " + std::to_string(scores.size()) + ".");
    for (std::size_t i = 0; i < candidates; ++i)
        if (scores[i].empty()) throw value_error("Expected the result of train_func to hold a loss for every genome.");
}

}  // namespace

std::int32_t batch_count(std::int32_t series, std::int32_t batch_size) {
    const std::int32_t B = batch_size == -1 ? series : batch_size;
    if (series <= 0 || B <= 0) return 0;
    // Single precision, as the number of batches has always been computed.
    return static_cast<std::int32_t>(std::ceil(static_cast<float>(series) / static_cast<float>(B)));
}

EvolutionResult evolve_on_dataset(const Network& start, Dataset X, Dataset Y, const Dataset* Xv, const Dataset* Yv,
                                  const EvolutionSettings& settings, const EvolutionHooks& hooks) {
    const std::vector<std::int32_t>& codes = settings.loss_codes;
    const std::size_t code_count = codes.size();
    const std::int32_t n = static_cast<std::int32_t>(X.size());
    const std::int32_t B = settings.batch_size == -1 ? n : settings.batch_size;
    if (settings.batch_size != -1 && static_cast<double>(B) < 0.1 * static_cast<double>(n)) {
        hooks.output(small_batch_warning);
    }
    const bool validation = Xv != nullptr && Yv != nullptr;
    const std::int32_t epochs = settings.epochs;

    History history;
    std::vector<std::size_t> train_columns, validation_columns;
    train_columns.push_back(column(history, "loss", epochs));
    for (std::size_t k = 1; k < code_count; ++k)
        train_columns.push_back(column(history, std::string(loss_name(codes[k])), epochs));
    if (validation) {
        validation_columns.push_back(column(history, "val_loss", epochs));
        for (std::size_t k = 1; k < code_count; ++k)
            validation_columns.push_back(column(history, "val_" + std::string(loss_name(codes[k])), epochs));
    }
    const bool monitor = !settings.monitor_codes.empty();
    const std::size_t size_column = monitor ? column(history, "size", epochs, true) : 0;

    std::vector<LossList> losses(static_cast<std::size_t>(settings.pop_size), LossList(code_count, 0.0));
    Population population = first_population(start, settings.pop_size, hooks.output);
    Network best_network = population[0];
    std::int32_t best_index = -1;
    const std::int32_t nb = batch_count(n, settings.batch_size);
    std::vector<double> fitness(population.size());

    for (std::int32_t e = 0; e < epochs; ++e) {
        const std::int64_t t0 = monotonic_ns();
        if (nb > 1) shuffle_pairs(X, Y);
        std::vector<double> sums(code_count, 0.0);
        double size_sum = 0;
        for (std::int32_t u = 0; u < nb; ++u) {
            hooks.check_interrupt();
            const std::size_t lo = static_cast<std::size_t>(u) * B;
            const std::size_t hi = std::min<std::size_t>(n, static_cast<std::size_t>(u + 1) * B);
            for (std::size_t j = 0; j < population.size(); ++j) fitness[j] = losses[j][0];
            Population candidates = next_candidates(population, fitness, hooks.output);
            const std::vector<LossList> measured = population_losses(candidates, X, Y, lo, hi, codes);
            Selection selection = tournament_select(candidates, measured, settings.pop_size);
            population = std::move(selection.members);
            losses = std::move(selection.member_losses);
            double minimum = 0;
            const std::int32_t found = best_member(losses, minimum);
            if (found >= 0) {
                best_network = population[found];
                best_index = found;
            }
            size_sum += best_network.node_count;
            // Before any best member exists the batch has no defined values.
            for (std::size_t k = 0; k < code_count; ++k) sums[k] += best_index >= 0 ? losses[best_index][k] : nan_value;
            if (u < nb - 1)
                print_epoch_progress(hooks.output, settings.verbose, settings.monitor_codes,
                                     static_cast<int>(size_sum / (u + 1)), codes, t0, e, epochs, u, nb, sums, false,
                                     {});
        }
        std::vector<double> val;
        if (validation) val = dataset_losses(best_network, *Xv, *Yv, codes);
        print_epoch_progress(hooks.output, settings.verbose, settings.monitor_codes, best_network.node_count, codes, t0,
                             e, epochs, nb - 1, nb, sums, validation, val);
        for (std::size_t k = 0; k < code_count; ++k) {
            history[train_columns[k]].values[e] = sums[k] / nb;
            if (validation) history[validation_columns[k]].values[e] = val[k];
        }
        if (monitor) history[size_column].values[e] = best_network.node_count;
    }
    return {std::move(best_network), std::move(history)};
}

EvolutionResult evolve_on_function(const Network& start, bool recurrent_model, const EvolutionSettings& settings,
                                   const EvolutionHooks& hooks) {
    const std::int32_t epochs = settings.epochs;
    const bool validation = static_cast<bool>(hooks.validate);
    const bool monitor = !settings.monitor_codes.empty();
    History history;
    const std::size_t loss_column = column(history, "loss", epochs);
    const std::size_t validation_column = validation ? column(history, "val_loss", epochs) : 0;
    const std::size_t size_column = monitor ? column(history, "size", epochs, true) : 0;

    std::vector<double> fitness(static_cast<std::size_t>(settings.pop_size), 0.0);
    Population population = first_population(start, settings.pop_size, hooks.output);
    Network best_network = population[0];

    for (std::int32_t e = 0; e < epochs; ++e) {
        hooks.check_interrupt();
        const std::int64_t t0 = monotonic_ns();
        Population candidates = next_candidates(population, fitness, hooks.output);
        if (recurrent_model)
            for (Network& candidate : candidates)
                if (candidate.node_count > 0) candidate.clear_state();
        const std::vector<LossList> scores = hooks.score(candidates);
        check_scores(scores, candidates.size());
        Selection selection = tournament_select(candidates, scores, settings.pop_size);
        population = std::move(selection.members);
        for (std::size_t j = 0; j < population.size(); ++j) fitness[j] = selection.member_losses[j][0];
        double best_score = 0;
        const std::int32_t found = best_member(selection.member_losses, best_score);
        if (found >= 0) best_network = population[found];
        const double val = validation ? hooks.validate(best_network) : 0.0;
        print_function_progress(hooks.output, settings.verbose, settings.monitor_codes, best_network.node_count, t0, e,
                                epochs, best_score, validation, val);
        history[loss_column].values[e] = best_score;
        if (validation) history[validation_column].values[e] = val;
        if (monitor) history[size_column].values[e] = best_network.node_count;
    }
    return {std::move(best_network), std::move(history)};
}

}  // namespace corvane
