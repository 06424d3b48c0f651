// The runner's side of the results store: where a run is recorded, the run as
// the store keeps it, and the message that says where it went.
#pragma once

#include <string>
#include <vector>

#include "record.h"
#include "report.h"

namespace cli {

// Where the run is recorded: --db, else $CONVBENCH_DB, else the default store
// when a unit is named (--dut or a channel's dut=); "" for no record.
std::string recordTarget(const Options& o);
// --spool, else $CONVBENCH_SPOOL, else the default spool folder.
std::string spoolDir(const Options& o);
// The run's figures, limits, verdicts and per-second rows as the store keeps them.
store::Run storeRun(const Result& r, const std::vector<store::Second>& seconds,
                    const std::string& version);
// A run that could not begin: status setup-error, outcome inconclusive, no
// figures; why is kept among its settings as setup_error.
store::Run setupErrorRun(const Result& r, const std::string& why, const std::string& version);
// The per-second rows of a run as the store keeps them, at most
// kMostSecondsRows (about 30 MB) however long the run and however many its
// channels: past that, every second second is dropped and from then on only
// every second one kept (then every fourth, ...). The last rows always stay.
class SecondsLog {
public:
    static constexpr size_t kMostSecondsRows = 262144;
    void add(double t_s, const std::vector<ChannelResult>& now, bool last = false);
    std::vector<store::Second> rows;

private:
    int64_t stride_ = 1, calls_ = 0;
};
// Records the run (or spools it); *message says where it went, for standard
// error. False only when the run could be neither recorded nor spooled.
bool recordRun(const Options& o, const store::Run& run, std::string* message);

}  // namespace cli
