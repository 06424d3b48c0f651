#include "report.h"

#include <algorithm>
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

// Text for an XML attribute or element; control characters XML 1.0 cannot
// carry become '?'.
std::string xml(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                out += c < 0x20 && c != '\n' && c != '\t' ? '?' : static_cast<char>(c);
        }
    }
    return out;
}

std::string num(double v) { return fmt("%.10g", v); }
std::string num(uint64_t v) { return std::to_string(v); }

bool isTcp(const Channel& c) {
    return c.transport != traffic::Transport::Udp;
}

std::string failureText(const Failure& f) {
    return f.figure + " " + fmt("%g", f.value) +
           (f.figure == "sent" ? " (nothing was sent)" : " > limit " + fmt("%g", f.limit));
}

std::string figuresLine(const measure::Figures& f) {
    std::ostringstream o;
    o << "sent " << f.sent << ", received " << f.received << ", lost " << f.lost << ", duplicated "
      << f.duplicated << ", reordered " << f.reordered << ", corrupt " << f.corrupt
      << ", skipped bytes " << f.skipped_bytes;
    if (f.late) o << ", late " << f.late;
    if (f.in_flight) o << ", unsettled " << f.in_flight;
    return o.str();
}

std::string channelVerdict(const Result& r, const ChannelResult& c) {
    return r.interrupted ? "interrupted" : (c.failures.empty() ? "pass" : "fail");
}

std::string directionsJson(const std::vector<DirectionResult>& ds, const char* indent) {
    std::ostringstream o;
    o << "{";
    for (size_t i = 0; i < ds.size(); ++i) {
        const measure::Figures& f = ds[i].figures;
        const measure::Latency& l = f.latency;
        o << (i ? ",\n" : "\n") << indent << "  " << jsonString(ds[i].name)
          << ": {\"sent\": " << f.sent << ", \"received\": " << f.received
          << ", \"lost\": " << f.lost << ", \"duplicated\": " << f.duplicated
          << ", \"reordered\": " << f.reordered << ", \"corrupt\": " << f.corrupt
          << ", \"skipped_bytes\": " << f.skipped_bytes << ", \"late\": " << f.late
          << ", \"unsettled\": " << f.in_flight << ",\n"
          << indent << "    \"latency_us\": {\"count\": " << l.count
          << ", \"min\": " << num(l.min_us) << ", \"mean\": " << num(l.mean_us)
          << ", \"p50\": " << num(l.p50_us) << ", \"p90\": " << num(l.p90_us)
          << ", \"p99\": " << num(l.p99_us) << ", \"max\": " << num(l.max_us)
          << "}, \"jitter_us\": " << num(f.jitter_us) << ",\n"
          << indent << "    \"send_rate\": " << num(f.send_rate)
          << ", \"receive_rate\": " << num(f.receive_rate) << "}";
    }
    o << "\n" << indent << "}";
    return o.str();
}

std::string failuresJson(const std::vector<Failure>& fs) {
    std::ostringstream o;
    o << "[";
    for (size_t i = 0; i < fs.size(); ++i) {
        const Failure& f = fs[i];
        o << (i ? ", " : "") << "{\"channel\": " << jsonString(f.channel)
          << ", \"direction\": " << jsonString(f.direction)
          << ", \"figure\": " << jsonString(f.figure) << ", \"value\": " << num(f.value)
          << ", \"limit\": " << num(f.limit) << "}";
    }
    return o.str() + "]";
}

std::string simulatorJson(std::string sim) {
    while (!sim.empty() && sim.back() == '\n') sim.pop_back();
    return sim;
}

}  // namespace

