// Datasets and the measurement of networks on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "network/network.hpp"
#include "variation/population.hpp"

namespace corvane {

using Sample = std::vector<double>;
using Series = std::vector<Sample>;
using Dataset = std::vector<Series>;

// The mean over the values of one sample of the per-value loss of `code` (0 mse, 1 mae, 2 mape):
// the sum of the terms of target.size() values divided by their number (NaN for no values).
// Throws value_error for an unknown code or a prediction shorter than the target.
double loss_value(std::int32_t code, const Sample& target, const Sample& prediction);

// One value per loss code: the mean loss of `network` over the series [lo, hi) of X against Y,
// divided by (samples in Y[lo]) x (hi - lo). A target series of one sample is compared with the
// output after the last step of its input series (many-to-one); otherwise step i is compared
// with target i. A recurrent network's state is cleared before every series. Runs forward
// passes, so the network's node values change. Without series, or with a first target series
// of no samples, every value is NaN; a series with no term (no targets, or no steps before a
// single target) makes every value NaN. Throws value_error when [lo, hi) is not in both
// datasets, a sample is shorter than the network's inputs, a target longer than its outputs,
// or a series' steps and targets differ in number (other than one target).
std::vector<double> dataset_losses(Network& network, const Dataset& X, const Dataset& Y, std::size_t lo,
                                   std::size_t hi, const std::vector<std::int32_t>& codes);
// The same over the whole dataset.
std::vector<double> dataset_losses(Network& network, const Dataset& X, const Dataset& Y,
                                   const std::vector<std::int32_t>& codes);

// dataset_losses of every member, in population order.
std::vector<LossList> population_losses(Population& population, const Dataset& X, const Dataset& Y, std::size_t lo,
                                        std::size_t hi, const std::vector<std::int32_t>& codes);
std::vector<LossList> population_losses(Population& population, const Dataset& X, const Dataset& Y,
                                        const std::vector<std::int32_t>& codes);

}  // namespace corvane
