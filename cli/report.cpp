#include "report.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "utf8.h"

namespace cli {
namespace {

using Json = nlohmann::ordered_json;

std::string ms(double us) {
    return fmt("%.3f", us / 1000.0);
}
std::string num(uint64_t v) {
    return std::to_string(v);
}

// Calls put(code point, first byte, length) for each code point of s; a byte
// that begins no well-formed sequence comes as U+FFFD of length 1.
template <typename Put>
void eachCodePoint(const std::string& s, Put put) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        const size_t len = utf8::at(p + i, s.size() - i, &cp);
        if (len > 0) {
            put(cp, s.data() + i, len);
            i += len;
        } else {
            put(0xFFFDu, "\xEF\xBF\xBD", 3);
            ++i;
        }
    }
}

using utf8::isControl;

// Text in XML; in attributes, tab, newline and carriage return are written as
// references so a reader's attribute normalisation keeps them.
std::string xml(const std::string& s, bool attribute) {
    std::string out;
    eachCodePoint(s, [&](uint32_t cp, const char* b, size_t len) {
        switch (cp) {
            case '<':
                out += "&lt;";
                return;
            case '>':
                out += "&gt;";
                return;
            case '&':
                out += "&amp;";
                return;
            case '"':
                out += "&quot;";
                return;
            case '\'':
                out += "&apos;";
                return;
            case '\t':
                out += attribute ? "&#9;" : "\t";
                return;
            case '\n':
                out += attribute ? "&#10;" : "\n";
                return;
            case '\r':
                out += "&#13;";
                return;
            default:
                if (isControl(cp) || cp == 0xFFFE || cp == 0xFFFF)
                    out += "\xEF\xBF\xBD";
                else
                    out.append(b, len);
        }
    });
    return out;
}
std::string attr(const std::string& s) {
    return xml(s, true);
}

// The unit on a channel: its own dut=, else the run's --dut.
std::string unitOf(const Options& o, const Channel& c) {
    return c.dut.empty() ? o.dut : c.dut;
}

// The identity of the run, (name, value) in order, only those given.
std::vector<std::pair<std::string, std::string>> identity(const Result& r) {
    const Options& o = r.options;
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"dut", o.dut},
                                      {"station", o.station},
                                      {"operator", o.operator_name},
                                      {"part", o.part}})
        if (!value.empty()) out.emplace_back(name, value);
    return out;
}

bool isTcp(const Channel& c) {
    return c.transport != traffic::Transport::Udp;
}

std::string failureText(const Failure& f) {
    if (f.figure == "sent") return "nothing was sent";
    if (f.figure == "rfc2217_differences")
        return "the converter answered " + fmt("%g", f.value) +
               " setting(s) unlike what was asked (--strict-rfc2217)";
    return f.figure + " " + fmt("%g", f.value) + " > limit " + fmt("%g", f.limit);
}

std::string figuresLine(const measure::Figures& f) {
    std::ostringstream o;
    o << "sent " << f.sent << ", received " << f.received << ", lost " << f.lost << ", duplicated "
      << f.duplicated << ", reordered " << f.reordered << ", corrupt " << f.corrupt
      << ", skipped bytes " << f.skipped_bytes;
    if (f.late) o << ", late " << f.late;
    if (f.in_flight) o << ", unsettled " << f.in_flight;
    if (f.echoed) o << ", echoed " << f.echoed;
    if (f.not_sent) o << ", not sent " << f.not_sent;
    return o.str();
}

// "p50 0.012  p99 0.150  max 1.200" in ms, or "-" when nothing was measured.
std::string spread(const measure::Latency& l) {
    if (l.count == 0) return "-";
    return "p50 " + ms(l.p50_us) + "  p99 " + ms(l.p99_us) + "  max " + ms(l.max_us);
}

std::string channelVerdict(const Result& r, const ChannelResult& c) {
    if (r.interrupted) return "interrupted";
    if (c.inconclusive) return "inconclusive";
    return c.failures.empty() ? "pass" : "fail";
}

// How long the tester itself was held up in one direction, and when (at_s
// below 0: not known). A sender the device holds back (a serial line slower
// than the rate, a converter's TCP window) is late by the device's doing, not
// the tester's: for such a direction only the receive delay counts.
struct Stall {
    double ms = 0, at_s = -1;
};

