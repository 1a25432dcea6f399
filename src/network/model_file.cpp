#include "network/model_file.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
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

// Lets the caller act on a signal that interrupted a waiting call (it throws to give up).
void on_interrupt(const InterruptedCall& interrupted) {
    if (interrupted) interrupted();
}

// Writes all of `data` to `fd`, retrying short writes and interrupted calls.
void write_all(int fd, const std::string& data, const std::string& path, const InterruptedCall& interrupted) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = ::write(fd, data.data() + done, data.size() - done);
        if (written < 0 && errno == EINTR) {
            on_interrupt(interrupted);
            continue;
        }
        if (written <= 0) fail_system(path, written < 0 ? errno : ENOSPC);
        done += static_cast<std::size_t>(written);
        // A signal that comes once a write has begun makes it return short instead of failing
        // with EINTR: the caller must hear of it before the next write waits again.
        if (done < data.size()) on_interrupt(interrupted);
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

void write_content(const Network& net, int fd, const std::string& path, const InterruptedCall& interrupted) {
    encode_content(net, [&](const std::string& data) { write_all(fd, data, path, interrupted); });
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

// Opens `name` with `flags`, retrying an open that was waiting (a FIFO without a reader or a
// writer) when a signal interrupted it. Returns the descriptor, or -1 with errno set.
int open_retrying(const std::string& name, int flags, const InterruptedCall& interrupted, mode_t mode = 0) {
    for (;;) {
        const int fd = ::open(name.c_str(), flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
        on_interrupt(interrupted);
    }
}

void write_in_place(const Network& net, const std::string& target, const std::string& path,
                    const InterruptedCall& interrupted) {
    int fd = open_retrying(target, O_WRONLY | O_TRUNC | O_CLOEXEC, interrupted);
    if (fd < 0) fail_system(path, errno);
    try {
        write_content(net, fd, path, interrupted);
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

void write_network(const Network& net, const std::string& path, const InterruptedCall& interrupted) {
    check_savable(net);
    const std::string target = resolve_target(path);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    // A device or pipe cannot be replaced by renaming; it is written directly.
    if (exists && !S_ISREG(existing.st_mode)) {
        write_in_place(net, target, path, interrupted);
        return;
    }
    TemporaryFile temporary(target, path);
    if (exists && ::fchmod(temporary.fd(), existing.st_mode & 07777) != 0) fail_system(path, errno);
    write_content(net, temporary.fd(), path, interrupted);
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
    InputFile(const std::string& path, const InterruptedCall& interrupted) : path_(path), interrupted_(interrupted) {
        const int fd = open_retrying(path, O_RDONLY | O_CLOEXEC, interrupted);
        if (fd < 0) fail_system(path, errno);
        file_ = ::fdopen(fd, "rb");
        if (file_ == nullptr) {
            const int error = errno;
            ::close(fd);
            fail_system(path, error);
        }
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() override { std::fclose(file_); }

    // Reads up to `count` bytes; fewer only at the end of the file. A read interrupted by a
    // signal goes on where it stopped (stdio keeps what it got before the signal).
    std::size_t read(unsigned char* data, std::size_t count) override {
        std::size_t got = 0;
        for (;;) {
            errno = 0;
            got += std::fread(data + got, 1, count - got, file_);
            if (got == count || !std::ferror(file_)) return got;
            if (errno != EINTR) fail_system(path_, errno);
            std::clearerr(file_);
            on_interrupt(interrupted_);
        }
    }

    // The size of a regular file; nothing for pipes and devices.
    std::optional<std::int64_t> size() const override {
        struct stat info {};
        if (::fstat(::fileno(file_), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
        return static_cast<std::int64_t>(info.st_size);
    }

private:
    std::string path_;
    const InterruptedCall& interrupted_;
    std::FILE* file_ = nullptr;
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

// Refuses, before anything of the body is read, a node count whose tables (with the buffer for
// the biases and codes) would not fit the memory that is available: such a header must not make
// load buffer a stream or fill memory until the system steps in.
void check_memory_for(const std::string& path, std::int32_t n) {
    const double need = table_bytes(n) + static_cast<double>(file_node_size) * n;
    // Reading the system's figure costs a file read, more than reading a small network (which
    // unpickling does for every genome): tables below this size are not worth asking about.
    constexpr double small_tables = 16.0 * 1024.0 * 1024.0;
    if (need <= small_tables) return;
    const double available = available_memory();
    if (need <= available) return;
    constexpr double mebibyte = 1024.0 * 1024.0;
    throw memory_error("The model file '" + path + "' has " + std::to_string(n) + " nodes, whose tables need " +
                       std::to_string(static_cast<long long>(std::ceil(need / mebibyte))) + " MiB; " +
                       std::to_string(static_cast<long long>(available / mebibyte)) + " MiB of memory are available.");
}

}  // namespace

double available_memory() {
    if (std::FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        long long kib = -1;
        while (kib < 0 && std::fgets(line, sizeof line, meminfo) != nullptr)
            if (std::sscanf(line, "MemAvailable: %lld kB", &kib) != 1) kib = -1;
        std::fclose(meminfo);
        if (kib >= 0) return static_cast<double>(kib) * 1024.0;
    }
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0 ? static_cast<double>(pages) * page_size : 0x1p40;
}

namespace {

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

    // The node count must fit the file, and the memory, before any of the body is read.
    const std::int64_t body = file_node_size * n;
    if (const auto size = file.size(); size && *size < file_header_size + body) too_short_for_nodes(path, n, *size);
    check_memory_for(path, n);
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

Network read_network(const std::string& path, const InterruptedCall& interrupted) {
    InputFile file(path, interrupted);
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

// ---- The compact form.

namespace corvane {
namespace {

constexpr unsigned flag_recurrent = 1u;
constexpr unsigned flag_file_pairs = 2u;
constexpr unsigned flag_gaps = 4u;
constexpr unsigned known_flags = flag_recurrent | flag_file_pairs | flag_gaps;

void put_varint(std::string& out, std::uint64_t value) {
    while (value >= 0x80u) {
        out.push_back(static_cast<char>((value & 0x7fu) | 0x80u));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

std::int64_t varint_size(std::uint64_t value) {
    std::int64_t size = 1;
    for (; value >= 0x80u; value >>= 7) ++size;
    return size;
}

// Calls visit(s, t) for every pair of the set, sources first, then targets, in increasing order:
// the pairs the mode allows, or (`file_pairs`) every pair the model file writes.
template <class Visit>
void for_each_pair(std::int32_t n, std::int32_t inputs, std::int32_t outputs, bool recurrent, bool file_pairs,
                   Visit visit) {
    const std::int32_t sources = file_pairs ? n : n - outputs;
    for (std::int32_t s = 0; s < sources; ++s) {
        const std::int32_t first_target = file_pairs ? (recurrent ? 0 : s + 1)
                                                     : (recurrent ? inputs : std::max(inputs, s + 1));
        for (std::int32_t t = first_target; t < n; ++t) visit(s, t);
    }
}

std::int64_t pair_count(std::int32_t n, std::int32_t inputs, std::int32_t outputs, bool recurrent, bool file_pairs) {
    const std::int32_t sources = file_pairs ? n : n - outputs;
    std::int64_t count = 0;
    for (std::int32_t s = 0; s < sources; ++s) {
        const std::int32_t first_target = file_pairs ? (recurrent ? 0 : s + 1)
                                                     : (recurrent ? inputs : std::max(inputs, s + 1));
        count += std::max(0, n - first_target);
    }
    return count;
}

// Bytes in memory read front to back, each step checked against what is left.
class CompactReader {
public:
    CompactReader(const unsigned char* data, std::size_t size, const std::string& path)
        : data_(data), size_(size), path_(path) {}

    std::size_t left() const { return size_ - offset_; }
    const unsigned char* take(std::size_t count) {
        const unsigned char* at = data_ + offset_;
        offset_ += count;
        return at;
    }

    // An unsigned LEB128 number below 2^bits (bits <= 63); `what` names it in the messages.
    std::uint64_t varint(int bits, const char* what) {
        std::uint64_t value = 0;
        for (int shift = 0;; shift += 7) {
            if (shift >= bits) too_large(bits, what);
            if (left() == 0) invalid_file(path_, std::string("ends inside ") + what);
            const unsigned byte = data_[offset_++];
            value |= std::uint64_t{byte & 0x7fu} << shift;
            if ((byte & 0x80u) == 0) break;
        }
        if ((value >> bits) != 0) too_large(bits, what);
        return value;
    }

private:
    [[noreturn]] void too_large(int bits, const char* what) {
        invalid_file(path_, std::string("has ") + what + " that does not fit " + std::to_string(bits) + " bits");
    }

    const unsigned char* data_;
    std::size_t size_;
    std::size_t offset_ = 0;
    const std::string& path_;
};

}  // namespace

std::string network_compact_bytes(const Network& net) {
    check_savable(net);
    const std::int32_t n = net.node_count;
    // The allowed pairs, unless a connection that a model file would keep lies outside them.
    bool file_pairs = false;
    for_each_pair(n, net.inputs, net.outputs, net.recurrent, true, [&](std::int32_t s, std::int32_t t) {
        if (!file_pairs && net.has_connection(s, t) && !net.allowed(s, t)) file_pairs = true;
    });
    const std::int64_t pairs = pair_count(n, net.inputs, net.outputs, net.recurrent, file_pairs);
    std::int64_t count = 0;
    std::int64_t gap_bytes = 0;
    std::int64_t index = 0;
    std::int64_t next = 0;  // the index after the previous connection
    for_each_pair(n, net.inputs, net.outputs, net.recurrent, file_pairs, [&](std::int32_t s, std::int32_t t) {
        if (net.has_connection(s, t)) {
            ++count;
            gap_bytes += varint_size(static_cast<std::uint64_t>(index - next));
            next = index + 1;
        }
        ++index;
    });
    const std::int64_t mask_bytes = (pairs + 7) / 8;
    const bool gaps = varint_size(static_cast<std::uint64_t>(count)) + gap_bytes < mask_bytes;

    std::string out;
    out.reserve(static_cast<std::size_t>(16 + 9 * std::int64_t{n} + (gaps ? gap_bytes + 5 : mask_bytes) + 8 * count));
    put_varint(out, static_cast<std::uint64_t>(n));
    put_varint(out, static_cast<std::uint64_t>(net.inputs));
    put_varint(out, static_cast<std::uint64_t>(net.outputs));
    out.push_back(static_cast<char>((net.recurrent ? flag_recurrent : 0u) | (file_pairs ? flag_file_pairs : 0u) |
                                    (gaps ? flag_gaps : 0u)));
    for (std::int32_t i = 0; i < n; ++i) put_f64(out, net.biases[i]);
    for (std::int32_t i = 0; i < n; ++i) put_varint(out, static_cast<std::uint32_t>(net.activations[i]));
    if (gaps) {
        put_varint(out, static_cast<std::uint64_t>(count));
        index = 0;
        next = 0;
        for_each_pair(n, net.inputs, net.outputs, net.recurrent, file_pairs, [&](std::int32_t s, std::int32_t t) {
            if (net.has_connection(s, t)) {
                put_varint(out, static_cast<std::uint64_t>(index - next));
                next = index + 1;
            }
            ++index;
        });
    } else {
        const std::size_t mask_at = out.size();
        out.append(static_cast<std::size_t>(mask_bytes), '\0');
        index = 0;
        for_each_pair(n, net.inputs, net.outputs, net.recurrent, file_pairs, [&](std::int32_t s, std::int32_t t) {
            if (net.has_connection(s, t))
                out[mask_at + static_cast<std::size_t>(index / 8)] |= static_cast<char>(1u << (index % 8));
            ++index;
        });
    }
    for_each_pair(n, net.inputs, net.outputs, net.recurrent, file_pairs, [&](std::int32_t s, std::int32_t t) {
        if (net.has_connection(s, t)) put_f64(out, net.weight(s, t));
    });
    return out;
}

Network network_from_compact_bytes(const unsigned char* data, std::size_t size, const std::string& path) {
    CompactReader in(data, size, path);
    const auto n = static_cast<std::int32_t>(in.varint(31, "a node count"));
    const auto inputs = static_cast<std::int32_t>(in.varint(31, "an input count"));
    const auto outputs = static_cast<std::int32_t>(in.varint(31, "an output count"));
    if (in.left() == 0) invalid_file(path, "ends inside its header");
    const unsigned flags = *in.take(1);
    if ((flags & ~known_flags) != 0) invalid_file(path, "has unknown flags " + std::to_string(flags));
    check_counts(path, n, inputs, outputs);
    const bool recurrent = (flags & flag_recurrent) != 0;
    const bool file_pairs = (flags & flag_file_pairs) != 0;

    // The node count must fit the bytes (8 for a bias, at least 1 for a code), and the memory,
    // before any table is made.
    const std::int64_t least = 9 * std::int64_t{n};
    if (static_cast<std::int64_t>(in.left()) < least)
        invalid_file(path, "ends inside its biases and activation codes (at least " + std::to_string(least) +
                               " bytes needed for " + std::to_string(n) + " nodes, " + std::to_string(in.left()) +
                               " found)");
    check_memory_for(path, n);
    Network net(inputs, outputs, recurrent);
    net.reset(n);
    const unsigned char* biases = in.take(8 * static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) net.biases[i] = get_f64(biases + 8 * static_cast<std::size_t>(i));
    for (std::int32_t i = 0; i < n; ++i)
        net.activations[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(in.varint(32, "an activation code")));

    const std::int64_t pairs = pair_count(n, inputs, outputs, recurrent, file_pairs);
    std::vector<std::int64_t> indices;  // of the connections in the pair set, increasing
    if ((flags & flag_gaps) != 0) {
        const std::uint64_t count = in.varint(63, "a connection count");
        // A gap takes a byte and a weight eight: the list cannot be longer than that allows.
        if (count > static_cast<std::uint64_t>(pairs) || count > in.left() / 9)
            invalid_file(path, "lists " + std::to_string(count) + " connections, more than its " +
                                   std::to_string(pairs) + " node pairs or its " + std::to_string(in.left()) +
                                   " bytes hold");
        indices.reserve(static_cast<std::size_t>(count));
        std::int64_t next = 0;
        for (std::uint64_t j = 0; j < count; ++j) {
            const std::uint64_t gap = in.varint(63, "a connection gap");
            if (gap >= static_cast<std::uint64_t>(pairs - next))
                invalid_file(path, "has connection " + std::to_string(j) + " beyond its " + std::to_string(pairs) +
                                       " node pairs");
            indices.push_back(next + static_cast<std::int64_t>(gap));
            next = indices.back() + 1;
        }
    } else {
        const auto mask_bytes = static_cast<std::size_t>((pairs + 7) / 8);
        if (in.left() < mask_bytes)
            invalid_file(path, "ends inside its connection bits (" + std::to_string(mask_bytes) + " bytes needed for " +
                                   std::to_string(pairs) + " node pairs, " + std::to_string(in.left()) + " found)");
        const unsigned char* mask = in.take(mask_bytes);
        if (pairs % 8 != 0 && (mask[mask_bytes - 1] >> (pairs % 8)) != 0)
            invalid_file(path, "has connection bits beyond its " + std::to_string(pairs) + " node pairs");
        for (std::int64_t index = 0; index < pairs; ++index)
            if ((mask[index / 8] >> (index % 8)) & 1u) indices.push_back(index);
    }
    const std::size_t weight_bytes = 8 * indices.size();
    if (in.left() != weight_bytes)
        invalid_file(path, std::string(in.left() < weight_bytes ? "ends inside its weights" : "goes on after its weights") +
                               " (" + std::to_string(weight_bytes) + " bytes needed for " +
                               std::to_string(indices.size()) + " connections, " + std::to_string(in.left()) +
                               " found)");
    const unsigned char* weights = in.take(weight_bytes);
    std::size_t j = 0;
    std::int64_t index = 0;
    for_each_pair(n, inputs, outputs, recurrent, file_pairs, [&](std::int32_t s, std::int32_t t) {
        if (j < indices.size() && indices[j] == index) {
            net.set_connection(s, t);
            net.weight(s, t) = get_f64(weights + 8 * j);
            ++j;
        }
        ++index;
    });
    return net;
}

}  // namespace corvane
