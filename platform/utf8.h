// UTF-8 as the reports and the store take it: well-formed sequences only (no
// overlong forms, no surrogates, nothing past U+10FFFF).
#pragma once

#include <cstddef>
#include <cstdint>

namespace utf8 {

// The length of the well-formed sequence at p[0, n) and its code point in
// *cp; 0 when p does not begin one.
inline size_t at(const unsigned char* p, size_t n, uint32_t* cp) {
    const unsigned char c = p[0];
    size_t len = 0;
    uint32_t v = 0, min = 0;
    if (c < 0x80)
        len = 1, v = c;
    else if ((c & 0xE0) == 0xC0)
        len = 2, v = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0)
        len = 3, v = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0)
        len = 4, v = c & 0x07, min = 0x10000;
    if (len == 0 || len > n) return 0;
    for (size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        v = (v << 6) | (p[k] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return len;
}

// C0 and C1 control characters, DEL among them.
inline bool isControl(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

}  // namespace utf8
