#include "scripting/ScriptNotices.h"

#include "protocol/GameProtocol.h"

namespace varn {

namespace {

struct NamedNotice {
    std::string_view name;
    std::uint8_t notice;
};
constexpr NamedNotice kJoinNotices[] = {
    {"name", notice::kNameRefused},       {"banned", notice::kBanned},         {"full", notice::kServerFull},
    {"password", notice::kWrongPassword}, {"version", notice::kWrongVersion},
};

}  // namespace

std::optional<std::uint8_t> joinNoticeNamed(std::string_view name) {
    for (const NamedNotice& named : kJoinNotices) {
        if (named.name == name) return named.notice;
    }
    return std::nullopt;
}

}  // namespace varn
