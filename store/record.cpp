#include "record.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>

#include "utf8.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace store {
namespace {

using Json = nlohmann::ordered_json;

// Whether s is well-formed UTF-8 without control characters.
bool cleanUtf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp = 0;
        const size_t len = utf8::at(p + i, s.size() - i, &cp);
        if (len == 0 || utf8::isControl(cp)) return false;
        i += len;
    }
    return true;
}

}  // namespace

std::string newRunId() {
    std::random_device rd;
    std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd() ^
                        static_cast<uint64_t>(std::time(nullptr)));
    uint64_t hi = gen(), lo = gen();
    hi = (hi & ~0xF000ull) | 0x4000ull;                         // version 4
    lo = (lo & 0x3FFFFFFFFFFFFFFFull) | 0x8000000000000000ull;  // RFC 4122 variant
    char b[40];
    std::snprintf(b, sizeof b, "%08llx-%04llx-%04llx-%04llx-%012llx",
                  static_cast<unsigned long long>(hi >> 32),
                  static_cast<unsigned long long>((hi >> 16) & 0xFFFF),
                  static_cast<unsigned long long>(hi & 0xFFFF),
                  static_cast<unsigned long long>(lo >> 48),
                  static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFull));
    return b;
}

std::string utcNow() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
#ifdef _WIN32
    gmtime_s(&tm, &t);
#else
    gmtime_r(&t, &tm);
#endif
    char b[32];
    std::strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return b;
}

std::string hostName() {
    char b[256] = {};
#ifdef _WIN32
    DWORD size = sizeof b;
    if (!GetComputerNameA(b, &size) || b[0] == 0) return "localhost";
#else
    if (gethostname(b, sizeof b - 1) != 0 || b[0] == 0) return "localhost";
#endif
    std::string name = b;
    if (!identityProblem(name, kMaxIdentityBytes).empty()) return "localhost";
    return name;
}

std::string identityProblem(const std::string& value, size_t most) {
    if (value.empty()) return "is empty";
    if (value.size() > most) return "is longer than " + std::to_string(most) + " bytes";
    if (!cleanUtf8(value)) return "is not UTF-8 text without control characters";
    return "";
}

std::string tagProblem(const std::string& key, const std::string& value) {
    if (key.empty() || key.size() > kMaxTagKeyBytes)
        return "key must be 1 to " + std::to_string(kMaxTagKeyBytes) + " bytes";
    for (char c : key)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.'))
            return "key may hold only letters, digits, '_', '-' and '.'";
    const std::string p = identityProblem(value, kMaxTagValueBytes);
    return p.empty() ? "" : "value " + p;
}

bool isOutcome(const std::string& s) {
    return s == "pass" || s == "fail" || s == "inconclusive";
}
bool isStatus(const std::string& s) {
    return s == "completed" || s == "interrupted" || s == "setup-error";
}
std::string runProblem(const Run& r) {
    if (r.id.empty() || !isOutcome(r.outcome) || !isStatus(r.status))
        return "not a run record: no run_id, or an unknown outcome or status";
    return "";
}

std::string toJson(const Run& r, int indent) {
    Json tags = Json::object();
    for (const auto& [k, v] : r.tags) tags[k] = v;
    Json settings = Json::parse(r.settings.empty() ? "{}" : r.settings, nullptr, false);
    if (settings.is_discarded()) settings = r.settings;
    Json channels = Json::array();
    for (const Channel& c : r.channels) {
        Json dirs = Json::array();
        for (const Direction& d : c.directions) {
            Json figs = Json::array();
            for (const Figure& f : d.figures)
                figs.push_back(Json{{"name", f.name},
                                    {"value", f.value},
                                    {"limit", f.has_limit ? Json(f.limit) : Json(nullptr)},
                                    {"unit", f.unit},
                                    {"passed", f.passed}});
            dirs.push_back(Json{{"name", d.name}, {"outcome", d.outcome}, {"figures", figs}});
        }
        channels.push_back(Json{{"name", c.name},
                                {"dut", c.dut},
                                {"port", c.port},
                                {"transport", c.transport},
                                {"address", c.address},
                                {"direction", c.direction},
                                {"outcome", c.outcome},
                                {"directions", dirs}});
    }
    Json seconds = Json::array();
    for (const Second& s : r.seconds)
        seconds.push_back(Json::array({s.channel, s.direction, s.t_s, s.sent, s.received, s.lost,
                                       s.duplicated, s.reordered, s.corrupt, s.p50_us, s.p99_us}));
    const Json j{{"run_id", r.id},
                 {"started_at", r.started_at},
                 {"elapsed_s", r.elapsed_s},
                 {"program", r.program},
                 {"version", r.version},
                 {"station", r.station},
                 {"operator", r.operator_name},
                 {"part", r.part},
                 {"dut", r.dut},
                 {"outcome", r.outcome},
                 {"status", r.status},
                 {"tags", tags},
                 {"settings", settings},
                 {"channels", channels},
                 {"seconds_columns", Json::array({"channel", "direction", "t_s", "sent", "received",
                                                  "lost", "duplicated", "reordered", "corrupt",
                                                  "latency_p50_us", "latency_p99_us"})},
                 {"seconds", seconds}};
    return j.dump(indent, ' ', false, Json::error_handler_t::replace);
}

