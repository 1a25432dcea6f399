#include "training/evolution.hpp"

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <limits>

#include "core/errors.hpp"
#include "random/random.hpp"
#include "training/config.hpp"
#include "training/pool.hpp"
#include "training/progress.hpp"
#include "variation/mutation.hpp"

namespace corvane {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

const char* const small_batch_warning =
    "WARNING! The batch size is less than 10% the number of samples in your dataset. If the dataset is highly "
    "nonlinear, individual batches may not represent your dataset correctly and the loss can be extremely "
    "underestimated. Make sure to use a validation set to monitor the actual loss closely.\n";

// Adds `key`, or finds the column already holding it (a metric named twice keeps the position
// of its first key and takes the later values, which are equal). Columns grow by one value per
// epoch as the run goes: a run of 2**31 - 1 epochs that is stopped early costs only its epochs.
std::size_t column(History& history, const std::string& key, bool integer = false) {
    for (std::size_t i = 0; i < history.size(); ++i)
        if (history[i].key == key) return i;
    history.push_back({key, {}, integer});
    return history.size() - 1;
}

// Appends one epoch's value to a column; a metric named twice writes its column once per epoch.
void record(History& history, std::size_t column, std::int32_t epoch, double value) {
    std::vector<double>& values = history[column].values;
    if (values.size() <= static_cast<std::size_t>(epoch)) values.push_back(value);
    else values[epoch] = value;
}

// Runs a variation step; a failed consistency check writes its message as a line to `output`
// before the error goes on (from whichever thread it came: the pool rethrows it here).
template <class Step>
auto reporting_failed_checks(const Output& output, Step step) {
    try {
        return step();
    } catch (const consistency_error& error) {
        output(std::string(error.what()) + "\n");
        throw;
    }
}

// Breeds the children of `population`, mutates them, and lines up the candidates:
// population[0], children[0], population[1], children[1], ... Only the pop_size children that
// are lined up are built and mutated.
Population next_candidates(Population& population, const std::vector<double>& fitness, std::uint64_t seed,
                           std::uint64_t generation, const ParallelFor& each, const Output& output,
                           const VariationSettings& variation) {
    if (has_broken_member(population)) output("One of networks already broken.\n");
    Population children = reporting_failed_checks(
        output, [&] { return breed(population, fitness, seed, generation, population.size(), each, variation); });
    reporting_failed_checks(output, [&] { mutate_children(children, seed, generation, each, variation); });
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

// How often a long generation looks for a pending interrupt between its tasks.
constexpr std::chrono::milliseconds interrupt_poll_interval{20};

// The start network as evolution can take it, with the same predictions: connections the pass
// of its mode never reads are dropped (those into an input; in feed-forward mode those from a
// node to itself or to an earlier node, which a model switched from recurrent keeps), and
// hidden nodes that then feed no other node are removed (they reach no output). A network that
// is still not one the operators keep sound is refused here, before any work, instead of
// failing a consistency check in the middle of the run.
Network evolvable(const Network& start) {
    Network network = start;
    const std::int32_t I = network.inputs;
    for (std::int32_t s = 0; s < network.node_count; ++s)
        for (std::int32_t t = 0; t < network.node_count; ++t)
            if (network.has_connection(s, t) && (t < I || (!network.recurrent && s >= t))) network.clear_connection(s, t);
    for (bool removed = true; removed;) {
        removed = false;
        for (std::int32_t h = network.node_count - network.outputs - 1; h >= I; --h) {
            bool feeds = false;
            for (std::int32_t t = I; t < network.node_count && !feeds; ++t) feeds = t != h && network.has_connection(h, t);
            if (!feeds) {
                network.erase_node(h);
                removed = true;
            }
        }
    }
    const std::int32_t n = network.node_count;
    for (std::int32_t s = n - network.outputs; s < n; ++s)
        for (std::int32_t t = 0; t < n; ++t)
            if (network.has_connection(s, t))
                throw value_error("This network cannot be evolved: the connection " + std::to_string(s) + " -> " +
                                  std::to_string(t) + " starts at an output node, which evolution does not keep.");
    for (std::int32_t i = 0; i < n; ++i) {
        bool fed = i < I, feeds = i >= n - network.outputs;
        for (std::int32_t j = 0; j < n; ++j) {
            if (j == i) continue;
            fed = fed || network.has_connection(j, i);
            feeds = feeds || (j >= I && network.has_connection(i, j));
        }
        if (!feeds)
            throw value_error("This network cannot be evolved: input node " + std::to_string(i) +
                              " feeds no other node.");
        if (!fed)
            throw value_error("This network cannot be evolved: node " + std::to_string(i) +
                              " is fed by no other node.");
    }
    return network;
}

// No generation has more tasks than candidates: more threads would only wait.
std::int32_t thread_count(const EvolutionSettings& settings) {
    const std::int64_t most = 2 * static_cast<std::int64_t>(std::max(settings.pop_size, 1));
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(settings.workers, 1, most));
}

}  // namespace

