// XML for tests that parse the programs' XML reports back: a document read by
// expat (well-formed XML 1.0, strict UTF-8) into a tree of elements.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct Xml {
    std::string name;
    std::map<std::string, std::string> attrs;
    std::string text;  // the element's own text, entities resolved
    std::vector<Xml> children;

    std::string attr(const std::string& key) const {
        const auto it = attrs.find(key);
        return it == attrs.end() ? "" : it->second;
    }
    // Every element named `name` below this one, at any depth, in document order.
    std::vector<const Xml*> all(const std::string& name) const;
};

// Parses a document; false, with expat's reason in *error, if it is not well formed.
bool parseXml(const std::string& text, Xml* out, std::string* error = nullptr);

}  // namespace testsupport
