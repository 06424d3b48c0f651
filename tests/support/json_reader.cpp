#include "json_reader.h"

#include <cstdlib>

namespace testsupport {
namespace {

struct Reader {
    const std::string& s;
    size_t i = 0;

    void space() {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')) ++i;
    }
    bool literal(const char* word) {
        const std::string w(word);
        if (s.compare(i, w.size(), w) != 0) return false;
        i += w.size();
        return true;
    }
    bool string(std::string* out) {
        if (s[i] != '"') return false;
        for (++i; i < s.size() && s[i] != '"'; ++i) {
            if (s[i] != '\\') {
                *out += s[i];
                continue;
            }
            if (++i >= s.size()) return false;
            const char c = s[i];
            if (c == 'u') {
                if (i + 4 >= s.size()) return false;
                *out += static_cast<char>(std::strtol(s.substr(i + 1, 4).c_str(), nullptr, 16));
                i += 4;
            } else {
                *out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
            }
        }
        if (i >= s.size()) return false;
        ++i;
        return true;
    }
    bool value(Json* v) {
        space();
        if (i >= s.size()) return false;
        const char c = s[i];
        if (c == '{') {
            v->type = Json::Object;
            ++i;
            space();
            if (i < s.size() && s[i] == '}') return ++i, true;
            for (;;) {
                space();
                std::string key;
                if (i >= s.size() || !string(&key)) return false;
                space();
                if (i >= s.size() || s[i++] != ':') return false;
                if (!value(&v->fields[key])) return false;
                space();
                if (i < s.size() && s[i] == ',') {
                    ++i;
                    continue;
                }
                return i < s.size() && s[i++] == '}';
            }
        }
        if (c == '[') {
            v->type = Json::Array;
            ++i;
            space();
            if (i < s.size() && s[i] == ']') return ++i, true;
            for (;;) {
                v->items.emplace_back();
                if (!value(&v->items.back())) return false;
                space();
                if (i < s.size() && s[i] == ',') {
                    ++i;
                    continue;
                }
                return i < s.size() && s[i++] == ']';
            }
        }
        if (c == '"') return v->type = Json::String, string(&v->text);
        if (literal("true")) return v->type = Json::Bool, v->boolean = true, true;
        if (literal("false")) return v->type = Json::Bool, true;
        if (literal("null")) return true;
        char* end = nullptr;
        v->number = std::strtod(s.c_str() + i, &end);
        if (end == s.c_str() + i) return false;
        v->type = Json::Number;
        i = static_cast<size_t>(end - s.c_str());
        return true;
    }
};

}  // namespace

const Json& Json::operator[](const std::string& key) const {
    static const Json none;
    const auto it = fields.find(key);
    return it == fields.end() ? none : it->second;
}

bool parseJson(const std::string& text, Json* out, std::string* error) {
    Reader r{text};
    *out = Json();
    bool ok = r.value(out);
    r.space();
    ok = ok && r.i == text.size();
    if (!ok && error) *error = "not JSON at offset " + std::to_string(r.i);
    return ok;
}

}  // namespace testsupport
