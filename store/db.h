// The two databases the store writes, behind one small interface: statements
// with '?' parameters, rows of text. Internal to the store.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace store {

struct Value {
    enum Kind { Null, Int, Real, Text } kind = Null;
    int64_t i = 0;
    double d = 0;
    std::string s;
    Value() = default;
    Value(int64_t v) : kind(Int), i(v) {}
    Value(int v) : kind(Int), i(v) {}
    Value(bool v) : kind(Int), i(v ? 1 : 0) {}
    Value(double v) : kind(Real), d(v) {}
    Value(std::string v) : kind(Text), s(std::move(v)) {}
    Value(const char* v) : kind(Text), s(v) {}
};

using Row = std::vector<std::optional<std::string>>;

class Db {
public:
    virtual ~Db() = default;
    // One statement; rows (when asked for) as text, NULL as nullopt; *changes
    // the rows an INSERT, UPDATE or DELETE touched.
    virtual bool exec(const std::string& sql, const std::vector<Value>& params,
                      std::vector<Row>* rows, int64_t* changes, std::string* error) = 0;
    // A transaction that writes: begun so no other writer can come between.
    virtual bool begin(std::string* error) = 0;
    virtual bool hasTable(const std::string& name, std::string* error) = 0;
    // Parameters one statement takes at most.
    virtual size_t maxParams() const = 0;
    virtual bool isPostgres() const = 0;

    bool run(const std::string& sql, std::string* error) {
        return exec(sql, {}, nullptr, nullptr, error);
    }
};

// nullptr with *error when the database cannot be opened.
std::unique_ptr<Db> openSqlite(const std::string& path, int busy_ms, std::string* error);
std::unique_ptr<Db> openPostgres(const std::string& conninfo, int connect_timeout_s,
                                 std::string* error);

}  // namespace store
