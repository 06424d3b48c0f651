#include <sqlite3.h>

#include <cstdio>
#include <map>

#include "db.h"

namespace store {
namespace {

class SqliteDb : public Db {
public:
    explicit SqliteDb(sqlite3* db) : db_(db) {}
    ~SqliteDb() override {
        for (auto& [sql, st] : statements_) sqlite3_finalize(st);
        sqlite3_close(db_);
    }

    bool exec(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
              int64_t* changes, std::string* error) override {
        sqlite3_stmt* st = statement(sql, error);
        if (st == nullptr) return false;
        for (size_t i = 0; i < params.size(); ++i) {
            const Value& v = params[i];
            const int k = static_cast<int>(i + 1);
            switch (v.kind) {
                case Value::Null:
                    sqlite3_bind_null(st, k);
                    break;
                case Value::Int:
                    sqlite3_bind_int64(st, k, v.i);
                    break;
                case Value::Real:
                    sqlite3_bind_double(st, k, v.d);
                    break;
                case Value::Text:
                    sqlite3_bind_text(st, k, v.s.data(), static_cast<int>(v.s.size()),
                                      SQLITE_TRANSIENT);
                    break;
            }
        }
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            if (rows == nullptr) continue;
            Row row;
            for (int c = 0, n = sqlite3_column_count(st); c < n; ++c) {
                switch (sqlite3_column_type(st, c)) {
                    case SQLITE_NULL:
                        row.emplace_back();
                        break;
                    case SQLITE_FLOAT: {
                        char b[40];
                        std::snprintf(b, sizeof b, "%.17g", sqlite3_column_double(st, c));
                        row.emplace_back(b);
                        break;
                    }
                    default: {
                        const auto* t = sqlite3_column_text(st, c);
                        row.emplace_back(std::string(reinterpret_cast<const char*>(t),
                                                     sqlite3_column_bytes(st, c)));
                    }
                }
            }
            rows->push_back(std::move(row));
        }
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        if (rc != SQLITE_DONE) {
            *error = sqlite3_errmsg(db_);
            return false;
        }
        if (changes) *changes = sqlite3_changes(db_);
        return true;
    }

    bool begin(std::string* error) override { return run("BEGIN IMMEDIATE", error); }

    bool hasTable(const std::string& name, std::string* error) override {
        std::vector<Row> rows;
        if (!exec("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?", {name},
                  &rows, nullptr, error))
            return false;
        return rows.at(0).at(0).value_or("0") != "0";
    }
    size_t maxParams() const override { return 32766; }
    bool isPostgres() const override { return false; }

private:
    // Statements are prepared once a connection: a run writes the same few
    // statements thousands of times.
    sqlite3_stmt* statement(const std::string& sql, std::string* error) {
        auto it = statements_.find(sql);
        if (it != statements_.end()) return it->second;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) !=
            SQLITE_OK) {
            *error = sqlite3_errmsg(db_);
            return nullptr;
        }
        if (statements_.size() > 64) {  // bounded: batches of odd sizes make new texts
            for (auto& [s, old] : statements_) sqlite3_finalize(old);
            statements_.clear();
        }
        statements_.emplace(sql, st);
        return st;
    }

    sqlite3* db_;
    std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<Db> openSqlite(const std::string& path, int busy_ms, std::string* error) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(
        path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
        nullptr);
    if (rc != SQLITE_OK) {
        *error = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busy_ms);
    sqlite3_extended_result_codes(db, 1);
    auto out = std::make_unique<SqliteDb>(db);
    // Foreign keys checked; a run's rows reach the disk when its transaction ends.
    if (!out->run("PRAGMA foreign_keys = ON", error) ||
        !out->run("PRAGMA synchronous = FULL", error))
        return nullptr;
    return out;
}

}  // namespace store
