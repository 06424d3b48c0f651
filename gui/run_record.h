// The window's runs in the results store. The form stays as it is: where to
// record, and who and what is tested, come from the environment or from a
// settings file, read at every STOP. No Qt here.
#pragma once

#include <cstdint>
#include <string>

#include "direction.h"

namespace window_record {

// $CONVBENCH_DB, $CONVBENCH_SPOOL, $CONVBENCH_DUT, $CONVBENCH_STATION,
// $CONVBENCH_OPERATOR and $CONVBENCH_PART, each over the same key (db, spool,
// dut, station, operator, part) of the settings file
// $XDG_CONFIG_HOME/convbench/window.conf (key=value lines, '#' comments).
struct Settings {
    std::string db, spool, dut, station, operator_name, part;
};
Settings settings();

// Now, UTC, as the records keep it.
std::string utcNow();

// One run of the window, as its STOP leaves it.
struct WindowRun {
    std::string started_at;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
    double elapsed_s = 0;
    std::string direction;  // "e2u" (ethernet -> uart) or "u2e"
    std::string port, address;
    bool receiver_open = true;
    measure::Figures figures;
};

// Records the run when a store is configured. "" when it was recorded or
// none is configured; otherwise a note for the status line ("record kept in
// the spool: ..." or "record lost: ...").
std::string record(const Settings& s, const WindowRun& run);

}  // namespace window_record
