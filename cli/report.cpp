#include "report.h"

#include <cstdio>
#include <sstream>

namespace cli {
namespace {

std::string fmt(const char* f, double v) {
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

std::string ms(double us) { return fmt("%.3f", us / 1000.0); }

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') out += '\\', out += static_cast<char>(c);
        else if (c < 0x20) out += fmt("\\u%04x", c);
        else out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string num(double v) { return fmt("%.10g", v); }
std::string num(uint64_t v) { return std::to_string(v); }

}  // namespace

void judge(Result* r) {
    const Thresholds& t = r->options.limits;
    for (const DirectionResult& d : r->directions) {
        const measure::Figures& f = d.figures;
        auto check = [&](const char* figure, double value, double limit) {
            if (limit >= 0 && value > limit) r->failures.push_back({d.name, figure, value, limit});
        };
        if (f.sent == 0) r->failures.push_back({d.name, "sent", 0, 1});
        check("lost", static_cast<double>(f.lost), static_cast<double>(t.max_lost));
        check("duplicated", static_cast<double>(f.duplicated), static_cast<double>(t.max_duplicated));
        check("corrupt", static_cast<double>(f.corrupt), static_cast<double>(t.max_corrupt));
        check("reordered", static_cast<double>(f.reordered), static_cast<double>(t.max_reordered));
        if (f.latency.count > 0) check("latency_p99_ms", f.latency.p99_us / 1000.0, t.max_p99_ms);
        const double asked = r->options.rate;
        if (f.sent > 1 && f.send_rate < 0.95 * asked)
            r->warnings.push_back(d.name + ": sent " + fmt("%.0f", f.send_rate) + " packets/s of " +
                                  fmt("%.0f", asked) +
                                  " asked: the serial line or the converter holds the sender back");
        if (f.skipped_bytes > 0)
            r->warnings.push_back(d.name + ": " + num(f.skipped_bytes) +
                                  " bytes belonged to no packet");
    }
}

std::string summaryText(const Result& r) {
    std::ostringstream o;
    o << "convbench-cli: " << r.options.directionName() << ", " << fmt("%g", r.options.rate)
      << " packets/s, " << fmt("%.1f", r.elapsed_s) << " s"
      << (r.interrupted ? " (interrupted)" : "") << "\n";
    for (const DirectionResult& d : r.directions) {
        const measure::Figures& f = d.figures;
        o << "  " << d.name << ": sent " << f.sent << ", received " << f.received << ", lost "
          << f.lost << ", duplicated " << f.duplicated << ", reordered " << f.reordered
          << ", corrupt " << f.corrupt << ", skipped bytes " << f.skipped_bytes;
        if (f.late) o << ", late " << f.late;
        if (f.in_flight) o << ", unsettled " << f.in_flight;
        o << "\n        latency ms: min " << ms(f.latency.min_us) << "  mean "
          << ms(f.latency.mean_us) << "  p50 " << ms(f.latency.p50_us) << "  p90 "
          << ms(f.latency.p90_us) << "  p99 " << ms(f.latency.p99_us) << "  max "
          << ms(f.latency.max_us) << "  jitter " << ms(f.jitter_us) << "\n        rate /s: sent "
          << fmt("%.1f", f.send_rate) << "  received " << fmt("%.1f", f.receive_rate) << "\n";
    }
    for (const std::string& w : r.warnings) o << "  note: " << w << "\n";
    for (const Failure& f : r.failures)
        o << "  FAIL " << f.direction << ": " << f.figure << " " << fmt("%g", f.value)
          << (f.figure == "sent" ? " (nothing was sent)" : " > limit " + fmt("%g", f.limit)) << "\n";
    o << "verdict: " << (r.verdict() == "pass" ? "PASS" : r.verdict() == "fail" ? "FAIL"
                                                                                : "INTERRUPTED")
      << "\n";
    return o.str();
}

std::string jsonReport(const Result& r) {
    const Options& op = r.options;
    const Thresholds& t = op.limits;
    std::ostringstream o;
    o << "{\n  \"schema\": " << kJsonSchema << ",\n  \"tool\": \"convbench-cli\",\n"
      << "  \"started_at\": " << jsonString(r.started_at) << ",\n"
      << "  \"elapsed_s\": " << num(r.elapsed_s) << ",\n"
      << "  \"interrupted\": " << (r.interrupted ? "true" : "false") << ",\n"
      << "  \"verdict\": " << jsonString(r.verdict()) << ",\n";
    o << "  \"options\": {\"port\": " << jsonString(op.port)
      << ", \"address\": " << jsonString(op.dest_ip + ":" + std::to_string(op.dest_port))
      << ", \"listen\": " << op.listen_port << ", \"direction\": " << jsonString(op.directionName())
      << ", \"rate\": " << num(op.rate) << ", \"duration_s\": " << num(op.duration_s)
      << ", \"count\": " << op.count << ", \"latency_bound_ms\": " << num(op.latency_bound_ms)
      << ", \"format\": " << jsonString(measure::formatName(op.format)) << ", \"baud\": " << op.baud
      << ", \"simulate\": " << (op.simulate ? "true" : "false")
      << ",\n              \"limits\": {\"max_lost\": " << t.max_lost
      << ", \"max_duplicated\": " << t.max_duplicated << ", \"max_corrupt\": " << t.max_corrupt
      << ", \"max_reordered\": " << t.max_reordered << ", \"max_p99_ms\": " << num(t.max_p99_ms)
      << "}},\n";
    o << "  \"directions\": {";
    for (size_t i = 0; i < r.directions.size(); ++i) {
        const measure::Figures& f = r.directions[i].figures;
        const measure::Latency& l = f.latency;
        o << (i ? ",\n" : "\n") << "    " << jsonString(r.directions[i].name) << ": {\"sent\": "
          << f.sent << ", \"received\": " << f.received << ", \"lost\": " << f.lost
          << ", \"duplicated\": " << f.duplicated << ", \"reordered\": " << f.reordered
          << ", \"corrupt\": " << f.corrupt << ", \"skipped_bytes\": " << f.skipped_bytes
          << ", \"late\": " << f.late << ", \"unsettled\": " << f.in_flight
          << ",\n      \"latency_us\": {\"count\": " << l.count << ", \"min\": " << num(l.min_us)
          << ", \"mean\": " << num(l.mean_us) << ", \"p50\": " << num(l.p50_us)
          << ", \"p90\": " << num(l.p90_us) << ", \"p99\": " << num(l.p99_us)
          << ", \"max\": " << num(l.max_us) << "}, \"jitter_us\": " << num(f.jitter_us)
          << ",\n      \"send_rate\": " << num(f.send_rate)
          << ", \"receive_rate\": " << num(f.receive_rate) << "}";
    }
    o << "\n  },\n  \"failures\": [";
    for (size_t i = 0; i < r.failures.size(); ++i) {
        const Failure& f = r.failures[i];
        o << (i ? ", " : "") << "{\"direction\": " << jsonString(f.direction)
          << ", \"figure\": " << jsonString(f.figure) << ", \"value\": " << num(f.value)
          << ", \"limit\": " << num(f.limit) << "}";
    }
    o << "],\n  \"warnings\": [";
    for (size_t i = 0; i < r.warnings.size(); ++i) o << (i ? ", " : "") << jsonString(r.warnings[i]);
    o << "]";
    if (!r.simulator_json.empty()) {
        std::string sim = r.simulator_json;
        while (!sim.empty() && sim.back() == '\n') sim.pop_back();
        o << ",\n  \"simulator\": " << sim;
    }
    o << "\n}\n";
    return o.str();
}

std::string csvHeader() {
    return "time_s,direction,sent,received,lost,duplicated,reordered,corrupt,latency_p50_us,"
           "latency_p99_us\n";
}

std::string csvRows(double t_s, const std::vector<DirectionResult>& now) {
    std::string out;
    for (const DirectionResult& d : now) {
        const measure::Figures& f = d.figures;
        out += fmt("%.3f", t_s) + "," + d.name + "," + num(f.sent) + "," + num(f.received) + "," +
               num(f.lost) + "," + num(f.duplicated) + "," + num(f.reordered) + "," +
               num(f.corrupt) + "," + fmt("%.1f", f.latency.p50_us) + "," +
               fmt("%.1f", f.latency.p99_us) + "\n";
    }
    return out;
}

std::string progressLine(double elapsed_s, double total_s, const std::vector<DirectionResult>& now) {
    std::string out = fmt("%6.1f", elapsed_s) + (total_s > 0 ? "/" + fmt("%.0f", total_s) : "") + " s";
    for (const DirectionResult& d : now) {
        const measure::Figures& f = d.figures;
        out += "  " + d.name + " sent " + num(f.sent) + " recv " + num(f.received) + " lost " +
               num(f.lost) + " p50 " + ms(f.latency.p50_us) + " ms";
    }
    return out;
}

}  // namespace cli
