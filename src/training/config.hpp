// The names of losses, metrics, monitors and optimizers, and their codes.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvane {

// Loss codes: positions in loss_names, used for the loss and the metrics.
namespace loss {
inline constexpr std::int32_t mse = 0;
inline constexpr std::int32_t mae = 1;
inline constexpr std::int32_t mape = 2;
}  // namespace loss

inline constexpr std::string_view loss_names[] = {"mse", "mae", "mape"};
inline constexpr std::string_view monitor_names[] = {"size"};
inline constexpr std::string_view optimizer_name = "alpha";

// The code of a name (its position in the table, byte-for-byte match), or -1.
std::int32_t loss_code(std::string_view name);
std::int32_t monitor_code(std::string_view name);

// The name of a loss code; "unknown" for a code outside the table.
std::string_view loss_name(std::int32_t code);

}  // namespace corvane
