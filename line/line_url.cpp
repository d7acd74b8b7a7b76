#include "line/line_url.h"

#include <algorithm>

#include "base/fail_with.h"
#include "base/json_line.h"

namespace {

constexpr char kRoot[] = "kt3916/";

bool ParsePort(const std::string& text, uint16_t& port)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long value = std::stoul(text);
    if (value == 0 || value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

// The length of the UTF-8 character at text[at], 0 when none starts there;
// control characters (C0, DEL, C1) count as none.
size_t PrintableCharacter(const std::string& text, size_t at)
{
    const auto c = static_cast<unsigned char>(text[at]);
    if (c < 0x20 || c == 0x7f)
        return 0;
    if (c < 0x80)
        return 1;
    // U+0080 to U+009F, the C1 controls, are C2 80 to C2 9F.
    const size_t length = Utf8Length(text, at);
    return length == 2 && c == 0xc2 && static_cast<unsigned char>(text[at + 1]) <= 0x9f ? 0 : length;
}

}  // namespace

const char* NameRule()
{
    return "1 to 64 bytes of printable UTF-8 without a space, '/', '+' or '#'";
}

bool IsTopicLevel(const std::string& name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (size_t at = 0; at < name.size();) {
        const size_t length = PrintableCharacter(name, at);
        if (length == 0 || name[at] == ' ' || name[at] == '/' || name[at] == '+' || name[at] == '#')
            return false;
        at += length;
    }
    return true;
}

std::string ShownText(const std::string& text, size_t max)
{
    std::string shown;
    for (size_t at = 0; at < text.size();) {
        if (shown.size() >= max)
            return shown + "...";
        const size_t length = PrintableCharacter(text, at);
        shown += length ? text.substr(at, length) : "?";
        at += length ? length : 1;
    }
    return shown;
}

bool ParseLineUrl(const std::string& text, LineUrl& url, std::string& error)
{
    url = LineUrl{};
    const std::string form = "mqtt://HOST[:PORT]/LINE or mqtts://HOST[:PORT]/LINE";
    const std::string shown = "--line '" + ShownText(text) + "'";
    std::string rest;
    if (text.rfind("mqtts://", 0) == 0) {
        url.bTls = true;
        rest = text.substr(8);
    } else if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
    } else {
        return FailWith(error, "--line takes " + form + ", not '" + ShownText(text) + "'");
    }
    if (rest.find_first_of("?#") != std::string::npos)
        return FailWith(error, shown + ": a line's URL takes no query ('?') or fragment ('#'): " + form);
    const size_t slash = rest.find('/');
    if (slash == std::string::npos)
        return FailWith(error, shown + " names no line: " + form);
    std::string hostPort = rest.substr(0, slash);
    url.strLine = rest.substr(slash + 1);
    // A password on the command line is in every process listing.
    if (hostPort.find('@') != std::string::npos)
        return FailWith(error, "--line takes no user name or password: give them in a file (--line-credentials)");
    url.nPort = url.bTls ? 8883 : 1883;
    // [v6]:port, or host:port
    size_t colon = std::string::npos;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const size_t close = hostPort.find(']');
        if (close == std::string::npos)
            return FailWith(error, shown + ": an IPv6 address needs its closing ']'");
        url.strHost = hostPort.substr(1, close - 1);
        if (close + 1 < hostPort.size()) {
            if (hostPort[close + 1] != ':')
                return FailWith(error, shown + ": ':PORT' must follow the ']'");
            colon = close + 1;
        }
    } else {
        colon = hostPort.find(':');
        url.strHost = hostPort.substr(0, colon);
    }
    if (colon != std::string::npos && !ParsePort(hostPort.substr(colon + 1), url.nPort))
        return FailWith(error, shown + ": the port must be a number from 1 to 65535");
    if (url.strHost.empty())
        return FailWith(error, shown + " names no host: " + form);
    if (!IsTopicLevel(url.strLine))
        return FailWith(error, shown + ": a line's name is " + std::string(NameRule()));
    return true;
}

std::string ApprovedTopic(const std::string& line)
{
    return kRoot + line + "/approved";
}

std::string StationTopic(const std::string& line, const std::string& station, const char* leaf)
{
    return kRoot + line + "/station/" + station + "/" + leaf;
}

std::string StationWildcard(const std::string& line, const char* leaf)
{
    return kRoot + line + "/station/+/" + leaf;
}

std::string CollectorTopic(const std::string& line, const std::string& collector)
{
    return kRoot + line + "/collector/" + collector;
}

std::string StationOfTopic(const std::string& topic)
{
    // kt3916/LINE/station/NAME/leaf
    const size_t station = topic.find("/station/");
    if (station == std::string::npos)
        return {};
    const size_t begin = station + 9;
    const size_t end = topic.find('/', begin);
    return end == std::string::npos ? std::string() : topic.substr(begin, end - begin);
}
