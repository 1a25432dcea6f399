// Machine limits for the figures of run.py, measured without Python: the cost of a dependent
// multiply-add chain (the arithmetic floor of one connection of a forward pass), the same chain
// with the connection bit tested per term, the activation functions, the dense forward loop
// itself on fully connected feed-forward networks, and the random sources: one random-device
// read, one MT19937 seeding, a fresh-engine uniform or normal draw as the library once made
// them, the same draws from an engine seeded once, and the generators considered for the
// library's source: its xoshiro256** (raw output, canonical value, normal value, bounded index,
// the derivation of a stream), a 128-bit PCG (XSL-RR output) and std::mt19937_64.
//
// Build: c++ -O3 -std=c++20 -ffp-contract=off -I../src micro.cpp ../src/random/random.cpp -o micro
// Output: one JSON object, each key a list of per-repeat figures in nanoseconds per operation.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "random/random.hpp"

namespace {

// PCG with a 128-bit LCG state and the XSL-RR output function: 64 bits per step.
struct Pcg64 {
    unsigned __int128 state = 0x9e3779b97f4a7c15ull;
    static constexpr unsigned __int128 multiplier =
        (static_cast<unsigned __int128>(2549297995355413924ull) << 64) | 4865540595714422341ull;
    static constexpr unsigned __int128 increment =
        (static_cast<unsigned __int128>(6364136223846793005ull) << 64) | 1442695040888963407ull;
    std::uint64_t operator()() {
        state = state * multiplier + increment;
        const std::uint64_t folded = static_cast<std::uint64_t>(state >> 64) ^ static_cast<std::uint64_t>(state);
        const int rotation = static_cast<int>(state >> 122);
        return (folded >> rotation) | (folded << ((-rotation) & 63));
    }
};

volatile std::uint64_t sink_long = 0;

using clock_type = std::chrono::steady_clock;

volatile double sink_double = 0;
volatile std::uint32_t sink_word = 0;

double elapsed_ns(clock_type::time_point start) {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now() - start).count());
}

// sum = w[i] * v[i] + sum over a contiguous array: every add waits for the previous one.
double madd_chain(const std::vector<double>& w, const std::vector<double>& v, int rounds) {
    const auto start = clock_type::now();
    double sum = 0;
    for (int r = 0; r < rounds; ++r)
        for (std::size_t i = 0; i < w.size(); ++i) sum = w[i] * v[i] + sum;
    sink_double = sum;
    return elapsed_ns(start) / (static_cast<double>(rounds) * w.size());
}

// The same chain with one bit of a packed word tested before every term (all bits set).
double bit_chain(const std::vector<double>& w, const std::vector<double>& v, const std::vector<std::uint32_t>& bits,
                 int rounds) {
    const auto start = clock_type::now();
    double sum = 0;
    for (int r = 0; r < rounds; ++r)
        for (std::size_t i = 0; i < w.size(); ++i)
            if (bits[i / 32] & (1u << (i % 32))) sum = w[i] * v[i] + sum;
    sink_double = sum;
    return elapsed_ns(start) / (static_cast<double>(rounds) * w.size());
}

// The forward loop of a fully connected feed-forward network of n nodes, `inputs` of them
// inputs and one output: column k of the weight matrix and of the bit matrix is read for every
// node, as the network record lays them out (row s holds the targets of source s). Linear
// activation, so that only the connection arithmetic and the bit tests are timed.
double dense_forward(int n, int inputs, int outputs, int passes) {
    const std::size_t words = static_cast<std::size_t>((n + 31) / 32);
    std::vector<double> weights(static_cast<std::size_t>(n) * n, 0.0), values(n, 0.0), biases(n, 0.01);
    std::vector<std::uint32_t> bits(static_cast<std::size_t>(n) * words, 0u);
    std::int64_t connections = 0;
    for (int s = 0; s < n - outputs; ++s)
        for (int t = std::max(inputs, s + 1); t < n; ++t) {
            weights[static_cast<std::size_t>(s) * n + t] = 0.5 / n;
            bits[s * words + t / 32] |= 1u << (t % 32);
            ++connections;
        }
    const auto start = clock_type::now();
    for (int p = 0; p < passes; ++p) {
        for (int k = 0; k < inputs; ++k) values[k] = 0.25 * k + p * 1e-9;
        for (int k = inputs; k < n; ++k) {
            const std::size_t word = static_cast<std::size_t>(k / 32);
            const std::uint32_t mask = 1u << (k % 32);
            double sum = biases[k];
            for (int s = 0; s < k; ++s)
                if (bits[s * words + word] & mask) sum = weights[static_cast<std::size_t>(s) * n + k] * values[s] + sum;
            values[k] = sum;
        }
    }
    sink_double = values[n - 1];
    return elapsed_ns(start) / (static_cast<double>(passes) * connections);
}

// One activation per call with the next argument depending on the previous result, as the
// nodes of a pass depend on each other: exp for sigmoid, tanh for tanh.
double activation_chain(bool sigmoid, int calls) {
    const auto start = clock_type::now();
    double x = 0.3;
    for (int i = 0; i < calls; ++i) {
        const double y = sigmoid ? 1.0 / (1.0 + std::exp(-x)) : std::tanh(x);
        x = y * 1.5 - 0.4;
    }
    sink_double = x;
    return elapsed_ns(start) / calls;
}

