// A small JSON reader for tests that parse reports back: flattens objects to
// "outer.inner" keys with the value's text (strings without their quotes).
#pragma once

#include <map>
#include <string>

namespace testsupport {

// False when text is not one JSON object (arrays are not supported).
bool flattenJson(const std::string& text, std::map<std::string, std::string>* out);

}  // namespace testsupport
