#include "line/line_url.h"

#include <algorithm>

#include "device/fail_with.h"

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

}  // namespace

bool IsTopicLevel(const std::string& name)
{
    return !name.empty() && name.size() <= 64 && std::none_of(name.begin(), name.end(), [](unsigned char c) {
        return c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7f;
    });
}

bool ParseLineUrl(const std::string& text, LineUrl& url, std::string& error)
{
    url = LineUrl{};
    const std::string form = "mqtt://HOST[:PORT]/LINE or mqtts://HOST[:PORT]/LINE";
    std::string rest;
    if (text.rfind("mqtts://", 0) == 0) {
        url.bTls = true;
        rest = text.substr(8);
    } else if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
    } else {
        return FailWith(error, "--line takes " + form + ", not '" + text + "'");
    }
    const size_t slash = rest.find('/');
    if (slash == std::string::npos)
        return FailWith(error, "--line '" + text + "' names no line: " + form);
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
            return FailWith(error, "--line '" + text + "': an IPv6 address needs its closing ']'");
        url.strHost = hostPort.substr(1, close - 1);
        if (close + 1 < hostPort.size()) {
            if (hostPort[close + 1] != ':')
                return FailWith(error, "--line '" + text + "': ':PORT' must follow the ']'");
            colon = close + 1;
        }
    } else {
        colon = hostPort.find(':');
        url.strHost = hostPort.substr(0, colon);
    }
    if (colon != std::string::npos && !ParsePort(hostPort.substr(colon + 1), url.nPort))
        return FailWith(error, "--line '" + text + "': the port must be a number from 1 to 65535");
    if (url.strHost.empty())
        return FailWith(error, "--line '" + text + "' names no host: " + form);
    if (!IsTopicLevel(url.strLine))
        return FailWith(error,
                        "--line '" + text + "': the line name must be 1 to 64 characters without '/', '+' or '#'");
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
