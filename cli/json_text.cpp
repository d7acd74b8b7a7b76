#include "cli/json_text.h"

#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at text[i], 0 when there is none.
size_t Utf8Length(const std::string& text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    size_t length;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if (c == 0xE0 && byte(i + 1) < 0xA0)
        return 0;
    if (c == 0xED && byte(i + 1) >= 0xA0)
        return 0;
    if (c == 0xF0 && byte(i + 1) < 0x90)
        return 0;
    if (c == 0xF4 && byte(i + 1) >= 0x90)
        return 0;
    return length;
}

}  // namespace

std::string JsonQuote(const std::string& text)
{
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        char escape[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t length = Utf8Length(text, i)) {
            out.append(text, i, length);
            i += length;
            continue;
        } else {
            // A byte of the device's own code page: shown as that code point.
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        }
        ++i;
    }
    out += '"';
    return out;
}