void judge(Result* r) {
    const Thresholds& t = r->options.limits;
    const bool several = r->channels.size() > 1;
    r->failures.clear();
    for (ChannelResult& c : r->channels) {
        c.failures.clear();
        const std::string who = several ? c.channel.name + " " : "";
        for (const DirectionResult& d : c.directions) {
            const measure::Figures& f = d.figures;
            auto check = [&](const char* figure, double value, double limit) {
                if (limit >= 0 && value > limit)
                    c.failures.push_back({c.channel.name, d.name, figure, value, limit});
            };
            if (f.sent == 0) c.failures.push_back({c.channel.name, d.name, "sent", 0, 1});
            check("lost", static_cast<double>(f.lost), static_cast<double>(t.max_lost));
            check("duplicated", static_cast<double>(f.duplicated),
                  static_cast<double>(t.max_duplicated));
            check("corrupt", static_cast<double>(f.corrupt), static_cast<double>(t.max_corrupt));
            check("reordered", static_cast<double>(f.reordered),
                  static_cast<double>(t.max_reordered));
            if (f.latency.count > 0)
                check("latency_p99_ms", f.latency.p99_us / 1000.0, t.max_p99_ms);
            const double asked = r->options.rate;
            if (f.sent > 1 && f.send_rate < 0.95 * asked)
                r->warnings.push_back(
                    who + d.name + ": sent " + fmt("%.0f", f.send_rate) + " packets/s of " +
                    fmt("%.0f", asked) +
                    " asked: the serial line or the converter holds the sender back");
            if (f.skipped_bytes > 0)
                r->warnings.push_back(who + d.name + ": " + num(f.skipped_bytes) +
                                      " bytes belonged to no packet");
        }
        if (c.serial.outages > 0)
            r->warnings.push_back(who + "the serial port went away " + num(c.serial.outages) +
                                  " times, longest " + fmt("%.0f", c.serial.longest_outage_ms) +
                                  " ms, " + fmt("%.0f", c.serial.total_outage_ms) + " ms in all");
        if (isTcp(c.channel) && c.link.reconnects > 0)
            r->warnings.push_back(who + "the TCP connection was made again " +
                                  num(c.link.reconnects) + " times, longest outage " +
                                  fmt("%.1f", c.link.longest_outage_ms) + " ms");
        r->failures.insert(r->failures.end(), c.failures.begin(), c.failures.end());
    }
}

std::string summaryText(const Result& r) {
    std::ostringstream o;
    const bool several = r.channels.size() > 1;
    const Channel* only = several || r.channels.empty() ? nullptr : &r.channels[0].channel;
    o << "convbench-cli: "
      << (only ? only->directionName() : std::to_string(r.channels.size()) + " channels")
      << (only && isTcp(*only) ? std::string(" over ") + traffic::transportName(only->transport)
                               : "")
      << ", " << fmt("%g", r.options.rate) << " packets/s, " << fmt("%.1f", r.elapsed_s) << " s"
      << (r.interrupted ? " (interrupted)" : "") << "\n";
    for (const ChannelResult& c : r.channels) {
        const Channel& ch = c.channel;
        if (several) {
            o << ch.name << ": " << (ch.port.empty() ? "-" : ch.port) << ", "
              << traffic::transportName(ch.transport) << " "
              << (ch.transport == traffic::Transport::TcpServer || ch.address().empty()
                      ? "listen " + std::to_string(ch.listen_port)
                      : ch.address())
              << ", " << ch.directionName() << ": " << channelVerdict(r, c) << "\n";
        }
        for (const DirectionResult& d : c.directions) {
            const measure::Figures& f = d.figures;
            o << "  " << d.name << ": " << figuresLine(f) << "\n        latency ms: min "
              << ms(f.latency.min_us) << "  mean " << ms(f.latency.mean_us) << "  p50 "
              << ms(f.latency.p50_us) << "  p90 " << ms(f.latency.p90_us) << "  p99 "
              << ms(f.latency.p99_us) << "  max " << ms(f.latency.max_us) << "  jitter "
              << ms(f.jitter_us) << "\n        rate /s: sent " << fmt("%.1f", f.send_rate)
              << "  received " << fmt("%.1f", f.receive_rate) << "\n";
        }
        if (isTcp(ch))
            o << "  link: connections " << c.link.connections << ", reconnects "
              << c.link.reconnects << ", longest outage " << fmt("%.1f", c.link.longest_outage_ms)
              << " ms" << (c.link.connected ? "" : ", down at the end") << "\n";
    }
    for (const std::string& w : r.warnings) o << "  note: " << w << "\n";
    for (const Failure& f : r.failures)
        o << "  FAIL " << (several ? f.channel + " " : "") << f.direction << ": " << failureText(f)
          << "\n";
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
    o << "  \"options\": {\"rate\": " << num(op.rate) << ", \"duration_s\": " << num(op.duration_s)
      << ", \"count\": " << op.count << ", \"latency_bound_ms\": " << num(op.latency_bound_ms)
      << ", \"format\": " << jsonString(measure::formatName(op.format))
      << ", \"connect_timeout_ms\": " << num(op.connect_timeout_ms)
      << ", \"simulate\": " << (op.simulate ? "true" : "false")
      << ",\n              \"limits\": {\"max_lost\": " << t.max_lost
      << ", \"max_duplicated\": " << t.max_duplicated << ", \"max_corrupt\": " << t.max_corrupt
      << ", \"max_reordered\": " << t.max_reordered << ", \"max_p99_ms\": " << num(t.max_p99_ms)
      << "}},\n";
    o << "  \"channels\": [";
    for (size_t i = 0; i < r.channels.size(); ++i) {
        const ChannelResult& c = r.channels[i];
        const Channel& ch = c.channel;
        o << (i ? ",\n" : "\n") << "    {\"name\": " << jsonString(ch.name)
          << ", \"port\": " << jsonString(ch.port)
          << ", \"transport\": " << jsonString(traffic::transportName(ch.transport))
          << ", \"address\": " << jsonString(ch.address()) << ", \"listen\": " << ch.listen_port
          << ", \"direction\": " << jsonString(ch.directionName()) << ", \"baud\": " << ch.baud
          << ",\n     \"verdict\": " << jsonString(channelVerdict(r, c));
        if (isTcp(ch))
            o << ", \"link\": {\"connections\": " << c.link.connections
              << ", \"reconnects\": " << c.link.reconnects
              << ", \"longest_outage_ms\": " << num(c.link.longest_outage_ms)
              << ", \"connected\": " << (c.link.connected ? "true" : "false") << "}";
        if (ch.e2u || ch.u2e)
            o << ", \"serial\": {\"outages\": " << c.serial.outages
              << ", \"longest_outage_ms\": " << num(c.serial.longest_outage_ms)
              << ", \"total_outage_ms\": " << num(c.serial.total_outage_ms)
              << ", \"lost_now\": " << (c.serial.lost_now ? "true" : "false") << "}";
        o << ",\n     \"directions\": " << directionsJson(c.directions, "     ")
          << ",\n     \"failures\": " << failuresJson(c.failures);
        if (!c.simulator_json.empty())
            o << ",\n     \"simulator\": " << simulatorJson(c.simulator_json);
        o << "}";
    }
    o << "\n  ],\n";
    if (r.channels.size() == 1) {
        // A one-channel run also keeps the places a one-channel reader looks.
        const ChannelResult& c = r.channels[0];
        o << "  \"directions\": " << directionsJson(c.directions, "  ") << ",\n";
        if (!c.simulator_json.empty())
            o << "  \"simulator\": " << simulatorJson(c.simulator_json) << ",\n";
    }
    o << "  \"failures\": " << failuresJson(r.failures) << ",\n  \"warnings\": [";
    for (size_t i = 0; i < r.warnings.size(); ++i) o << (i ? ", " : "") << jsonString(r.warnings[i]);
    o << "]\n}\n";
    return o.str();
}

