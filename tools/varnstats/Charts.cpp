#include "Charts.h"

#include <algorithm>
#include <cstdio>

#include "Calendar.h"
#include "Html.h"

namespace varnstats {

namespace {

constexpr double kWidth = 720;
constexpr double kLeft = 44;
constexpr double kRight = 12;
constexpr double kTop = 12;
constexpr double kBottom = 30;
constexpr double kWidestBar = 40;
constexpr const char* kInk = "#1f5fa8";
constexpr const char* kGrid = "#d5dbe3";
constexpr const char* kText = "#38414d";

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string tenthsText(std::int64_t tenths) {
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

template <typename Points>
bool allZero(const Points& points) {
    return std::all_of(points.begin(), points.end(), [](const auto& point) { return point.value == 0; });
}

std::string noData(const std::string& sentence) {
    return "<p class=\"no-data\">" + escapeHtml(sentence) + "</p>";
}

std::string svgOpen(double height, const std::string& label) {
    return "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " + number(kWidth) + " " +
           number(height) + "\" role=\"img\" aria-label=\"" + escapeHtml(label) + "\"><title>" +
           escapeHtml(label) + "</title>";
}

std::string text(double x, double y, const std::string& content, const char* anchor = "middle") {
    return "<text x=\"" + number(x) + "\" y=\"" + number(y) + "\" text-anchor=\"" + anchor + "\" fill=\"" +
           kText + "\" font-size=\"11\">" + escapeHtml(content) + "</text>";
}

std::string line(double x1, double y1, double x2, double y2, const char* colour) {
    return "<line x1=\"" + number(x1) + "\" y1=\"" + number(y1) + "\" x2=\"" + number(x2) + "\" y2=\"" +
           number(y2) + "\" stroke=\"" + colour + "\" stroke-width=\"1\"/>";
}

// Horizontal grid lines with their values at 0, half and the top of the scale.
std::string valueAxis(std::int64_t top, double plotTop, double plotBottom) {
    std::string svg;
    for (const std::int64_t value : {std::int64_t{0}, top / 2, top}) {
        if (value == top / 2 && (top / 2 == 0 || top / 2 == top)) continue;
        const double y =
            plotBottom - (plotBottom - plotTop) * static_cast<double>(value) / static_cast<double>(top);
        svg += line(kLeft, y, kWidth - kRight, y, kGrid);
        svg += text(kLeft - 6, y + 4, std::to_string(value), "end");
    }
    return svg;
}

// Even steps of label positions over count items, about wanted of them.
std::size_t labelStep(std::size_t count, std::size_t wanted) {
    return std::max<std::size_t>(1, (count + wanted - 1) / wanted);
}

// From light grey-blue (nothing) to the ink colour (the most).
std::string shade(std::int64_t value, std::int64_t most) {
    const double share = most > 0 ? static_cast<double>(value) / static_cast<double>(most) : 0;
    const auto mix = [share](int from, int to) { return static_cast<int>(from + (to - from) * share + 0.5); };
    char colour[16];
    std::snprintf(colour, sizeof colour, "#%02x%02x%02x", mix(0xee, 0x1f), mix(0xf2, 0x5f), mix(0xf7, 0xa8));
    return colour;
}

}  // namespace

std::string onlineChart(const std::vector<TimeSeriesPoint>& points, std::int64_t interval) {
    constexpr double kHeight = 240;
    if (allZero(points)) return noData("No player was on the server in this time.");
    std::string svg = svgOpen(kHeight, "Players online over time");
    std::int64_t most = 1;
    for (const TimeSeriesPoint& point : points) most = std::max(most, point.value);
    const double plotBottom = kHeight - kBottom;
    const double step = (kWidth - kLeft - kRight) / static_cast<double>(points.size());
    const auto yOf = [&](std::int64_t value) {
        return plotBottom - (plotBottom - kTop) * static_cast<double>(value) / static_cast<double>(most);
    };
    svg += valueAxis(most, kTop, plotBottom);
    std::string outline = "M" + number(kLeft) + "," + number(plotBottom);
    for (std::size_t index = 0; index < points.size(); ++index) {
        const double x = kLeft + step * static_cast<double>(index);
        outline += " L" + number(x) + "," + number(yOf(points[index].value)) + " L" + number(x + step) + "," +
                   number(yOf(points[index].value));
    }
    outline +=
        " L" + number(kLeft + step * static_cast<double>(points.size())) + "," + number(plotBottom) + " Z";
    svg += "<path d=\"" + outline + "\" fill=\"#c9d9ee\" stroke=\"" + kInk + "\" stroke-width=\"1.5\"/>";
    const bool byDay = interval >= kMillisecondsPerHour;
    const std::size_t every = labelStep(points.size(), 6);
    for (std::size_t index = 0; index < points.size(); index += every) {
        const double x = kLeft + step * static_cast<double>(index);
        svg += line(x, plotBottom, x, plotBottom + 4, kText);
        // Without the year: the labels stay short enough not to run into each other.
        svg += text(x, kHeight - 10,
                    byDay ? formatDate(points[index].start) : formatDateTime(points[index].start).substr(5),
                    index == 0 ? "start" : "middle");
    }
    return svg + "</svg>";
}

std::string weekHeatMap(const std::array<std::array<std::int64_t, 24>, 7>& tenths,
                        const std::array<std::array<bool, 24>, 7>& covered) {
    static constexpr const char* kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    constexpr double kCellWidth = (kWidth - kLeft - kRight) / 24;
    constexpr double kCellHeight = 24;
    constexpr double kHeight = kTop + 20 + 7 * kCellHeight + 4;
    std::int64_t most = 0;
    for (const auto& day : tenths) {
        for (const std::int64_t value : day) most = std::max(most, value);
    }
    if (most == 0) return noData("No player time in the data yet.");
    std::string svg = svgOpen(kHeight, "Busiest hours of the week (UTC)");
    for (int hour = 0; hour < 24; hour += 3) {
        char label[8];
        std::snprintf(label, sizeof label, "%02d", hour);
        svg += text(kLeft + kCellWidth * hour + kCellWidth / 2, kTop + 10, label);
    }
    for (std::size_t day = 0; day < 7; ++day) {
        const double y = kTop + 20 + kCellHeight * static_cast<double>(day);
        svg += text(kLeft - 6, y + kCellHeight / 2 + 4, kDays[day], "end");
        for (std::size_t hour = 0; hour < 24; ++hour) {
            const std::int64_t value = tenths[day][hour];
            char span[32];
            std::snprintf(span, sizeof span, "%02zu:00-%02zu:00", hour, (hour + 1) % 24);
            if (!covered[day][hour]) {
                svg += "<rect x=\"" + number(kLeft + kCellWidth * static_cast<double>(hour)) + "\" y=\"" +
                       number(y) + "\" width=\"" + number(kCellWidth - 2) + "\" height=\"" +
                       number(kCellHeight - 2) + "\" fill=\"#fff\" stroke=\"" + kGrid +
                       "\" stroke-dasharray=\"3 2\" data-day=\"" + std::to_string(day) + "\" data-hour=\"" +
                       std::to_string(hour) + "\" data-covered=\"no\"><title>" + kDays[day] + " " + span +
                       " UTC: not in the data</title></rect>";
                continue;
            }
            svg += "<rect x=\"" + number(kLeft + kCellWidth * static_cast<double>(hour)) + "\" y=\"" +
                   number(y) + "\" width=\"" + number(kCellWidth - 2) + "\" height=\"" +
                   number(kCellHeight - 2) + "\" fill=\"" + shade(value, most) + "\" data-day=\"" +
                   std::to_string(day) + "\" data-hour=\"" + std::to_string(hour) + "\" data-tenths=\"" +
                   std::to_string(value) + "\"><title>" + kDays[day] + " " + span +
                   " UTC: " + tenthsText(value) + " players on average</title></rect>";
        }
    }
    return svg + "</svg>";
}

std::string dailyBars(const std::vector<TimeSeriesPoint>& days, const std::string& noun) {
    constexpr double kHeight = 200;
    if (allZero(days)) return noData("No " + noun + " in this time.");
    std::string svg = svgOpen(kHeight, "Kills per day");
    std::int64_t most = 1;
    for (const TimeSeriesPoint& day : days) most = std::max(most, day.value);
    const double plotBottom = kHeight - kBottom;
    const double step = (kWidth - kLeft - kRight) / static_cast<double>(days.size());
    svg += valueAxis(most, kTop, plotBottom);
    // A day or two of data gives bars of a day's width, not blocks the width of the page.
    const double barWidth = std::min(step * 0.8, kWidestBar);
    for (std::size_t index = 0; index < days.size(); ++index) {
        const double height =
            (plotBottom - kTop) * static_cast<double>(days[index].value) / static_cast<double>(most);
        svg += "<rect x=\"" + number(kLeft + step * (static_cast<double>(index) + 0.5) - barWidth / 2) +
               "\" y=\"" + number(plotBottom - height) + "\" width=\"" + number(barWidth) + "\" height=\"" +
               number(height) + "\" fill=\"" + kInk + "\" data-day=\"" + formatDate(days[index].start) +
               "\" data-value=\"" + std::to_string(days[index].value) + "\"><title>" +
               formatDate(days[index].start) + ": " + std::to_string(days[index].value) + " " +
               escapeHtml(noun) + "</title></rect>";
    }
    const std::size_t every = labelStep(days.size(), 6);
    for (std::size_t index = 0; index < days.size(); index += every) {
        svg += text(kLeft + step * (static_cast<double>(index) + 0.5), kHeight - 10,
                    formatDate(days[index].start).substr(5));
    }
    return svg + "</svg>";
}

std::string horizontalBars(const std::vector<std::pair<std::string, std::int64_t>>& rows,
                           const std::string& noun) {
    constexpr double kRowHeight = 26;
    constexpr double kLabelWidth = 150;
    if (std::all_of(rows.begin(), rows.end(), [](const auto& row) { return row.second == 0; }))
        return noData("No " + noun + " yet.");
    const double height = kTop + kRowHeight * static_cast<double>(rows.size()) + 6;
    std::string svg = svgOpen(height, "Top ten by " + noun);
    std::int64_t most = 1;
    for (const auto& row : rows) most = std::max(most, row.second);
    const double barSpace = kWidth - kLabelWidth - kRight - 50;
    for (std::size_t index = 0; index < rows.size(); ++index) {
        const double y = kTop + kRowHeight * static_cast<double>(index);
        const double width = barSpace * static_cast<double>(rows[index].second) / static_cast<double>(most);
        svg += text(kLabelWidth - 8, y + 16, rows[index].first, "end");
        svg += "<rect x=\"" + number(kLabelWidth) + "\" y=\"" + number(y + 3) + "\" width=\"" +
               number(width) + "\" height=\"" + number(kRowHeight - 8) + "\" fill=\"" + kInk + "\"/>";
        svg += text(kLabelWidth + width + 6, y + 16, std::to_string(rows[index].second), "start");
    }
    return svg + "</svg>";
}

}  // namespace varnstats
