// The fault options' names and limits, shared by convbench-sim and the
// runner (parsing: parseFaultOption and checkFaults in stage.h).
#pragma once

#include <string>
#include <vector>

namespace sim {

struct FaultOption {
    std::string name;   // "drop", as an option "--drop", as a channel key "drop="
    bool flag = false;  // an option without a value (--echo); as a channel key echo=1 or echo=0
};
// Every fault option, in the order the help lists them.
const std::vector<FaultOption>& faultOptions();

// Limits of the fault options.
constexpr double kMaxFaultDelayMs = 600000;  // --delay, --jitter, --pack-gap
constexpr int kMaxFaultPeriodMs = 86400000;  // --outage, --outage-every, --disconnect-*
constexpr int kMaxReorderDepth = 1000;

}  // namespace sim
