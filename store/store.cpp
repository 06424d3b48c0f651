#include "store.h"

#include <cstdlib>
#include <filesystem>

namespace store {
namespace {

// The tables of this schema. Column types both databases read alike; a run's
// rows name it by its id. Indexes serve `history`: runs by time, by station,
// and by unit (through the channels).
const char* const kTables[] = {
    "CREATE TABLE schema_info (version INTEGER NOT NULL)",
    "CREATE TABLE runs (id TEXT PRIMARY KEY, started_at TEXT NOT NULL, elapsed_s DOUBLE "
    "PRECISION NOT NULL, program TEXT NOT NULL, version TEXT NOT NULL, station TEXT NOT NULL, "
    "operator_name TEXT NOT NULL DEFAULT '', part TEXT NOT NULL DEFAULT '', dut TEXT NOT NULL, "
    "outcome TEXT NOT NULL, status TEXT NOT NULL DEFAULT 'completed', settings TEXT NOT NULL, "
    "recorded_at TEXT NOT NULL)",
    "CREATE INDEX runs_started ON runs (started_at)",
    "CREATE INDEX runs_station ON runs (station, started_at)",
    "CREATE TABLE channels (run_id TEXT NOT NULL REFERENCES runs (id), idx INTEGER NOT NULL, "
    "name TEXT NOT NULL, dut TEXT NOT NULL, port TEXT NOT NULL, transport TEXT NOT NULL, "
    "address TEXT NOT NULL, direction TEXT NOT NULL, outcome TEXT NOT NULL, "
    "PRIMARY KEY (run_id, idx))",
    "CREATE INDEX channels_dut ON channels (dut, run_id)",
    "CREATE TABLE directions (run_id TEXT NOT NULL REFERENCES runs (id), channel_idx INTEGER "
    "NOT NULL, name TEXT NOT NULL, outcome TEXT NOT NULL, PRIMARY KEY (run_id, channel_idx, "
    "name))",
    "CREATE TABLE figures (run_id TEXT NOT NULL REFERENCES runs (id), channel_idx INTEGER NOT "
    "NULL, direction TEXT NOT NULL, ord INTEGER NOT NULL, name TEXT NOT NULL, value "
    "DOUBLE PRECISION NOT NULL, limit_value DOUBLE PRECISION, unit TEXT NOT NULL, passed INTEGER "
    "NOT NULL, PRIMARY KEY "
    "(run_id, channel_idx, direction, name))",
    "CREATE TABLE seconds (run_id TEXT NOT NULL REFERENCES runs (id), channel_idx INTEGER NOT "
    "NULL, direction TEXT NOT NULL, t_s DOUBLE PRECISION NOT NULL, sent BIGINT NOT NULL, "
    "received BIGINT NOT NULL, lost BIGINT NOT NULL, duplicated BIGINT NOT NULL, reordered "
    "BIGINT NOT NULL, corrupt BIGINT NOT NULL, p50_us DOUBLE PRECISION NOT NULL, p99_us DOUBLE "
    "PRECISION NOT NULL)",
    "CREATE INDEX seconds_run ON seconds (run_id)",
    "CREATE TABLE tags (run_id TEXT NOT NULL REFERENCES runs (id), tag_key TEXT NOT NULL, "
    "tag_value TEXT NOT NULL, PRIMARY KEY (run_id, tag_key))",
};

// Schema 1 to 2: the verdict split into outcome and status; operator, part and tags.
const char* const kFrom1[] = {
    "ALTER TABLE runs RENAME COLUMN verdict TO outcome",
    "ALTER TABLE runs ADD COLUMN status TEXT NOT NULL DEFAULT 'completed'",
    "UPDATE runs SET status = 'interrupted', outcome = 'inconclusive' WHERE outcome = "
    "'interrupted'",
    "ALTER TABLE runs ADD COLUMN operator_name TEXT NOT NULL DEFAULT ''",
    "ALTER TABLE runs ADD COLUMN part TEXT NOT NULL DEFAULT ''",
    "CREATE TABLE tags (run_id TEXT NOT NULL REFERENCES runs (id), tag_key TEXT NOT NULL, "
    "tag_value TEXT NOT NULL, PRIMARY KEY (run_id, tag_key))",
};

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

double toDouble(const std::optional<std::string>& s) {
    return s ? std::strtod(s->c_str(), nullptr) : 0;
}
int64_t toInt(const std::optional<std::string>& s) {
    return s ? std::strtoll(s->c_str(), nullptr, 10) : 0;
}
std::string text(const std::optional<std::string>& s) {
    return s.value_or("");
}

bool digits(const std::string& s, size_t from, size_t n) {
    for (size_t i = from; i < from + n; ++i)
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    return true;
}

}  // namespace

bool isDateOrTime(const std::string& t) {
    const bool date = t.size() >= 10 && digits(t, 0, 4) && t[4] == '-' && digits(t, 5, 2) &&
                      t[7] == '-' && digits(t, 8, 2);
    if (!date) return false;
    if (t.size() == 10) return true;
    return t.size() == 20 && t[10] == 'T' && digits(t, 11, 2) && t[13] == ':' && digits(t, 14, 2) &&
           t[16] == ':' && digits(t, 17, 2) && t[19] == 'Z';
}

bool isPostgresTarget(const std::string& t) {
    return t.rfind("postgresql://", 0) == 0 || t.rfind("postgres://", 0) == 0;
}

std::string shownTarget(const std::string& t) {
    if (!isPostgresTarget(t)) return t;
    const size_t scheme = t.find("://") + 3;
    const size_t at = t.find('@', scheme), slash = t.find('/', scheme);
    if (at == std::string::npos || (slash != std::string::npos && slash < at)) return t;
    const size_t colon = t.find(':', scheme);
    if (colon == std::string::npos || colon > at) return t;
    return t.substr(0, colon + 1) + "***" + t.substr(at);
}

std::string defaultDbPath() {
#ifdef _WIN32
    std::string base = env("LOCALAPPDATA");
    if (base.empty()) base = ".";
    return base + "\\convbench\\results.db";
#else
    std::string base = env("XDG_DATA_HOME");
    if (base.empty() || base[0] != '/') base = env("HOME") + "/.local/share";
    return base + "/convbench/results.db";
#endif
}

Store::Store(std::unique_ptr<Db> db, std::string target)
    : db_(std::move(db)), target_(std::move(target)) {}
Store::~Store() = default;

std::unique_ptr<Store> Store::open(const std::string& target, const OpenOptions& o,
                                   std::string* error) {
    std::unique_ptr<Db> db;
    (void)o;  // a build without a database has no use for it
    if (isPostgresTarget(target)) {
#ifdef CONVBENCH_HAVE_PQ
        db = openPostgres(target, o.connect_timeout_s, error);
#else
        *error = "this build has no PostgreSQL client (libpq)";
#endif
    } else {
#ifdef CONVBENCH_HAVE_SQLITE
        std::error_code ec;
        if (!o.create && !std::filesystem::exists(target, ec))
            *error = "no such file";
        else
            db = openSqlite(target, o.busy_ms, error);
#else
        *error = "this build has no SQLite";
#endif
    }
    if (!db) return nullptr;
    std::unique_ptr<Store> s(new Store(std::move(db), target));
    if (!s->migrate(error)) return nullptr;
    return s;
}

bool Store::migrate(std::string* error) {
    auto version = [&](int* v) {
        if (!db_->hasTable("schema_info", error)) {
            *v = 0;
            return error->empty();
        }
        std::vector<Row> rows;
        if (!db_->exec("SELECT max(version) FROM schema_info", {}, &rows, nullptr, error))
            return false;
        *v = static_cast<int>(toInt(rows.at(0).at(0)));
        return true;
    };
    error->clear();
    int v = 0;
    if (!version(&v)) return false;
    opened_schema_ = v;
    auto newer = [&] {
        *error = "the store has schema " + std::to_string(v) + ", newer than schema " +
                 std::to_string(kSchema) + " of this program: use a newer convbench";
        return false;
    };
    if (v > kSchema) return newer();
    if (v == kSchema) return true;
    // Made or brought up to date under the write lock, looked at again there:
    // another station may have done it meanwhile.
    if (!db_->begin(error)) return false;
    auto fail = [&] {
        std::string ignored;
        db_->run("ROLLBACK", &ignored);
        return false;
    };
    if (db_->isPostgres() && !db_->run("SELECT pg_advisory_xact_lock(2026120722)", error))
        return fail();
    if (!version(&v)) return fail();
    opened_schema_ = v;
    if (v > kSchema) {
        fail();
        return newer();
    }
    if (v == 0) {
        for (const char* sql : kTables)
            if (!db_->run(sql, error)) return fail();
        if (!db_->exec("INSERT INTO schema_info (version) VALUES (?)", {kSchema}, nullptr, nullptr,
                       error))
            return fail();
    } else if (v < kSchema) {
        if (v == 1)
            for (const char* sql : kFrom1)
                if (!db_->run(sql, error)) return fail();
        if (!db_->exec("UPDATE schema_info SET version = ?", {kSchema}, nullptr, nullptr, error))
            return fail();
    }
    return db_->run("COMMIT", error) || fail();
}

bool Store::insertRows(const std::string& table, const std::vector<std::string>& columns,
                       const std::vector<std::vector<Value>>& rows, std::string* error) {
    std::string head = "INSERT INTO " + table + " (", one = "(";
    for (size_t i = 0; i < columns.size(); ++i) {
        head += (i ? ", " : "") + columns[i];
        one += i ? ", ?" : "?";
    }
    head += ") VALUES ";
    one += ")";
    // Many rows a statement, in batches of a fixed size so the texts repeat.
    const size_t batch = std::min<size_t>(100, db_->maxParams() / columns.size());
    std::vector<Value> params;
    for (size_t from = 0; from < rows.size(); from += batch) {
        const size_t n = std::min(batch, rows.size() - from);
        std::string sql = head;
        params.clear();
        for (size_t k = 0; k < n; ++k) {
            sql += (k ? ", " : "") + one;
            params.insert(params.end(), rows[from + k].begin(), rows[from + k].end());
        }
        if (!db_->exec(sql, params, nullptr, nullptr, error)) return false;
    }
    return true;
}

bool Store::write(const Run& r, bool* fresh, std::string* error) {
    *fresh = false;
    if (!(*error = runProblem(r)).empty()) return false;
    if (!db_->begin(error)) return false;
    auto fail = [&] {
        std::string ignored;
        db_->run("ROLLBACK", &ignored);
        return false;
    };
    int64_t changes = 0;
    if (!db_->exec(
            "INSERT INTO runs (id, started_at, elapsed_s, program, version, station, "
            "operator_name, part, dut, outcome, status, settings, recorded_at) VALUES (?, "
            "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO NOTHING",
            {r.id, r.started_at, r.elapsed_s, r.program, r.version, r.station, r.operator_name,
             r.part, r.dut, r.outcome, r.status, r.settings.empty() ? "{}" : r.settings, utcNow()},
            nullptr, &changes, error))
        return fail();
    if (changes == 0) return db_->run("COMMIT", error) || fail();
    std::vector<std::vector<Value>> tags, channels, directions, figures, seconds;
    for (const auto& [k, v] : r.tags) tags.push_back({r.id, k, v});
    for (size_t i = 0; i < r.channels.size(); ++i) {
        const Channel& c = r.channels[i];
        const int idx = static_cast<int>(i);
        channels.push_back({r.id, idx, c.name, c.dut.empty() ? r.dut : c.dut, c.port, c.transport,
                            c.address, c.direction, c.outcome});
        for (const Direction& d : c.directions) {
            directions.push_back({r.id, idx, d.name, d.outcome});
            int ord = 0;
            for (const Figure& f : d.figures)
                figures.push_back({r.id, idx, d.name, ord++, f.name, f.value,
                                   f.has_limit ? Value(f.limit) : Value(), f.unit, f.passed});
        }
    }
    for (const Second& s : r.seconds)
        seconds.push_back({r.id, s.channel, s.direction, s.t_s, s.sent, s.received, s.lost,
                           s.duplicated, s.reordered, s.corrupt, s.p50_us, s.p99_us});
    const bool ok =
        insertRows("tags", {"run_id", "tag_key", "tag_value"}, tags, error) &&
        insertRows("channels",
                   {"run_id", "idx", "name", "dut", "port", "transport", "address", "direction",
                    "outcome"},
                   channels, error) &&
        insertRows("directions", {"run_id", "channel_idx", "name", "outcome"}, directions, error) &&
        insertRows("figures",
                   {"run_id", "channel_idx", "direction", "ord", "name", "value", "limit_value",
                    "unit", "passed"},
                   figures, error) &&
        insertRows("seconds",
                   {"run_id", "channel_idx", "direction", "t_s", "sent", "received", "lost",
                    "duplicated", "reordered", "corrupt", "p50_us", "p99_us"},
                   seconds, error);
    if (!ok || !db_->run("COMMIT", error)) return fail();
    *fresh = true;
    return true;
}

bool Store::list(const Filter& f, std::vector<Summary>* out, std::string* error) {
    std::string sql =
        "SELECT id, started_at, elapsed_s, station, operator_name, part, dut, outcome, status, "
        "program FROM runs WHERE 1 = 1";
    std::vector<Value> params;
    if (!f.dut.empty()) {
        sql += " AND id IN (SELECT run_id FROM channels WHERE dut = ?)";
        params.push_back(f.dut);
    }
    for (const auto& [column, value] :
         {std::pair<const char*, const std::string&>{"station", f.station},
          {"outcome", f.outcome},
          {"status", f.status}}) {
        if (value.empty()) continue;
        sql += std::string(" AND ") + column + " = ?";
        params.push_back(value);
    }
    if (!f.since.empty()) {
        sql += " AND started_at >= ?";
        params.push_back(f.since);
    }
    if (!f.until.empty()) {
        sql += " AND started_at < ?";
        params.push_back(f.until);
    }
    sql += " ORDER BY started_at DESC, id DESC LIMIT ?";
    params.push_back(f.limit);
    std::vector<Row> rows;
    if (!db_->exec(sql, params, &rows, nullptr, error)) return false;
    out->clear();
    for (const Row& row : rows) {
        Summary s;
        s.id = text(row[0]);
        s.started_at = text(row[1]);
        s.elapsed_s = toDouble(row[2]);
        s.station = text(row[3]);
        s.operator_name = text(row[4]);
        s.part = text(row[5]);
        s.dut = text(row[6]);
        s.outcome = text(row[7]);
        s.status = text(row[8]);
        s.program = text(row[9]);
        out->push_back(std::move(s));
    }
    return true;
}

int64_t Store::count(std::string* error) {
    std::vector<Row> rows;
    if (!db_->exec("SELECT count(*) FROM runs", {}, &rows, nullptr, error)) return -1;
    return toInt(rows.at(0).at(0));
}

bool Store::get(const std::string& id, Run* r, bool* found, std::string* error) {
    *found = false;
    std::vector<Row> rows;
    if (!db_->exec("SELECT id, started_at, elapsed_s, program, version, station, operator_name, "
                   "part, dut, outcome, status, settings FROM runs WHERE id = ?",
                   {id}, &rows, nullptr, error))
        return false;
    if (rows.empty()) return true;
    const Row& row = rows[0];
    *r = Run();
    r->id = text(row[0]);
    r->started_at = text(row[1]);
    r->elapsed_s = toDouble(row[2]);
    r->program = text(row[3]);
    r->version = text(row[4]);
    r->station = text(row[5]);
    r->operator_name = text(row[6]);
    r->part = text(row[7]);
    r->dut = text(row[8]);
    r->outcome = text(row[9]);
    r->status = text(row[10]);
    r->settings = text(row[11]);
    rows.clear();
    if (!db_->exec("SELECT tag_key, tag_value FROM tags WHERE run_id = ? ORDER BY tag_key", {id},
                   &rows, nullptr, error))
        return false;
    for (const Row& t : rows) r->tags.emplace_back(text(t[0]), text(t[1]));
    rows.clear();
    if (!db_->exec("SELECT name, dut, port, transport, address, direction, outcome FROM channels "
                   "WHERE run_id = ? ORDER BY idx",
                   {id}, &rows, nullptr, error))
        return false;
    for (const Row& c : rows)
        r->channels.push_back({text(c[0]),
                               text(c[1]),
                               text(c[2]),
                               text(c[3]),
                               text(c[4]),
                               text(c[5]),
                               text(c[6]),
                               {}});
    rows.clear();
    if (!db_->exec("SELECT channel_idx, name, outcome FROM directions WHERE run_id = ? ORDER BY "
                   "channel_idx, name",
                   {id}, &rows, nullptr, error))
        return false;
    auto channel = [&](const std::optional<std::string>& idx) -> Channel* {
        const int64_t i = toInt(idx);
        return i >= 0 && static_cast<size_t>(i) < r->channels.size() ? &r->channels[i] : nullptr;
    };
    for (const Row& d : rows)
        if (Channel* c = channel(d[0])) c->directions.push_back({text(d[1]), text(d[2]), {}});
    rows.clear();
    if (!db_->exec("SELECT channel_idx, direction, name, value, limit_value, unit, passed FROM "
                   "figures WHERE run_id = ? ORDER BY channel_idx, direction, ord",
                   {id}, &rows, nullptr, error))
        return false;
    for (const Row& f : rows) {
        Channel* c = channel(f[0]);
        if (c == nullptr) continue;
        for (Direction& d : c->directions)
            if (d.name == text(f[1]))
                d.figures.push_back({text(f[2]), toDouble(f[3]), f[4].has_value(), toDouble(f[4]),
                                     text(f[5]), toInt(f[6]) != 0});
    }
    rows.clear();
    if (!db_->exec("SELECT channel_idx, direction, t_s, sent, received, lost, duplicated, "
                   "reordered, corrupt, p50_us, p99_us FROM seconds WHERE run_id = ? ORDER BY "
                   "t_s, channel_idx, direction",
                   {id}, &rows, nullptr, error))
        return false;
    for (const Row& s : rows)
        r->seconds.push_back({static_cast<int>(toInt(s[0])), text(s[1]), toDouble(s[2]),
                              toInt(s[3]), toInt(s[4]), toInt(s[5]), toInt(s[6]), toInt(s[7]),
                              toInt(s[8]), toDouble(s[9]), toDouble(s[10])});
    *found = true;
    return true;
}

}  // namespace store
