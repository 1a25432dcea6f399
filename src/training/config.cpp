#include "training/config.hpp"

#include <span>

namespace corvane {
namespace {

// The position of `name` in `table`, or -1. Names match only when byte-for-byte equal.
std::int32_t index_of(std::span<const std::string_view> table, std::string_view name) {
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i] == name) return static_cast<std::int32_t>(i);
    return -1;
}

}  // namespace

std::int32_t loss_code(std::string_view name) { return index_of(loss_names, name); }

std::int32_t monitor_code(std::string_view name) { return index_of(monitor_names, name); }

std::string_view loss_name(std::int32_t code) {
    constexpr auto count = static_cast<std::int32_t>(std::size(loss_names));
    return code >= 0 && code < count ? loss_names[code] : std::string_view("unknown");
}

}  // namespace corvane
