// The fuzz corpus of the model-file reader, kept as regression cases: every file must be refused
// with value_error or give a network whose tables match its counts and which writes and reads
// back to the same file. The same bytes read as a compact form are refused too or give a network
// whose compact form reads back to itself. Crashing inputs found by fuzz/run.sh belong in the
// same folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <iterator>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "network/model_file.hpp"
#include "network/network.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;

std::string bytes_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void expect_consistent(const Network& net, const std::string& name) {
    const std::size_t n = static_cast<std::size_t>(net.node_count);
    EXPECT_GE(net.inputs, 1) << name;
    EXPECT_GE(net.outputs, 1) << name;
    EXPECT_GE(static_cast<std::int64_t>(net.node_count), static_cast<std::int64_t>(net.inputs) + net.outputs) << name;
    EXPECT_EQ(net.biases.size(), n) << name;
    EXPECT_EQ(net.activations.size(), n) << name;
    EXPECT_EQ(net.values.size(), n) << name;
    EXPECT_EQ(net.weights.size(), n * n) << name;
    EXPECT_EQ(net.connections.size(), n * static_cast<std::size_t>(net.words_per_row())) << name;
}

// The compact form of `net` reads back to a network with the same compact form and model file.
void expect_compact_round_trip(const Network& net, const std::string& name) {
    const std::string compact = network_compact_bytes(net);
    const Network again =
        network_from_compact_bytes(reinterpret_cast<const unsigned char*>(compact.data()), compact.size(), name);
    expect_consistent(again, name);
    EXPECT_EQ(network_compact_bytes(again), compact) << name;
    EXPECT_EQ(network_bytes(again), network_bytes(net)) << name;
}

TEST(ModelFileRegressions, EveryKeptInputIsRefusedOrReadsBackToItself) {
    const fs::path folder = fs::path(CORVANE_TEST_DATA) / "fuzz";
    const fs::path scratch = fs::temp_directory_path() / ("corvane-regressions-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    int files = 0, refused = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (!entry.is_regular_file()) continue;
        ++files;
        const std::string name = entry.path().filename().string();
        const std::string content = bytes_of(entry.path());
        const auto* data = reinterpret_cast<const unsigned char*>(content.data());
        try {
            const Network compact = network_from_compact_bytes(data, content.size(), name);
            expect_consistent(compact, name);
            expect_compact_round_trip(compact, name);
        } catch (const value_error&) {
        }
        Network net;
        try {
            net = read_network(entry.path().string());
        } catch (const value_error&) {
            ++refused;
            // The same bytes from memory are refused too (what unpickling reads).
            EXPECT_THROW(network_from_bytes(data, content.size(), name), value_error) << name;
            continue;
        }
        expect_consistent(net, name);
        EXPECT_EQ(network_bytes(network_from_bytes(data, content.size(), name)), network_bytes(net)) << name;
        expect_compact_round_trip(net, name);
        std::vector<double> input(static_cast<std::size_t>(net.inputs), 0.25);
        std::vector<double> output(static_cast<std::size_t>(net.outputs));
        net.forward(input.data(), output.data());
        const fs::path first = scratch / "first.cv", second = scratch / "second.cv";
        write_network(net, first.string());
        const Network again = read_network(first.string());
        expect_consistent(again, name);
        write_network(again, second.string());
        EXPECT_EQ(bytes_of(first), bytes_of(second)) << name;
    }
    fs::remove_all(scratch);
    EXPECT_GT(files, 0);
    // The corpus holds both kinds: inputs that read and inputs that are refused.
    EXPECT_GT(refused, 0);
    EXPECT_LT(refused, files);
}

}  // namespace
}  // namespace corvane
