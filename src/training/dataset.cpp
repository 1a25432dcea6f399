#include "training/dataset.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/errors.hpp"
#include "training/config.hpp"

namespace corvane {
namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// The loss term of one value; squares are products (exact where pow(d, 2) is only nearly so).
double loss_term(std::int32_t code, double t, double p) {
    switch (code) {
        case loss::mse: {
            const double d = t - p;
            return d * d;
        }
        case loss::mae: return std::fabs(t - p);
        case loss::mape: return 100.0 * std::fabs(t - p) / (std::fabs(t) + 1e-10);
        default: throw value_error("Unknown loss code " + std::to_string(code) + ".");
    }
}

void check_code(std::int32_t code) {
    if (code < 0 || code > 2) throw value_error("Unknown loss code " + std::to_string(code) + ".");
}

// loss_value on a target row of `count` values and a prediction with `stride` between values.
double row_loss(std::int32_t code, const SampleGrid& targets, const char* target, std::int64_t count,
                const double* prediction, std::int64_t stride) {
    double sum = 0.0;
    for (std::int64_t i = 0; i < count; ++i) sum += loss_term(code, targets.value(target, i), prediction[i * stride]);
    return sum / static_cast<double>(count);  // 0 / 0 is NaN for an empty target
}

// The checks of dataset_losses that hold for any network state, in the order they are made.
void check_shapes(const Network& network, const DataView& X, const DataView& Y) {
    if (Y.steps() != 1 && X.steps() != Y.steps())
        throw value_error("A series of " + std::to_string(X.steps()) + " steps has " + std::to_string(Y.steps()) +
                          " targets.");
    if (X.width < network.inputs)
        throw value_error("A sample holds " + std::to_string(X.width) + " values but the network has " +
                          std::to_string(network.inputs) + " inputs.");
    if (Y.width > network.outputs)
        throw value_error("A prediction of " + std::to_string(network.outputs) + " values cannot be compared with " +
                          std::to_string(Y.width) + " targets.");
    if (network.node_count < static_cast<std::int64_t>(network.inputs) + network.outputs)
        throw value_error("A network of " + std::to_string(network.node_count) + " nodes cannot have " +
                          std::to_string(network.inputs) + " inputs and " + std::to_string(network.outputs) +
                          " outputs.");
}

// The compiled form, the block scratch and the buffer of loss terms of one measurement,
// reused from member to member of a population.
class Measurer {
public:
    // acc[k] += the loss of every term in (series, step) order, as the one-sample measurement
    // adds them.
    void add_losses(Network& network, const DataView& X, const DataView& Y, const std::vector<std::int32_t>& codes,
                    std::vector<double>& acc) {
        compiled_.compile(network);
        const std::size_t code_count = codes.size();
        const std::int64_t width = Y.width;
        const bool last_only = Y.steps() == 1;
        auto add = [&](std::int64_t s, std::int64_t t, const double* out, std::int64_t stride) {
            const char* target = Y.grid.row(s, t);
            for (std::size_t k = 0; k < code_count; ++k) acc[k] += row_loss(codes[k], Y.grid, target, width, out, stride);
        };
        if (network.recurrent && network.node_count > 0) {
            const std::int64_t steps = X.steps();
            if (last_only) {
                evaluator_.recurrent(compiled_, X.grid, true, network.values,
                                     [&](std::int64_t s, std::int64_t t, const double* out, std::int64_t stride) {
                                         if (t == steps - 1) add(s, 0, out, stride);
                                     });
                return;
            }
            // The series of a block advance together: the terms of each are kept until its last
            // step, then added in step order (series come to their last step in order).
            terms_.resize(static_cast<std::size_t>(block_detail::max_width * steps) * code_count);
            evaluator_.recurrent(compiled_, X.grid, true, network.values,
                                 [&](std::int64_t s, std::int64_t t, const double* out, std::int64_t stride) {
                                     double* slot = terms_.data() +
                                                    ((s % block_detail::max_width) * steps + t) * code_count;
                                     const char* target = Y.grid.row(s, t);
                                     for (std::size_t k = 0; k < code_count; ++k)
                                         slot[k] = row_loss(codes[k], Y.grid, target, width, out, stride);
                                     if (t < steps - 1) return;
                                     const double* series_terms = slot - t * code_count;
                                     for (std::int64_t i = 0; i < steps; ++i)
                                         for (std::size_t k = 0; k < code_count; ++k)
                                             acc[k] += series_terms[i * code_count + k];
                                 });
            return;
        }
        // Feed-forward: the samples are independent. Against single targets only the last step
        // of each series decides, and it is the last pass that leaves the node values.
        SampleGrid grid = X.grid;
        if (last_only) {
            grid.data = X.grid.row(0, X.steps() - 1);
            grid.steps = 1;
        }
        evaluator_.feed_forward(compiled_, grid, network.values, add);
    }

private:
    CompiledNetwork compiled_;
    BlockEvaluator evaluator_;
    std::vector<double> terms_;
};

std::vector<double> measure(Measurer& measurer, Network& network, const DataView& X, const DataView& Y,
                            std::size_t lo, std::size_t hi, const std::vector<std::int32_t>& codes) {
    if (lo > hi || hi > static_cast<std::size_t>(X.series()) || hi > static_cast<std::size_t>(Y.series()))
        throw value_error("The series " + std::to_string(lo) + " to " + std::to_string(hi) +
                          " are not in both datasets.");
    // Without series, or without targets, there is nothing to average; input series of no
    // steps give no output to compare with a single target.
    const std::size_t count = static_cast<std::size_t>(Y.steps()) * (hi - lo);
    if (count == 0 || (Y.steps() == 1 && X.steps() == 0)) return std::vector<double>(codes.size(), not_a_number);
    check_shapes(network, X, Y);
    for (std::int32_t code : codes) check_code(code);
    const std::int64_t from = static_cast<std::int64_t>(lo), to = static_cast<std::int64_t>(hi);
    std::vector<double> acc(codes.size(), 0.0);
    measurer.add_losses(network, X.series_range(from, to), Y.series_range(from, to), codes, acc);
    for (double& value : acc) value /= static_cast<double>(count);
    return acc;
}

}  // namespace

