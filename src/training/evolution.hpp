// The two evolution loops: on a dataset (evolve) and on a fitness function (func_evolve).
//
// Each generation:
//   1. breed 2 x pop_size children from the population (crossover or clones), mutate each;
//   2. line up the candidates population[0], children[0], population[1], children[1], ...;
//   3. score them: the loss on the current mini-batch, or the user's fitness function;
//   4. keep pop_size of them by tournaments (of four by default);
//   5. remember the best member, report progress.
// The loops know nothing of Python: the caller passes hooks for the interrupt check, the
// fitness function, the validation function, the end of each epoch and the console lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "network/network.hpp"
#include "training/dataset.hpp"
#include "training/output.hpp"
#include "variation/population.hpp"
#include "variation/settings.hpp"

namespace corvane {

struct HistoryColumn {
    std::string key;
    std::vector<double> values;  // one per epoch
    bool integer = false;        // values are whole numbers (the size column)
};
using History = std::vector<HistoryColumn>;

struct EvolutionResult {
    Network best;
    History history;
};

struct EvolutionSettings {
    std::vector<std::int32_t> loss_codes;     // the loss first, then the metrics
    std::vector<std::int32_t> monitor_codes;  // non-empty adds the size column
    std::int32_t pop_size = 100;
    std::int32_t batch_size = -1;  // dataset evolution only; -1 for one batch of everything
    std::int32_t epochs = 100;
    std::int32_t verbose = 1;
    // Every random draw of the run comes from streams derived from this seed: with the same
    // seed, start network and data (and the same build) a run is repeated exactly.
    std::uint64_t seed = 0;
    // Threads that breed, mutate and measure the candidates, the calling thread included. No
    // result depends on it.
    std::int32_t workers = 1;
    // The optimizer's settings of mutation, breeding and selection (the defaults are Alpha's).
    VariationSettings variation;
};

struct EvolutionHooks {
    // Throws to stop the run (a pending interrupt); called before every batch or epoch.
    std::function<void()> check_interrupt = [] {};
    // Function evolution: one loss list per candidate, in candidate order (entry 0 decides).
    std::function<std::vector<LossList>(Population& candidates)> score;
    // Function evolution, optional: the validation loss of the epoch's best network.
    std::function<double(const Network& best)> validate;
    // Optional: called after every epoch, once its history values are recorded, with the epoch
    // index, the history so far (every column holds epochs 0 .. epoch) and the epoch's best
    // network. Returning true ends the run after this epoch: it returns as after its last epoch,
    // with this best network and the history of the epochs run. What it throws ends the run.
    std::function<bool(std::int32_t epoch, const History& history, const Network& best)> epoch_end;
    // Every console line of the run: progress, the small-batch warning, the breeding warning and
    // the message of a failed consistency check (written before the error is thrown on). The
    // default drops them.
    Output output = [](std::string_view) {};
};

// The size of one mini-batch and the number of batches for n series; batch_size -1 means all.
std::int32_t batch_count(std::int32_t series, std::int32_t batch_size);

// Evolves `start` on X/Y in mini-batches, measuring the best member on the validation data
// after every epoch when `validation_x` is given. X and Y are owned: with more than one batch
// their series are shuffled every epoch. Throws what the hooks or the variation operators
// throw; nothing of the caller's changes then.
EvolutionResult evolve_on_dataset(const Network& start, Dataset X, Dataset Y, const DataView* validation_x,
                                  const DataView* validation_y, const EvolutionSettings& settings,
                                  const EvolutionHooks& hooks);

// Evolves `start` on the scores that hooks.score gives once per epoch.
EvolutionResult evolve_on_function(const Network& start, bool recurrent_model, const EvolutionSettings& settings,
                                   const EvolutionHooks& hooks);

}  // namespace corvane
