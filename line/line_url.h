#pragma once
#include <cstdint>
#include <string>

// Where a line lives: mqtt[s]://HOST[:PORT]/LINE. Every topic of the line
// sits under kt3916/LINE/, so one broker (or a plant of bridged brokers)
// carries many lines apart.
struct LineUrl {
    bool bTls = false;
    std::string strHost;
    uint16_t nPort = 0;  // 1883, or 8883 with TLS, unless named
    std::string strLine;
};

// False with the reason in error. A URL with a user, a query or a fragment
// is refused rather than read some other way.
bool ParseLineUrl(const std::string& text, LineUrl& url, std::string& error);
// The one rule for a line's and a station's name: one topic level of MQTT,
// readable in a file name and on a terminal. NameRule() states it whole.
bool IsTopicLevel(const std::string& name);
const char* NameRule();
// Text from outside (a name, a URL, a message) as a message may quote it:
// control characters and bytes that are not UTF-8 as '?', and cut to about
// max bytes with "..." (so a 100,000-character name is not echoed whole).
std::string ShownText(const std::string& text, size_t max = 80);

// The line's topics.
std::string ApprovedTopic(const std::string& line);
std::string StationTopic(const std::string& line, const std::string& station, const char* leaf);
std::string StationWildcard(const std::string& line, const char* leaf);
// Where each collector of the line says, retained, whether it is online.
std::string CollectorTopic(const std::string& line, const std::string& collector);
// The station's name out of a station topic; empty when it is none.
std::string StationOfTopic(const std::string& topic);
