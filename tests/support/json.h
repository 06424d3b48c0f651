// JSON for tests that parse the programs' reports back.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace testsupport {

using Json = nlohmann::json;

// Parses text; false (with a reason in *error) when it is not JSON.
inline bool parseJson(const std::string& text, Json* out, std::string* error = nullptr) {
    *out = Json::parse(text, nullptr, false);
    if (!out->is_discarded()) return true;
    if (error) *error = "not JSON";
    return false;
}

}  // namespace testsupport
