// What the Win32 host remembers of its failed opens of drives.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/win32/win32_open_failures.h"
#include "run/device_list.h"

namespace {

struct Open {
    const char* path;
    DWORD nError;
};

struct OpenFailureCase {
    const char* name;
    std::vector<Open> opens;
    char drive;
    std::string problem;
    bool bBusy;
};

const std::string kDenied = "access denied: run kt3916flash-cli.exe from an administrator prompt";

}  // namespace

TEST(Win32OpenFailures, LastOpenOfEachDriveTells)
{
    const OpenFailureCase cases[] = {
        {"access denied", {{"\\\\.\\E:", ERROR_ACCESS_DENIED}}, 'E', kDenied, false},
        {"sharing violation", {{"\\\\.\\E:", ERROR_SHARING_VIOLATION}}, 'E', "in use by another program", true},
        {"other error", {{"\\\\.\\E:", ERROR_FILE_NOT_FOUND}}, 'E', "", false},
        {"success clears it", {{"\\\\.\\E:", ERROR_ACCESS_DENIED}, {"\\\\.\\E:", ERROR_SUCCESS}}, 'E', "", false},
        {"busy cleared", {{"\\\\.\\E:", ERROR_SHARING_VIOLATION}, {"\\\\.\\E:", ERROR_SUCCESS}}, 'E', "", false},
        {"kept per drive", {{"\\\\.\\D:", ERROR_ACCESS_DENIED}, {"\\\\.\\E:", ERROR_SUCCESS}}, 'D', kDenied, false},
        {"not another drive's", {{"\\\\.\\D:", ERROR_SHARING_VIOLATION}}, 'E', "", false},
        {"either case", {{"\\\\.\\e:", ERROR_ACCESS_DENIED}}, 'e', kDenied, false},
        {"no drive letter", {{"\\\\.\\CdRom0", ERROR_ACCESS_DENIED}, {nullptr, ERROR_ACCESS_DENIED}}, 'C', "", false},
    };
    for (const OpenFailureCase& c : cases) {
        CWin32OpenFailures failures;
        for (const Open& open : c.opens)
            failures.Record(open.path, open.nError);
        EXPECT_EQ(OpenFailureText(failures.Problem(c.drive)), c.problem) << c.name;
        EXPECT_EQ(failures.Problem(c.drive).kind == OpenFailure::Kind::Busy, c.bBusy) << c.name;
    }
}
