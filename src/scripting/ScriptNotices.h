#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace varn {

// The notice a script names to refuse a join: "name", "banned", "full", "password" or "version".
std::optional<std::uint8_t> joinNoticeNamed(std::string_view name);

}  // namespace varn
