#include "xml_reader.h"

#include <expat.h>

namespace testsupport {
namespace {

void collect(const Xml& x, const std::string& name, std::vector<const Xml*>* out) {
    for (const Xml& c : x.children) {
        if (c.name == name) out->push_back(&c);
        collect(c, name, out);
    }
}

struct Tree {
    Xml* root;
    std::vector<Xml*> open;  // the elements begun and not yet ended, innermost last
};

void begin(void* data, const XML_Char* name, const XML_Char** attrs) {
    Tree& t = *static_cast<Tree*>(data);
    Xml* e = t.open.empty() ? t.root : &t.open.back()->children.emplace_back();
    e->name = name;
    for (; *attrs; attrs += 2) e->attrs[attrs[0]] = attrs[1];
    t.open.push_back(e);
}

void end(void* data, const XML_Char*) {
    static_cast<Tree*>(data)->open.pop_back();
}

void text(void* data, const XML_Char* s, int n) {
    static_cast<Tree*>(data)->open.back()->text.append(s, static_cast<size_t>(n));
}

}  // namespace

std::vector<const Xml*> Xml::all(const std::string& name) const {
    std::vector<const Xml*> out;
    collect(*this, name, &out);
    return out;
}

bool parseXml(const std::string& doc, Xml* out, std::string* error) {
    *out = Xml();
    Tree tree{out, {}};
    XML_Parser p = XML_ParserCreate("UTF-8");
    XML_SetUserData(p, &tree);
    XML_SetElementHandler(p, begin, end);
    XML_SetCharacterDataHandler(p, text);
    const bool ok = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), 1) == XML_STATUS_OK;
    if (!ok && error)
        *error = std::string(XML_ErrorString(XML_GetErrorCode(p))) + " at line " +
                 std::to_string(XML_GetCurrentLineNumber(p));
    XML_ParserFree(p);
    return ok;
}

}  // namespace testsupport
