// Fault options shared by convbench-sim and the runner.
#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "stage.h"

namespace sim {
namespace {

bool toDouble(const std::string& s, double lo, double hi, double* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool toInt(const std::string& s, long long lo, long long hi, long long* out) {
    if (s.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

}  // namespace

bool parseFaultOption(const std::string& option, const std::string& value, Faults* f,
                      std::string* error) {
    const std::string name = option.compare(0, 2, "--") == 0 ? option.substr(2) : option;
    struct Prob {
        const char* name;
        double Faults::*field;
    };
    static const Prob probs[] = {{"drop", &Faults::drop},
                                 {"duplicate", &Faults::duplicate},
                                 {"corrupt", &Faults::corrupt},
                                 {"reorder", &Faults::reorder},
                                 {"stray", &Faults::stray}};
    struct Ms {
        const char* name;
        double Faults::*field;
    };
    static const Ms mss[] = {{"delay", &Faults::delay_ms},
                             {"jitter", &Faults::jitter_ms},
                             {"pack-gap", &Faults::pack_gap_ms}};
    struct Int {
        const char* name;
        int Faults::*field;
        long long lo, hi;
        const char* what;
    };
    static const Int ints[] = {
        {"reorder-depth", &Faults::reorder_depth, 1, 1000, "a whole number of packets 1..1000"},
        {"pack-size", &Faults::pack_size, 0, 65507, "a byte count 0..65507"},
        {"split", &Faults::split, 0, 65536, "a byte count 0..65536"},
        {"baud", &Faults::baud, 0, 100000000, "a baud rate (0 = unpaced)"},
        {"outage", &Faults::outage_ms, 0, 86400000, "whole milliseconds"},
        {"outage-every", &Faults::outage_every_ms, 0, 86400000, "whole milliseconds"},
        {"disconnect-every", &Faults::disconnect_every_ms, 0, 86400000, "whole milliseconds"},
        {"disconnect-for", &Faults::disconnect_for_ms, 0, 86400000, "whole milliseconds"},
    };
    const auto bad = [&](const char* what) {
        if (error) *error = "--" + name + ": '" + value + "' is not " + what;
        return false;
    };
    for (const Prob& p : probs) {
        if (name != p.name) continue;
        if (!toDouble(value, 0, 1, &(f->*p.field))) return bad("a probability 0..1");
        return true;
    }
    for (const Ms& m : mss) {
        if (name != m.name) continue;
        if (!toDouble(value, 0, 3600000, &(f->*m.field))) return bad("milliseconds 0..3600000");
        return true;
    }
    for (const Int& i : ints) {
        if (name != i.name) continue;
        long long v;
        if (!toInt(value, i.lo, i.hi, &v)) return bad(i.what);
        f->*i.field = static_cast<int>(v);
        return true;
    }
    if (name == "seed") {
        if (value.empty() || value[0] == '-') return bad("a whole number");
        char* end = nullptr;
        errno = 0;
        const unsigned long long v = std::strtoull(value.c_str(), &end, 10);
        if (errno != 0 || *end != '\0') return bad("a whole number");
        f->seed = v;
        return true;
    }
    if (error) *error = "unknown fault option --" + name;
    return false;
}

bool checkFaults(const Faults& f, std::string* error) {
    if (f.drop + f.corrupt + f.duplicate > 1 + 1e-12) {
        if (error) *error = "--drop, --corrupt and --duplicate add up to more than 1";
        return false;
    }
    if (f.outage_ms > 0 && f.outage_every_ms <= f.outage_ms) {
        if (error) *error = "--outage needs --outage-every longer than the outage";
        return false;
    }
    if (f.disconnect_for_ms > 0 && f.disconnect_every_ms <= f.disconnect_for_ms) {
        if (error) *error = "--disconnect-for needs --disconnect-every longer than it";
        return false;
    }
    return true;
}

}  // namespace sim
