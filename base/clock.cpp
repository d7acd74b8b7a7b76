#include "base/clock.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

uint64_t SteadyNowNs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace

SystemClock::SystemClock() : m_startNs(SteadyNowNs()) {}

uint64_t SystemClock::NowMs()
{
    return (SteadyNowNs() - m_startNs) / 1000000u;
}

void SystemClock::SleepMs(uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void FormatUtc(std::chrono::system_clock::time_point time, char (&text)[kTimeTextLength])
{
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss clock{ms - day};
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
}

std::string NowUtcText()
{
    char text[kTimeTextLength];
    FormatUtc(std::chrono::system_clock::now(), text);
    return text;
}
