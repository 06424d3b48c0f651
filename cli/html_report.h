// One self-contained HTML file with the run's verdict, options and figures and,
// per measured direction, plots drawn as inline SVG: latency over time (p50 and
// p99 each second), the latency histogram, and loss, duplicate and reorder
// events on the time line. Nothing is fetched; long runs are thinned so the
// file stays small (a day at one point a second stays well under 5 MB).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "direction.h"

namespace cli {

// The figures of one direction at time t_s since the start (counts so far).
struct TimePoint {
    double t_s = 0;
    double p50_us = 0, p99_us = 0;
    uint64_t lost = 0, duplicated = 0, reordered = 0;
};

struct HtmlSeries {
    std::string name;  // "e2u", "ch2 u2e", ...
    measure::Figures figures;
    std::vector<TimePoint> points;                      // one a second, in time order
    std::vector<std::pair<int64_t, uint64_t>> latency;  // histogram bins: (lower bound ns, count)
    int per_decade = 10;  // the bins' grid (Direction::latencyBins), so empty ones show as gaps
};

struct HtmlInput {
    std::string verdict;  // "pass", "fail", "interrupted"
    std::string started_at;
    double elapsed_s = 0;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> failures, warnings;
    std::vector<HtmlSeries> series;
};

std::string htmlReport(const HtmlInput& in);

// Pieces other reports share (characterize's): the page's style sheet, text
// made safe for HTML, and a plot of y against x, each line a CSS class
// (p50, p99, bar colours, "limit" dashed, "found") with a dot at every point.
struct XyLine {
    std::string cls;
    std::vector<std::pair<double, double>> points;  // in x order
};
std::string htmlStyle();
std::string htmlEscape(const std::string& s);
std::string xyPlot(const std::string& title, const std::string& x_label,
                   const std::string& y_label, const std::vector<XyLine>& lines);

// The points thinned to at most `most`, keeping each slice's highest p99 and
// the counts at its end, so no spike and no event disappears.
std::vector<TimePoint> thin(const std::vector<TimePoint>& points, size_t most);

}  // namespace cli
