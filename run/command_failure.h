#pragma once
#include "device/recording_host.h"
#include "run/flash_events.h"

// When a flash stopped on a command the device refused, or on a pass-through
// call that failed, says which command it was and why, in words and in hex
// (a note, and the record's sense or host error for the result event).
// Nothing when the drive's last command went well.
void AddCommandFailure(const CRecordingHost& recorder, FlashRecord& record);
