#include "html_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace cli {
namespace {

constexpr size_t kMostPoints = 1500;
constexpr int kW = 760, kH = 220, kLeft = 64, kRight = 12, kTop = 12, kBottom = 34;

std::string esc(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&quot;";
        else
            out += c;
    }
    return out;
}

std::string fmt(const char* f, double v) {
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

// A round step for an axis from 0 to top with about five ticks.
double niceStep(double top) {
    if (top <= 0) return 1;
    const double raw = top / 5, mag = std::pow(10, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * mag) return m * mag;
    return 10 * mag;
}

struct Frame {
    double x_max, y_max;
    double x(double v) const { return kLeft + (kW - kLeft - kRight) * (x_max > 0 ? v / x_max : 0); }
    double y(double v) const {
        return kTop + (kH - kTop - kBottom) * (1 - (y_max > 0 ? v / y_max : 0));
    }
};

// The SVG opening, axes, ticks and labels of one plot.
std::string axes(const Frame& f, const std::string& title, const std::string& x_label,
                 const std::string& y_label) {
    std::ostringstream o;
    o << "<svg class=\"plot\" width=\"" << kW << "\" height=\"" << kH << "\" viewBox=\"0 0 " << kW
      << ' ' << kH << "\" role=\"img\" aria-label=\"" << esc(title) << "\">\n";
    const double ys = niceStep(f.y_max), xs = niceStep(f.x_max);
    for (double v = 0; v <= f.y_max * 1.0001; v += ys)
        o << "<line class=\"grid\" x1=\"" << kLeft << "\" x2=\"" << kW - kRight << "\" y1=\""
          << fmt("%.1f", f.y(v)) << "\" y2=\"" << fmt("%.1f", f.y(v)) << "\"/><text x=\""
          << kLeft - 4 << "\" y=\"" << fmt("%.1f", f.y(v) + 4) << "\" text-anchor=\"end\">"
          << fmt("%g", v) << "</text>\n";
    for (double v = 0; f.x_max > 0 && v <= f.x_max * 1.0001; v += xs)
        o << "<text x=\"" << fmt("%.1f", f.x(v)) << "\" y=\"" << kH - kBottom + 14
          << "\" text-anchor=\"middle\">" << fmt("%g", v) << "</text>\n";
    o << "<line class=\"axis\" x1=\"" << kLeft << "\" y1=\"" << kH - kBottom << "\" x2=\""
      << kW - kRight << "\" y2=\"" << kH - kBottom << "\"/>\n"
      << "<text x=\"" << (kLeft + kW) / 2 << "\" y=\"" << kH - 4 << "\" text-anchor=\"middle\">"
      << esc(x_label) << "</text>\n<text x=\"12\" y=\"" << kH / 2 << "\" transform=\"rotate(-90 12 "
      << kH / 2 << ")\" text-anchor=\"middle\">" << esc(y_label) << "</text>\n";
    return o.str();
}

std::string polyline(const Frame& f, const std::vector<TimePoint>& pts, double TimePoint::*v,
                     const char* cls) {
    std::string out = std::string("<polyline class=\"") + cls + "\" points=\"";
    for (const TimePoint& p : pts)
        out += fmt("%.1f", f.x(p.t_s)) + "," + fmt("%.1f", f.y(p.*v / 1000)) + " ";
    return out + "\"/>\n";
}

std::string latencyOverTime(const std::vector<TimePoint>& pts) {
    double top = 0, end = 1;
    for (const TimePoint& p : pts) top = std::max(top, p.p99_us / 1000), end = std::max(end, p.t_s);
    const Frame f{end, top > 0 ? top * 1.1 : 1};
    return axes(f, "latency over time", "seconds", "latency, ms") +
           polyline(f, pts, &TimePoint::p99_us, "p99") +
           polyline(f, pts, &TimePoint::p50_us, "p50") + "</svg>\n";
}

// Bars on the bins' logarithmic grid, one slot per bin from the lowest to the
// highest that has packets: an empty bin between two bars is a gap of its width.
std::string histogram(const std::vector<std::pair<int64_t, uint64_t>>& bins, int per_decade) {
    uint64_t top = 1;
    for (const auto& b : bins) top = std::max(top, b.second);
    const int per = std::max(1, per_decade);
    const auto slotOf = [per](int64_t low) {
        return std::lround(std::log10(static_cast<double>(std::max<int64_t>(low, 1))) * per);
    };
    const long first = bins.empty() ? 0 : slotOf(bins.front().first);
    const long slots = bins.empty() ? 1 : slotOf(bins.back().first) - first + 1;
    const Frame f{static_cast<double>(slots), static_cast<double>(top) * 1.1};
    std::ostringstream o;
    o << axes(Frame{0, f.y_max}, "latency histogram", "latency, ms (lower bound of each bin)",
              "packets");
    const double w = (kW - kLeft - kRight) / static_cast<double>(slots);
    for (const auto& [low, count] : bins) {
        const double i = static_cast<double>(slotOf(low) - first);
        const double y = f.y(static_cast<double>(count));
        o << "<rect class=\"bar\" x=\"" << fmt("%.1f", kLeft + w * i + 1) << "\" y=\""
          << fmt("%.1f", y) << "\" width=\"" << fmt("%.1f", std::max(1.0, w - 2)) << "\" height=\""
          << fmt("%.1f", kH - kBottom - y) << "\"><title>"
          << fmt("%.3f ms", static_cast<double>(low) / 1e6) << ": " << count << "</title></rect>\n";
    }
    // Labels under slots, about eight of them, empty bins' included.
    const long every = slots <= 12 ? 1 : slots / 8 + 1;
    for (long i = 0; !bins.empty() && i < slots; i += every)
        o << "<text x=\"" << fmt("%.1f", kLeft + w * (static_cast<double>(i) + 0.5)) << "\" y=\""
          << kH - kBottom + 14 << "\" text-anchor=\"middle\">"
          << fmt("%.3g", std::pow(10.0, static_cast<double>(first + i) / per) / 1e6) << "</text>\n";
    return o.str() + "</svg>\n";
}

uint64_t rise(uint64_t now, uint64_t before) {
    return now > before ? now - before : 0;
}

// Events each slice of the time line: lost, duplicated, reordered, as ticks.
// Counts start at 0, so the first slice's events are its counts.
std::string events(const std::vector<TimePoint>& pts) {
    double end = 1;
    uint64_t top = 1;
    const TimePoint zero;
    for (size_t i = 0; i < pts.size(); ++i) {
        const TimePoint& before = i ? pts[i - 1] : zero;
        end = std::max(end, pts[i].t_s);
        top = std::max({top, rise(pts[i].lost, before.lost),
                        rise(pts[i].duplicated, before.duplicated),
                        rise(pts[i].reordered, before.reordered)});
    }
    const Frame f{end, static_cast<double>(top) * 1.1};
    std::ostringstream o;
    o << axes(f, "events on the time line", "seconds", "events");
    const struct {
        uint64_t TimePoint::*count;
        const char* cls;
        double shift;
    } kinds[] = {{&TimePoint::lost, "lost", -2},
                 {&TimePoint::duplicated, "duplicated", 0},
                 {&TimePoint::reordered, "reordered", 2}};
    for (const auto& k : kinds)
        for (size_t i = 0; i < pts.size(); ++i) {
            const uint64_t n = rise(pts[i].*k.count, i ? pts[i - 1].*k.count : 0);
            if (n == 0) continue;
            const double x = f.x(pts[i].t_s) + k.shift;
            o << "<line class=\"" << k.cls << "\" x1=\"" << fmt("%.1f", x) << "\" x2=\""
              << fmt("%.1f", x) << "\" y1=\"" << kH - kBottom << "\" y2=\""
              << fmt("%.1f", f.y(static_cast<double>(n))) << "\"/>\n";
        }
    return o.str() + "</svg>\n";
}

std::string figuresTable(const measure::Figures& f) {
    const measure::Latency& l = f.latency;
    const std::pair<const char*, std::string> rows[] = {
        {"sent", std::to_string(f.sent)},
        {"received", std::to_string(f.received)},
        {"lost", std::to_string(f.lost)},
        {"duplicated", std::to_string(f.duplicated)},
        {"reordered", std::to_string(f.reordered)},
        {"corrupt", std::to_string(f.corrupt)},
        {"skipped bytes", std::to_string(f.skipped_bytes)},
        {"late", std::to_string(f.late)},
        {"latency min / mean / p50 / p90 / p99 / max, ms",
         fmt("%.3f", l.min_us / 1e3) + " / " + fmt("%.3f", l.mean_us / 1e3) + " / " +
             fmt("%.3f", l.p50_us / 1e3) + " / " + fmt("%.3f", l.p90_us / 1e3) + " / " +
             fmt("%.3f", l.p99_us / 1e3) + " / " + fmt("%.3f", l.max_us / 1e3)},
        {"jitter, ms", fmt("%.3f", f.jitter_us / 1e3)},
        {"rate sent / received, packets/s",
         fmt("%.1f", f.send_rate) + " / " + fmt("%.1f", f.receive_rate)}};
    std::string out = "<table class=\"figures\">\n";
    for (const auto& [k, v] : rows)
        out += "<tr><th>" + std::string(k) + "</th><td>" + v + "</td></tr>\n";
    return out + "</table>\n";
}

}  // namespace

