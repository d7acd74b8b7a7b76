#include "run/command_failure.h"

#include <cstdio>

#include "device/command_set.h"

namespace {

constexpr char kNoteRefused[] = "the device refused ";
constexpr char kNoteCallFailed[] = "the pass-through call failed on ";
constexpr char kNoSystemReason[] = "the system gave no reason";

// "block 3 of 9", "INQUIRY", "command 0x25".
std::string CommandName(const RecordedCommand& command, const FlashRecord& record)
{
    switch (command.cdb[0]) {
    case kOpBlockWrite:
        // The block the transfer stopped on: the ones before it were taken.
        return "block " + std::to_string(record.nBlocksSent + 1) + " of " + std::to_string(record.nBlocks);
    case kOpInquiry:
        return "INQUIRY";
    case kOpStartStopUnit:
        return "START STOP UNIT";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "command 0x%02X", command.cdb[0]);
        return text;
    }
    }
}

}  // namespace

void AddCommandFailure(const CRecordingHost& recorder, FlashRecord& record)
{
    RecordedCommand command;
    if (!record.chDrive || !recorder.LastCommand(record.chDrive, command))
        return;
    // A device that never came back: why its last poll got no answer, when
    // the system knows (it left the bus, it came back where it is not
    // followed).
    if (record.exit == kExitNoReturn &&
        (command.result == CommandResult::NotSent || command.result == CommandResult::Lost) &&
        command.cdb[0] == kOpInquiry && command.szError[0]) {
        record.strHostError = command.szError;
        record.notes.push_back(kNoteCallFailed + std::string("the last INQUIRY: ") + record.strHostError);
        return;
    }
    if (record.exit != kExitSendFailure)
        return;
    const std::string what = CommandName(command, record);
    switch (command.result) {
    case CommandResult::Good:
        return;
    case CommandResult::Check: {
        char hex[kSenseHexLength];
        char words[kSenseWordsMax];
        FormatSenseHex(command.sense, hex);
        FormatSenseWords(command.sense, words);
        record.strSense = hex;
        record.strSenseText = words;
        record.notes.push_back(kNoteRefused + what + ": CHECK CONDITION, sense " + hex + " " + words);
        return;
    }
    case CommandResult::Status: {
        char status[48];
        const char* name = ScsiStatusName(command.byScsiStatus);
        std::snprintf(status, sizeof status, "SCSI status %02X%s%s", command.byScsiStatus, name ? " " : "",
                      name ? name : "");
        record.notes.push_back(kNoteRefused + what + ": " + status);
        return;
    }
    case CommandResult::NotSent:
    case CommandResult::Lost:
        record.strHostError = command.szError[0] ? command.szError : kNoSystemReason;
        record.notes.push_back(kNoteCallFailed + what + ": " + record.strHostError);
        return;
    }
}
