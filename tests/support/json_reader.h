// A small JSON reader for tests that parse the program's reports back.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

struct Json {
    enum Type { Null, Bool, Number, String, Array, Object } type = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;

    // The field `key` of an object; a Null value when there is none.
    const Json& operator[](const std::string& key) const;
    const Json& operator[](size_t i) const { return items.at(i); }
    bool has(const std::string& key) const { return fields.count(key) != 0; }
    uint64_t count() const { return static_cast<uint64_t>(number); }
};

// Parses text; false (with the offset of the fault in *error) if it is not JSON.
bool parseJson(const std::string& text, Json* out, std::string* error = nullptr);

}  // namespace testsupport