Stall testerStall(const Result& r, const ChannelResult& c, const DirectionResult& d) {
    const measure::Figures& f = d.figures;
    const measure::TesterFigures& t = f.tester;
    const bool device_paced = d.name == "u2e" || (d.name == "e2u" && isTcp(c.channel));
    const bool held_back = device_paced && f.sent > 1 && f.send_rate < 0.95 * r.options.rate;
    if (!held_back) return {t.longest_stall_ms, t.stall_at_s};
    const double receive_ms = t.receive_delay.count ? t.receive_delay.max_us / 1000 : 0;
    const bool same = receive_ms >= 0.99 * t.longest_stall_ms;
    return {std::min(receive_ms, t.longest_stall_ms), same ? t.stall_at_s : -1};
}

// The longest the tester was held up in any direction, and when.
Stall longestStall(const Result& r) {
    Stall worst;
    for (const ChannelResult& c : r.channels)
        for (const DirectionResult& d : c.directions) {
            const Stall s = testerStall(r, c, d);
            if (s.ms > worst.ms) worst = s;
        }
    return worst;
}

bool stalled(const Result& r) {
    return longestStall(r).ms > r.options.tester_stall_ms;
}

// Whether a direction's figures cannot be trusted: packets not sent for the
// tester's own port, or a failure while the tester was held up.
bool directionInconclusive(const Result& r, const ChannelResult& c, const DirectionResult& d) {
    if (d.figures.not_sent > 0) return true;
    return stalled(r) && std::any_of(c.failures.begin(), c.failures.end(),
                                     [&](const Failure& f) { return f.direction == d.name; });
}

Json latencyJson(const measure::Latency& l) {
    return Json{{"count", l.count}, {"min", l.min_us}, {"mean", l.mean_us}, {"p50", l.p50_us},
                {"p90", l.p90_us},  {"p99", l.p99_us}, {"max", l.max_us}};
}

Json spreadJson(const measure::Latency& l) {
    return Json{{"p50", l.p50_us}, {"p99", l.p99_us}, {"max", l.max_us}};
}

Json directionsJson(const std::vector<DirectionResult>& ds) {
    Json o = Json::object();
    for (const DirectionResult& d : ds) {
        const measure::Figures& f = d.figures;
        const measure::TesterFigures& t = f.tester;
        o[validUtf8(d.name)] = Json{
            {"sent", f.sent},
            {"received", f.received},
            {"lost", f.lost},
            {"duplicated", f.duplicated},
            {"reordered", f.reordered},
            {"corrupt", f.corrupt},
            {"skipped_bytes", f.skipped_bytes},
            {"late", f.late},
            {"unsettled", f.in_flight},
            {"echoed", f.echoed},
            {"not_sent", f.not_sent},
            {"latency_us", latencyJson(f.latency)},
            {"jitter_us", f.jitter_us},
            {"send_rate", f.send_rate},
            {"receive_rate", f.receive_rate},
            {"tester", Json{{"send_lateness_us", spreadJson(t.send_lateness)},
                            {"receive_delay_us", spreadJson(t.receive_delay)},
                            {"sent_late", t.sent_late},
                            {"longest_stall_ms", t.longest_stall_ms},
                            {"stall_at_s", t.stall_at_s}}},
        };
    }
    return o;
}

Json failuresJson(const std::vector<Failure>& fs) {
    Json o = Json::array();
    for (const Failure& f : fs)
        o.push_back(Json{{"channel", validUtf8(f.channel)},
                         {"direction", f.direction},
                         {"figure", f.figure},
                         {"value", f.value},
                         {"limit", f.limit}});
    return o;
}

Json stringsJson(const std::vector<std::string>& v) {
    Json o = Json::array();
    for (const std::string& s : v) o.push_back(validUtf8(s));
    return o;
}

// The simulated converter's own report, as an object (as text should it not
// parse, which would be the simulator's fault).
Json simulatorJson(const std::string& sim) {
    Json j = Json::parse(sim, nullptr, false);
    return j.is_discarded() ? Json(validUtf8(sim)) : j;
}

