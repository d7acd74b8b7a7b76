#pragma once
#include <string>
#include <vector>

// One line of the emulator's transcript, as far as the GUI suite looks at it.
struct TranscriptEntry {
    long long tMs = 0;
    char drive = '?';
    std::string strCdb;  // 24 lower-case hex digits
    std::string strResult;

    int Opcode() const;
    int CdbByte(int nIndex) const;
};

// Reads the whole transcript file; fails when it cannot be read or a line
// lacks one of the fields.
std::vector<TranscriptEntry> ReadTranscript(const std::string& strPath);