std::int32_t batch_count(std::int32_t series, std::int32_t batch_size) {
    const std::int32_t B = batch_size == -1 ? series : batch_size;
    if (series <= 0 || B <= 0) return 0;
    // Integer ceiling division: exact for every count (single precision, used before, is exact
    // only up to 2**24 series and gave the same counts there).
    return static_cast<std::int32_t>((static_cast<std::int64_t>(series) + B - 1) / B);
}

EvolutionResult evolve_on_dataset(const Network& start, Dataset X, Dataset Y, const DataView* Xv, const DataView* Yv,
                                  const EvolutionSettings& settings, const EvolutionHooks& hooks) {
    const std::vector<std::int32_t>& codes = settings.loss_codes;
    const std::size_t code_count = codes.size();
    const std::int32_t n = static_cast<std::int32_t>(X.series());
    const std::int32_t B = settings.batch_size == -1 ? n : settings.batch_size;
    if (settings.batch_size != -1 && static_cast<double>(B) < 0.1 * static_cast<double>(n)) {
        hooks.output(small_batch_warning);
    }
    const bool validation = Xv != nullptr && Yv != nullptr;
    const std::int32_t epochs = settings.epochs;

    History history;
    std::vector<std::size_t> train_columns, validation_columns;
    train_columns.push_back(column(history, "loss"));
    for (std::size_t k = 1; k < code_count; ++k)
        train_columns.push_back(column(history, std::string(loss_name(codes[k]))));
    if (validation) {
        validation_columns.push_back(column(history, "val_loss"));
        for (std::size_t k = 1; k < code_count; ++k)
            validation_columns.push_back(column(history, "val_" + std::string(loss_name(codes[k]))));
    }
    const bool monitor = !settings.monitor_codes.empty();
    const std::size_t size_column = monitor ? column(history, "size", true) : 0;

    WorkerPool pool(thread_count(settings));
    pool.set_poll(hooks.check_interrupt, interrupt_poll_interval);
    const ParallelFor each = [&pool](std::size_t count, const std::function<void(std::size_t)>& task) {
        pool.run(count, task);
    };
    std::vector<LossList> losses(static_cast<std::size_t>(settings.pop_size), LossList(code_count, 0.0));
    check_variation(settings.variation);
    Population population = reporting_failed_checks(hooks.output, [&] {
        return seed_population(evolvable(start), settings.pop_size, settings.seed, each, settings.variation);
    });
    Network best_network = population[0];
    std::int32_t best_index = -1;
    std::uint64_t generation = 0;
    const std::int32_t nb = batch_count(n, settings.batch_size);
    std::vector<double> fitness(population.size());

    for (std::int32_t e = 0; e < epochs; ++e) {
        const std::int64_t t0 = monotonic_ns();
        if (nb > 1) {
            // One permutation of the series for both datasets, so that pairs stay together.
            Random order = stream(settings.seed, stream_kind::shuffle, static_cast<std::uint64_t>(e), 0);
            const std::vector<std::size_t> perm = random_permutation(static_cast<std::size_t>(X.series()), order);
            X.permute_series(perm);
            Y.permute_series(perm);
        }
        std::vector<double> sums(code_count, 0.0);
        double size_sum = 0;
        for (std::int32_t u = 0; u < nb; ++u) {
            hooks.check_interrupt();
            const std::size_t lo = static_cast<std::size_t>(u) * B;
            const std::size_t hi = std::min<std::size_t>(n, static_cast<std::size_t>(u + 1) * B);
            for (std::size_t j = 0; j < population.size(); ++j) fitness[j] = losses[j][0];
            Population candidates = next_candidates(population, fitness, settings.seed, generation, each,
                                                    hooks.output, settings.variation);
            // A few chunks per thread: the threads share the work when members differ in size.
            const std::vector<LossList> measured =
                population_losses(candidates, X, Y, lo, hi, codes, each, 4 * static_cast<std::size_t>(pool.size()));
            Random tournaments = stream(settings.seed, stream_kind::selection, generation, 0);
            Selection selection = tournament_select(candidates, measured, settings.pop_size, tournaments, each,
                                                    settings.variation.tournament_size);
            ++generation;
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
            record(history, train_columns[k], e, sums[k] / nb);
            if (validation) record(history, validation_columns[k], e, val[k]);
        }
        if (monitor) record(history, size_column, e, best_network.node_count);
        if (hooks.epoch_end && hooks.epoch_end(e, history, best_network)) break;
    }
    return {std::move(best_network), std::move(history)};
}