DataView DataView::series_range(std::int64_t lo, std::int64_t hi) const {
    DataView part = *this;
    part.grid.data = grid.data + lo * grid.series_stride;
    part.grid.series = hi - lo;
    return part;
}

Dataset::Dataset(std::int64_t series, std::int64_t steps, std::int64_t width, std::vector<double> values)
    : series_(series), steps_(steps), width_(width), values_(std::move(values)) {
    if (series < 0 || steps < 0 || width < 0 || values_.size() != static_cast<std::size_t>(series * steps * width))
        throw value_error("A dataset of " + std::to_string(series) + " x " + std::to_string(steps) + " x " +
                          std::to_string(width) + " values cannot hold " + std::to_string(values_.size()) + ".");
}

Dataset Dataset::from_nested(const std::vector<std::vector<Sample>>& series) {
    const std::int64_t steps = series.empty() ? 0 : static_cast<std::int64_t>(series[0].size());
    const std::int64_t width = steps == 0 ? 0 : static_cast<std::int64_t>(series[0][0].size());
    std::vector<double> values;
    values.reserve(series.size() * static_cast<std::size_t>(steps * width));
    for (const std::vector<Sample>& one : series) {
        if (static_cast<std::int64_t>(one.size()) != steps)
            throw value_error("Every series of a dataset must have " + std::to_string(steps) + " steps.");
        for (const Sample& sample : one) {
            if (static_cast<std::int64_t>(sample.size()) != width)
                throw value_error("Every sample of a dataset must have " + std::to_string(width) + " values.");
            values.insert(values.end(), sample.begin(), sample.end());
        }
    }
    return Dataset(static_cast<std::int64_t>(series.size()), steps, width, std::move(values));
}

Dataset Dataset::copy_of(const DataView& view) {
    std::vector<double> values;
    values.reserve(static_cast<std::size_t>(view.series() * view.steps() * view.width));
    for (std::int64_t s = 0; s < view.series(); ++s)
        for (std::int64_t t = 0; t < view.steps(); ++t)
            for (std::int64_t k = 0; k < view.width; ++k) values.push_back(view.at(s, t, k));
    return Dataset(view.series(), view.steps(), view.width, std::move(values));
}

DataView Dataset::view() const {
    DataView v;
    v.grid.data = reinterpret_cast<const char*>(values_.data());
    v.grid.series = series_;
    v.grid.steps = steps_;
    v.grid.step_stride = width_ * static_cast<std::int64_t>(sizeof(double));
    v.grid.series_stride = steps_ * v.grid.step_stride;
    v.grid.value_stride = sizeof(double);
    v.width = width_;
    return v;
}

void Dataset::permute_series(const std::vector<std::size_t>& perm) {
    const std::size_t length = static_cast<std::size_t>(steps_ * width_);
    spare_.resize(values_.size());
    for (std::size_t k = 0; k < perm.size(); ++k)
        std::copy_n(values_.begin() + static_cast<std::ptrdiff_t>(k * length), length,
                    spare_.begin() + static_cast<std::ptrdiff_t>(perm[k] * length));
    values_.swap(spare_);
}

double loss_value(std::int32_t code, const Sample& target, const Sample& prediction) {
    if (prediction.size() < target.size())
        throw value_error("A prediction of " + std::to_string(prediction.size()) + " values cannot be compared with " +
                          std::to_string(target.size()) + " targets.");
    double sum = 0.0;
    for (std::size_t i = 0; i < target.size(); ++i) sum += loss_term(code, target[i], prediction[i]);
    return sum / static_cast<double>(target.size());  // 0 / 0 is NaN for an empty target
}

std::vector<double> dataset_losses(Network& network, const DataView& X, const DataView& Y, std::size_t lo,
                                   std::size_t hi, const std::vector<std::int32_t>& codes) {
    Measurer measurer;
    return measure(measurer, network, X, Y, lo, hi, codes);
}

std::vector<double> dataset_losses(Network& network, const DataView& X, const DataView& Y,
                                   const std::vector<std::int32_t>& codes) {
    return dataset_losses(network, X, Y, 0, static_cast<std::size_t>(X.series()), codes);
}

std::vector<LossList> population_losses(Population& population, const DataView& X, const DataView& Y,
                                        std::size_t lo, std::size_t hi, const std::vector<std::int32_t>& codes,
                                        const ParallelFor& each, std::size_t chunks) {
    // Contiguous chunks of members, each measured with its own scratch; the results do not
    // depend on how the members are chunked or which thread runs a chunk.
    const std::size_t count = population.size();
    chunks = std::max<std::size_t>(1, std::min(chunks, count));
    std::vector<LossList> losses(count);
    each(chunks, [&](std::size_t c) {
        Measurer measurer;
        for (std::size_t j = c * count / chunks; j < (c + 1) * count / chunks; ++j)
            losses[j] = measure(measurer, population[j], X, Y, lo, hi, codes);
    });
    return losses;
}

std::vector<LossList> population_losses(Population& population, const DataView& X, const DataView& Y,
                                        const std::vector<std::int32_t>& codes) {
    return population_losses(population, X, Y, 0, static_cast<std::size_t>(X.series()), codes);
}

}  // namespace corvane
