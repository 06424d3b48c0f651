#include "xml_reader.h"

#include <cctype>

namespace testsupport {
namespace {

struct Reader {
    const std::string& s;
    size_t i = 0;

    void space() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) ++i;
    }
    bool name(std::string* out) {
        const size_t b = i;
        while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) || s[i] == '_' ||
                                s[i] == '-' || s[i] == '.' || s[i] == ':'))
            ++i;
        *out = s.substr(b, i - b);
        return i > b;
    }
    // Text up to `stop`, with entities resolved; '<' never belongs to text.
    bool text(char stop, std::string* out) {
        static const std::pair<const char*, char> entities[] = {
            {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
        while (i < s.size() && s[i] != stop) {
            if (s[i] == '<') return false;
            if (s[i] != '&') {
                *out += s[i++];
                continue;
            }
            bool known = false;
            for (const auto& [e, c] : entities) {
                const std::string w(e);
                if (s.compare(i, w.size(), w) == 0) {
                    *out += c;
                    i += w.size();
                    known = true;
                    break;
                }
            }
            if (!known) return false;
        }
        return i < s.size() || stop == '<';
    }
    bool element(Xml* e) {
        if (i >= s.size() || s[i] != '<') return false;
        ++i;
        if (!name(&e->name)) return false;
        for (;;) {
            space();
            if (i >= s.size()) return false;
            if (s.compare(i, 2, "/>") == 0) {
                i += 2;
                return true;
            }
            if (s[i] == '>') break;
            std::string key, value;
            if (!name(&key) || s.compare(i, 2, "=\"") != 0) return false;
            i += 2;
            if (!text('"', &value) || e->attrs.count(key)) return false;
            ++i;
            e->attrs[key] = value;
        }
        ++i;
        for (;;) {
            if (!text('<', &e->text) || i >= s.size()) return false;
            if (s.compare(i, 2, "</") == 0) {
                i += 2;
                std::string end;
                if (!name(&end) || end != e->name) return false;
                space();
                if (i >= s.size() || s[i] != '>') return false;
                ++i;
                return true;
            }
            e->children.emplace_back();
            if (!element(&e->children.back())) return false;
        }
    }
};

void collect(const Xml& x, const std::string& name, std::vector<const Xml*>* out) {
    for (const Xml& c : x.children) {
        if (c.name == name) out->push_back(&c);
        collect(c, name, out);
    }
}

}  // namespace

std::vector<const Xml*> Xml::all(const std::string& name) const {
    std::vector<const Xml*> out;
    collect(*this, name, &out);
    return out;
}

bool parseXml(const std::string& text, Xml* out, std::string* error) {
    Reader r{text};
    if (text.compare(0, 5, "<?xml") == 0) {
        r.i = text.find("?>");
        if (r.i == std::string::npos)
            r.i = text.size();
        else
            r.i += 2;
    }
    r.space();
    *out = Xml();
    bool ok = r.element(out);
    if (ok) {
        r.space();
        ok = r.i == text.size();
    }
    if (!ok && error) *error = "not well-formed XML at offset " + std::to_string(r.i);
    return ok;
}

}  // namespace testsupport
