#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

// Time as the emulator sees it. Programs use the system clock; tests use a
// manual clock that only moves when something waits, so no test sleeps.
class IClock {
public:
    virtual ~IClock() = default;
    virtual uint64_t NowMs() = 0;
    virtual void SleepMs(uint32_t milliseconds) = 0;
};

class SystemClock final : public IClock {
public:
    SystemClock();
    uint64_t NowMs() override;
    void SleepMs(uint32_t milliseconds) override;

private:
    uint64_t m_startNs;
};

// Atomic, because one host (and its clock) may serve device threads at once.
class ManualClock final : public IClock {
public:
    uint64_t NowMs() override { return m_nowMs.load(); }
    void SleepMs(uint32_t milliseconds) override { m_nowMs += milliseconds; }
    void Advance(uint64_t milliseconds) { m_nowMs += milliseconds; }

private:
    std::atomic<uint64_t> m_nowMs{0};
};

constexpr std::size_t kTimeTextLength = 32;  // "2025-01-31T12:34:56.789Z", with room for any year

// The time in UTC to the millisecond, as log lines carry it.
void FormatUtc(std::chrono::system_clock::time_point time, char (&text)[kTimeTextLength]);
// Now, as FormatUtc writes it.
std::string NowUtcText();
