#include "transcript_read.h"

#include <fstream>

#include "gui_check.h"

namespace {
std::string TextField(const std::string& strLine, const std::string& strName)
{
    std::string strKey = "\"" + strName + "\":\"";
    size_t nStart = strLine.find(strKey);
    if (nStart == std::string::npos)
        Fail("transcript line without " + strName + ": " + strLine);
    nStart += strKey.size();
    size_t nEnd = strLine.find('"', nStart);
    return strLine.substr(nStart, nEnd - nStart);
}

long long NumberField(const std::string& strLine, const std::string& strName)
{
    std::string strKey = "\"" + strName + "\":";
    size_t nStart = strLine.find(strKey);
    if (nStart == std::string::npos)
        Fail("transcript line without " + strName + ": " + strLine);
    return std::stoll(strLine.substr(nStart + strKey.size()));
}
}  // namespace

int TranscriptEntry::Opcode() const
{
    return CdbByte(0);
}

int TranscriptEntry::CdbByte(int nIndex) const
{
    return std::stoi(strCdb.substr(static_cast<size_t>(nIndex) * 2, 2), nullptr, 16);
}

std::vector<TranscriptEntry> ReadTranscript(const std::string& strPath)
{
    std::ifstream file(strPath);
    Check(file.good(), "cannot read the transcript " + strPath);
    std::vector<TranscriptEntry> entries;
    std::string strLine;
    while (std::getline(file, strLine)) {
        if (strLine.empty() || strLine == "\r")
            continue;
        TranscriptEntry entry;
        entry.tMs = NumberField(strLine, "t_ms");
        std::string strDrive = TextField(strLine, "drive");
        entry.drive = strDrive.empty() ? '?' : strDrive[0];
        entry.strCdb = TextField(strLine, "cdb");
        Check(entry.strCdb.size() == 24, "transcript cdb is not 12 bytes: " + strLine);
        entry.strResult = TextField(strLine, "result");
        entries.push_back(entry);
    }
    return entries;
}
