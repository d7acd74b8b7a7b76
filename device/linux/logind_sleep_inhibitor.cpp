// The Linux sleep inhibitor: a "block" inhibitor lock on sleep from logind,
// which lasts as long as the descriptor it hands out stays open.
#include "device/linux/logind_sleep_inhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <string>
#include <utility>

namespace {

// Without a system bus or logind, or when logind refuses, the machine keeps
// its own sleep settings: the flash goes on all the same.
int TakeLogindLock(const std::string& program)
{
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return -1;
    int fdLock = -1;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "Inhibit", nullptr, &reply, "ssss", "sleep", program.c_str(), "writing firmware to a device",
                           "block") >= 0) {
        int fd = -1;
        // The reply owns its descriptor; the lock needs one of its own.
        if (sd_bus_message_read(reply, "h", &fd) >= 0)
            fdLock = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return fdLock;
}

class CLogindSleepInhibitor final : public ISleepInhibitor {
public:
    explicit CLogindSleepInhibitor(std::function<int()> takeLock) : m_takeLock(std::move(takeLock)) {}
    ~CLogindSleepInhibitor() override { AllowSleep(); }

    void KeepAwake() override
    {
        // A second lock would replace the first, which then stays open and
        // keeps the machine awake until the program ends.
        if (m_fdLock >= 0)
            return;
        m_fdLock = m_takeLock();
    }

    void AllowSleep() override
    {
        if (m_fdLock < 0)
            return;
        close(m_fdLock);
        m_fdLock = -1;
    }

private:
    std::function<int()> m_takeLock;
    int m_fdLock = -1;
};

}  // namespace

std::unique_ptr<ISleepInhibitor> CreateLogindSleepInhibitor(std::function<int()> takeLock)
{
    return std::make_unique<CLogindSleepInhibitor>(std::move(takeLock));
}

std::unique_ptr<ISleepInhibitor> CreatePlatformSleepInhibitor(const char* program)
{
    return CreateLogindSleepInhibitor([strProgram = std::string(program)] { return TakeLogindLock(strProgram); });
}