EvolutionResult evolve_on_function(const Network& start, bool recurrent_model, const EvolutionSettings& settings,
                                   const EvolutionHooks& hooks) {
    const std::int32_t epochs = settings.epochs;
    const bool validation = static_cast<bool>(hooks.validate);
    const bool monitor = !settings.monitor_codes.empty();
    History history;
    const std::size_t loss_column = column(history, "loss");
    const std::size_t validation_column = validation ? column(history, "val_loss") : 0;
    const std::size_t size_column = monitor ? column(history, "size", true) : 0;

    WorkerPool pool(thread_count(settings));
    pool.set_poll(hooks.check_interrupt, interrupt_poll_interval);
    const ParallelFor each = [&pool](std::size_t count, const std::function<void(std::size_t)>& task) {
        pool.run(count, task);
    };
    std::vector<double> fitness(static_cast<std::size_t>(settings.pop_size), 0.0);
    check_variation(settings.variation);
    Population population = reporting_failed_checks(hooks.output, [&] {
        return seed_population(evolvable(start), settings.pop_size, settings.seed, each, settings.variation);
    });
    Network best_network = population[0];

    for (std::int32_t e = 0; e < epochs; ++e) {
        hooks.check_interrupt();
        const std::int64_t t0 = monotonic_ns();
        const std::uint64_t generation = static_cast<std::uint64_t>(e);
        Population candidates =
            next_candidates(population, fitness, settings.seed, generation, each, hooks.output, settings.variation);
        if (recurrent_model)
            for (Network& candidate : candidates)
                if (candidate.node_count > 0) candidate.clear_state();
        const std::vector<LossList> scores = hooks.score(candidates);
        check_scores(scores, candidates.size());
        Random tournaments = stream(settings.seed, stream_kind::selection, generation, 0);
        Selection selection = tournament_select(candidates, scores, settings.pop_size, tournaments, each,
                                                settings.variation.tournament_size);
        population = std::move(selection.members);
        for (std::size_t j = 0; j < population.size(); ++j) fitness[j] = selection.member_losses[j][0];
        double best_score = 0;
        const std::int32_t found = best_member(selection.member_losses, best_score);
        // Without a member of finite loss the epoch has no best loss to report.
        if (found >= 0) best_network = population[found];
        else best_score = nan_value;
        const double val = validation ? hooks.validate(best_network) : 0.0;
        print_function_progress(hooks.output, settings.verbose, settings.monitor_codes, best_network.node_count, t0, e,
                                epochs, best_score, validation, val);
        record(history, loss_column, e, best_score);
        if (validation) record(history, validation_column, e, val);
        if (monitor) record(history, size_column, e, best_network.node_count);
        if (hooks.epoch_end && hooks.epoch_end(e, history, best_network)) break;
    }
    return {std::move(best_network), std::move(history)};
}

}  // namespace corvane
