#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>

#include "device/recording_host.h"
#include "device/transcript.h"
#include "run/progress_output.h"
#include "tests/cli_test_support.h"
#include "tests/fake_host.h"

namespace {

// A host whose every pass-through call fails with a text the test chooses.
class CFailingWithText final : public FakeScsiHost {
public:
    explicit CFailingWithText(std::string text) : m_strText(std::move(text))
    {
        onPassThrough = [](HostHandle, PassThroughRequest&) { return false; };
    }
    void DescribeLastFailure(char* text, std::size_t size) override
    {
        std::snprintf(text, size, "%s", m_strText.c_str());
    }

private:
    std::string m_strText;
};

std::string EventLine(const std::string& text)
{
    return FlashEventJson({.kind = FlashEventKind::Message, .strText = text}, FlashRecord{}, 0);
}

std::string LogLine(const std::string& text)
{
    CFailingWithText fake(text);
    std::ostringstream log;
    RecordingOptions options;
    options.pLog = &log;
    CRecordingHost recorder(fake, options);
    PassThroughRequest request{};
    recorder.SendPassThrough(recorder.OpenDevice("\\\\.\\D:"), request);
    return log.str();
}

std::string TranscriptLine(const std::string& text)
{
    TranscriptRecord record;
    record.result = "fail";
    record.error = text;
    char line[kTranscriptLineMax];
    return std::string(line, FormatTranscriptLine(record, line));
}

// The same text reads the same in the events, the log and the transcript:
// valid UTF-8 as it is, control characters and stray bytes as \u00XX.
TEST(JsonLine, TheSameTextIsTheSameBytesInEveryOutput)
{
    const struct {
        std::string in;
        std::string out;  // the JSON string, quotes included
    } cases[] = {
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\tnew\nline\r", "\"tab\\tnew\\nline\\r\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"\x1b[1A\x08", "\"\\u001b[1A\\u0008\""},
        {"\x7f", "\"\\u007f\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},                                      // valid UTF-8 stays
        {"\xe2\x82\xac \xf0\x9f\x92\xbe", "\"\xe2\x82\xac \xf0\x9f\x92\xbe\""},  // 3 and 4 bytes too
        {"\xe9t\xe9", "\"\\u00e9t\\u00e9\""},                                    // a code-page byte from a device
        {"\xc3", "\"\\u00c3\""},                                                 // a sequence cut short
        {"\xe2\x82z", "\"\\u00e2\\u0082z\""},                                    // a sequence broken off
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},                                      // an overlong form
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},                           // a surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},                // past U+10FFFF
        // The edges: the last control character and the first plain one,
        {"\x1f \x7e", "\"\\u001f ~\""},
        // the first and last code points of each length, and the overlong
        // forms and leads just outside them,
        {"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf", "\"\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\""},
        {"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", "\"\xf0\x90\x80\x80\xf4\x8f\xbf\xbf\""},
        {"\xc1\xbf", "\"\\u00c1\\u00bf\""},
        {"\xe0\x9f\xbf", "\"\\u00e0\\u009f\\u00bf\""},
        {"\xf0\x8f\xbf\xbf", "\"\\u00f0\\u008f\\u00bf\\u00bf\""},
        {"\xf5\x80\x80\x80", "\"\\u00f5\\u0080\\u0080\\u0080\""},
        // a lead followed by another lead, whose own sequence stays whole,
        {"\xe2\xc2\xa9", "\"\\u00e2\xc2\xa9\""},
        // and a four-byte sequence cut short at the end.
        {"\xf0\x9f\x92", "\"\\u00f0\\u009f\\u0092\""},
    };
    for (const auto& c : cases) {
        const std::string event = EventLine(c.in);
        const std::string transcript = TranscriptLine(c.in);
        EXPECT_NE(event.find(",\"text\":" + c.out + "}"), std::string::npos) << event;
        EXPECT_NE(transcript.find(",\"error\":" + c.out + "}"), std::string::npos) << transcript;
        // A host's failure text is a C string: it cannot hold a zero byte.
        if (c.in.find('\0') == std::string::npos) {
            const std::string log = LogLine(c.in);
            EXPECT_NE(log.find(",\"error\":" + c.out + "}\n"), std::string::npos) << log;
        }
        for (const std::string& line : {event, transcript}) {
            std::map<std::string, std::string> fields;
            EXPECT_TRUE(cli_test::JsonReader::ParseObject(line, fields)) << line;
        }
    }
}

}  // namespace
