#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "network/compiled.hpp"
#include "reference_forward.hpp"
#include "training/dataset.hpp"

namespace corvane {
namespace {

using testing_support::reference_forward;

// A random network: every allowed connection present with probability `density`, normal
// weights and biases (scaled so that a deep network neither saturates nor explodes at once),
// every code including an unknown one.
Network random_sparse_network(std::int32_t n, std::int32_t inputs, std::int32_t outputs, bool recurrent,
                              double density, std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Network net(inputs, outputs, recurrent);
    net.reset(n);
    const double scale = 1.5 / std::sqrt(static_cast<double>(n) * density + 1.0);
    for (std::int32_t i = 0; i < n; ++i) {
        net.biases[i] = normal(engine);
        net.activations[i] = static_cast<std::int32_t>(engine() % 5);  // 4 is no code: the node gives 0
    }
    for (std::int32_t s = 0; s < n; ++s)
        for (std::int32_t t = 0; t < n; ++t)
            if (net.allowed(s, t) && unit(engine) < density) {
                net.set_connection(s, t);
                net.weight(s, t) = normal(engine) * scale;
            }
    return net;
}

bool same_double(double a, double b) {
    return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

enum class Layout { row_major, odd_strides, fortran };

// The values v(s, t, k) laid out in `buffer` as `layout` says, and the grid that reads them.
SampleGrid lay_out(const std::vector<double>& row_major, std::int64_t series, std::int64_t steps, std::int64_t width,
                   Layout layout, std::vector<double>& buffer) {
    std::int64_t ss = steps * width, ts = width, vs = 1;  // strides in doubles
    if (layout == Layout::odd_strides) {
        vs = 3;
        ts = width * 3 + 1;
        ss = steps * ts + 2;
    } else if (layout == Layout::fortran) {
        ss = 1;
        ts = series;
        vs = series * steps;
    }
    buffer.assign(static_cast<std::size_t>(std::max<std::int64_t>(series * ss + steps * ts + width * vs, 1)), -7.0);
    for (std::int64_t s = 0; s < series; ++s)
        for (std::int64_t t = 0; t < steps; ++t)
            for (std::int64_t k = 0; k < width; ++k)
                buffer[s * ss + t * ts + k * vs] = row_major[(s * steps + t) * width + k];
    SampleGrid grid;
    grid.data = reinterpret_cast<const char*>(buffer.data());
    grid.series = series;
    grid.steps = steps;
    grid.series_stride = ss * 8;
    grid.step_stride = ts * 8;
    grid.value_stride = vs * 8;
    return grid;
}

struct Shape {
    std::int32_t nodes, inputs, outputs;
};

using BlockCase = std::tuple<Shape, bool, double, std::int64_t, Layout>;

class BlockPass : public testing::TestWithParam<BlockCase> {};

// Every output and the state left behind equal the reference pass bit for bit: feed-forward
// samples one by one, recurrent series each from a cleared state.
TEST_P(BlockPass, EqualsTheReferencePassBitForBit) {
    const auto [shape, recurrent, density, count, layout] = GetParam();
    const std::int64_t steps = recurrent ? 5 : 1;
    Network reference = random_sparse_network(shape.nodes, shape.inputs, shape.outputs, recurrent, density,
                                              static_cast<std::uint32_t>(shape.nodes * 7 + count));
    Network fast = reference;
    std::mt19937 engine(99);
    std::uniform_real_distribution<double> uniform(-2.0, 2.0);
    std::vector<double> x(static_cast<std::size_t>(count * steps * shape.inputs));
    for (double& v : x) v = uniform(engine);

    const std::size_t O = static_cast<std::size_t>(shape.outputs);
    std::vector<double> expected(static_cast<std::size_t>(count * steps) * O);
    for (std::int64_t s = 0; s < count; ++s) {
        if (recurrent) reference.clear_state();
        for (std::int64_t t = 0; t < steps; ++t)
            reference_forward(reference, x.data() + (s * steps + t) * shape.inputs,
                              expected.data() + static_cast<std::size_t>(s * steps + t) * O);
    }

    std::vector<double> buffer;
    const SampleGrid grid = lay_out(x, count, steps, shape.inputs, layout, buffer);
    std::vector<double> got(expected.size(), -1.0);
    auto write = [&](std::int64_t s, std::int64_t t, const double* out, std::int64_t stride) {
        for (std::size_t j = 0; j < O; ++j) got[static_cast<std::size_t>(s * steps + t) * O + j] = out[j * stride];
    };
    const CompiledNetwork compiled(fast);
    BlockEvaluator evaluator;
    if (recurrent) evaluator.recurrent(compiled, grid, true, fast.values, write);
    else evaluator.feed_forward(compiled, grid, fast.values, write);

    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_TRUE(same_double(got[i], expected[i])) << "output " << i << ": " << got[i] << " != " << expected[i];
    for (std::int32_t k = 0; k < shape.nodes; ++k)
        ASSERT_TRUE(same_double(fast.values[k], reference.values[k])) << "state of node " << k;
}

std::string block_case_name(const testing::TestParamInfo<BlockCase>& info) {
    const auto [shape, recurrent, density, count, layout] = info.param;
    const char* layouts[] = {"rows", "odd", "fortran"};
    return std::string(recurrent ? "rec" : "ff") + "_n" + std::to_string(shape.nodes) + "_i" +
           std::to_string(shape.inputs) +
           (density < 1.0 ? "_sparse_" : "_dense_") + std::to_string(count) + "_" +
           layouts[static_cast<int>(layout)];
}

// Block widths are 1, 4, 16 and 32 lanes: 1, 3, 33 and 100 samples (or series) use each, with
// the last block full or not.
INSTANTIATE_TEST_SUITE_P(Networks, BlockPass,
                         testing::Combine(testing::Values(Shape{1, 1, 0}, Shape{1, 0, 1}, Shape{2, 1, 1},
                                                          Shape{5, 2, 1}, Shape{17, 3, 2}, Shape{64, 4, 2},
                                                          Shape{200, 5, 3}),
                                          testing::Bool(), testing::Values(1.0, 0.1),
                                          testing::Values<std::int64_t>(1, 3, 32, 33, 100),
                                          testing::Values(Layout::row_major, Layout::odd_strides, Layout::fortran)),
                         block_case_name);

TEST(BlockPass, SingleSeriesContinuesTheStateItIsGiven) {
    Network reference = random_sparse_network(12, 2, 1, true, 0.5, 3);
    for (double& v : reference.values) v = 0.25;
    Network fast = reference;
    const std::vector<double> x = {0.5, -1.0, 2.0, 0.0, -0.5, 1.5};
    std::vector<double> expected(3), got(3);
    for (int t = 0; t < 3; ++t) reference_forward(reference, x.data() + 2 * t, expected.data() + t);
    std::vector<double> buffer;
    const SampleGrid grid = lay_out(x, 1, 3, 2, Layout::row_major, buffer);
    BlockEvaluator evaluator;
    evaluator.recurrent(CompiledNetwork(fast), grid, false, fast.values,
                        [&](std::int64_t, std::int64_t t, const double* out, std::int64_t) { got[t] = out[0]; });
    for (int t = 0; t < 3; ++t) EXPECT_TRUE(same_double(got[t], expected[t])) << "step " << t;
    EXPECT_EQ(fast.values, reference.values);
}

TEST(BlockPass, WideAndBaseInstructionSetsGiveTheSameBits) {
    if (!block_detail::wide_available()) GTEST_SKIP() << "no AVX2 here";
    for (bool recurrent : {false, true}) {
        const Network net = random_sparse_network(50, 4, 3, recurrent, 0.5, 21);
        const CompiledNetwork compiled(net);
        std::mt19937 engine(4);
        std::uniform_real_distribution<double> uniform(-30.0, 30.0);
        std::vector<double> base(50 * 32), wide;
        for (double& v : base) v = uniform(engine);
        wide = base;
        for (int pass = 0; pass < 3; ++pass) {
            block_detail::base_block<32>(compiled, base.data());
            block_detail::wide_block<32>(compiled, wide.data());
        }
        for (std::size_t i = 0; i < base.size(); ++i) ASSERT_TRUE(same_double(base[i], wide[i])) << i;
    }
}

TEST(CompiledForm, RunsHoldAscendingSourcesOfTheConnectionsThePassReads) {
    // A feed-forward network holding a backward connection (3 -> 2) ignores it; in recurrent
    // mode it is read.
    Network net(1, 1, false);
    net.reset(4);
    for (auto [s, t] : {std::pair{0, 3}, {2, 3}, {0, 2}, {3, 2}, {1, 3}}) {
        net.set_connection(s, t);
        net.weight(s, t) = 10.0 * s + t;
    }
    CompiledNetwork compiled(net);
    EXPECT_EQ(compiled.first, (std::vector<std::int32_t>{0, 0, 1, 4}));
    EXPECT_EQ(compiled.sources, (std::vector<std::int32_t>{0, 0, 1, 2}));
    EXPECT_EQ(compiled.weights, (std::vector<double>{2, 3, 13, 23}));
    net.recurrent = true;
    compiled.compile(net);
    EXPECT_EQ(compiled.first, (std::vector<std::int32_t>{0, 0, 2, 5}));
    EXPECT_EQ(compiled.sources, (std::vector<std::int32_t>{0, 3, 0, 1, 2}));
    EXPECT_EQ(compiled.connection_count(), 5u);
}

// ---- losses against the one-sample measurement ----

// The measurement as the one-sample pass makes it: series in order, each cleared first when
// recurrent, the loss of every compared step added in order.
std::vector<double> reference_losses(Network& net, const Dataset& X, const Dataset& Y, std::int64_t lo,
                                     std::int64_t hi, const std::vector<std::int32_t>& codes) {
    std::vector<double> acc(codes.size(), 0.0);
    Sample input(static_cast<std::size_t>(X.width())), output(static_cast<std::size_t>(net.outputs));
    Sample target(static_cast<std::size_t>(Y.width()));
    auto add = [&](std::int64_t s, std::int64_t t) {
        for (std::int64_t k = 0; k < Y.width(); ++k) target[k] = Y.at(s, t, k);
        for (std::size_t c = 0; c < codes.size(); ++c) acc[c] += loss_value(codes[c], target, output);
    };
    for (std::int64_t s = lo; s < hi; ++s) {
        if (net.recurrent) net.clear_state();
        for (std::int64_t t = 0; t < X.steps(); ++t) {
            for (std::int64_t k = 0; k < X.width(); ++k) input[k] = X.at(s, t, k);
            reference_forward(net, input.data(), output.data());
            if (Y.steps() != 1) add(s, t);
        }
        if (Y.steps() == 1) add(s, 0);
    }
    for (double& v : acc) v /= static_cast<double>(Y.steps() * (hi - lo));
    return acc;
}

struct LossCase {
    const char* id;
    bool recurrent;
    std::int64_t series, steps, target_steps, lo, hi;
};

class BlockLosses : public testing::TestWithParam<LossCase> {};

TEST_P(BlockLosses, EqualTheOneSampleMeasurementBitForBit) {
    const LossCase& c = GetParam();
    std::mt19937 engine(5);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> x(static_cast<std::size_t>(c.series * c.steps * 3)),
        y(static_cast<std::size_t>(c.series * c.target_steps * 2));
    for (double& v : x) v = uniform(engine);
    for (double& v : y) v = uniform(engine);
    const Dataset X(c.series, c.steps, 3, x), Y(c.series, c.target_steps, 2, y);
    const std::vector<std::int32_t> codes = {0, 2, 1, 0};
    for (double density : {1.0, 0.1}) {
        Network reference = random_sparse_network(40, 3, 2, c.recurrent, density, 11);
        Network fast = reference;
        const auto expected = reference_losses(reference, X, Y, c.lo, c.hi, codes);
        Population population = {fast, fast};
        const auto got = population_losses(population, X, Y, c.lo, c.hi, codes);
        for (const LossList& losses : got)
            for (std::size_t k = 0; k < codes.size(); ++k)
                EXPECT_TRUE(same_double(losses[k], expected[k])) << "code " << k << ": " << losses[k];
        EXPECT_EQ(population[1].values, reference.values);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Datasets, BlockLosses,
    testing::Values(LossCase{"ff_rows", false, 100, 1, 1, 0, 100}, LossCase{"ff_range", false, 100, 1, 1, 7, 80},
                    LossCase{"ff_steps_many_to_many", false, 9, 4, 4, 0, 9},
                    LossCase{"ff_steps_many_to_one", false, 9, 4, 1, 2, 9},
                    LossCase{"rec_many_to_one", true, 70, 6, 1, 0, 70},
                    LossCase{"rec_many_to_many", true, 70, 6, 6, 3, 68},
                    LossCase{"rec_one_step", true, 33, 1, 1, 0, 33}),
    [](const testing::TestParamInfo<LossCase>& info) { return std::string(info.param.id); });

}  // namespace
}  // namespace corvane
