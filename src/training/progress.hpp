// The progress lines of the training loops and the duration format they share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "training/output.hpp"

namespace corvane {

// The codes of the `verbose` argument: 0 writes no progress line, 1 a line per batch with a
// progress bar, 2 one line per epoch; any other value a line per batch without the bar.
namespace verbosity {
inline constexpr int silent = 0;
inline constexpr int every_batch = 1;
inline constexpr int every_epoch = 2;
}  // namespace verbosity

// Nanoseconds of the monotonic clock.
std::int64_t monotonic_ns();

// "532ms", "5s", "1:05", "1:02:05", ...
std::string format_duration(double milliseconds);

// The line of an evolve batch, or "" when nothing is to be written. `elapsed_ms` is the time
// since the epoch started.
std::string epoch_progress_line(int verbose, const std::vector<std::int32_t>& monitor_codes, int size,
                                const std::vector<std::int32_t>& loss_codes, double elapsed_ms, int epoch,
                                int epochs, int batch, int batches, const std::vector<double>& sums,
                                bool has_validation, const std::vector<double>& validation);

// The line of a func_evolve epoch, or "" when nothing is to be written.
std::string function_progress_line(int verbose, const std::vector<std::int32_t>& monitor_codes, int size,
                                   double elapsed_ms, int epoch, int epochs, double loss, bool has_validation,
                                   double validation_loss);

// Write the lines above to `output` (nothing for an empty line), timing from `start_ns`.
void print_epoch_progress(const Output& output, int verbose, const std::vector<std::int32_t>& monitor_codes, int size,
                          const std::vector<std::int32_t>& loss_codes, std::int64_t start_ns, int epoch, int epochs,
                          int batch, int batches, const std::vector<double>& sums, bool has_validation,
                          const std::vector<double>& validation);
void print_function_progress(const Output& output, int verbose, const std::vector<std::int32_t>& monitor_codes, int size,
                             std::int64_t start_ns, int epoch, int epochs, double loss, bool has_validation,
                             double validation_loss);

}  // namespace corvane