template <class Body>
double per_call(int calls, Body body) {
    const auto start = clock_type::now();
    for (int i = 0; i < calls; ++i) body();
    return elapsed_ns(start) / calls;
}

void print_series(const char* name, const std::vector<double>& values, bool last) {
    std::printf("  \"%s\": [", name);
    for (std::size_t i = 0; i < values.size(); ++i) std::printf("%s%.4f", i ? ", " : "", values[i]);
    std::printf("]%s\n", last ? "" : ",");
}

}  // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::stoi(argv[1]) : 7;
    const std::size_t length = 4096;
    std::vector<double> w(length), v(length);
    for (std::size_t i = 0; i < length; ++i) {
        w[i] = 1.0 / (1.0 + i);
        v[i] = 0.5 + 1e-6 * i;
    }
    std::vector<std::uint32_t> bits(length / 32, 0xFFFFFFFFu);
    std::random_device device;

    std::vector<double> sigmoid_chain, tanh_chain, chain, tested, ff8, ff32, ff128, device_read, seeding, uniform, normal,
        kept_uniform, kept_normal, xoshiro, xoshiro_canonical, xoshiro_normal, xoshiro_index, stream_derivation, pcg,
        mt64;
    corvane::Random source(12345);
    Pcg64 pcg64;
    std::mt19937_64 mt19937_64(12345);
    std::mt19937 kept(device());
    for (int r = 0; r < repeats; ++r) {
        chain.push_back(madd_chain(w, v, 2000));
        sigmoid_chain.push_back(activation_chain(true, 2000000));
        tanh_chain.push_back(activation_chain(false, 2000000));
        tested.push_back(bit_chain(w, v, bits, 2000));
        ff8.push_back(dense_forward(8, 4, 2, 400000));
        ff32.push_back(dense_forward(32, 4, 2, 40000));
        ff128.push_back(dense_forward(128, 4, 2, 2500));
        device_read.push_back(per_call(20000, [&] { sink_word = device(); }));
        seeding.push_back(per_call(20000, [&] {
            std::mt19937 engine(static_cast<std::uint32_t>(sink_word) + 1u);
            sink_word = engine();
        }));
        uniform.push_back(per_call(20000, [&] {
            std::mt19937 engine(device());
            const std::uint32_t o1 = engine(), o2 = engine();
            sink_double = (o1 + o2 * 4294967296.0) / (4294967296.0 * 4294967296.0);
        }));
        normal.push_back(per_call(20000, [&] {
            std::mt19937 engine(device());
            std::normal_distribution<double> standard(0.0, 1.0);
            sink_double = standard(engine);
        }));
        kept_uniform.push_back(per_call(2000000, [&] {
            const std::uint32_t o1 = kept(), o2 = kept();
            sink_double = (o1 + o2 * 4294967296.0) / (4294967296.0 * 4294967296.0);
        }));
        kept_normal.push_back(per_call(2000000, [&] {
            std::normal_distribution<double> standard(0.0, 1.0);
            sink_double = standard(kept);
        }));
        xoshiro.push_back(per_call(20000000, [&] { sink_long = source.next(); }));
        xoshiro_canonical.push_back(per_call(20000000, [&] { sink_double = source.canonical(); }));
        xoshiro_normal.push_back(per_call(5000000, [&] { sink_double = source.standard_normal(); }));
        xoshiro_index.push_back(per_call(10000000, [&] { sink_long = source.below(7); }));
        stream_derivation.push_back(per_call(2000000, [&] {
            corvane::Random derived = corvane::stream(sink_long, corvane::stream_kind::pair, 3, 5);
            sink_long = derived.next();
        }));
        pcg.push_back(per_call(20000000, [&] { sink_long = pcg64(); }));
        mt64.push_back(per_call(20000000, [&] { sink_long = mt19937_64(); }));
    }
    std::printf("{\n");
    print_series("madd_chain_ns", chain, false);
    print_series("bit_tested_chain_ns", tested, false);
    print_series("sigmoid_activation_ns", sigmoid_chain, false);
    print_series("tanh_activation_ns", tanh_chain, false);
    print_series("dense_forward_8_ns_per_connection", ff8, false);
    print_series("dense_forward_32_ns_per_connection", ff32, false);
    print_series("dense_forward_128_ns_per_connection", ff128, false);
    print_series("random_device_read_ns", device_read, false);
    print_series("mt19937_seed_and_first_output_ns", seeding, false);
    print_series("fresh_engine_uniform_draw_ns", uniform, false);
    print_series("fresh_engine_normal_draw_ns", normal, false);
    print_series("seeded_engine_uniform_draw_ns", kept_uniform, false);
    print_series("seeded_engine_normal_draw_ns", kept_normal, false);
    print_series("xoshiro256_output_ns", xoshiro, false);
    print_series("xoshiro256_canonical_ns", xoshiro_canonical, false);
    print_series("xoshiro256_normal_ns", xoshiro_normal, false);
    print_series("xoshiro256_index_below_7_ns", xoshiro_index, false);
    print_series("stream_derivation_ns", stream_derivation, false);
    print_series("pcg64_output_ns", pcg, false);
    print_series("mt19937_64_output_ns", mt64, true);
    std::printf("}\n");
    return 0;
}
