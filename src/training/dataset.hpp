// Datasets and the measurement of networks on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "network/compiled.hpp"
#include "network/network.hpp"
#include "variation/population.hpp"

namespace corvane {

using Sample = std::vector<double>;

// The samples of a dataset without owning them: `series` series of `steps` samples of `width`
// values, read through a SampleGrid (any strides: a NumPy array's own memory can be used).
struct DataView {
    SampleGrid grid;
    std::int64_t width = 0;

    std::int64_t series() const { return grid.series; }
    std::int64_t steps() const { return grid.steps; }
    double at(std::int64_t s, std::int64_t t, std::int64_t k) const { return grid.value(grid.row(s, t), k); }
    // The series [lo, hi) (lo <= hi <= series()).
    DataView series_range(std::int64_t lo, std::int64_t hi) const;
};

// A rectangular dataset in one row-major buffer: value k of step t of series s is
// values[(s * steps + t) * width + k]. A feed-forward dataset has one step per series.
class Dataset {
public:
    Dataset() = default;
    Dataset(std::int64_t series, std::int64_t steps, std::int64_t width, std::vector<double> values);
    // Series of steps of samples, as nested lists: every series must have the same number of
    // steps and every sample the same number of values (value_error otherwise).
    static Dataset from_nested(const std::vector<std::vector<Sample>>& series);
    // A copy of the samples of `view` in row-major order.
    static Dataset copy_of(const DataView& view);

    std::int64_t series() const { return series_; }
    std::int64_t steps() const { return steps_; }
    std::int64_t width() const { return width_; }
    bool empty() const { return series_ == 0; }
    const std::vector<double>& values() const { return values_; }
    double at(std::int64_t s, std::int64_t t, std::int64_t k) const {
        return values_[static_cast<std::size_t>((s * steps_ + t) * width_ + k)];
    }
    DataView view() const;
    operator DataView() const { return view(); }  // NOLINT: a dataset is read through its view

    // Moves the series at position k to position perm[k] (perm a permutation of the series),
    // gathering them into a second buffer.
    void permute_series(const std::vector<std::size_t>& perm);

private:
    std::int64_t series_ = 0;
    std::int64_t steps_ = 0;
    std::int64_t width_ = 0;
    std::vector<double> values_;
    std::vector<double> spare_;  // the buffer the next permutation gathers into
};

// The mean over the values of one sample of the per-value loss of `code` (0 mse, 1 mae, 2 mape):
// the sum of the terms of target.size() values divided by their number (NaN for no values).
// Throws value_error for an unknown code or a prediction shorter than the target.
double loss_value(std::int32_t code, const Sample& target, const Sample& prediction);

// One value per loss code: the mean loss of `network` over the series [lo, hi) of X against Y,
// divided by (steps of Y) x (hi - lo). A target series of one sample is compared with the
// output after the last step of its input series (many-to-one); otherwise step i is compared
// with target i. A recurrent network's state is cleared before every series. Runs the network
// (compiled, a block of samples or series at a time), so its node values change as the
// one-sample pass would change them. Without series, or with targets of no steps, every value
// is NaN, and so it is for input series of no steps against single targets. Throws value_error
// when [lo, hi) is not in both datasets, a sample is shorter than the network's inputs, a
// target longer than its outputs, or a series' steps and targets differ in number (other than
// one target).
std::vector<double> dataset_losses(Network& network, const DataView& X, const DataView& Y, std::size_t lo,
                                   std::size_t hi, const std::vector<std::int32_t>& codes);
// The same over the whole dataset.
std::vector<double> dataset_losses(Network& network, const DataView& X, const DataView& Y,
                                   const std::vector<std::int32_t>& codes);

// dataset_losses of every member, in population order.
std::vector<LossList> population_losses(Population& population, const DataView& X, const DataView& Y,
                                        std::size_t lo, std::size_t hi, const std::vector<std::int32_t>& codes,
                                        const ParallelFor& each = run_in_order, std::size_t chunks = 1);
std::vector<LossList> population_losses(Population& population, const DataView& X, const DataView& Y,
                                        const std::vector<std::int32_t>& codes);

}  // namespace corvane
