#pragma once
#include <functional>
#include <memory>

#include "device/sleep_inhibitor.h"

// The Linux sleep inhibitor around takeLock, which returns a descriptor of
// its own that holds a sleep inhibitor lock while open, or -1 when there is
// none to be had. Asked to keep awake while it already holds a lock, it keeps
// that one.
std::unique_ptr<ISleepInhibitor> CreateLogindSleepInhibitor(std::function<int()> takeLock);
