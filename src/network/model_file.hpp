// The model file: a little-endian packed header, biases, codes and connection records.
//
//   offset 0      int32    node count n
//   offset 4      int32    inputs I
//   offset 8      int32    outputs O
//   offset 12     uint8    recurrent flag (written 0 or 1, read as recurrent when not 0)
//   offset 13     n float64 biases, then n int32 activation codes
//   offset 13+12n 16-byte records (int32 source, int32 target, float64 weight) to the end of file
//
// Feed-forward networks write only the records s < t; recurrent ones write every set bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "network/network.hpp"

namespace corvane {

inline constexpr std::int64_t file_header_size = 13;
inline constexpr std::int64_t file_node_size = 12;    // one bias and one code
inline constexpr std::int64_t file_record_size = 16;  // source, target, weight

// Writes the file. An existing regular file at `path` is replaced only once the new content is
// complete (through a temporary file in the same folder renamed over it). Throws file_error on
// any failed system call and value_error for a network whose counts no file could hold.
void write_network(const Network& network, const std::string& path);

// Reads a file into a new network (state zero). Throws file_error when
// the file cannot be opened or read and value_error when its content is not a model file.
Network read_network(const std::string& path);

// The content of the file for `network`, in memory (what pickling carries). Throws value_error
// for a network whose counts no file could hold.
std::string network_bytes(const Network& network);

// Reads a file's content from memory, with the errors of read_network; `name` stands for the
// path in their messages.
Network network_from_bytes(const unsigned char* data, std::size_t size, const std::string& name);

}  // namespace corvane