bool fromJson(const std::string& text, Run* r, std::string* error) {
    const Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        *error = "not a JSON object";
        return false;
    }
    try {
        *r = Run();
        r->id = j.at("run_id").get<std::string>();
        r->started_at = j.at("started_at").get<std::string>();
        r->elapsed_s = j.at("elapsed_s").get<double>();
        r->program = j.at("program").get<std::string>();
        r->version = j.at("version").get<std::string>();
        r->station = j.at("station").get<std::string>();
        r->operator_name = j.at("operator").get<std::string>();
        r->part = j.at("part").get<std::string>();
        r->dut = j.at("dut").get<std::string>();
        r->outcome = j.at("outcome").get<std::string>();
        r->status = j.at("status").get<std::string>();
        for (const auto& [k, v] : j.at("tags").items())
            r->tags.emplace_back(k, v.get<std::string>());
        r->settings = j.at("settings").dump();
        for (const Json& cj : j.at("channels")) {
            Channel c;
            c.name = cj.at("name").get<std::string>();
            c.dut = cj.at("dut").get<std::string>();
            c.port = cj.at("port").get<std::string>();
            c.transport = cj.at("transport").get<std::string>();
            c.address = cj.at("address").get<std::string>();
            c.direction = cj.at("direction").get<std::string>();
            c.outcome = cj.at("outcome").get<std::string>();
            for (const Json& dj : cj.at("directions")) {
                Direction d;
                d.name = dj.at("name").get<std::string>();
                d.outcome = dj.at("outcome").get<std::string>();
                for (const Json& fj : dj.at("figures")) {
                    Figure f;
                    f.name = fj.at("name").get<std::string>();
                    f.value = fj.at("value").get<double>();
                    f.has_limit = !fj.at("limit").is_null();
                    if (f.has_limit) f.limit = fj.at("limit").get<double>();
                    f.unit = fj.at("unit").get<std::string>();
                    f.passed = fj.at("passed").get<bool>();
                    d.figures.push_back(std::move(f));
                }
                c.directions.push_back(std::move(d));
            }
            r->channels.push_back(std::move(c));
        }
        for (const Json& sj : j.at("seconds")) {
            Second s;
            s.channel = sj.at(0).get<int>();
            s.direction = sj.at(1).get<std::string>();
            s.t_s = sj.at(2).get<double>();
            s.sent = sj.at(3).get<int64_t>();
            s.received = sj.at(4).get<int64_t>();
            s.lost = sj.at(5).get<int64_t>();
            s.duplicated = sj.at(6).get<int64_t>();
            s.reordered = sj.at(7).get<int64_t>();
            s.corrupt = sj.at(8).get<int64_t>();
            s.p50_us = sj.at(9).get<double>();
            s.p99_us = sj.at(10).get<double>();
            if (s.channel < 0 || static_cast<size_t>(s.channel) >= r->channels.size())
                throw std::out_of_range("a per-second row names no channel");
            r->seconds.push_back(std::move(s));
        }
    } catch (const std::exception& e) {
        *error = std::string("not a run record: ") + e.what();
        return false;
    }
    *error = runProblem(*r);
    return error->empty();
}

}  // namespace store