std::string junitReport(const Result& r) {
    size_t tests = 0;
    for (const ChannelResult& c : r.channels) tests += c.directions.size();
    size_t failed = 0;
    for (const ChannelResult& c : r.channels)
        for (const DirectionResult& d : c.directions)
            failed += std::any_of(c.failures.begin(), c.failures.end(),
                                  [&](const Failure& f) { return f.direction == d.name; });
    const size_t errors = r.interrupted ? tests : 0;
    if (r.interrupted) failed = 0;
    const std::string time = fmt("%.3f", r.elapsed_s);
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites name=\"convbench-cli\" tests=\"" << tests << "\" failures=\"" << failed
      << "\" errors=\"" << errors << "\" time=\"" << time << "\">\n";
    for (const ChannelResult& c : r.channels) {
        const Channel& ch = c.channel;
        size_t ch_failed = 0;
        for (const DirectionResult& d : c.directions)
            ch_failed += std::any_of(c.failures.begin(), c.failures.end(),
                                     [&](const Failure& f) { return f.direction == d.name; });
        if (r.interrupted) ch_failed = 0;
        o << "  <testsuite name=\"" << xml(ch.name) << "\" tests=\"" << c.directions.size()
          << "\" failures=\"" << ch_failed << "\" errors=\""
          << (r.interrupted ? c.directions.size() : 0) << "\" skipped=\"0\" time=\"" << time
          << "\" timestamp=\"" << xml(r.started_at) << "\">\n    <properties>\n";
        const std::pair<std::string, std::string> props[] = {
            {"junit_format", std::to_string(kJunitFormat)},
            {"port", ch.port},
            {"transport", traffic::transportName(ch.transport)},
            {"address", ch.address()},
            {"listen", std::to_string(ch.listen_port)},
            {"rate", fmt("%g", r.options.rate)},
            {"reconnects", std::to_string(c.link.reconnects)},
            {"longest_outage_ms", fmt("%.1f", c.link.longest_outage_ms)},
        };
        for (const auto& [name, value] : props)
            o << "      <property name=\"" << name << "\" value=\"" << xml(value) << "\"/>\n";
        o << "    </properties>\n";
        for (const DirectionResult& d : c.directions) {
            o << "    <testcase classname=\"convbench." << xml(ch.name) << "\" name=\""
              << xml(d.name) << "\" time=\"" << time << "\">\n";
            std::string message, details;
            for (const Failure& f : c.failures) {
                if (f.direction != d.name) continue;
                message += (message.empty() ? "" : "; ") + failureText(f);
                details += failureText(f) + "\n";
            }
            const std::string figures =
                figuresLine(d.figures) + ", latency p99 " + ms(d.figures.latency.p99_us) + " ms";
            if (r.interrupted) {
                o << "      <error type=\"interrupted\" message=\"the run was interrupted\"/>\n";
            } else if (!message.empty()) {
                o << "      <failure type=\"threshold\" message=\"" << xml(message) << "\">"
                  << xml(details + figures) << "</failure>\n";
            }
            o << "      <system-out>" << xml(figures) << "</system-out>\n    </testcase>\n";
        }
        o << "  </testsuite>\n";
    }
    o << "</testsuites>\n";
    return o.str();
}

