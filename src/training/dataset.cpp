#include "training/dataset.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "core/errors.hpp"
#include "training/config.hpp"

namespace corvane {
namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

double loss_term(std::int32_t code, double t, double p) {
    switch (code) {
        case loss::mse: return std::pow(t - p, 2.0);
        case loss::mae: return std::fabs(t - p);
        case loss::mape: return 100.0 * std::fabs(t - p) / (std::fabs(t) + 1e-10);
        default: throw value_error("Unknown loss code " + std::to_string(code) + ".");
    }
}

void add_losses(std::vector<double>& acc, const std::vector<std::int32_t>& codes, const Sample& target,
                const Sample& prediction) {
    for (std::size_t k = 0; k < codes.size(); ++k) acc[k] += loss_value(codes[k], target, prediction);
}

// One forward pass on `sample` into `output`; the pass reads `inputs` values of the sample.
void forward_sample(Network& network, const Sample& sample, Sample& output) {
    if (sample.size() < static_cast<std::size_t>(network.inputs))
        throw value_error("A sample holds " + std::to_string(sample.size()) + " values but the network has " +
                          std::to_string(network.inputs) + " inputs.");
    network.forward(sample.data(), output.data());
}

// Adds the losses of one series to acc. A target series of one sample is matched against the
// output of the last step (many-to-one); otherwise every step has its own target. A series
// without a term (no targets, or no steps before a single target) adds NaN.
void add_series_losses(Network& network, const Series& x, const Series& y, const std::vector<std::int32_t>& codes,
                       Sample& output, std::vector<double>& acc) {
    if (y.empty() || (y.size() == 1 && x.empty())) {
        for (double& value : acc) value += not_a_number;
        return;
    }
    if (y.size() == 1) {
        for (const Sample& sample : x) forward_sample(network, sample, output);
        add_losses(acc, codes, y[0], output);
        return;
    }
    if (x.size() != y.size())
        throw value_error("A series of " + std::to_string(x.size()) + " steps has " + std::to_string(y.size()) +
                          " targets.");
    for (std::size_t i = 0; i < x.size(); ++i) {
        forward_sample(network, x[i], output);
        add_losses(acc, codes, y[i], output);
    }
}

}  // namespace

double loss_value(std::int32_t code, const Sample& target, const Sample& prediction) {
    if (prediction.size() < target.size())
        throw value_error("A prediction of " + std::to_string(prediction.size()) + " values cannot be compared with " +
                          std::to_string(target.size()) + " targets.");
    double sum = 0.0;
    for (std::size_t i = 0; i < target.size(); ++i) sum += loss_term(code, target[i], prediction[i]);
    return sum / static_cast<double>(target.size());  // 0 / 0 is NaN for an empty target
}

std::vector<double> dataset_losses(Network& network, const Dataset& X, const Dataset& Y, std::size_t lo,
                                   std::size_t hi, const std::vector<std::int32_t>& codes) {
    if (lo > hi || hi > X.size() || hi > Y.size())
        throw value_error("The series " + std::to_string(lo) + " to " + std::to_string(hi) +
                          " are not in both datasets.");
    std::vector<double> acc(codes.size(), 0.0);
    // Without series, or when the first target series is empty, there is nothing to average.
    const std::size_t count = lo == hi ? 0 : Y[lo].size() * (hi - lo);
    if (count == 0) return std::vector<double>(codes.size(), not_a_number);
    Sample output(static_cast<std::size_t>(network.outputs));
    for (std::size_t b = lo; b < hi; ++b) {
        // The state carries over from step to step within a series, never across series.
        if (network.recurrent && network.node_count > 0) network.clear_state();
        add_series_losses(network, X[b], Y[b], codes, output, acc);
    }
    for (double& value : acc) value /= static_cast<double>(count);
    return acc;
}

std::vector<double> dataset_losses(Network& network, const Dataset& X, const Dataset& Y,
                                   const std::vector<std::int32_t>& codes) {
    return dataset_losses(network, X, Y, 0, X.size(), codes);
}

std::vector<LossList> population_losses(Population& population, const Dataset& X, const Dataset& Y, std::size_t lo,
                                        std::size_t hi, const std::vector<std::int32_t>& codes) {
    std::vector<LossList> losses;
    losses.reserve(population.size());
    for (Network& network : population) losses.push_back(dataset_losses(network, X, Y, lo, hi, codes));
    return losses;
}

std::vector<LossList> population_losses(Population& population, const Dataset& X, const Dataset& Y,
                                        const std::vector<std::int32_t>& codes) {
    return population_losses(population, X, Y, 0, X.size(), codes);
}

}  // namespace corvane
