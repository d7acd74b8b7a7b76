// The Linux sleep inhibitor: a "block" inhibitor lock on sleep from logind,
// which lasts as long as the descriptor it hands out stays open.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <string>

#include "device/sleep_inhibitor.h"

namespace {

class CLogindSleepInhibitor final : public ISleepInhibitor {
public:
    explicit CLogindSleepInhibitor(const char* program) : m_strProgram(program) {}
    ~CLogindSleepInhibitor() override { AllowSleep(); }

    // Without a system bus or logind, or when logind refuses, the machine
    // keeps its own sleep settings: the flash goes on all the same.
    void KeepAwake() override {
        sd_bus* bus = nullptr;
        if (sd_bus_open_system(&bus) < 0) return;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "Inhibit", nullptr, &reply, "ssss", "sleep",
                               m_strProgram.c_str(), "writing firmware to a device", "block") >= 0) {
            int fd = -1;
            // The reply owns its descriptor; the lock needs one of its own.
            if (sd_bus_message_read(reply, "h", &fd) >= 0) m_fdLock = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        }
        sd_bus_message_unref(reply);
        sd_bus_flush_close_unref(bus);
    }

    void AllowSleep() override {
        if (m_fdLock < 0) return;
        close(m_fdLock);
        m_fdLock = -1;
    }

private:
    std::string m_strProgram;
    int m_fdLock = -1;
};

}  // namespace

std::unique_ptr<ISleepInhibitor> CreatePlatformSleepInhibitor(const char* program) {
    return std::make_unique<CLogindSleepInhibitor>(program);
}
