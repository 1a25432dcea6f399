#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/errors.hpp"
#include "network/model_file.hpp"

namespace corvane {
namespace {

using Bytes = std::vector<unsigned char>;

// Little-endian pieces of a file, built independently of the writer.
void add_i32(Bytes& out, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(bits >> (8 * i)));
}
void add_f64(Bytes& out, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(bits >> (8 * i)));
}
Bytes header(std::int32_t n, std::int32_t inputs, std::int32_t outputs, unsigned char flag) {
    Bytes out;
    add_i32(out, n);
    add_i32(out, inputs);
    add_i32(out, outputs);
    out.push_back(flag);
    return out;
}
void add_record(Bytes& out, std::int32_t s, std::int32_t t, double w) {
    add_i32(out, s);
    add_i32(out, t);
    add_f64(out, w);
}

class ModelFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvane-file-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        folder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    std::string path(const std::string& name) const { return folder + "/" + name; }
    Bytes read_bytes(const std::string& file) const {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    void write_bytes(const std::string& file, const Bytes& bytes) const {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
        return names;
    }

    std::string folder;
};

// 2 inputs, 1 output, hand-set values: the 81-byte layout.
Network small_network() {
    Network net(2, 1, false);
    net.biases = {0.5, -1.25, 3.0};
    net.activations = {3, 0, 1};
    net.set_connection(0, 2);
    net.weight(0, 2) = 0.75;
    net.set_connection(1, 2);
    net.weight(1, 2) = -2.5;
    return net;
}

TEST_F(ModelFile, WritesTheExactLittleEndianLayout) {
    write_network(small_network(), path("m.cv"));
    Bytes expected = header(3, 2, 1, 0);
    for (double b : {0.5, -1.25, 3.0}) add_f64(expected, b);
    for (std::int32_t c : {3, 0, 1}) add_i32(expected, c);
    add_record(expected, 0, 2, 0.75);
    add_record(expected, 1, 2, -2.5);
    ASSERT_EQ(expected.size(), 81u);
    EXPECT_EQ(read_bytes(path("m.cv")), expected);
}

TEST_F(ModelFile, ReadsHandWrittenBytes) {
    Bytes bytes = header(4, 1, 1, 7);  // any flag other than 0 reads as recurrent
    for (double b : {0.0, 1.5, -0.25, 2.0}) add_f64(bytes, b);
    for (std::int32_t c : {0, 2, 3, 9}) add_i32(bytes, c);
    add_record(bytes, 2, 1, 0.125);  // order does not matter, backward and self records are kept
    add_record(bytes, 0, 1, -1.0);
    add_record(bytes, 1, 1, 4.0);
    write_bytes(path("in.cv"), bytes);

    const Network net = read_network(path("in.cv"));
    EXPECT_EQ(net.node_count, 4);
    EXPECT_EQ(net.inputs, 1);
    EXPECT_EQ(net.outputs, 1);
    EXPECT_TRUE(net.recurrent);
    EXPECT_EQ(net.biases, (std::vector<double>{0.0, 1.5, -0.25, 2.0}));
    EXPECT_EQ(net.activations, (std::vector<std::int32_t>{0, 2, 3, 9}));
    EXPECT_EQ(net.connection_count(), 3);
    EXPECT_EQ(net.weight(2, 1), 0.125);
    EXPECT_EQ(net.weight(0, 1), -1.0);
    EXPECT_EQ(net.weight(1, 1), 4.0);
    EXPECT_EQ(net.values, std::vector<double>(4, 0.0));
}

TEST_F(ModelFile, RoundTripsBitForBit) {
    for (bool recurrent : {false, true}) {
        Network net(3, 2, recurrent);
        net.reset(9);
        Random random(recurrent ? 2 : 1);
        net.randomize(random);
        net.biases[4] = -0.0;
        net.biases[5] = 1e-310;  // subnormal
        net.weight(0, 5) = 0.1 + 0.2;
        write_network(net, path("r.cv"));
        const Network back = read_network(path("r.cv"));
        EXPECT_EQ(back, net) << "recurrent " << recurrent;
        EXPECT_TRUE(std::signbit(back.biases[4]));
        EXPECT_EQ(static_cast<std::int64_t>(read_bytes(path("r.cv")).size()),
                  13 + 12 * 9 + 16 * net.connection_count());
        // The bytes in memory are the file's, and read back the same way.
        const std::string bytes = network_bytes(net);
        const Bytes file = read_bytes(path("r.cv"));
        EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), file);
        EXPECT_EQ(network_from_bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), "m"), net);
    }
}

TEST_F(ModelFile, FeedForwardDropsBackwardAndSelfConnections) {
    Network net = small_network();
    net.reset(4);
    net.set_connection(2, 2);
    net.set_connection(2, 1);
    net.set_connection(1, 2);
    write_network(net, path("f.cv"));
    const Network back = read_network(path("f.cv"));
    EXPECT_EQ(back.connection_count(), 1);
    EXPECT_TRUE(back.has_connection(1, 2));

    net.recurrent = true;  // the same bits survive in recurrent mode
    write_network(net, path("r.cv"));
    EXPECT_EQ(read_network(path("r.cv")).connection_count(), 3);
}

TEST_F(ModelFile, NetworkWithoutConnectionsIsHeaderBiasesAndCodes) {
    Network net(2, 3, false);
    write_network(net, path("e.cv"));
    EXPECT_EQ(read_bytes(path("e.cv")).size(), 13u + 12u * 5u);
    EXPECT_EQ(read_network(path("e.cv")), net);
}

