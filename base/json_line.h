#pragma once
#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The length of the valid multi-byte UTF-8 sequence at text[i] (2 to 4), 0
// when none starts there: an ASCII byte, a stray or overlong byte, a
// surrogate, a code point past U+10FFFF, or a sequence cut short.
std::size_t Utf8Length(std::string_view text, std::size_t i);

// One JSON object on one line, for the events, the log and the transcript
// alike, so the same text reads the same in all three. Strings keep valid
// UTF-8 as it is; a control character, and a byte that is not part of valid
// UTF-8, is written as \u00XX of that byte (\n, \r, \t, \" and \\ short), so
// every line parses and no byte a device sent is lost: such an escape above
// \u007f can only stand for a raw byte, since valid UTF-8 is never escaped.
//
// Written into a fixed buffer, the writer never touches the heap: a field
// that does not fit whole is dropped with every field after it, and the
// closing brackets always have their place. Written into a string, it grows.
class CJsonLine {
public:
    CJsonLine(char* buffer, std::size_t capacity);
    explicit CJsonLine(std::string& out);

    CJsonLine& String(const char* name, std::string_view text);
    CJsonLine& Bool(const char* name, bool value);
    // Lower-case hex digits of bytes, as a string.
    CJsonLine& Hex(const char* name, const uint8_t* bytes, std::size_t count);
    template <std::integral T>
    requires(!std::same_as<T, bool>) CJsonLine& Number(const char* name, T value)
    {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        return Value(name, std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }

    // A named array of the object (or one inside an array when name is
    // null); Element and Object add to it, End closes it.
    CJsonLine& Array(const char* name);
    CJsonLine& Element(std::string_view text);
    CJsonLine& Object();
    CJsonLine& End();

    // Closes whatever is still open; the length of the line, no newline.
    std::size_t Close();

private:
    static constexpr int kDepthMax = 4;

    // A value written as it is.
    CJsonLine& Value(const char* name, std::string_view json);
    // The separator and "name": before a value; false when it did not fit.
    bool Key(const char* name);
    bool Quoted(std::string_view text);
    bool Put(const char* text, std::size_t n);
    bool Put(char ch) { return Put(&ch, 1); }
    bool Open(char bracket);
    std::size_t Length() const;
    // A field that did not fit: it goes, and so does everything after it.
    CJsonLine& Drop(std::size_t length);

    std::string* m_pString = nullptr;
    char* m_pBuffer = nullptr;
    std::size_t m_nCapacity = 0;
    std::size_t m_nLength = 0;
    bool m_bFull = false;
    int m_nDepth = 0;
    char m_closers[kDepthMax] = {};
    bool m_bFirst[kDepthMax] = {};
};
