#pragma once
#include <string>
#include <utility>

// For the functions that answer false with the reason in an out-parameter:
// puts why into error and returns false.
inline bool FailWith(std::string& error, std::string why)
{
    error = std::move(why);
    return false;
}
