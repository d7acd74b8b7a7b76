#include "base/process_identity.h"

#include <chrono>
#include <cstdio>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

std::string HostName()
{
    char name[256] = {};
#ifdef _WIN32
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return "unknown";
#else
    if (gethostname(name, sizeof name - 1) != 0)
        return "unknown";
#endif
    return name;
}

unsigned long ProcessId()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

std::string NewRunId()
{
    // The clock and the process id as well: a random device that is less
    // random than it claims still gives two stations different ids.
    std::random_device device;
    const uint64_t now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::seed_seq seed{device(), device(), static_cast<unsigned>(now), static_cast<unsigned>(now >> 32),
                       static_cast<unsigned>(ProcessId())};
    std::mt19937_64 generator(seed);
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(generator()));
    return text;
}