HtmlInput htmlInput(const Result& r) {
    HtmlInput in;
    const Options& o = r.options;
    in.verdict = r.verdict();
    in.started_at = r.started_at;
    in.elapsed_s = r.elapsed_s;
    in.options = {{"rate", fmt("%g", o.rate) + " packets/s per direction"},
                  {"length", o.count ? std::to_string(o.count) + " packets"
                                     : fmt("%g", o.duration_s) + " s"},
                  {"packet format", measure::formatName(o.format)},
                  {"latency bound", fmt("%g", o.latency_bound_ms) + " ms"}};
    for (const ChannelResult& c : r.channels) {
        const Channel& ch = c.channel;
        std::string what = std::string(traffic::transportName(ch.transport)) + ", " +
                           ch.directionName();
        if (o.simulate) what += ", simulated converter";
        for (const std::string& part : {ch.port, o.simulate ? std::string() : ch.address()})
            if (!part.empty()) what += ", " + part;
        in.options.push_back({"channel " + ch.name, what});
        for (const DirectionResult& d : c.directions) {
            HtmlSeries s;
            s.name = (r.channels.size() > 1 ? ch.name + " " : std::string()) + d.name;
            s.figures = d.figures;
            in.series.push_back(std::move(s));
        }
    }
    for (const Failure& f : r.failures)
        in.failures.push_back((r.channels.size() > 1 ? f.channel + " " : std::string()) +
                              f.direction + ": " + f.figure + " " + fmt("%g", f.value) +
                              " > limit " + fmt("%g", f.limit));
    in.warnings = r.warnings;
    return in;
}

std::string csvHeader() {
    return "time_s,channel,direction,sent,received,lost,duplicated,reordered,corrupt,"
           "latency_p50_us,latency_p99_us,reconnects\n";
}

std::string csvRows(double t_s, const std::vector<ChannelResult>& now) {
    std::string out;
    for (const ChannelResult& c : now) {
        for (const DirectionResult& d : c.directions) {
            const measure::Figures& f = d.figures;
            out += fmt("%.3f", t_s) + "," + c.channel.name + "," + d.name + "," + num(f.sent) +
                   "," + num(f.received) + "," + num(f.lost) + "," + num(f.duplicated) + "," +
                   num(f.reordered) + "," + num(f.corrupt) + "," + fmt("%.1f", f.latency.p50_us) +
                   "," + fmt("%.1f", f.latency.p99_us) + "," + num(c.link.reconnects) + "\n";
        }
    }
    return out;
}

std::string progressLine(double elapsed_s, double total_s, const std::vector<ChannelResult>& now) {
    std::string out = fmt("%6.1f", elapsed_s) + (total_s > 0 ? "/" + fmt("%.0f", total_s) : "") + " s";
    if (now.size() == 1) {
        for (const DirectionResult& d : now[0].directions) {
            const measure::Figures& f = d.figures;
            out += "  " + d.name + " sent " + num(f.sent) + " recv " + num(f.received) + " lost " +
                   num(f.lost) + " p50 " + ms(f.latency.p50_us) + " ms";
        }
        if (isTcp(now[0].channel) && !now[0].link.connected) out += "  link down";
        return out;
    }
    uint64_t sent = 0, received = 0, lost = 0, worst_lost = 0, down = 0;
    double p99 = 0;
    std::string worst;
    for (const ChannelResult& c : now) {
        uint64_t c_lost = 0;
        for (const DirectionResult& d : c.directions) {
            sent += d.figures.sent;
            received += d.figures.received;
            c_lost += d.figures.lost + d.figures.corrupt + d.figures.duplicated;
            lost += d.figures.lost;
            p99 = std::max(p99, d.figures.latency.p99_us);
        }
        if (c_lost > worst_lost) worst_lost = c_lost, worst = c.channel.name;
        if (isTcp(c.channel) && !c.link.connected) ++down;
    }
    out += "  " + std::to_string(now.size()) + " channels: sent " + num(sent) + " recv " +
           num(received) + " lost " + num(lost) + " p99 max " + ms(p99) + " ms";
    if (!worst.empty()) out += "  worst " + worst + " (" + num(worst_lost) + " faults)";
    if (down) out += "  links down " + num(down);
    return out;
}

}  // namespace cli
