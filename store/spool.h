// Never losing a run: a run the store cannot take (a file that is locked,
// full or read-only; a server that is down) is kept in a spool folder, one
// file a run, and delivered by the next record or by `sync`. Delivery is by
// run id, so a run delivered twice is recorded once.
#pragma once

#include <string>
#include <vector>

#include "record.h"
#include "store.h"

namespace store {

// $XDG_STATE_HOME/convbench/spool (~/.local/state/... without it;
// %LOCALAPPDATA%\convbench\spool on Windows).
std::string defaultSpoolDir();

struct SyncResult {
    int delivered = 0;                // written to their store now
    int already = 0;                  // were in the store already (an earlier delivery)
    int left = 0;                     // still spooled
    std::vector<std::string> errors;  // why some were left
};

struct RecordResult {
    bool recorded = false;  // in the store
    bool spooled = false;   // kept in the spool instead
    std::string spool_file;
    std::string error;  // why the store did not take it (and, if it is lost, why)
    SyncResult synced;  // runs spooled before, delivered on the way
};

// Keeps the run in the spool folder (written whole, then renamed into place).
bool spoolRun(const std::string& dir, const std::string& target, const Run& run, std::string* path,
              std::string* error);
// Records the run in target, or spools it; then delivers what target had spooled.
RecordResult record(const std::string& target, const std::string& spool_dir, const Run& run,
                    const OpenOptions& options);
// Delivers the spooled runs of target (of every target when it is empty).
SyncResult sync(const std::string& target, const std::string& spool_dir, const OpenOptions& options,
                Store* open_store = nullptr);

}  // namespace store
