#include "device/transcript.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "device/sense_text.h"

namespace {

// Appends fields to a line buffer. A field that does not fit whole is
// dropped together with every field after it, and the closing brace always
// has its place.
class CLineWriter {
public:
    explicit CLineWriter(char (&line)[kTranscriptLineMax]) : m_line(line) { m_line[0] = '\0'; }

    // printf-style text; false (and nothing added) when it does not fit.
    bool Format(const char* format, ...)
    {
        if (m_bFull)
            return false;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(m_line + m_nLength, Room(), format, args);
        va_end(args);
        if (n < 0 || static_cast<std::size_t>(n) >= Room())
            return Overflow();
        m_nLength += static_cast<std::size_t>(n);
        return true;
    }

    // ,"name":"text" with text escaped for JSON.
    bool StringField(const char* name, std::string_view text)
    {
        const std::size_t start = m_nLength;
        if (!Format(",\"%s\":\"", name))
            return false;
        static constexpr char kHex[] = "0123456789abcdef";
        for (const char ch : text) {
            const unsigned char c = static_cast<unsigned char>(ch);
            char escaped[6] = {ch};
            std::size_t n = 1;
            if (c == '"' || c == '\\') {
                escaped[0] = '\\';
                escaped[1] = ch;
                n = 2;
            } else if (c < 0x20 || c >= 0x7F) {
                // A control character, or a byte of the system's code page
                // shown as that code point: the line stays valid JSON.
                const char unicode[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
                std::memcpy(escaped, unicode, sizeof unicode);
                n = sizeof unicode;
            }
            if (!Append(escaped, n))
                return Revert(start);
        }
        return Append("\"", 1) || Revert(start);
    }

    std::size_t Close()
    {
        m_line[m_nLength++] = '}';
        m_line[m_nLength] = '\0';
        return m_nLength;
    }

private:
    bool Append(const char* text, std::size_t n)
    {
        if (m_bFull || n >= Room())
            return false;
        std::memcpy(m_line + m_nLength, text, n);
        m_nLength += n;
        m_line[m_nLength] = '\0';
        return true;
    }
    // Room for text before the closing brace and the terminating zero.
    std::size_t Room() const { return kTranscriptLineMax - 1 - m_nLength; }
    bool Overflow()
    {
        m_line[m_nLength] = '\0';
        m_bFull = true;
        return false;
    }
    bool Revert(std::size_t length)
    {
        m_nLength = length;
        return Overflow();
    }

    char (&m_line)[kTranscriptLineMax];
    std::size_t m_nLength = 0;
    bool m_bFull = false;
};

}  // namespace

std::size_t FormatTranscriptLine(const TranscriptRecord& record, char (&line)[kTranscriptLineMax])
{
    CLineWriter out(line);
    const uint8_t* c = record.cdb;
    out.Format("{\"t_ms\":%" PRIu64, record.tMs);
    if (!record.time.empty())
        out.StringField("time", record.time);
    out.Format(",\"drive\":\"%c\"", record.drive != '\0' ? record.drive : '-');
    if (!record.node.empty())
        out.StringField("node", record.node);
    out.Format(",\"cdb\":\"%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x\"", c[0], c[1], c[2], c[3], c[4], c[5],
               c[6], c[7], c[8], c[9], c[10], c[11]);
    out.Format(",\"dir\":\"%s\",\"len\":%" PRIu32, record.dataIn ? "in" : "out", record.length);
    out.StringField("result", record.result);
    if (record.scsiStatus >= 0) {
        out.Format(",\"status\":\"%02x\"", static_cast<unsigned>(record.scsiStatus));
        if (const char* name = ScsiStatusName(static_cast<uint8_t>(record.scsiStatus)))
            out.StringField("status_name", name);
    }
    out.Format(",\"sense\":\"%02x%02x%02x\"", record.sense[0], record.sense[1], record.sense[2]);
    const SenseCode sense{record.sense[0], record.sense[1], record.sense[2]};
    if (record.bSenseWords && !sense.IsEmpty()) {
        out.StringField("sense_key", SenseKeyName(sense.key));
        const char* additional = AdditionalSenseText(sense.asc, sense.ascq);
        out.StringField("sense_asc", additional != nullptr ? additional : "not known to this tool");
    }
    if (!record.dataIn && record.dataSha256[0] != '\0')
        out.Format(",\"data_sha256\":\"%.64s\"", record.dataSha256);
    if (record.durationUs >= 0)
        out.Format(",\"duration_us\":%" PRId64, record.durationUs);
    if (!record.error.empty())
        out.StringField("error", record.error);
    return out.Close();
}