std::vector<TimePoint> thin(const std::vector<TimePoint>& points, size_t most) {
    if (points.size() <= most || most == 0) return points;
    std::vector<TimePoint> out;
    const size_t per = (points.size() + most - 1) / most;
    for (size_t i = 0; i < points.size(); i += per) {
        const size_t end = std::min(points.size(), i + per);
        TimePoint p = points[end - 1];  // counts so far at the slice's end
        for (size_t k = i; k < end; ++k) {
            p.p99_us = std::max(p.p99_us, points[k].p99_us);
            p.p50_us = std::max(p.p50_us, points[k].p50_us);
        }
        out.push_back(p);
    }
    return out;
}

std::string htmlEscape(const std::string& s) {
    return esc(s);
}

std::string xyPlot(const std::string& title, const std::string& x_label, const std::string& y_label,
                   const std::vector<XyLine>& lines) {
    double x_top = 0, y_top = 0;
    for (const XyLine& l : lines)
        for (const auto& [x, y] : l.points) x_top = std::max(x_top, x), y_top = std::max(y_top, y);
    const Frame f{x_top > 0 ? x_top * 1.05 : 1, y_top > 0 ? y_top * 1.1 : 1};
    std::ostringstream o;
    o << axes(f, title, x_label, y_label);
    for (const XyLine& l : lines) {
        o << "<polyline class=\"" << esc(l.cls) << "\" points=\"";
        for (const auto& [x, y] : l.points)
            o << fmt("%.1f", f.x(x)) << "," << fmt("%.1f", f.y(y)) << " ";
        o << "\"/>\n";
        for (const auto& [x, y] : l.points)
            o << "<circle class=\"" << esc(l.cls) << "\" cx=\"" << fmt("%.1f", f.x(x)) << "\" cy=\""
              << fmt("%.1f", f.y(y)) << "\" r=\"2.5\"><title>" << fmt("%g", x) << ", "
              << fmt("%g", y) << "</title></circle>\n";
    }
    return o.str() + "</svg>\n";
}

