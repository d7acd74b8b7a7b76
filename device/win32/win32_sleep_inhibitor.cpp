// The Windows sleep inhibitor: the calling thread's execution state. The
// state belongs to the thread that set it, so each form keeps its own.
#include <windows.h>

#include "device/sleep_inhibitor.h"

namespace {

class CThreadExecutionState final : public ISleepInhibitor {
public:
    void KeepAwake() override { SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED); }
    void AllowSleep() override { SetThreadExecutionState(ES_CONTINUOUS); }
};

}  // namespace

std::unique_ptr<ISleepInhibitor> CreatePlatformSleepInhibitor(const char*)
{
    return std::make_unique<CThreadExecutionState>();
}
