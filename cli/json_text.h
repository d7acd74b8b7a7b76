#pragma once
#include <string>

// A JSON string literal, quotes included, for any bytes: control characters
// and bytes that are not valid UTF-8 are escaped so every line parses.
std::string JsonQuote(const std::string& text);
