#include "device/clock.h"

#include <chrono>
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
