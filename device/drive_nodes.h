#pragma once
#include <string>

#include "device/host_types.h"
#include <vector>

// Why the last attempt to open a drive failed, as the host saw it: what
// kind of failure, and the facts a face needs to say what gives access.
struct OpenFailure {
    enum class Kind {
        Other,          // or none, when there are no facts
        Denied,         // the user may not open the node read-write
        Missing,        // the node or its device is gone
        Busy,           // another program has the drive
        NoGenericNode,  // Linux: the sg driver has no node for the drive
    };
    Kind kind = Kind::Other;
    std::string strFacts;  // what failed, and the system's reason; empty: it did not fail
    // Linux: the node that failed, its group (Denied), and whether the drive
    // names itself a KT3916; the drive's letter.
    std::string strNode;
    std::string strGroup;
    bool bKt3916 = false;
    char chDrive = 0;
};

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
    // Why the last attempt to open drive failed (Busy: another program has
    // the drive).
    virtual OpenFailure OpenProblem(char drive) = 0;
    // What the user should know about the last exclusive open of drive that
    // succeeded with less than a full hold; empty when the hold is whole.
    virtual std::string HoldNote(char /*drive*/) { return {}; }
    // What closing device will wait for before the drive is free, for the
    // user; empty when it closes at once.
    virtual std::string PendingCommandText(HostHandle /*device*/) { return {}; }
};
