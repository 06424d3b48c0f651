// The characterisation's reports: JSON (every trial), HTML with plots, and
// the one-page data sheet.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <sstream>

#include "characterize.h"
#include "html_report.h"
#include "report.h"

namespace cli {
namespace {

using Json = nlohmann::ordered_json;

// A figure: its value, or null and the reason.
Json findingJson(const Finding& f) {
    Json j{{"known", f.known}, {"value", nullptr}};
    if (f.known) j["value"] = f.value;
    if (!f.note.empty()) j["note"] = f.note;
    return j;
}

Json trialJson(const Trial& t, int size) {
    const measure::Figures& f = t.figures;
    Json j{{"kind", t.kind},
           {"load_pct", t.load_pct},
           {"rate_pps", t.rate_pps},
           {"count", t.count},
           {"sent", f.sent},
           {"received", f.received},
           {"lost", f.lost},
           {"corrupt", f.corrupt},
           {"duplicated", f.duplicated},
           {"reordered", f.reordered},
           {"late", f.late},
           {"not_sent", f.not_sent},
           {"latency_ms", Json{{"min", f.latency.min_us / 1e3},
                               {"p50", f.latency.p50_us / 1e3},
                               {"p99", f.latency.p99_us / 1e3},
                               {"max", f.latency.max_us / 1e3},
                               {"mean", f.latency.mean_us / 1e3}}},
           {"offered_bytes_per_s", t.offered_Bps},
           {"delivered_bytes_per_s", t.delivered_Bps},
           {"offered_bytes", static_cast<double>(f.sent) * size},
           {"line_utilisation", t.utilisation},
           {"sending_s", t.elapsed_s},
           {"residual_wait_ms", t.residual_wait_ms},
           {"tester_longest_stall_ms", f.tester.longest_stall_ms},
           {"lossless", t.lossless},
           {"held_up", t.held_up},
           {"interrupted", t.interrupted},
           {"attempt", t.attempt}};
    if (!t.error.empty()) j["error"] = validUtf8(t.error);
    return j;
}

double throughputBps(const SizeResult& s) {
    return s.throughput_pct.known ? s.throughput_pct.value / 100 * s.line_Bps : 0;
}

std::string findingText(const Finding& f, const char* format, double scale = 1) {
    return f.known ? fmt(format, f.value * scale) : "inconclusive";
}

}  // namespace

std::string charzJson(const CharzResult& r) {
    const CharzOptions& o = r.options;
    Json j;
    j["schema"] = kCharacterizeSchema;
    j["tool"] = "convbench-cli characterize";
    j["started_at"] = r.started_at;
    j["elapsed_s"] = r.elapsed_s;
    j["interrupted"] = r.interrupted;
    j["options"] = Json{{"trial_s", o.trial_s},
                        {"resolution_pct", o.resolution_pct},
                        {"settle_ms", o.settle_ms},
                        {"latency_bound_ms", o.latency_bound_ms},
                        {"tester_stall_ms", o.tester_stall_ms},
                        {"retries", o.retries},
                        {"burst_max_bytes", o.burst_max_bytes},
                        {"sizes", o.sizes},
                        {"simulate", o.simulate}};
    Json channels = Json::array();
    for (const ChannelCharz& c : r.channels) {
        const Channel& ch = c.channel;
        Json cj{{"name", validUtf8(ch.name)},
                {"port", validUtf8(ch.port)},
                {"transport", traffic::transportName(ch.transport)},
                {"address", validUtf8(ch.address())},
                {"listen", ch.listen_port},
                {"baud", ch.baud},
                {"line_rate_bytes_per_s", lineBytesPerSecond(ch)}};
        if (!c.error.empty()) cj["error"] = validUtf8(c.error);
        Json results = Json::array();
        for (const SizeResult& s : c.results) {
            Json loss = Json::array(), latency = Json::array(), trials = Json::array();
            for (const LoadPoint& p : s.loss)
                loss.push_back(
                    Json{{"load_pct", p.load_pct}, {"loss_ratio", findingJson(p.loss_ratio)}});
            for (const LoadPoint& p : s.latency)
                latency.push_back(Json{{"load_pct", p.load_pct},
                                       {"p50_ms", findingJson(p.p50_ms)},
                                       {"p99_ms", findingJson(p.p99_ms)},
                                       {"max_ms", findingJson(p.max_ms)}});
            for (const Trial& t : s.trials) trials.push_back(trialJson(t, s.size));
            Json tp = findingJson(s.throughput_pct);
            tp["bytes_per_s"] = s.throughput_pct.known ? Json(throughputBps(s)) : Json(nullptr);
            tp["packets_per_s"] =
                s.throughput_pct.known ? Json(throughputBps(s) / s.size) : Json(nullptr);
            tp["confirmed"] = s.confirmed;
            Json burst = findingJson(s.burst_packets);
            burst["bytes"] = s.burst_packets.known || s.burst_lower_bound
                                 ? Json(s.burst_packets.value * s.size)
                                 : Json(nullptr);
            burst["lower_bound"] = s.burst_lower_bound;
            if (s.burst_lower_bound) burst["value"] = s.burst_packets.value;
            results.push_back(Json{{"direction", s.way},
                                   {"size", s.size},
                                   {"line_rate_bytes_per_s", s.line_Bps},
                                   {"throughput", tp},
                                   {"loss", loss},
                                   {"latency", latency},
                                   {"burst", burst},
                                   {"trials", trials}});
        }
        cj["results"] = results;
        channels.push_back(cj);
    }
    j["channels"] = channels;
    return j.dump(2) + "\n";
}

std::string charzSheet(const CharzResult& r) {
    std::ostringstream o;
    o << "convbench converter data sheet\n"
      << "started " << r.started_at << ", " << fmt("%.0f", r.elapsed_s) << " s"
      << (r.interrupted ? ", INTERRUPTED: the trials done so far" : "") << "\n"
      << "trials of " << fmt("%g", r.options.trial_s) << " s, resolution "
      << fmt("%g", r.options.resolution_pct) << " % of the line rate, settle "
      << fmt("%g", r.options.settle_ms) << " ms" << (r.options.simulate ? ", simulated" : "")
      << "\n";
    for (const ChannelCharz& c : r.channels) {
        const Channel& ch = c.channel;
        o << "\n"
          << shown(ch.name) << ": " << shown(ch.port.empty() ? "simulated" : ch.port) << " <-> "
          << traffic::transportName(ch.transport)
          << (ch.address().empty() ? "" : " " + shown(ch.address())) << ", " << ch.baud
          << " baud, line rate " << fmt("%.0f", lineBytesPerSecond(ch)) << " bytes/s\n";
        if (!c.error.empty()) o << "  not characterised: " << shown(c.error) << "\n";
        if (c.results.empty()) continue;
        o << "  dir  size  throughput B/s   % line  burst (packets / bytes)  latency p50/p99/max "
             "ms at 10/50/90/100 %\n";
        for (const SizeResult& s : c.results) {
            std::string burst =
                s.burst_packets.known ? fmt("%.0f", s.burst_packets.value) + " / " +
                                            fmt("%.0f", s.burst_packets.value * s.size)
                : s.burst_lower_bound ? ">= " + fmt("%.0f", s.burst_packets.value) + " / " +
                                            fmt("%.0f", s.burst_packets.value * s.size)
                                      : "inconclusive";
            if (r.options.burst == false) burst = "-";
            char line[200];
            std::snprintf(
                line, sizeof line, "  %-4s %4d  %-15s %-7s %-24s", s.way.c_str(), s.size,
                s.throughput_pct.known ? fmt("%.0f", throughputBps(s)).c_str() : "inconclusive",
                findingText(s.throughput_pct, "%.1f").c_str(), burst.c_str());
            o << line;
            for (const LoadPoint& p : s.latency)
                o << " " << findingText(p.p50_ms, "%.2f") << "/" << findingText(p.p99_ms, "%.2f")
                  << "/" << findingText(p.max_ms, "%.2f");
            o << "\n";
            if (!s.loss.empty()) {
                o << "       loss at offered load:";
                for (const LoadPoint& p : s.loss)
                    o << " " << fmt("%.0f", p.load_pct)
                      << "%=" << findingText(p.loss_ratio, "%.2f%%", 100);
                o << "\n";
            }
            for (const Finding* f : {&s.throughput_pct, &s.burst_packets})
                if (!f->note.empty()) o << "       note: " << shown(f->note) << "\n";
        }
    }
    return o.str();
}

std::string charzHtml(const CharzResult& r) {
    std::ostringstream o;
    o << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      << "<title>convbench characterisation</title>\n<style>\n"
      << htmlStyle() << "pre{font-size:12px;overflow-x:auto}</style>\n</head>\n<body>\n"
      << "<h1>convbench characterisation</h1>\n<p>started " << htmlEscape(r.started_at) << ", ran "
      << fmt("%.1f", r.elapsed_s) << " s" << (r.interrupted ? ", <b>interrupted</b>" : "")
      << "</p>\n<h2>Data sheet</h2>\n<pre>" << htmlEscape(charzSheet(r)) << "</pre>\n";
    for (const ChannelCharz& c : r.channels) {
        o << "<h2>" << htmlEscape(c.channel.name) << "</h2>\n";
        // Throughput against packet size, beside the line rate, per direction.
        std::map<std::string, std::vector<const SizeResult*>> ways;
        for (const SizeResult& s : c.results) ways[s.way].push_back(&s);
        for (const auto& [way, sizes] : ways) {
            XyLine found{"found", {}}, limit{"limit", {}};
            for (const SizeResult* s : sizes) {
                limit.points.emplace_back(s->size, s->line_Bps);
                if (s->throughput_pct.known) found.points.emplace_back(s->size, throughputBps(*s));
            }
            o << "<h3>" << way << ": throughput against packet size</h3>\n"
              << "<p class=\"key\"><span style=\"background:#3c9a3c\"></span>found"
                 "<span style=\"background:#888\"></span>line rate</p>\n"
              << xyPlot(way + " throughput", "packet size, bytes", "bytes/s", {limit, found});
        }
        for (const SizeResult& s : c.results) {
            const std::string name = s.way + ", " + std::to_string(s.size) + " bytes";
            if (!s.loss.empty()) {
                XyLine loss{"lost", {}};
                for (const LoadPoint& p : s.loss)
                    if (p.loss_ratio.known)
                        loss.points.emplace_back(p.load_pct, p.loss_ratio.value * 100);
                std::sort(loss.points.begin(), loss.points.end());
                o << "<h3>" << name << ": loss against offered load</h3>\n"
                  << xyPlot(name + " loss", "offered load, % of the line rate", "lost, %", {loss});
            }
            if (!s.latency.empty()) {
                XyLine p50{"p50", {}}, p99{"p99", {}}, mx{"max", {}};
                for (const LoadPoint& p : s.latency) {
                    if (p.p50_ms.known) p50.points.emplace_back(p.load_pct, p.p50_ms.value);
                    if (p.p99_ms.known) p99.points.emplace_back(p.load_pct, p.p99_ms.value);
                    if (p.max_ms.known) mx.points.emplace_back(p.load_pct, p.max_ms.value);
                }
                o << "<h3>" << name << ": latency against load</h3>\n"
                  << "<p class=\"key\"><span style=\"background:#3a7bd5\"></span>p50<span "
                     "style=\"background:#d58a3a\"></span>p99<span "
                     "style=\"background:#7a3ab4\"></span>max</p>\n"
                  << xyPlot(name + " latency", "offered load, % of the line rate", "latency, ms",
                            {p50, p99, mx});
            }
            XyLine ok{"found", {}}, lost{"lost", {}};
            int k = 0;
            for (const Trial& t : s.trials)
                if (t.kind == "burst") {
                    ++k;
                    (t.lossless ? ok : lost).points.emplace_back(k, static_cast<double>(t.count));
                }
            if (k > 0)
                o << "<h3>" << name << ": burst search</h3>\n"
                  << "<p class=\"key\"><span style=\"background:#3c9a3c\"></span>nothing lost"
                     "<span style=\"background:#b43030\"></span>lost</p>\n"
                  << xyPlot(name + " bursts", "trial", "burst, packets", {ok, lost});
        }
    }
    o << "</body>\n</html>\n";
    return o.str();
}

}  // namespace cli
