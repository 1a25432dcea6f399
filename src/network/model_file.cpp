#include "network/model_file.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/errors.hpp"

namespace corvane {
namespace {

// ---- Little-endian encoding, byte by byte, whatever the host's byte order.

void put_u32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xffu));
}
void put_i32(std::string& out, std::int32_t value) { put_u32(out, static_cast<std::uint32_t>(value)); }
void put_f64(std::string& out, double value) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xffu));
}

std::uint32_t get_u32(const unsigned char* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
std::int32_t get_i32(const unsigned char* p) { return static_cast<std::int32_t>(get_u32(p)); }
double get_f64(const unsigned char* p) {
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | p[i];
    return std::bit_cast<double>(bits);
}

[[noreturn]] void fail_system(const std::string& path, int error) {
    if (error == 0) error = EIO;
    throw file_error(std::strerror(error), path, error);
}

[[noreturn]] void invalid_file(const std::string& path, const std::string& reason) {
    throw value_error("The model file '" + path + "' " + reason + ".");
}

// ---- Writing.

// Writes all of `data` to `fd`, retrying short writes and interrupted calls.
void write_all(int fd, const std::string& data, const std::string& path) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = ::write(fd, data.data() + done, data.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) fail_system(path, written < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(written);
    }
}

// Encodes the whole content, handing it to `flush` in chunks of about a megabyte.
template <class Flush>
void encode_content(const Network& net, Flush flush) {
    constexpr std::size_t chunk = 1 << 20;
    std::string buffer;
    buffer.reserve(chunk + file_record_size);
    put_i32(buffer, net.node_count);
    put_i32(buffer, net.inputs);
    put_i32(buffer, net.outputs);
    buffer.push_back(net.recurrent ? 1 : 0);
    for (std::int32_t i = 0; i < net.node_count; ++i) put_f64(buffer, net.biases[i]);
    for (std::int32_t i = 0; i < net.node_count; ++i) put_i32(buffer, net.activations[i]);
    for (std::int32_t s = 0; s < net.node_count; ++s) {
        // Feed-forward files hold only forward connections; the pass ignores the others anyway.
        for (std::int32_t t = net.recurrent ? 0 : s + 1; t < net.node_count; ++t) {
            if (!net.has_connection(s, t)) continue;
            put_i32(buffer, s);
            put_i32(buffer, t);
            put_f64(buffer, net.weight(s, t));
            if (buffer.size() >= chunk) {
                flush(buffer);
                buffer.clear();
            }
        }
    }
    flush(buffer);
}

void write_content(const Network& net, int fd, const std::string& path) {
    encode_content(net, [&](const std::string& data) { write_all(fd, data, path); });
}

void close_checked(int& fd, const std::string& path) {
    const int result = ::close(fd);
    fd = -1;
    if (result != 0 && errno != EINTR) fail_system(path, errno);
}

// A temporary file beside the target, removed again unless it was renamed over the target.
class TemporaryFile {
public:
    TemporaryFile(const std::string& target, const std::string& path) {
        const std::size_t slash = target.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            name_ = folder + ".cv-save-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".tmp";
            fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd_ >= 0) return;
            if (errno != EEXIST) break;
        }
        const int error = errno;
        name_.clear();
        fail_system(path, error);
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!name_.empty()) ::unlink(name_.c_str());
    }
    int& fd() { return fd_; }
    void commit(const std::string& target, const std::string& path) {
        if (::rename(name_.c_str(), target.c_str()) != 0) fail_system(path, errno);
        name_.clear();
    }

private:
    std::string name_;
    int fd_ = -1;
};

// The file that `path` names once symbolic links are followed (the path itself when it does
// not exist yet), so that saving through a link replaces the linked file, not the link.
std::string resolve_target(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return path;
    std::string target(resolved);
    std::free(resolved);
    return target;
}

void write_in_place(const Network& net, const std::string& target, const std::string& path) {
    int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) fail_system(path, errno);
    try {
        write_content(net, fd, path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    close_checked(fd, path);
}

void check_savable(const Network& net) {
    if (!counts_fit(net.inputs, net.outputs, net.node_count))
        throw value_error("A network of " + std::to_string(net.node_count) + " nodes with " +
                          std::to_string(net.inputs) + " inputs and " + std::to_string(net.outputs) +
                          " outputs cannot be saved.");
}

}  // namespace

void write_network(const Network& net, const std::string& path) {
    check_savable(net);
    const std::string target = resolve_target(path);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    // A device or pipe cannot be replaced by renaming; it is written directly.
    if (exists && !S_ISREG(existing.st_mode)) {
        write_in_place(net, target, path);
        return;
    }
    TemporaryFile temporary(target, path);
    if (exists && ::fchmod(temporary.fd(), existing.st_mode & 07777) != 0) fail_system(path, errno);
    write_content(net, temporary.fd(), path);
    if (::fsync(temporary.fd()) != 0 && errno != EINVAL) fail_system(path, errno);
    close_checked(temporary.fd(), path);
    temporary.commit(target, path);
}

// ---- Reading.

namespace {

// A source of bytes for the reader: read() gives up to `count` bytes (fewer only at the end),
// size() the whole length when it is known up front.
class Source {
public:
    virtual ~Source() = default;
    virtual std::size_t read(unsigned char* data, std::size_t count) = 0;
    virtual std::optional<std::int64_t> size() const = 0;