std::string htmlStyle() {
    return "body{font-family:sans-serif;margin:24px;color:#222;max-width:900px}\n"
           ".verdict{font-size:28px;font-weight:bold;padding:8px 16px;display:inline-block;"
           "border-radius:8px;color:#fff}\n"
           ".pass{background:#3c9a3c}.fail{background:#b43030}.interrupted{background:#b08020}\n"
           "table{border-collapse:collapse;margin:8px 0 16px}th,td{text-align:left;padding:2px "
           "12px 2px 0;font-size:14px}th{font-weight:normal;color:#555}\n"
           "svg.plot{display:block;margin:4px 0 18px;font-size:11px}\n"
           "svg text{fill:#444}.grid{stroke:#e4e4e4}.axis{stroke:#888}\n"
           "polyline{fill:none;stroke-width:1.5}.p50{stroke:#3a7bd5}.p99{stroke:#d58a3a}\n"
           ".bar{fill:#3a7bd5}.lost{stroke:#b43030;stroke-width:2}"
           ".duplicated{stroke:#7a3ab4;stroke-width:2}.reordered{stroke:#d58a3a;stroke-width:2}\n"
           ".key span{display:inline-block;width:12px;height:3px;margin:0 4px 3px 12px}\n"
           "polyline.limit{stroke:#888;stroke-dasharray:4 3}polyline.found{stroke:#3c9a3c}"
           "polyline.max{stroke:#7a3ab4}circle{stroke:none}circle.p50{fill:#3a7bd5}"
           "circle.p99{fill:#d58a3a}circle.found{fill:#3c9a3c}circle.limit{fill:#888}"
           "circle.lost{fill:#b43030}circle.max{fill:#7a3ab4}\n";
}

