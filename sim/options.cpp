// Fault options shared by convbench-sim and the runner: one parser for the
// numbers of both (platform/numbers.h).
#include "fault_options.h"

#include "numbers.h"
#include "stage.h"

namespace sim {

const std::vector<FaultOption>& faultOptions() {
    static const std::vector<FaultOption> all = {
        {"drop"},           {"duplicate"}, {"corrupt"},    {"reorder"},      {"reorder-depth"},
        {"delay"},          {"jitter"},    {"stray"},      {"truncate"},     {"pack-size"},
        {"pack-gap"},       {"split"},     {"outage"},     {"outage-every"}, {"disconnect-every"},
        {"disconnect-for"}, {"queue"},     {"echo", true}, {"seed"}};
    return all;
}

bool parseFaultOption(const std::string& option, const std::string& value, Faults* f,
                      std::string* error) {
    const std::string name = option.compare(0, 2, "--") == 0 ? option.substr(2) : option;
    struct Real {
        const char* name;
        double Faults::*field;
        double hi;
        const char* what;
    };
    static const Real reals[] = {
        {"drop", &Faults::drop, 1, "a probability 0..1"},
        {"duplicate", &Faults::duplicate, 1, "a probability 0..1"},
        {"corrupt", &Faults::corrupt, 1, "a probability 0..1"},
        {"reorder", &Faults::reorder, 1, "a probability 0..1"},
        {"stray", &Faults::stray, 1, "a probability 0..1"},
        {"truncate", &Faults::truncate, 1, "a probability 0..1"},
        {"delay", &Faults::delay_ms, kMaxFaultDelayMs, "milliseconds 0..600000"},
        {"jitter", &Faults::jitter_ms, kMaxFaultDelayMs, "milliseconds 0..600000"},
        {"pack-gap", &Faults::pack_gap_ms, kMaxFaultDelayMs, "milliseconds 0..600000"}};
    struct Int {
        const char* name;
        int Faults::*field;
        int64_t lo, hi;
        const char* what;
    };
    static const Int ints[] = {
        {"reorder-depth", &Faults::reorder_depth, 1, kMaxReorderDepth,
         "a whole number of packets 1..1000"},
        {"pack-size", &Faults::pack_size, 0, 65507, "a byte count 0..65507"},
        {"split", &Faults::split, 0, 65536, "a byte count 0..65536"},
        {"baud", &Faults::baud, 0, 100000000, "a baud rate 0..100000000 (0 = unpaced)"},
        {"queue", &Faults::queue, 0, kMaxLineQueueBytes, "a byte count 0..16777216 (0 = 1024)"},
        {"outage", &Faults::outage_ms, 0, kMaxFaultPeriodMs, "whole milliseconds 0..86400000"},
        {"outage-every", &Faults::outage_every_ms, 0, kMaxFaultPeriodMs,
         "whole milliseconds 0..86400000"},
        {"disconnect-every", &Faults::disconnect_every_ms, 0, kMaxFaultPeriodMs,
         "whole milliseconds 0..86400000"},
        {"disconnect-for", &Faults::disconnect_for_ms, 0, kMaxFaultPeriodMs,
         "whole milliseconds 0..86400000"},
    };
    const auto bad = [&](numbers::Parsed p, const char* what, bool whole) {
        if (error) {
            *error = "--" + name + ": " + numbers::quoted(value) + " is not " + what;
            if (p == numbers::Parsed::NotANumber) *error += numbers::plainHint(whole);
        }
        return false;
    };
    for (const Real& r : reals) {
        if (name != r.name) continue;
        const numbers::Parsed p = numbers::parseDecimal(value, 0, r.hi, &(f->*r.field));
        return p == numbers::Parsed::Ok || bad(p, r.what, false);
    }
    for (const Int& i : ints) {
        if (name != i.name) continue;
        int64_t v = 0;
        const numbers::Parsed p = numbers::parseWhole(value, i.lo, i.hi, &v);
        if (p != numbers::Parsed::Ok) return bad(p, i.what, true);
        f->*i.field = static_cast<int>(v);
        return true;
    }
    if (name == "seed") {
        const numbers::Parsed p = numbers::parseUnsigned(value, 0, UINT64_MAX, &f->seed);
        return p == numbers::Parsed::Ok || bad(p, "a whole number 0..18446744073709551615", true);
    }
    if (name == "echo") {
        if (value != "0" && value != "1") {
            if (error) *error = "--echo: " + numbers::quoted(value) + " is not 0 or 1";
            return false;
        }
        f->echo = value == "1";
        return true;
    }
    if (error) *error = "unknown fault option --" + numbers::visible(name);
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