    // Reads up to `count` bytes, growing the buffer only as data arrives, so that a header
    // claiming a huge node count cannot make a short stream allocate for it.
    std::vector<unsigned char> read_up_to(std::size_t count) {
        constexpr std::size_t chunk = 1 << 20;
        std::vector<unsigned char> data;
        while (data.size() < count) {
            const std::size_t old = data.size();
            const std::size_t step = std::min(chunk, count - old);
            data.resize(old + step);
            const std::size_t got = read(data.data() + old, step);
            data.resize(old + got);
            if (got < step) break;
        }
        return data;
    }
};

class InputFile : public Source {
public:
    explicit InputFile(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "rb")) {
        if (file_ == nullptr) fail_system(path, errno);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() override { std::fclose(file_); }

    std::size_t read(unsigned char* data, std::size_t count) override {
        errno = 0;
        const std::size_t got = std::fread(data, 1, count, file_);
        if (got < count && std::ferror(file_)) fail_system(path_, errno);
        return got;
    }

    // The size of a regular file; nothing for pipes and devices.
    std::optional<std::int64_t> size() const override {
        struct stat info {};
        if (::fstat(::fileno(file_), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
        return static_cast<std::int64_t>(info.st_size);
    }

private:
    std::string path_;
    std::FILE* file_;
};

// Bytes in memory, read front to back.
class InputBytes : public Source {
public:
    InputBytes(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t read(unsigned char* data, std::size_t count) override {
        const std::size_t got = std::min(count, size_ - offset_);
        if (got > 0) std::memcpy(data, data_ + offset_, got);
        offset_ += got;
        return got;
    }
    std::optional<std::int64_t> size() const override { return static_cast<std::int64_t>(size_); }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
};

void check_counts(const std::string& path, std::int32_t n, std::int32_t inputs, std::int32_t outputs) {
    if (counts_fit(inputs, outputs, n)) return;
    // The message names the first count that is wrong.
    if (inputs < 1) invalid_file(path, "has " + std::to_string(inputs) + " inputs; a model needs at least one");
    if (outputs < 1) invalid_file(path, "has " + std::to_string(outputs) + " outputs; a model needs at least one");
    invalid_file(path, "has " + std::to_string(n) + " nodes, fewer than its " + std::to_string(inputs) +
                               " inputs plus " + std::to_string(outputs) + " outputs");
}

[[noreturn]] void too_short_for_nodes(const std::string& path, std::int32_t n, std::int64_t found) {
    invalid_file(path, "ends inside its biases and activation codes (" +
                           std::to_string(file_header_size + file_node_size * n) + " bytes needed for " +
                           std::to_string(n) + " nodes, " + std::to_string(found) + " found)");
}

void read_records(Source& file, const std::string& path, Network& net) {
    unsigned char record[file_record_size];
    const std::int32_t n = net.node_count;
    for (std::int64_t index = 0;; ++index) {
        const std::size_t got = file.read(record, sizeof record);
        if (got == 0) return;
        if (got < sizeof record)
            invalid_file(path, "ends inside connection record " + std::to_string(index) + " (16 bytes needed, " +
                                   std::to_string(got) + " found)");
        const std::int32_t s = get_i32(record);
        const std::int32_t t = get_i32(record + 4);
        if (s < 0 || s >= n || t < 0 || t >= n)
            invalid_file(path, "has connection record " + std::to_string(index) + " from node " + std::to_string(s) +
                                   " to node " + std::to_string(t) + ", outside the nodes 0 .. " +
                                   std::to_string(n - 1));
        net.set_connection(s, t);
        net.weight(s, t) = get_f64(record + 8);
    }
}

// The reader of both files and bytes; `path` names the source in the messages.
Network read_content(Source& file, const std::string& path) {
    unsigned char header[file_header_size];
    const std::size_t got = file.read(header, sizeof header);
    if (got < sizeof header)
        invalid_file(path, "ends inside its header (13 bytes needed, " + std::to_string(got) + " found)");
    const std::int32_t n = get_i32(header);
    const std::int32_t inputs = get_i32(header + 4);
    const std::int32_t outputs = get_i32(header + 8);
    const bool recurrent = header[12] != 0;
    check_counts(path, n, inputs, outputs);

    // The node count must fit the file before any table of n x n entries is allocated.
    const std::int64_t body = file_node_size * n;
    if (const auto size = file.size(); size && *size < file_header_size + body) too_short_for_nodes(path, n, *size);
    const std::vector<unsigned char> nodes = file.read_up_to(static_cast<std::size_t>(body));
    if (static_cast<std::int64_t>(nodes.size()) < body)
        too_short_for_nodes(path, n, file_header_size + static_cast<std::int64_t>(nodes.size()));

    Network net(inputs, outputs, recurrent);
    net.reset(n);
    for (std::int32_t i = 0; i < n; ++i) net.biases[i] = get_f64(nodes.data() + 8 * i);
    for (std::int32_t i = 0; i < n; ++i) net.activations[i] = get_i32(nodes.data() + 8 * std::size_t(n) + 4 * i);
    read_records(file, path, net);
    return net;
}

}  // namespace

Network read_network(const std::string& path) {
    InputFile file(path);
    return read_content(file, path);
}

std::string network_bytes(const Network& network) {
    check_savable(network);
    std::string bytes;
    encode_content(network, [&](const std::string& data) { bytes += data; });
    return bytes;
}

Network network_from_bytes(const unsigned char* data, std::size_t size, const std::string& name) {
    InputBytes bytes(data, size);
    return read_content(bytes, name);
}

}  // namespace corvane
