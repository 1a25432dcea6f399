// Fuzz target for the model-file reader and the compact form's. Each input is written to an
// in-memory file and read back with read_network, and read from memory with network_from_bytes
// (what unpickling an old pickle does); both must refuse it or both give the same network. The
// same input is read as a compact form too (what unpickling and the parallel evaluators read). The reader may refuse it (value_error,
// file_error, bad_alloc); any other outcome must be a network the rest of the core can work with:
//   - its tables have the sizes its counts call for;
//   - writing it and reading the result back is stable (the second file equals the first);
//   - forward passes, clones, crossover and mutation steps run without a memory error (mutation
//     may refuse an unsound network with consistency_error, which the Python layer reports).
// Any other exception, a failed invariant or a sanitizer report is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "network/model_file.hpp"
#include "network/network.hpp"
#include "variation/crossover.hpp"
#include "variation/mutation.hpp"

namespace {

using corvane::Network;

[[noreturn]] void finding(const char* what) {
    std::fprintf(stderr, "finding: %s\n", what);
    std::abort();
}

// The input as a file: a memory file reached through its /proc path, refilled for every input.
const std::string& input_path() {
    static const std::string path = [] {
        const int fd = ::memfd_create("corvane-fuzz", 0);
        if (fd < 0) finding("memfd_create failed");
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

void fill_input(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(input_path().c_str(), "wb");  // truncates
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        finding("could not write the input file");
}

// A folder in memory for the written copies.
const std::string& output_folder() {
    static const std::string folder = [] {
        char pattern[] = "/dev/shm/corvane-fuzz-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) finding("mkdtemp failed");
        return std::string(pattern);
    }();
    return folder;
}

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void check_tables(const Network& net) {
    const std::size_t n = static_cast<std::size_t>(net.node_count);
    if (net.node_count < static_cast<std::int64_t>(net.inputs) + net.outputs || net.inputs < 1 || net.outputs < 1)
        finding("counts that the reader should have refused");
    if (net.biases.size() != n || net.sums.size() != n || net.values.size() != n || net.activations.size() != n ||
        net.weights.size() != n * n || net.connections.size() != n * static_cast<std::size_t>(net.words_per_row()))
        finding("tables that do not match the node count");
}

// write(read(write(net))) must give the bytes of write(net).
void check_round_trip(const Network& net) {
    const std::string first = output_folder() + "/first.cv";
    const std::string second = output_folder() + "/second.cv";
    corvane::write_network(net, first);
    const Network again = corvane::read_network(first);
    check_tables(again);
    corvane::write_network(again, second);
    if (file_bytes(first) != file_bytes(second)) finding("a written file does not read back to itself");
    if (net.recurrent && !(again == net)) {
        // Recurrent files keep every connection: only NaN weights may make the copies unequal.
        bool nan = false;
        for (double w : net.weights) nan = nan || w != w;
        for (double b : net.biases) nan = nan || b != b;
        if (!nan) finding("a recurrent network changed in a round trip");
    }
}

void exercise(Network net) {
    std::vector<double> input(static_cast<std::size_t>(net.inputs), 0.5);
    std::vector<double> output(static_cast<std::size_t>(net.outputs));
    net.forward(input.data(), output.data());
    net.forward(input.data(), output.data());
    net.clear_state();
    corvane::Random random(12345);
    Network child = corvane::crossover(net, Network(net), 0.0, 1.0, random);
    check_tables(child);
    for (int step = 0; step < 8; ++step) {
        try {
            corvane::mutate(child, random);
        } catch (const corvane::consistency_error&) {
            return;  // an unsound loaded network is refused with a message
        }
        check_tables(child);
        child.forward(input.data(), output.data());
    }
}

// The input read from memory; false when the reader refuses it.
bool read_from_memory(const std::uint8_t* data, std::size_t size, Network& net) {
    try {
        net = corvane::network_from_bytes(data, size, "<memory>");
        return true;
    } catch (const corvane::value_error&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// The compact form of a network reads back to a network with the same compact form and the
// same model file.
void check_compact_round_trip(const Network& net) {
    const std::string compact = corvane::network_compact_bytes(net);
    const Network again = corvane::network_from_compact_bytes(reinterpret_cast<const unsigned char*>(compact.data()),
                                                              compact.size(), "<compact>");
    check_tables(again);
    if (corvane::network_compact_bytes(again) != compact) finding("a compact form does not read back to itself");
    if (corvane::network_bytes(again) != corvane::network_bytes(net))
        finding("a compact round trip changed the model file");
}

// The input read as a compact form: refused, or a network the core can work with.
void read_compact(const std::uint8_t* data, std::size_t size) {
    Network net;
    try {
        net = corvane::network_from_compact_bytes(data, size, "<compact>");
    } catch (const corvane::value_error&) {
        return;
    } catch (const std::bad_alloc&) {
        return;
    }
    check_tables(net);
    check_compact_round_trip(net);
    exercise(std::move(net));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    read_compact(data, size);
    fill_input(data, size);
    Network from_memory;
    const bool read_in_memory = read_from_memory(data, size, from_memory);
    Network net;
    try {
        net = corvane::read_network(input_path());
    } catch (const corvane::value_error&) {
        if (read_in_memory) finding("bytes in memory read where the file is refused");
        return 0;
    } catch (const corvane::file_error&) {
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (!read_in_memory) finding("bytes in memory refused where the file reads");
    if (corvane::network_bytes(from_memory) != corvane::network_bytes(net)) finding("memory and file read differently");
    check_tables(net);
    check_round_trip(net);
    check_compact_round_trip(net);
    exercise(std::move(net));
    return 0;
}
