#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "device/linux/logind_sleep_inhibitor.h"

namespace {

bool IsOpen(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

}  // namespace

// Every lock handed out is given back, however often the form asks.
TEST(LogindSleepInhibitor, NoLockOutlivesAllowSleep)
{
    struct Case {
        const char* name;
        int keepAwakeCalls;
        bool allowSleep;  // otherwise the inhibitor just goes away
    } cases[] = {
        {"once", 1, true},
        {"asked twice", 2, true},
        {"asked twice, then destroyed", 2, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<int> handedOut;
        auto inhibitor = CreateLogindSleepInhibitor([&] {
            const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            handedOut.push_back(fd);
            return fd;
        });
        for (int i = 0; i < c.keepAwakeCalls; ++i)
            inhibitor->KeepAwake();
        ASSERT_FALSE(handedOut.empty());
        EXPECT_TRUE(IsOpen(handedOut.back())) << "the lock lasts while the flash runs";
        if (c.allowSleep) {
            inhibitor->AllowSleep();
        } else {
            inhibitor.reset();
        }
        for (int fd : handedOut) {
            EXPECT_FALSE(IsOpen(fd)) << "descriptor " << fd << " still open";
            if (IsOpen(fd))
                close(fd);
        }
    }
}
