#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Statistics.h"

namespace varnstats {

// SVG charts drawn into the page: no script, no file beside the page, sized by the page's width. A
// chart with nothing to show is a sentence that says so, not an empty frame.

// Players online as steps, one point per interval.
std::string onlineChart(const std::vector<TimeSeriesPoint>& points, std::int64_t interval);
// Hours of the week, Monday first, each cell an average in tenths; hours the data does not cover
// are left blank.
std::string weekHeatMap(const std::array<std::array<std::int64_t, 24>, 7>& tenths,
                        const std::array<std::array<bool, 24>, 7>& covered);
// One bar a day; noun names what is counted ("kills").
std::string dailyBars(const std::vector<TimeSeriesPoint>& days, const std::string& noun);
// Labelled horizontal bars, largest first as given; labels are escaped here.
std::string horizontalBars(const std::vector<std::pair<std::string, std::int64_t>>& rows,
                           const std::string& noun);

}  // namespace varnstats
