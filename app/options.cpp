#include "app/options.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr char kWhiteSpace[] = " \t\n\v\f\r";

std::string Trim(const std::string& str)
{
    const size_t first = str.find_first_not_of(kWhiteSpace);
    if (first == std::string::npos)
        return std::string();
    return str.substr(first, str.find_last_not_of(kWhiteSpace) - first + 1);
}

}  // namespace

CFlashCommandLineInfo::CFlashCommandLineInfo(const std::string& strAppName)
    : CFlashCommandLineInfo(GetProcessCommandLine(), strAppName)
{
}

CFlashCommandLineInfo::CFlashCommandLineInfo(const std::string& strCommandLine, const std::string& strAppName,
                                             const std::string& strProgramSuffix)
    // The operating system hands over a zero-terminated text; anything after
    // an embedded zero would be invisible to the tokenizer anyway.
    : m_strCommandLine(Trim(strCommandLine.substr(0, strCommandLine.find('\0')))), m_strAppName(strAppName),
      m_strProgramSuffix(strProgramSuffix)
{
    // Blanks separate tokens, runs of them count as one; nothing else does.
    for (size_t end = 0, begin; (begin = m_strCommandLine.find_first_not_of(' ', end)) != std::string::npos;) {
        end = m_strCommandLine.find(' ', begin);
        m_vecTokens.push_back(m_strCommandLine.substr(begin, end - begin));
    }
    m_nNext = m_vecTokens.size();
    if (m_vecTokens.empty())
        return;
    std::string strPath = m_vecTokens.front();
    strPath.erase(0, strPath.find_first_not_of('"'));
    strPath.erase(strPath.find_last_not_of(kWhiteSpace) + 1);
    strPath.erase(strPath.find_last_not_of('"') + 1);
    m_strProgramPath = strPath;
}

int32_t CFlashCommandLineInfo::GetFirstOption(std::string& strFlag, std::string& strValue)
{
    m_nNext = 1;  // past the program path
    return GetNextOption(strFlag, strValue);
}

int32_t CFlashCommandLineInfo::GetNextOption(std::string& strFlag, std::string& strValue)
{
    strFlag.clear();
    strValue.clear();
    if (m_nNext >= m_vecTokens.size())
        return 0;
    const std::string& strToken = m_vecTokens[m_nNext++];
    if (strToken[0] != '/' && strToken[0] != '-') {
        strValue = strToken;
        return 1;
    }
    strFlag = strToken.substr(1);
    if (m_nNext < m_vecTokens.size())
        strValue = m_vecTokens[m_nNext++];
    return 1;
}

std::string CFlashCommandLineInfo::GetProgramDirectory() const
{
    const std::string strProgramFile = m_strAppName + m_strProgramSuffix;
    const size_t pos = m_strProgramPath.find(strProgramFile);
    if (pos == std::string::npos)
        return std::string();
    return m_strProgramPath.substr(0, pos);
}

std::string GetProcessCommandLine()
{
#ifdef _WIN32
    const char* pszCommandLine = GetCommandLineA();
    return pszCommandLine != nullptr ? pszCommandLine : "";
#else
    // Linux hands over an argument vector, not a text. The text is the
    // arguments as given, joined by one blank each. The parser separates on
    // blanks only and has no quoting, so every argument without a blank is
    // exactly one token, as it would be on a Windows command line, and the
    // program path comes first as there; an argument that holds a blank splits
    // there, as an unquoted one would on Windows. Empty arguments vanish,
    // since runs of blanks count as one separator.
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    std::string strArgs((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!strArgs.empty() && strArgs.back() == '\0')
        strArgs.pop_back();
    std::replace(strArgs.begin(), strArgs.end(), '\0', ' ');
    return strArgs;
#endif
}

void ApplyFlashOption(const CFlashCommandLineInfo& cmdInfo, const std::string& strFlag, const std::string& strValue)
{
    if (strFlag.empty())
        return;
    // Letters in either case; toupper maps no other byte onto these four.
    switch (std::toupper(static_cast<unsigned char>(strFlag[0]))) {
    case 'B':
        if (strValue.find(':') != std::string::npos)
            g_strImagePath = strValue;
        else
            g_strImagePath = cmdInfo.GetProgramDirectory() + strValue;
        break;
    case 'F':
        g_bAutoFlash = strValue == "1" ? 1 : 0;
        break;
    case 'S':
        g_strDriveSpec = strValue;
        break;
    case 'V':
        g_strOptionText = strValue;
        break;
    default:
        break;
    }
}

void ParseFlashOptions(const std::string& strCommandLine, const std::string& strAppName,
                       const std::string& strProgramSuffix)
{
    CFlashCommandLineInfo cmdInfo(strCommandLine, strAppName, strProgramSuffix);
    g_strDriveSpec.clear();
    std::string strFlag;
    std::string strValue;
    for (int32_t more = cmdInfo.GetFirstOption(strFlag, strValue); more;
         more = cmdInfo.GetNextOption(strFlag, strValue))
        ApplyFlashOption(cmdInfo, strFlag, strValue);
}
