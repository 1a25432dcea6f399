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

// The mean over the values of one sample of the per-value loss of `code` (0 mse, 1 mae, 2 mape).
double loss_value(std::int32_t code, const Sample& target, const Sample& prediction);

// One value per loss code: the mean loss of `network` over the series [lo, hi) of X against Y.
// A recurrent network's state is cleared before every series. Runs forward passes, so the
// network's node values change.
std::vector<double> dataset_losses(Network& network, const Dataset& X, const Dataset& Y, std::size_t lo,
                                   std::size_t hi, const std::vector<std::int32_t>& codes);
// The same over the whole dataset.
std::vector<double> dataset_losses(Network& network, const Dataset& X, const Dataset& Y,
                                   const std::vector<std::int32_t>& codes);

// dataset_losses of every member, in population order.
std::vector<LossList> population_losses(Population& population, const Dataset& X, const Dataset& Y, std::size_t lo,
                                        std::size_t hi, const std::vector<std::int32_t>& codes);

}  // namespace corvane
