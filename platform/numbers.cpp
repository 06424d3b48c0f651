#include "numbers.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace numbers {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits only, at least one, into *out; `too_large` past 2^64 - 1.
bool digits(const char* p, const char* end, uint64_t* out, bool* too_large) {
    if (p == end) return false;
    uint64_t v = 0;
    *too_large = false;
    for (; p != end; ++p) {
        if (!isDigit(*p)) return false;
        const uint64_t d = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - d) / 10) *too_large = true;
        if (!*too_large) v = v * 10 + d;
    }
    *out = v;
    return true;
}

}  // namespace

Parsed parseUnsigned(const std::string& text, uint64_t lo, uint64_t hi, uint64_t* out) {
    const char* b = text.data();
    const char* e = b + text.size();
    uint64_t v;
    bool too_large;
    if (!digits(b, e, &v, &too_large)) return Parsed::NotANumber;
    if (too_large || v < lo || v > hi) return Parsed::OutOfRange;
    *out = v;
    return Parsed::Ok;
}

Parsed parseWhole(const std::string& text, int64_t lo, int64_t hi, int64_t* out) {
    const char* b = text.data();
    const char* e = b + text.size();
    const bool negative = b != e && *b == '-';
    if (negative) {
        if (lo >= 0) return Parsed::NotANumber;
        ++b;
    }
    uint64_t m;
    bool too_large;
    if (!digits(b, e, &m, &too_large)) return Parsed::NotANumber;
    if (too_large) return Parsed::OutOfRange;
    int64_t v;
    if (negative) {
        if (m > static_cast<uint64_t>(INT64_MAX) + 1) return Parsed::OutOfRange;
        v = m == static_cast<uint64_t>(INT64_MAX) + 1 ? INT64_MIN : -static_cast<int64_t>(m);
    } else {
        if (m > static_cast<uint64_t>(INT64_MAX)) return Parsed::OutOfRange;
        v = static_cast<int64_t>(m);
    }
    if (v < lo || v > hi) return Parsed::OutOfRange;
    *out = v;
    return Parsed::Ok;
}

Parsed parseDecimal(const std::string& text, double lo, double hi, double* out) {
    const char* b = text.data();
    const char* e = b + text.size();
    const char* p = b;
    if (p != e && *p == '-') {
        if (lo >= 0) return Parsed::NotANumber;
        ++p;
    }
    size_t n_digits = 0, n_dots = 0;
    for (const char* q = p; q != e; ++q) {
        if (isDigit(*q))
            ++n_digits;
        else if (*q == '.')
            ++n_dots;
        else
            return Parsed::NotANumber;
    }
    if (n_digits == 0 || n_dots > 1) return Parsed::NotANumber;
    // The text is now [-]digits[.digits]: from_chars reads it the same in any locale.
    double v = 0;
    const std::from_chars_result r = std::from_chars(b, e, v, std::chars_format::fixed);
    if (r.ec == std::errc::result_out_of_range) return Parsed::OutOfRange;
    if (r.ec != std::errc() || r.ptr != e) return Parsed::NotANumber;
    if (!std::isfinite(v) || v < lo || v > hi) return Parsed::OutOfRange;
    *out = v == 0 ? 0.0 : v;  // "-0" is 0
    return Parsed::Ok;
}

std::string plainHint(bool whole) {
    return whole
               ? ": write a plain decimal whole number (digits only)"
               : ": write a plain decimal number (digits and one '.'; no exponent, sign or spaces)";
}

std::string visible(const std::string& text, size_t max) {
    std::string out;
    const size_t n = text.size();
    size_t i = 0;
    auto hex = [&out](unsigned char c) {
        char buf[5];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
    };
    while (i < n && i < max) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c == '\n' || c == '\t' || c == '\r') {
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
            ++i;
            continue;
        }
        // UTF-8: a whole, shortest-form sequence of a printable code point is
        // kept; C1 controls, surrogates and broken bytes are shown as \xNN.
        size_t len = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c < 0xe0 ? 2 : 0;
        if (c >= 0xf5) len = 0;
        uint32_t cp = len == 2 ? c & 0x1f : len == 3 ? c & 0x0f : c & 0x07;
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            const unsigned char t = static_cast<unsigned char>(text[i + k]);
            ok = (t & 0xc0) == 0x80;
            cp = cp << 6 | (t & 0x3f);
        }
        ok = ok && cp >= 0xa0 && !(cp >= 0xd800 && cp <= 0xdfff) && cp <= 0x10ffff &&
             !(len == 3 && cp < 0x800) && !(len == 4 && cp < 0x10000);
        if (ok) {
            out.append(text, i, len);
            i += len;
        } else {
            hex(c);
            ++i;
        }
    }
    if (i < n) out += "...";
    return out;
}

std::string quoted(const std::string& text, size_t max) {
    return "'" + visible(text, max) + "'";
}

std::string limitText(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", v);
    std::string s = buf;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

bool optionValue(std::string* name, int argc, const char* const* argv, int* i, std::string* value) {
    const size_t eq = name->find('=');
    if (eq != std::string::npos) {
        *value = name->substr(eq + 1);
        name->resize(eq);
        return true;
    }
    if (*i + 1 >= argc) return false;
    *value = argv[++*i];
    return true;
}

}  // namespace numbers