std::string htmlReport(const HtmlInput& in) {
    std::ostringstream o;
    o << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<title>convbench report: " << esc(in.verdict) << "</title>\n<style>\n"
      << htmlStyle() << "</style>\n</head>\n<body>\n<h1>convbench report</h1>\n"
      << "<p><span class=\"verdict " << esc(in.verdict) << "\">" << esc(in.verdict)
      << "</span> &nbsp; started " << esc(in.started_at) << ", ran " << fmt("%.1f", in.elapsed_s)
      << " s</p>\n";
    if (!in.failures.empty() || !in.warnings.empty()) {
        o << "<ul>\n";
        for (const auto& f : in.failures) o << "<li><b>fail</b>: " << esc(f) << "</li>\n";
        for (const auto& w : in.warnings) o << "<li>note: " << esc(w) << "</li>\n";
        o << "</ul>\n";
    }
    o << "<h2>Options</h2>\n<table>\n";
    for (const auto& [k, v] : in.options)
        o << "<tr><th>" << esc(k) << "</th><td>" << esc(v) << "</td></tr>\n";
    o << "</table>\n";
    for (const HtmlSeries& s : in.series) {
        const std::vector<TimePoint> pts = thin(s.points, kMostPoints);
        o << "<h2>" << esc(s.name) << "</h2>\n"
          << figuresTable(s.figures)
          << "<h3>Latency over time</h3>\n<p class=\"key\"><span style=\"background:#3a7bd5\">"
             "</span>p50<span style=\"background:#d58a3a\"></span>p99 (each second)</p>\n"
          << latencyOverTime(pts) << "<h3>Latency histogram</h3>\n"
          << histogram(s.latency, s.per_decade)
          << "<h3>Events</h3>\n<p class=\"key\"><span style=\"background:#b43030\"></span>lost"
             "<span style=\"background:#7a3ab4\"></span>duplicated<span "
             "style=\"background:#d58a3a\"></span>reordered (per second)</p>\n"
          << events(pts);
    }
    // Counts the plots the browser drew into the body's data-plots-drawn, for checks.
    o << "<script>\n(function () {\n  var n = 0;\n"
         "  document.querySelectorAll('svg.plot').forEach(function (s) {\n"
         "    var b = s.getBBox();\n"
         "    if (b.width > 0 && b.height > 0 && s.querySelector('polyline,rect,line')) n++;\n"
         "  });\n  document.body.setAttribute('data-plots-drawn', n);\n})();\n</script>\n"
      << "</body>\n</html>\n";
    return o.str();
}

}  // namespace cli
