#include "training/progress.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <charconv>

#include "training/config.hpp"

namespace corvane {
namespace {

// The "%f" text of a value: six decimals; "inf" and "nan" as the C library writes them.
std::string fixed(double value) {
    char text[400];  // room for the six decimals of the largest double
    const std::to_chars_result end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
    return std::string(text, end.ptr);
}

// The 30 characters of the bar after k of nb batches: "=" for the part done, at most one ">".
std::string progress_bar(int k, int nb) {
    const double done = static_cast<double>(k) / nb;
    std::string bar;
    for (int i = 0; i < 30; ++i) {
        if (done > i / 30.0)
            bar += '=';
        else if (done > (i - 1) / 30.0)
            bar += '>';
        else
            bar += '.';
    }
    return bar;
}

// " - loss*: 0.123457 - mae*: 0.250000": the means of the sums over k batches.
std::string loss_fields(const std::vector<std::int32_t>& loss_codes, const std::vector<double>& values,
                        const std::string& prefix, const std::string& mark, double divisor) {
    std::string text;
    const std::size_t count = std::min(loss_codes.size(), values.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = i == 0 ? std::string("loss") : std::string(loss_name(loss_codes[i]));
        text += " - " + prefix + name + mark + ": " + fixed(values[i] / divisor);
    }
    return text;
}

std::string size_field(const std::vector<std::int32_t>& monitor_codes, int size) {
    return monitor_codes.empty() ? std::string() : " - size: " + std::to_string(size);
}

double elapsed_since(std::int64_t start_ns) { return static_cast<double>(monotonic_ns() - start_ns) / 1e6; }

void write_line(const Output& output, const std::string& line) {
    if (!line.empty()) output(line);
}

}  // namespace

std::int64_t monotonic_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string format_duration(double t) {
    // Times come from a monotonic clock; anything else is shown as no time rather than
    // converted to int out of range.
    if (!(t >= 0.0) || t > 1e15) t = 0.0;
    std::string text;
    const int h = static_cast<int>(std::floor(t / 1000 / 60 / 60));
    if (h > 0) text += std::to_string(h) + ":";
    t = t - h * 1000.0 * 60 * 60;
    const int m = static_cast<int>(std::floor(t / 1000 / 60));
    if (m > 0) {
        if (h > 0 && m < 10) text += '0';
        text += std::to_string(m);
        text += ':';
    }
    t = t - m * 1000.0 * 60;
    const int s = static_cast<int>(std::floor(t / 1000));
    if (s > 0) {
        if ((h > 0 || m > 0) && s < 10) text += '0';
        text += std::to_string(s);
    }
    if (h == 0 && m == 0) {
        if (s != 0)
            text += 's';
        else
            text += std::to_string(static_cast<int>(t)) + "ms";
    }
    return text;
}

std::string epoch_progress_line(int verbose, const std::vector<std::int32_t>& monitor_codes, int size,
                                const std::vector<std::int32_t>& loss_codes, double elapsed_ms, int epoch,
                                int epochs, int batch, int batches, const std::vector<double>& sums,
                                bool has_validation, const std::vector<double>& validation) {
    const int k = batch + 1;
    const bool epoch_end = k == batches;
    if (verbose == verbosity::silent || (verbose == verbosity::every_epoch && !epoch_end)) return "";
    const double t = elapsed_ms;
    std::string line = "\rEpoch " + std::to_string(epoch + 1) + "/" + std::to_string(epochs);
    if (verbose == verbosity::every_batch)
        line += " - " + std::to_string(k) + "/" + std::to_string(batches) + " [" + progress_bar(k, batches) + "]";
    line += " - ";
    if (epoch_end) {
        line += format_duration(t);
        if (verbose == verbosity::every_batch)
            line.append(" ").append(format_duration(t / (batches + 1))).append("/step");
    } else {
        line.append("ETA: ").append(format_duration(t / k * batches - t));
    }
    line += loss_fields(loss_codes, sums, "", batches > 1 ? "*" : "", k);
    if (has_validation) line += loss_fields(loss_codes, validation, "val_", "", 1.0);
    line += size_field(monitor_codes, size);
    if (epoch_end) line += "\n";
    return line;
}

std::string function_progress_line(int verbose, const std::vector<std::int32_t>& monitor_codes, int size,
                                   double elapsed_ms, int epoch, int epochs, double loss, bool has_validation,
                                   double validation_loss) {
    if (verbose == verbosity::silent) return "";
    std::string line = "\rEpoch " + std::to_string(epoch + 1) + "/" + std::to_string(epochs) + " - " +
                       format_duration(elapsed_ms) + " - loss: " + fixed(loss);
    if (has_validation) line += " - val_loss: " + fixed(validation_loss);
    line += size_field(monitor_codes, size);
    return line + "\n";
}

void print_epoch_progress(const Output& output, int verbose, const std::vector<std::int32_t>& monitor_codes, int size,
                          const std::vector<std::int32_t>& loss_codes, std::int64_t start_ns, int epoch, int epochs,
                          int batch, int batches, const std::vector<double>& sums, bool has_validation,
                          const std::vector<double>& validation) {
    write_line(output, epoch_progress_line(verbose, monitor_codes, size, loss_codes, elapsed_since(start_ns), epoch, epochs,
                                   batch, batches, sums, has_validation, validation));
}

void print_function_progress(const Output& output, int verbose, const std::vector<std::int32_t>& monitor_codes, int size,
                             std::int64_t start_ns, int epoch, int epochs, double loss, bool has_validation,
                             double validation_loss) {
    write_line(output, function_progress_line(verbose, monitor_codes, size, elapsed_since(start_ns), epoch, epochs, loss,
                                      has_validation, validation_loss));
}

}  // namespace corvane
