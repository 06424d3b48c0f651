#include <libpq-fe.h>

#include <cstdio>

#include "db.h"

namespace store {
namespace {

// '?' placeholders as PostgreSQL's $1, $2, ... (the store's statements hold
// no '?' inside quotes).
std::string numbered(const std::string& sql) {
    std::string out;
    int n = 0;
    for (char c : sql) {
        if (c == '?')
            out += "$" + std::to_string(++n);
        else
            out += c;
    }
    return out;
}

// libpq's message on one line: its line breaks and tabs as single spaces.
std::string oneLine(const char* text) {
    std::string out;
    for (const char* p = text ? text : ""; *p; ++p) {
        const bool blank = *p == '\n' || *p == '\t' || *p == '\r' || *p == ' ';
        if (!blank)
            out += *p;
        else if (!out.empty() && out.back() != ' ')
            out += ' ';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

class PgDb : public Db {
public:
    explicit PgDb(PGconn* c) : c_(c) {}
    ~PgDb() override { PQfinish(c_); }

    bool exec(const std::string& sql, const std::vector<Value>& params, std::vector<Row>* rows,
              int64_t* changes, std::string* error) override {
        std::vector<std::string> texts(params.size());
        std::vector<const char*> values(params.size());
        for (size_t i = 0; i < params.size(); ++i) {
            const Value& v = params[i];
            char b[40];
            switch (v.kind) {
                case Value::Null:
                    values[i] = nullptr;
                    continue;
                case Value::Int:
                    texts[i] = std::to_string(v.i);
                    break;
                case Value::Real:
                    std::snprintf(b, sizeof b, "%.17g", v.d);
                    texts[i] = b;
                    break;
                case Value::Text:
                    texts[i] = v.s;
                    break;
            }
            values[i] = texts[i].c_str();
        }
        PGresult* res = PQexecParams(c_, numbered(sql).c_str(), static_cast<int>(params.size()),
                                     nullptr, values.data(), nullptr, nullptr, 0);
        const ExecStatusType st = PQresultStatus(res);
        if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
            const char* msg = PQresultErrorMessage(res);
            *error = oneLine(msg && *msg ? msg : PQerrorMessage(c_));
            PQclear(res);
            return false;
        }
        if (rows) {
            for (int r = 0, n = PQntuples(res); r < n; ++r) {
                Row row;
                for (int c = 0, m = PQnfields(res); c < m; ++c) {
                    if (PQgetisnull(res, r, c))
                        row.emplace_back();
                    else
                        row.emplace_back(
                            std::string(PQgetvalue(res, r, c), PQgetlength(res, r, c)));
                }
                rows->push_back(std::move(row));
            }
        }
        if (changes) {
            const char* t = PQcmdTuples(res);
            *changes = t && *t ? std::stoll(t) : 0;
        }
        PQclear(res);
        return true;
    }

    bool begin(std::string* error) override { return run("BEGIN", error); }

    bool hasTable(const std::string& name, std::string* error) override {
        std::vector<Row> rows;
        if (!exec("SELECT count(*) FROM information_schema.tables WHERE table_name = ? AND "
                  "table_schema = current_schema()",
                  {name}, &rows, nullptr, error))
            return false;
        return rows.at(0).at(0).value_or("0") != "0";
    }
    size_t maxParams() const override { return 65535; }
    bool isPostgres() const override { return true; }

private:
    PGconn* c_;
};

}  // namespace

std::unique_ptr<Db> openPostgres(const std::string& conninfo, int connect_timeout_s,
                                 std::string* error) {
    // The target's own connect_timeout, if it names one, wins over ours.
    const std::string timeout = std::to_string(connect_timeout_s);
    const char* keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* values[] = {timeout.c_str(), "convbench", conninfo.c_str(), nullptr};
    PGconn* c = PQconnectdbParams(keys, values, 1);
    if (c == nullptr || PQstatus(c) != CONNECTION_OK) {
        *error = c ? oneLine(PQerrorMessage(c)) : "out of memory";
        PQfinish(c);
        return nullptr;
    }
    auto out = std::make_unique<PgDb>(c);
    if (!out->run("SET client_min_messages = warning", error)) return nullptr;
    return out;
}

}  // namespace store
