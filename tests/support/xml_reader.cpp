#include "xml_reader.h"

#include <expat.h>

namespace testsupport {
namespace {

// The parser's user data: the elements begun and not yet ended, innermost last,
// below a holder whose one child becomes the document.
using Open = std::vector<Xml*>;

void begin(void* data, const XML_Char* name, const XML_Char** attrs) {
    Open& open = *static_cast<Open*>(data);
    Xml* e = &open.back()->children.emplace_back();
    e->name = name;
    for (; *attrs; attrs += 2) e->attrs[attrs[0]] = attrs[1];
    open.push_back(e);
}

void end(void* data, const XML_Char*) {
    static_cast<Open*>(data)->pop_back();
}

void text(void* data, const XML_Char* s, int n) {
    static_cast<Open*>(data)->back()->text.append(s, static_cast<size_t>(n));
}

}  // namespace

std::vector<const Xml*> Xml::all(const std::string& name) const {
    std::vector<const Xml*> out;
    for (const Xml& c : children) {
        if (c.name == name) out.push_back(&c);
        const std::vector<const Xml*> below = c.all(name);
        out.insert(out.end(), below.begin(), below.end());
    }
    return out;
}

bool parseXml(const std::string& doc, Xml* out, std::string* error) {
    Xml holder;
    Open open{&holder};
    XML_Parser p = XML_ParserCreate("UTF-8");
    XML_SetUserData(p, &open);
    XML_SetElementHandler(p, begin, end);
    XML_SetCharacterDataHandler(p, text);
    const bool ok = XML_Parse(p, doc.data(), static_cast<int>(doc.size()), 1) == XML_STATUS_OK;
    if (!ok && error)
        *error = std::string(XML_ErrorString(XML_GetErrorCode(p))) + " at line " +
                 std::to_string(XML_GetCurrentLineNumber(p));
    XML_ParserFree(p);
    *out = holder.children.empty() ? Xml() : std::move(holder.children.front());
    return ok;
}

}  // namespace testsupport
