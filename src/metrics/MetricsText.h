#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varn {

// Writes the Prometheus text exposition format (version 0.0.4): each family once, as its HELP and
// TYPE lines followed by its samples. A name given a second time is refused, with its samples, so a
// scrape never shows one family twice. Label values are escaped as the format requires.
class MetricsText {
public:
    enum class Type : std::uint8_t { Counter, Gauge, Histogram };

    struct Label {
        std::string_view name;
        std::string_view value;
    };

    // Starts a family; false (and the samples up to the next family are dropped) when the name
    // was given before.
    bool family(std::string_view name, Type type, std::string_view help);
    // A sample of the current family, with at most one label.
    void sample(std::uint64_t value);
    void sample(Label label, std::uint64_t value);
    void sample(double value);
    void sample(Label label, double value);
    // The current family's histogram: counts per bucket (not cumulative, one more than bounds for
    // +Inf), and the sum of what was observed, in the family's unit.
    void histogram(std::span<const double> upperBounds, std::span<const std::uint64_t> bucketCounts, double sum);

    const std::string& text() const { return text_; }

    // Backslash, double quote and line feed escaped.
    static void appendLabelValue(std::string& out, std::string_view value);
    // The server's name as a label shows: bytes outside 0x20..0x7E become '?'.
    static std::string printable(std::string_view text);

private:
    void beginSample(std::string_view suffix, const Label* label);
    void appendValue(std::uint64_t value);
    void appendValue(double value);

    std::string text_;
    std::vector<std::string> names_;
    std::string current_;
    bool accepting_ = false;
};

}  // namespace varn
