#pragma once
#include <cstdint>

#include "device/aspi_srb.h"
#include "device/pass_through_request.h"

// How a command came back from the transport.
enum class CommandResult {
    Good,     // the target answered GOOD
    Check,    // CHECK CONDITION: the target refused it, the sense says why
    Status,   // another SCSI status (BUSY, RESERVATION CONFLICT, ...)
    NotSent,  // it failed before anything went to the device
    Lost,     // it went out but no answer came back: the call itself failed
};

// The result's word in log and transcript lines: good, check, status, fail.
inline const char* CommandResultName(CommandResult result)
{
    constexpr const char* kNames[] = {"good", "check", "status", "fail", "fail"};
    return kNames[static_cast<int>(result)];
}

// A pass-through call: whether the call succeeded and the status it carries.
inline CommandResult PassThroughResult(bool bCallOk, uint8_t byScsiStatus)
{
    if (!bCallOk)
        return CommandResult::Lost;
    if (byScsiStatus == kScsiStatusGood)
        return CommandResult::Good;
    return byScsiStatus == kScsiStatusCheckCondition ? CommandResult::Check : CommandResult::Status;
}

// An ASPI execute request: its status and the target's. A target status
// counts only once the request has left the pending status.
inline CommandResult AspiResult(uint8_t bySrbStatus, uint8_t byTargetStatus)
{
    if (bySrbStatus == SS_COMP)
        return CommandResult::Good;
    if (bySrbStatus == SS_PENDING || byTargetStatus == kScsiStatusGood)
        return CommandResult::Lost;
    return byTargetStatus == kScsiStatusCheckCondition ? CommandResult::Check : CommandResult::Status;
}
