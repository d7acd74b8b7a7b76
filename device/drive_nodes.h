#pragma once
#include <string>

#include "device/host_types.h"
#include <vector>

// What a host can tell about its drives beyond the drive itself
// (IScsiHost::DriveNodes): why opening one failed and, on Linux, which of
// the system's nodes a drive letter stands for.
class IDriveNodes {
public:
    virtual ~IDriveNodes() = default;

    // The letter of the drive whose node is path; 0 when no drive has it
    // (always on Windows, where a drive has no other name).
    virtual char LetterForNode(const std::string& path) = 0;
    // The drives of the last scan, by letter (on Windows the CD-ROM drives
    // the system has now, the ones a scan opens).
    virtual std::vector<char> ScannedLetters() = 0;
    // Why the last attempt to open drive failed, with what gives access
    // (a group to join, a module to load, an administrator prompt); empty
    // when it did not fail or the host has nothing to add.
    virtual std::string OpenProblem(char drive) = 0;
    // That attempt failed because another program has the drive.
    virtual bool OpenFoundBusy(char drive) = 0;
    // What the user should know about the last exclusive open of drive that
    // succeeded with less than a full hold; empty when the hold is whole.
    virtual std::string HoldNote(char /*drive*/) { return {}; }
    // What closing device will wait for before the drive is free, for the
    // user; empty when it closes at once.
    virtual std::string PendingCommandText(HostHandle /*device*/) { return {}; }
};
