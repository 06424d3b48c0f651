#include "json_flat.h"

#include <cctype>

namespace testsupport {
namespace {

struct Reader {
    const std::string& s;
    size_t i = 0;
    std::map<std::string, std::string>* out;

    void space() {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    }
    bool string(std::string* v) {
        if (s[i] != '"') return false;
        for (++i; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] == '\\' && ++i >= s.size()) return false;
            *v += s[i];
        }
        return i++ < s.size();
    }
    bool value(const std::string& key) {
        space();
        if (i >= s.size()) return false;
        if (s[i] == '{') return object(key + ".");
        std::string v;
        if (s[i] == '"') {
            if (!string(&v)) return false;
        } else {
            while (i < s.size() && (std::isalnum(static_cast<unsigned char>(s[i])) ||
                                    s[i] == '-' || s[i] == '+' || s[i] == '.'))
                v += s[i++];
            if (v.empty()) return false;
        }
        (*out)[key] = v;
        return true;
    }
    bool object(const std::string& prefix) {
        ++i;  // '{'
        for (;;) {
            space();
            if (i < s.size() && s[i] == '}') return ++i, true;
            std::string key;
            if (i >= s.size() || !string(&key)) return false;
            space();
            if (i >= s.size() || s[i++] != ':' || !value(prefix + key)) return false;
            space();
            if (i < s.size() && s[i] == ',') ++i;
            else if (i >= s.size() || s[i] != '}') return false;
        }
    }
};

}  // namespace

bool flattenJson(const std::string& text, std::map<std::string, std::string>* out) {
    Reader r{text, 0, out};
    r.space();
    if (r.i >= text.size() || text[r.i] != '{' || !r.object("")) return false;
    r.space();
    return r.i == text.size();
}

}  // namespace testsupport
