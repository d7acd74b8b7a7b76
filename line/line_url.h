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

// False with the reason in error: a LINE or station name must be one topic
// level, so it may hold none of '/', '+', '#' (and no control character).
bool ParseLineUrl(const std::string& text, LineUrl& url, std::string& error);
bool IsTopicLevel(const std::string& name);

// The line's topics.
std::string ApprovedTopic(const std::string& line);
std::string StationTopic(const std::string& line, const std::string& station, const char* leaf);
std::string StationWildcard(const std::string& line, const char* leaf);
// The station's name out of a station topic; empty when it is none.
std::string StationOfTopic(const std::string& topic);
