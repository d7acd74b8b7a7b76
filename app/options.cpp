#include "app/options.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr char kWhiteSpace[] = " \t\n\v\f\r";

// The next blank-separated token at or after pszScan, cut in place with a
// zero; pszScan is left just past the cut, or on the final zero. These are
// strtok's results with " " as the delimiter, but the position belongs to
// the caller, so two parsers (or two threads) never disturb each other.
char* CutToken(char*& pszScan)
{
    char* p = pszScan;
    while (*p == ' ')
        ++p;
    if (*p == '\0') {
        pszScan = p;
        return nullptr;
    }
    char* pszToken = p;
    while (*p != '\0' && *p != ' ')
        ++p;
    if (*p == ' ')
        *p++ = '\0';
    pszScan = p;
    return pszToken;
}

std::string Trim(const std::string& str)
{
    const size_t first = str.find_first_not_of(kWhiteSpace);
    if (first == std::string::npos)
        return std::string();
    return str.substr(first, str.find_last_not_of(kWhiteSpace) - first + 1);
}

void RunOptionPass(CFlashCommandLineInfo& cmdInfo)
{
    g_strDriveSpec.clear();
    std::string strFlag;
    std::string strValue;
    if (cmdInfo.GetFirstOption(strFlag, strValue)) {
        ApplyFlashOption(cmdInfo, strFlag, strValue);
        while (cmdInfo.GetNextOption(strFlag, strValue))
            ApplyFlashOption(cmdInfo, strFlag, strValue);
    }
}

}  // namespace

CFlashCommandLineInfo::CFlashCommandLineInfo(const std::string& strAppName)
{
    Construct(GetProcessCommandLine(), strAppName, kExecutableSuffix);
}

CFlashCommandLineInfo::CFlashCommandLineInfo(const std::string& strCommandLine, const std::string& strAppName,
                                             const std::string& strProgramSuffix)
{
    Construct(strCommandLine, strAppName, strProgramSuffix);
}

CFlashCommandLineInfo::~CFlashCommandLineInfo()
{
    delete[] m_pszTokenBuffer;
}

void CFlashCommandLineInfo::Construct(const std::string& strCommandLine, const std::string& strAppName,
                                      const std::string& strProgramSuffix)
{
    // The operating system hands over a zero-terminated text; anything after
    // an embedded zero would be invisible to the tokenizer anyway.
    m_strCommandLine = Trim(strCommandLine.substr(0, strCommandLine.find('\0')));
    m_strAppName = strAppName;
    m_strProgramSuffix = strProgramSuffix;
    m_pszTokenBuffer = new char[m_strCommandLine.size() + 1]();
    RefillTokenBuffer();

    char* pszScan = m_pszTokenBuffer;
    const char* pszFirst = CutToken(pszScan);
    if (pszFirst == nullptr)
        return;
    std::string strPath = pszFirst;
    strPath.erase(0, strPath.find_first_not_of('"'));
    strPath.erase(strPath.find_last_not_of(kWhiteSpace) + 1);
    strPath.erase(strPath.find_last_not_of('"') + 1);
    m_strProgramPath = strPath;
}

void CFlashCommandLineInfo::RefillTokenBuffer()
{
    std::memcpy(m_pszTokenBuffer, m_strCommandLine.c_str(), m_strCommandLine.size() + 1);
}

// The scan position after a token follows from the token itself: its end
// is either a cut blank (continue behind it) or the buffer's final zero.
char* CFlashCommandLineInfo::TokenAfter(char* pszToken)
{
    char* pszScan = pszToken + std::strlen(pszToken);
    if (pszScan < m_pszTokenBuffer + m_strCommandLine.size())
        ++pszScan;
    return CutToken(pszScan);
}

// Reads the option that begins at pszToken and moves m_pszToken past it.
void CFlashCommandLineInfo::ReadOptionAt(char* pszToken, std::string& strFlag, std::string& strValue)
{
    if (pszToken[0] == '/' || pszToken[0] == '-') {
        strFlag = pszToken + 1;
        char* pszValue = TokenAfter(pszToken);
        if (pszValue == nullptr) {
            m_pszToken = nullptr;
            return;
        }
        strValue = pszValue;
        m_pszToken = TokenAfter(pszValue);
        return;
    }
    strValue = pszToken;
    m_pszToken = TokenAfter(pszToken);
}

int32_t CFlashCommandLineInfo::GetFirstOption(std::string& strFlag, std::string& strValue)
{
    strFlag.clear();
    strValue.clear();
    RefillTokenBuffer();
    char* pszScan = m_pszTokenBuffer;
    m_pszToken = CutToken(pszScan);
    if (m_pszToken == nullptr)
        return 0;
    m_pszToken = TokenAfter(m_pszToken);
    if (m_pszToken == nullptr)
        return 0;
    ReadOptionAt(m_pszToken, strFlag, strValue);
    return 1;
}

int32_t CFlashCommandLineInfo::GetNextOption(std::string& strFlag, std::string& strValue)
{
    strFlag.clear();
    strValue.clear();
    if (m_pszToken == nullptr)
        return 0;
    ReadOptionAt(m_pszToken, strFlag, strValue);
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
    switch (strFlag[0]) {
    case 'B':
    case 'b':
        if (strValue.find(':') != std::string::npos)
            g_strImagePath = strValue;
        else
            g_strImagePath = cmdInfo.GetProgramDirectory() + strValue;
        break;
    case 'F':
    case 'f':
        g_bAutoFlash = strValue == "1" ? 1 : 0;
        break;
    case 'S':
    case 's':
        g_strDriveSpec = strValue;
        break;
    case 'V':
    case 'v':
        g_strOptionText = strValue;
        break;
    default:
        break;
    }
}

void ParseFlashOptions(const std::string& strAppName)
{
    CFlashCommandLineInfo cmdInfo(strAppName);
    RunOptionPass(cmdInfo);
}

void ParseFlashOptions(const std::string& strCommandLine, const std::string& strAppName,
                       const std::string& strProgramSuffix)
{
    CFlashCommandLineInfo cmdInfo(strCommandLine, strAppName, strProgramSuffix);
    RunOptionPass(cmdInfo);
}