TEST_F(ModelFile, ReplacesTheWholeContentAndLeavesNoTemporaryFile) {
    write_bytes(path("m.cv"), Bytes(5000, 0xAB));
    ::chmod(path("m.cv").c_str(), 0640);
    write_network(small_network(), path("m.cv"));
    EXPECT_EQ(read_bytes(path("m.cv")).size(), 81u);
    EXPECT_EQ(entries(), std::vector<std::string>{"m.cv"});
    struct stat info {};
    ASSERT_EQ(::stat(path("m.cv").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST_F(ModelFile, SavingThroughALinkReplacesTheLinkedFile) {
    write_bytes(path("real.cv"), Bytes(3, 1));
    std::filesystem::create_symlink(path("real.cv"), path("link.cv"));
    write_network(small_network(), path("link.cv"));
    EXPECT_TRUE(std::filesystem::is_symlink(path("link.cv")));
    EXPECT_EQ(read_bytes(path("real.cv")).size(), 81u);
}

// A write that fails part way (here: the process's file size limit) must leave the existing
// file exactly as it was and remove the temporary file.
TEST_F(ModelFile, FailedWriteKeepsTheOldFile) {
    const Bytes old(200, 0x5A);
    write_bytes(path("m.cv"), old);
    Network big(10, 10, false);
    big.reset(200);
    Random random(3);
    big.randomize(random);  // about 16 * 19000 bytes of records

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    int error = 0;
    try {
        write_network(big, path("m.cv"));
    } catch (const file_error& e) {
        error = e.errno_value;
        EXPECT_EQ(e.path, path("m.cv"));
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(read_bytes(path("m.cv")), old);
    EXPECT_EQ(entries(), std::vector<std::string>{"m.cv"});
}

TEST_F(ModelFile, OpenFailuresCarryErrnoAndPath) {
    try {
        read_network(path("missing.cv"));
        FAIL() << "no error";
    } catch (const file_error& e) {
        EXPECT_EQ(e.errno_value, ENOENT);
        EXPECT_EQ(e.path, path("missing.cv"));
    }
    try {
        write_network(small_network(), path("no/such/folder.cv"));
        FAIL() << "no error";
    } catch (const file_error& e) {
        EXPECT_EQ(e.errno_value, ENOENT);
        EXPECT_EQ(e.path, path("no/such/folder.cv"));
    }
    EXPECT_THROW(read_network(folder), file_error);  // a folder opens but cannot be read
}

TEST_F(ModelFile, RefusesToSaveAnUninitialisedNetwork) {
    EXPECT_THROW(write_network(Network(), path("x.cv")), value_error);
    EXPECT_TRUE(entries().empty());
}

struct BadFile {
    const char* name;
    Bytes bytes;
    const char* message;  // what follows "The model file '<path>' "
};

Bytes valid_nodes(std::int32_t n) { return Bytes(12 * static_cast<std::size_t>(n), 0); }
Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes with_record(Bytes a, std::int32_t s, std::int32_t t) {
    add_record(a, s, t, 1.0);
    return a;
}

class BadFiles : public ModelFile, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadFiles, RaiseValueErrorSayingWhatIsWrong) {
    const BadFile& bad = GetParam();
    write_bytes(path("bad.cv"), bad.bytes);
    try {
        read_network(path("bad.cv"));
        FAIL() << "no error";
    } catch (const value_error& e) {
        EXPECT_EQ(std::string(e.what()), "The model file '" + path("bad.cv") + "' " + bad.message);
    }
    try {
        network_from_bytes(bad.bytes.data(), bad.bytes.size(), "<memory>");
        FAIL() << "no error from memory";
    } catch (const value_error& e) {
        EXPECT_EQ(std::string(e.what()), std::string("The model file '<memory>' ") + bad.message);
    }
}

const Bytes ok3 = concat(header(3, 2, 1, 0), valid_nodes(3));

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFiles,
    ::testing::Values(
        BadFile{"empty", {}, "ends inside its header (13 bytes needed, 0 found)."},
        BadFile{"short_header", Bytes(12, 0), "ends inside its header (13 bytes needed, 12 found)."},
        BadFile{"no_inputs", concat(header(3, 0, 1, 0), valid_nodes(3)),
                "has 0 inputs; a model needs at least one."},
        BadFile{"negative_outputs", header(3, 2, -1, 0), "has -1 outputs; a model needs at least one."},
        BadFile{"negative_nodes", header(-5, 2, 1, 0), "has -5 nodes, fewer than its 2 inputs plus 1 outputs."},
        BadFile{"too_few_nodes", header(2, 2, 1, 0), "has 2 nodes, fewer than its 2 inputs plus 1 outputs."},
        BadFile{"huge_node_count", header(2000000000, 2, 1, 0),
                "ends inside its biases and activation codes (24000000013 bytes needed for 2000000000 nodes, "
                "13 found)."},
        BadFile{"cut_in_codes", concat(header(3, 2, 1, 0), Bytes(35, 0)),
                "ends inside its biases and activation codes (49 bytes needed for 3 nodes, 48 found)."},
        BadFile{"cut_in_record", concat(with_record(ok3, 0, 2), Bytes(15, 0)),
                "ends inside connection record 1 (16 bytes needed, 15 found)."},
        BadFile{"target_too_large", with_record(with_record(ok3, 0, 2), 1, 3),
                "has connection record 1 from node 1 to node 3, outside the nodes 0 .. 2."},
        BadFile{"negative_source", with_record(ok3, -1, 2),
                "has connection record 0 from node -1 to node 2, outside the nodes 0 .. 2."}),
    [](const ::testing::TestParamInfo<BadFile>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvane
