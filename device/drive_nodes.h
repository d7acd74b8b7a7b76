#pragma once
#include <string>
#include <vector>

// What a host that presents nodes of its system as drive letters (Linux)
// can tell about them beyond the drive itself (IScsiHost::DriveNodes).
class IDriveNodes {
public:
    virtual ~IDriveNodes() = default;

    // The letter of the drive whose node is path; 0 when no drive has it.
    virtual char LetterForNode(const std::string& path) = 0;
    // The drives of the last scan, by letter.
    virtual std::vector<char> ScannedLetters() = 0;
    // Why the last attempt to open drive failed, with what gives access
    // (a group to join, a module to load); empty when it did not fail.
    virtual std::string OpenProblem(char drive) = 0;
    // That attempt failed because another program has the drive.
    virtual bool OpenFoundBusy(char drive) = 0;
};
