#include "metrics/MetricsText.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

namespace varn {

namespace {

std::string_view typeName(MetricsText::Type type) {
    switch (type) {
        case MetricsText::Type::Counter: return "counter";
        case MetricsText::Type::Gauge: return "gauge";
        case MetricsText::Type::Histogram: return "histogram";
    }
    return "untyped";
}

// HELP text escapes only backslash and line feed.
void appendHelp(std::string& out, std::string_view help) {
    for (const char byte : help) {
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte == '\n') {
            out += "\\n";
        } else {
            out += byte;
        }
    }
}

// Sample values in the shortest form that reads back exactly (1e-06 is fine there).
void appendNumber(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
    } else {
        std::array<char, 32> digits{};
        const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
        out.append(digits.data(), result.ptr);
    }
}

// A bucket's bound in plain decimal ("0.00005", never "5e-05"): the le label is matched as text, so a
// query written one way must find it.
void appendBound(std::string& out, double value) {
    if (!std::isfinite(value)) {
        appendNumber(out, value);
        return;
    }
    std::array<char, 400> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::fixed);
    out.append(digits.data(), result.ptr);
}

}  // namespace

bool MetricsText::family(std::string_view name, Type type, std::string_view help) {
    accepting_ = std::find(names_.begin(), names_.end(), name) == names_.end();
    if (!accepting_) return false;
    names_.emplace_back(name);
    current_ = name;
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    appendHelp(text_, help);
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += typeName(type);
    text_ += '\n';
    return true;
}

void MetricsText::sample(std::uint64_t value) {
    if (!accepting_) return;
    beginSample({}, nullptr);
    appendValue(value);
}

void MetricsText::sample(Label label, std::uint64_t value) {
    if (!accepting_) return;
    beginSample({}, &label);
    appendValue(value);
}

void MetricsText::sample(double value) {
    if (!accepting_) return;
    beginSample({}, nullptr);
    appendValue(value);
}

void MetricsText::sample(Label label, double value) {
    if (!accepting_) return;
    beginSample({}, &label);
    appendValue(value);
}

void MetricsText::histogram(std::span<const double> upperBounds, std::span<const std::uint64_t> bucketCounts,
                            double sum) {
    if (!accepting_ || bucketCounts.size() != upperBounds.size() + 1) return;
    std::uint64_t cumulative = 0;
    std::string bound;
    for (std::size_t index = 0; index < bucketCounts.size(); ++index) {
        cumulative += bucketCounts[index];
        bound.clear();
        if (index < upperBounds.size()) {
            appendBound(bound, upperBounds[index]);
        } else {
            bound = "+Inf";
        }
        const Label le{"le", bound};
        beginSample("_bucket", &le);
        appendValue(cumulative);
    }
    beginSample("_sum", nullptr);
    appendValue(sum);
    beginSample("_count", nullptr);
    appendValue(cumulative);
}

void MetricsText::beginSample(std::string_view suffix, const Label* label) {
    text_ += current_;
    text_ += suffix;
    if (label != nullptr) {
        text_ += '{';
        text_ += label->name;
        text_ += "=\"";
        appendLabelValue(text_, label->value);
        text_ += "\"}";
    }
    text_ += ' ';
}

void MetricsText::appendValue(std::uint64_t value) {
    std::array<char, 24> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    text_.append(digits.data(), result.ptr);
    text_ += '\n';
}

void MetricsText::appendValue(double value) {
    appendNumber(text_, value);
    text_ += '\n';
}

void MetricsText::appendLabelValue(std::string& out, std::string_view value) {
    for (const char byte : value) {
        switch (byte) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            default: out += byte; break;
        }
    }
}

std::string MetricsText::printable(std::string_view text) {
    std::string shown(text);
    for (char& byte : shown) {
        const auto code = static_cast<unsigned char>(byte);
        if (code < 0x20 || code > 0x7E) byte = '?';
    }
    return shown;
}

}  // namespace varn
