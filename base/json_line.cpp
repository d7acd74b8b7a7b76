#include "base/json_line.h"

#include <cstring>

std::size_t Utf8Length(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    std::size_t length;
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
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((c == 0xE0 && byte(i + 1) < 0xA0) || (c == 0xED && byte(i + 1) >= 0xA0) || (c == 0xF0 && byte(i + 1) < 0x90) ||
        (c == 0xF4 && byte(i + 1) >= 0x90))
        return 0;
    return length;
}

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

CJsonLine::CJsonLine(char* buffer, std::size_t capacity) : m_pBuffer(buffer), m_nCapacity(capacity)
{
    if (m_nCapacity > 0)
        m_pBuffer[0] = '\0';
    Open('{');
}

CJsonLine::CJsonLine(std::string& out) : m_pString(&out)
{
    Open('{');
}

bool CJsonLine::Put(const char* text, std::size_t n)
{
    if (m_pString != nullptr) {
        m_pString->append(text, n);
        return true;
    }
    // Room is kept for the closing brackets and the terminating zero.
    if (m_bFull || m_nLength + n + static_cast<std::size_t>(m_nDepth) + 1 > m_nCapacity)
        return false;
    std::memcpy(m_pBuffer + m_nLength, text, n);
    m_nLength += n;
    m_pBuffer[m_nLength] = '\0';
    return true;
}

std::size_t CJsonLine::Length() const
{
    return m_pString != nullptr ? m_pString->size() : m_nLength;
}

CJsonLine& CJsonLine::Drop(std::size_t length)
{
    if (m_pString != nullptr) {
        m_pString->resize(length);
    } else {
        m_nLength = length;
        if (m_nCapacity > 0)
            m_pBuffer[m_nLength] = '\0';
    }
    m_bFull = true;
    return *this;
}

bool CJsonLine::Open(char bracket)
{
    if (m_nDepth == kDepthMax)
        return false;
    // Counted first, so its closer has its room from the start.
    ++m_nDepth;
    if (!Put(bracket)) {
        --m_nDepth;
        return false;
    }
    m_closers[m_nDepth - 1] = bracket == '{' ? '}' : ']';
    m_bFirst[m_nDepth - 1] = true;
    return true;
}

bool CJsonLine::Key(const char* name)
{
    if (m_bFull || m_nDepth == 0)
        return false;
    bool& bFirst = m_bFirst[m_nDepth - 1];
    if (!bFirst && !Put(','))
        return false;
    bFirst = false;
    return name == nullptr || (Quoted(name) && Put(':'));
}

bool CJsonLine::Quoted(std::string_view text)
{
    if (!Put('"'))
        return false;
    std::size_t plain = 0;  // start of the run of bytes written as they are
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            if (const std::size_t length = Utf8Length(text, i)) {
                i += length;
                continue;
            }
        }
        if (!Put(text.data() + plain, i - plain))
            return false;
        const char shortForm = c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : c == '"' || c == '\\' ? c : 0;
        const char escape[6] = {
            '\\', shortForm != 0 ? shortForm : 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0x0F]};
        if (!Put(escape, shortForm != 0 ? 2 : 6))
            return false;
        plain = ++i;
    }
    return Put(text.data() + plain, text.size() - plain) && Put('"');
}

CJsonLine& CJsonLine::String(const char* name, std::string_view text)
{
    const std::size_t start = Length();
    return Key(name) && Quoted(text) ? *this : Drop(start);
}

CJsonLine& CJsonLine::Value(const char* name, std::string_view json)
{
    const std::size_t start = Length();
    return Key(name) && Put(json.data(), json.size()) ? *this : Drop(start);
}

CJsonLine& CJsonLine::Bool(const char* name, bool value)
{
    return Value(name, value ? "true" : "false");
}

CJsonLine& CJsonLine::Hex(const char* name, const uint8_t* bytes, std::size_t count)
{
    const std::size_t start = Length();
    if (!Key(name) || !Put('"'))
        return Drop(start);
    for (std::size_t i = 0; i < count; ++i) {
        const char digits[2] = {kHexDigits[bytes[i] >> 4], kHexDigits[bytes[i] & 0x0F]};
        if (!Put(digits, 2))
            return Drop(start);
    }
    return Put('"') ? *this : Drop(start);
}

CJsonLine& CJsonLine::Array(const char* name)
{
    const std::size_t start = Length();
    return Key(name) && Open('[') ? *this : Drop(start);
}

CJsonLine& CJsonLine::Element(std::string_view text)
{
    return String(nullptr, text);
}

CJsonLine& CJsonLine::Object()
{
    const std::size_t start = Length();
    return Key(nullptr) && Open('{') ? *this : Drop(start);
}

CJsonLine& CJsonLine::End()
{
    // A dropped field leaves its scope open: Close ends it.
    if (m_bFull || m_nDepth <= 1)
        return *this;
    --m_nDepth;
    // Its room was kept, so the bracket always fits.
    Put(m_closers[m_nDepth]);
    return *this;
}

std::size_t CJsonLine::Close()
{
    while (m_nDepth > 0) {
        --m_nDepth;
        if (m_pString != nullptr) {
            *m_pString += m_closers[m_nDepth];
        } else if (m_nLength + 1 < m_nCapacity) {
            m_pBuffer[m_nLength++] = m_closers[m_nDepth];
            m_pBuffer[m_nLength] = '\0';
        }
    }
    return Length();
}
