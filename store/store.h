// The results store: runs written whole (one transaction each) to SQLite or
// PostgreSQL, and read back by `history`. The schema is versioned: a store of
// an older schema is brought up to this one when opened, a newer one refused.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db.h"
#include "record.h"

namespace store {

constexpr int kSchema = 2;  // bump with a migration from the one before

// A target is a file name (SQLite) or a postgresql:// URI.
bool isPostgresTarget(const std::string& target);
// The target as it may be shown: a password in a URI replaced by "***".
std::string shownTarget(const std::string& target);
// $XDG_DATA_HOME/convbench/results.db (~/.local/share/... without it;
// %LOCALAPPDATA%\convbench\results.db on Windows).
std::string defaultDbPath();

struct OpenOptions {
    int busy_ms = 5000;         // SQLite: how long to wait for another writer
    int connect_timeout_s = 5;  // PostgreSQL: how long a connection may take
    bool create = true;         // SQLite: make the file when missing
};

struct Filter {
    std::string dut, station, outcome, status;
    std::string since, until;  // "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SSZ"; until is exclusive
    int64_t limit = 100;
};

struct Summary {
    std::string id, started_at, station, operator_name, part, dut, outcome, status, program;
    double elapsed_s = 0;
};

class Store {
public:
    static std::unique_ptr<Store> open(const std::string& target, const OpenOptions& options,
                                       std::string* error);
    ~Store();

    // Writes the run as one transaction; *fresh is false when a run of that id
    // was there already (a delivery repeated), which writes nothing.
    bool write(const Run& run, bool* fresh, std::string* error);
    // The newest runs first.
    bool list(const Filter& filter, std::vector<Summary>* out, std::string* error);
    bool get(const std::string& id, Run* out, bool* found, std::string* error);
    int64_t count(std::string* error);
    // The schema the store had when opened (it has kSchema now).
    int openedSchema() const { return opened_schema_; }

private:
    Store(std::unique_ptr<Db> db, std::string target);
    bool migrate(std::string* error);
    bool insertRows(const std::string& table, const std::vector<std::string>& columns,
                    const std::vector<std::vector<Value>>& rows, std::string* error);

    std::unique_ptr<Db> db_;
    std::string target_;
    int opened_schema_ = 0;
};

// Whether text is a date ("YYYY-MM-DD") or a time ("YYYY-MM-DDTHH:MM:SSZ").
bool isDateOrTime(const std::string& text);

}  // namespace store