// What held the sender of direction `way` back, when it sent slower than asked.
std::string holdsBack(const Channel& c, const std::string& way) {
    if (way == "u2e") return "the serial line or the converter holds the sender back";
    if (way == "e2u" && isTcp(c)) return "the converter or the network holds the sender back";
    return "the tester could not send any faster";
}

}  // namespace

std::string validUtf8(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    eachCodePoint(s, [&](uint32_t, const char* b, size_t len) { out.append(b, len); });
    return out;
}

std::string fmt(const char* f, double v) {
    char b[64];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

std::string shown(const std::string& s) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    eachCodePoint(s, [&](uint32_t cp, const char* b, size_t len) {
        if (!isControl(cp))
            out.append(b, len);
        else
            out += std::string(cp < 0x80 ? "\\x" : "\\u00") + hex[cp >> 4] + hex[cp & 15];
    });
    return out;
}

std::string csvField(const std::string& s) {
    const std::string v = validUtf8(s);
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string xmlText(const std::string& s) {
    return xml(s, false);
}

void judge(Result* r) {
    const Thresholds& t = r->options.limits;
    const bool several = r->channels.size() > 1;
    r->failures.clear();
    r->warnings.clear();
    r->inconclusive.clear();
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
                r->warnings.push_back(who + d.name + ": sent " + fmt("%.0f", f.send_rate) +
                                      " packets/s of " + fmt("%.0f", asked) +
                                      " asked: " + holdsBack(c.channel, d.name));
            if (f.skipped_bytes > 0)
                r->warnings.push_back(who + d.name + ": " + num(f.skipped_bytes) +
                                      " bytes belonged to no packet");
            if (f.echoed > 0)
                r->warnings.push_back(who + d.name +
                                      ": the serial line echoes the tester's own bytes (" +
                                      num(f.echoed) + " packets came back)");
            if (f.tester.sent_late > 0)
                r->warnings.push_back(who + d.name + ": the tester sent " +
                                      num(f.tester.sent_late) +
                                      " packets more than one period late");
            if (f.not_sent > 0)
                r->inconclusive.push_back(
                    who + d.name + ": the tester's serial port " + c.channel.port + " was gone: " +
                    num(f.not_sent) + " packets not sent (the tester's port, not the converter)");
        }
        if (c.serial.outages > 0)
            r->warnings.push_back(who + "the serial port went away " + num(c.serial.outages) +
                                  " times, longest " + fmt("%.0f", c.serial.longest_outage_ms) +
                                  " ms, " + fmt("%.0f", c.serial.total_outage_ms) + " ms in all");
        if (isTcp(c.channel) && c.link.reconnects > 0)
            r->warnings.push_back(who + "the TCP connection was made again " +
                                  num(c.link.reconnects) + " times, longest outage " +
                                  fmt("%.1f", c.link.longest_outage_ms) + " ms");
        // rfc2217: every answer unlike the setting asked is a note, or with
        // --strict-rfc2217 a failure of the channel.
        for (const std::string& d : c.rfc2217.differences)
            r->warnings.push_back(who + "rfc2217: " + d);
        if (r->options.strict_rfc2217 && !c.rfc2217.differences.empty())
            c.failures.push_back({c.channel.name, "rfc2217", "rfc2217_differences",
                                  static_cast<double>(c.rfc2217.differences.size()), 0});
        r->failures.insert(r->failures.end(), c.failures.begin(), c.failures.end());
    }
    if (!r->failures.empty() && stalled(*r)) {
        const Stall s = longestStall(*r);
        r->inconclusive.push_back("the tester was held up " + fmt("%.0f", s.ms) + " ms" +
                                  (s.at_s >= 0 ? " at " + fmt("%.1f", s.at_s) + " s" : "") +
                                  "; rerun on a quieter machine");
    }
    for (ChannelResult& c : r->channels) {
        c.inconclusive = false;
        for (const DirectionResult& d : c.directions)
            c.inconclusive = c.inconclusive || directionInconclusive(*r, c, d);
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
    const std::vector<std::pair<std::string, std::string>> who = identity(r);
    if (!who.empty() || !r.options.tags.empty()) {
        o << " ";
        for (const auto& [k, v] : who) o << " " << (k == "dut" ? "unit" : k) << " " << shown(v);
        for (const auto& [k, v] : r.options.tags) o << " " << shown(k) << "=" << shown(v);
        o << "\n";
    }
    for (const ChannelResult& c : r.channels) {
        const Channel& ch = c.channel;
        if (several) {
            o << shown(ch.name) << ": " << (ch.port.empty() ? "-" : shown(ch.port)) << ", "
              << traffic::transportName(ch.transport) << " "
              << (ch.transport == traffic::Transport::TcpServer || ch.address().empty()
                      ? "listen " + std::to_string(ch.listen_port)
                      : shown(ch.address()))
              << ", " << ch.directionName() << (ch.dut.empty() ? "" : ", unit " + shown(ch.dut))
              << ": " << channelVerdict(r, c) << "\n";
        }
        for (const DirectionResult& d : c.directions) {
            const measure::Figures& f = d.figures;
            const measure::TesterFigures& t = f.tester;
            o << "  " << d.name << ": " << figuresLine(f) << "\n        latency ms: ";
            if (f.latency.count == 0)
                o << "- (nothing arrived)";
            else
                o << "min " << ms(f.latency.min_us) << "  mean " << ms(f.latency.mean_us)
                  << "  p50 " << ms(f.latency.p50_us) << "  p90 " << ms(f.latency.p90_us)
                  << "  p99 " << ms(f.latency.p99_us) << "  max " << ms(f.latency.max_us)
                  << "  jitter " << ms(f.jitter_us);
            o << "\n        rate /s: sent " << fmt("%.1f", f.send_rate) << "  received "
              << fmt("%.1f", f.receive_rate) << "\n        tester ms: send lateness "
              << spread(t.send_lateness) << ", receive delay " << spread(t.receive_delay)
              << ", sent late " << t.sent_late << "\n";
        }
        if (isTcp(ch))
            o << "  link: connections " << c.link.connections << ", reconnects "
              << c.link.reconnects << ", longest outage " << fmt("%.1f", c.link.longest_outage_ms)
              << " ms" << (c.link.connected ? "" : ", down at the end") << "\n";
        if (ch.transport == traffic::Transport::Rfc2217) {
            o << "  rfc2217: " << (c.rfc2217.accepted ? "COM-PORT-OPTION agreed" : "not agreed");
            for (const auto& s : c.rfc2217.settings)
                o << ", " << s.name << " " << (s.answered.empty() ? "-" : s.answered);
            o << "\n";
        }
    }
    for (const std::string& w : r.warnings) o << "  note: " << shown(w) << "\n";
    for (const Failure& f : r.failures)
        o << "  FAIL " << (several ? shown(f.channel) + " " : "") << f.direction << ": "
          << failureText(f) << "\n";
    for (const std::string& w : r.inconclusive) o << "  INCONCLUSIVE: " << shown(w) << "\n";
    std::string verdict = r.verdict();
    std::transform(verdict.begin(), verdict.end(), verdict.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
    o << "verdict: " << verdict << "\n";
    return o.str();
}

Json lineJson(const UART_Line_t& l) {
    return Json{{"data_bits", l.data_bits},
                {"parity", UART_ParityName(l.parity)},
                {"stop_bits", l.stop_bits},
                {"flow", UART_FlowName(l.flow)}};
}

Json rfc2217Json(const traffic::Rfc2217Figures& f) {
    Json settings = Json::object();
    for (const auto& s : f.settings)
        settings[s.name] =
            Json{{"asked", s.asked}, {"answered", s.answered.empty() ? Json() : Json(s.answered)}};
    return Json{{"accepted", f.accepted},
                {"settings", settings},
                {"differences", f.differences},
                {"negotiation", f.log}};
}

std::string jsonReport(const Result& r) {
    const Options& op = r.options;
    const Thresholds& t = op.limits;
    Json j;
    j["schema"] = kJsonSchema;
    j["tool"] = "convbench-cli";
    j["started_at"] = r.started_at;
    j["elapsed_s"] = r.elapsed_s;
    j["interrupted"] = r.interrupted;
    j["verdict"] = r.verdict();
    j["outcome"] = r.outcome();
    j["status"] = r.status();
    j["run_id"] = r.run_id;
    Json tags = Json::object();
    for (const auto& [k, v] : op.tags) tags[validUtf8(k)] = validUtf8(v);
    j["identity"] = Json{{"dut", validUtf8(op.dut)},
                         {"station", validUtf8(op.station)},
                         {"operator", validUtf8(op.operator_name)},
                         {"part", validUtf8(op.part)},
                         {"tags", std::move(tags)}};
    j["options"] = Json{{"rate", op.rate},
                        {"duration_s", op.duration_s},
                        {"count", op.count},
                        {"latency_bound_ms", op.latency_bound_ms},
                        {"format", measure::formatName(op.format)},
                        {"packet_size", measure::packetSize(op.format, op.size)},
                        {"connect_timeout_ms", op.connect_timeout_ms},
                        {"tester_stall_ms", op.tester_stall_ms},
                        {"simulate", op.simulate},
                        {"strict_rfc2217", op.strict_rfc2217},
                        {"limits", Json{{"max_lost", t.max_lost},
                                        {"max_duplicated", t.max_duplicated},
                                        {"max_corrupt", t.max_corrupt},
                                        {"max_reordered", t.max_reordered},
                                        {"max_p99_ms", t.max_p99_ms}}}};
    Json channels = Json::array();
    for (const ChannelResult& c : r.channels) {
        const Channel& ch = c.channel;
        Json cj{{"name", validUtf8(ch.name)},
                {"port", validUtf8(ch.port)},
                {"transport", traffic::transportName(ch.transport)},
                {"address", validUtf8(ch.address())},
                {"listen", ch.listen_port},
                {"direction", ch.directionName()},
                {"baud", ch.baud},
                {"verdict", channelVerdict(r, c)},
                {"dut", validUtf8(unitOf(op, ch))}};
        if (isTcp(ch))
            cj["link"] = Json{{"connections", c.link.connections},
                              {"reconnects", c.link.reconnects},
                              {"longest_outage_ms", c.link.longest_outage_ms},
                              {"connected", c.link.connected}};
        if (ch.e2u || ch.u2e)
            cj["serial"] = Json{{"outages", c.serial.outages},
                                {"longest_outage_ms", c.serial.longest_outage_ms},
                                {"total_outage_ms", c.serial.total_outage_ms},
                                {"lost_now", c.serial.lost_now}};
        // New in schema 3: the line asked for and read back, the rfc2217 answers.
        cj["line"] = lineJson(ch.line);
        if (c.line.known) {
            cj["line_read"] = lineJson(c.line.line);
            cj["line_read"]["baud"] = c.line.baud;
        }
        if (ch.transport == traffic::Transport::Rfc2217) cj["rfc2217"] = rfc2217Json(c.rfc2217);
        cj["directions"] = directionsJson(c.directions);
        cj["failures"] = failuresJson(c.failures);
        if (!c.simulator_json.empty()) cj["simulator"] = simulatorJson(c.simulator_json);
        channels.push_back(std::move(cj));
    }
    j["channels"] = std::move(channels);
    if (r.channels.size() == 1) {
        // A one-channel run also keeps the places a one-channel reader looks.
        const ChannelResult& c = r.channels[0];
        j["directions"] = directionsJson(c.directions);
        if (!c.simulator_json.empty()) j["simulator"] = simulatorJson(c.simulator_json);
    }
    j["failures"] = failuresJson(r.failures);
    j["warnings"] = stringsJson(r.warnings);
    j["inconclusive"] = stringsJson(r.inconclusive);
    // Every string above is valid UTF-8 already; replacing is the last guard.
    return j.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

// A failure of a direction, or of the whole channel's converter line
// (rfc2217 answers unlike the settings), which every direction went through.
static bool concerns(const Failure& f, const DirectionResult& d) {
    return f.direction == d.name || f.direction == "rfc2217";
}

std::string junitReport(const Result& r) {
    // Each direction is a test case: a failure when it broke a limit, an error
    // when the run was interrupted or its figures are inconclusive.
    enum class Case { Pass, Failure, Error };
    auto caseOf = [&](const ChannelResult& c, const DirectionResult& d) {
        if (r.interrupted || directionInconclusive(r, c, d)) return Case::Error;
        const bool failed = std::any_of(c.failures.begin(), c.failures.end(),
                                        [&](const Failure& f) { return concerns(f, d); });
        return failed ? Case::Failure : Case::Pass;
    };
    size_t tests = 0, failed = 0, errors = 0;
    for (const ChannelResult& c : r.channels)
        for (const DirectionResult& d : c.directions) {
            ++tests;
            failed += caseOf(c, d) == Case::Failure;
            errors += caseOf(c, d) == Case::Error;
        }
    const std::string time = fmt("%.3f", r.elapsed_s);
    std::ostringstream o;
    o << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites name=\"convbench-cli\" tests=\"" << tests << "\" failures=\"" << failed
      << "\" errors=\"" << errors << "\" time=\"" << time << "\">\n";
    for (const ChannelResult& c : r.channels) {
        const Channel& ch = c.channel;
        size_t ch_failed = 0, ch_errors = 0;
        for (const DirectionResult& d : c.directions) {
            ch_failed += caseOf(c, d) == Case::Failure;
            ch_errors += caseOf(c, d) == Case::Error;
        }
        o << "  <testsuite name=\"" << attr(ch.name) << "\" tests=\"" << c.directions.size()
          << "\" failures=\"" << ch_failed << "\" errors=\"" << ch_errors
          << "\" skipped=\"0\" time=\"" << time << "\" timestamp=\"" << attr(r.started_at)
          << "\">\n    <properties>\n";
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
            o << "      <property name=\"" << name << "\" value=\"" << attr(value) << "\"/>\n";
        // The unit and the run's identity; tags as tag.KEY.
        std::vector<std::pair<std::string, std::string>> who = identity(r);
        if (!who.empty() && who[0].first == "dut") who.erase(who.begin());
        who.insert(who.begin(), {"dut", unitOf(r.options, ch)});
        who.emplace_back("run_id", r.run_id);
        who.emplace_back("outcome", r.outcome());
        who.emplace_back("status", r.status());
        for (const auto& [k, v] : r.options.tags) who.emplace_back("tag." + k, v);
        for (const auto& [name, value] : who)
            if (!value.empty())
                o << "      <property name=\"" << attr(name) << "\" value=\"" << attr(value)
                  << "\"/>\n";
        o << "    </properties>\n";
        for (const DirectionResult& d : c.directions) {
            o << "    <testcase classname=\"convbench." << attr(ch.name) << "\" name=\""
              << attr(d.name) << "\" time=\"" << time << "\">\n";
            std::string message, details;
            for (const Failure& f : c.failures) {
                if (!concerns(f, d)) continue;
                message += (message.empty() ? "" : "; ") + failureText(f);
                details += failureText(f) + "\n";
            }
            const measure::Figures& f = d.figures;
            const std::string figures =
                figuresLine(f) + ", latency p99 " +
                (f.latency.count ? ms(f.latency.p99_us) + " ms" : "-") +
                ", tester send lateness max " +
                (f.tester.send_lateness.count ? ms(f.tester.send_lateness.max_us) + " ms" : "-");
            switch (caseOf(c, d)) {
                case Case::Error:
                    if (r.interrupted) {
                        o << "      <error type=\"interrupted\" message=\"the run was "
                             "interrupted\"/>\n";
                        break;
                    }
                    {
                        std::string why;
                        for (const std::string& w : r.inconclusive)
                            why += (why.empty() ? "" : "; ") + w;
                        o << "      <error type=\"inconclusive\" message=\"" << attr(why) << "\">"
                          << xmlText(details + figures) << "</error>\n";
                    }
                    break;
                case Case::Failure:
                    o << "      <failure type=\"threshold\" message=\"" << attr(message) << "\">"
                      << xmlText(details + figures) << "</failure>\n";
                    break;
                case Case::Pass:
                    break;
            }
            o << "      <system-out>" << xmlText(figures) << "</system-out>\n    </testcase>\n";
        }
        o << "  </testsuite>\n";
    }
    o << "</testsuites>\n";
    return o.str();
}

HtmlInput htmlInput(const Result& r) {
    // The page's text is made valid UTF-8 without control characters here; the
    // page escapes its markup.
    auto text = [](const std::string& s) {
        std::string out;
        eachCodePoint(s, [&](uint32_t cp, const char* b, size_t len) {
            if (isControl(cp))
                out += "\xEF\xBF\xBD";
            else
                out.append(b, len);
        });
        return out;
    };
    HtmlInput in;
    const Options& o = r.options;
    in.verdict = r.verdict();
    in.started_at = r.started_at;
    in.elapsed_s = r.elapsed_s;
    in.options = {
        {"rate", fmt("%g", o.rate) + " packets/s per direction"},
        {"length", o.count ? std::to_string(o.count) + " packets" : fmt("%g", o.duration_s) + " s"},
        {"packet format", measure::formatName(o.format)},
        {"packet size", std::to_string(measure::packetSize(o.format, o.size)) + " bytes"},
        {"latency bound", fmt("%g", o.latency_bound_ms) + " ms"}};
    std::vector<std::pair<std::string, std::string>> who = identity(r);
    for (const auto& [k, v] : o.tags) who.emplace_back("tag " + k, v);
    if (!r.run_id.empty()) who.emplace_back("run", r.run_id);
    who.emplace_back("outcome", r.outcome() + " (" + r.status() + ")");
    for (const auto& [k, v] : who) in.options.push_back({k == "dut" ? "unit" : text(k), text(v)});
    for (const ChannelResult& c : r.channels) {
        const Channel& ch = c.channel;
        std::string what =
            std::string(traffic::transportName(ch.transport)) + ", " + ch.directionName();
        if (o.simulate) what += ", simulated converter";
        if (!ch.dut.empty() && ch.dut != o.dut) what += ", unit " + ch.dut;
        for (const std::string& part : {ch.port, o.simulate ? std::string() : ch.address()})
            if (!part.empty()) what += ", " + part;
        in.options.push_back({"channel " + text(ch.name), text(what)});
        for (const DirectionResult& d : c.directions) {
            HtmlSeries s;
            s.name = (r.channels.size() > 1 ? text(ch.name) + " " : std::string()) + d.name;
            s.figures = d.figures;
            in.series.push_back(std::move(s));
        }
    }
    for (const Failure& f : r.failures)
        in.failures.push_back((r.channels.size() > 1 ? text(f.channel) + " " : std::string()) +
                              f.direction + ": " + failureText(f));
    for (const std::string& w : r.warnings) in.warnings.push_back(text(w));
    for (const std::string& w : r.inconclusive) in.warnings.push_back("inconclusive: " + text(w));
    return in;
}

std::string csvHeader() {
    return "time_s,channel,direction,sent,received,lost,duplicated,reordered,corrupt,"
           "latency_p50_us,latency_p99_us,reconnects,echoed,not_sent,sent_late,"
           "longest_stall_ms,dut\n";
}

std::string csvRows(double t_s, const std::vector<ChannelResult>& now, const std::string& run_dut) {
    std::string out;
    for (const ChannelResult& c : now) {
        const std::string name = csvField(c.channel.name);
        const std::string dut = csvField(c.channel.dut.empty() ? run_dut : c.channel.dut);
        for (const DirectionResult& d : c.directions) {
            const measure::Figures& f = d.figures;
            out += fmt("%.3f", t_s) + "," + name + "," + d.name + "," + num(f.sent) + "," +
                   num(f.received) + "," + num(f.lost) + "," + num(f.duplicated) + "," +
                   num(f.reordered) + "," + num(f.corrupt) + "," + fmt("%.1f", f.latency.p50_us) +
                   "," + fmt("%.1f", f.latency.p99_us) + "," + num(c.link.reconnects) + "," +
                   num(f.echoed) + "," + num(f.not_sent) + "," + num(f.tester.sent_late) + "," +
                   fmt("%.1f", f.tester.longest_stall_ms) + "," + dut + "\n";
        }
    }
    return out;
}

std::string progressLine(double elapsed_s, double total_s, const std::vector<ChannelResult>& now) {
    std::string out =
        fmt("%6.1f", elapsed_s) + (total_s > 0 ? "/" + fmt("%.0f", total_s) : "") + " s";
    if (now.size() == 1) {
        for (const DirectionResult& d : now[0].directions) {
            const measure::Figures& f = d.figures;
            out += "  " + d.name + " sent " + num(f.sent) + " recv " + num(f.received) + " lost " +
                   num(f.lost) + " p50 " + (f.latency.count ? ms(f.latency.p50_us) : "-") + " ms";
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
    if (!worst.empty()) out += "  worst " + shown(worst) + " (" + num(worst_lost) + " faults)";
    if (down) out += "  links down " + num(down);
    return out;
}

}  // namespace cli
