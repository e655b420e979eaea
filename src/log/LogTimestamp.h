#pragma once

// The time stamp that begins each line of the log file with LogTimestamps 1, read back by varnstats
// (through protocol/LogVocabulary.h). Header only and without dependencies, so tools can use it.

#include <cstddef>
#include <string_view>

namespace varn::logvocabulary {

// "2026-12-10T12:00:00.123Z" (UTC, milliseconds) and a space; every '0' of the shape is a digit.
inline constexpr std::string_view kTimestampShape = "0000-00-00T00:00:00.000Z";
inline constexpr std::size_t kTimestampLength = kTimestampShape.size();
inline constexpr const char* kTimestampFormat = "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ";

}  // namespace varn::logvocabulary
