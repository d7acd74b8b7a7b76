#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "form/form_options.h"

// What follows the application name in the program file's name on this
// platform; the parser takes it as a parameter, so every platform's suite
// can check the rule with ".exe".
#ifdef _WIN32
inline constexpr char kExecutableSuffix[] = ".exe";
#else
inline constexpr char kExecutableSuffix[] = "";
#endif

// Cuts the process's command line into options. Token 1 is the program path;
// every later token is either a flag ("/x" or "-x", its value is the next
// token whatever it looks like) or a bare token (empty flag, the token as
// value). Tokens are separated by blanks only; there is no quoting.
class CFlashCommandLineInfo {
public:
    // Takes the command line of the running process. The application name
    // is the running application's own (the shell's, from its string table),
    // so the caption, the message boxes and the image path agree.
    explicit CFlashCommandLineInfo(const std::string& strAppName);
    // Takes the given text in place of the process's command line.
    CFlashCommandLineInfo(const std::string& strCommandLine, const std::string& strAppName,
                          const std::string& strProgramSuffix = kExecutableSuffix);
    // Both return nonzero when an option was produced; flag and value are
    // emptied first in any case. GetFirstOption restarts from the beginning.
    int32_t GetFirstOption(std::string& strFlag, std::string& strValue);
    int32_t GetNextOption(std::string& strFlag, std::string& strValue);

    const std::string& GetCommandLineText() const { return m_strCommandLine; }
    const std::string& GetAppName() const { return m_strAppName; }
    const std::string& GetProgramPath() const { return m_strProgramPath; }

    // The part of the program path before the first occurrence of the
    // program file's name (application name + program suffix, compared
    // case-sensitively); empty when the name does not occur.
    std::string GetProgramDirectory() const;

private:
    std::string m_strCommandLine;
    std::string m_strAppName;
    std::string m_strProgramSuffix;
    std::string m_strProgramPath;
    std::vector<std::string> m_vecTokens;  // the program path first
    size_t m_nNext = 0;                    // the token GetNextOption reads
};

// The command line exactly as the operating system gives it to the process.
std::string GetProcessCommandLine();

// Applies one option to the globals: only the first character of the flag
// counts (B, F, S or V in either case); anything else changes nothing.
void ApplyFlashOption(const CFlashCommandLineInfo& cmdInfo, const std::string& strFlag, const std::string& strValue);

// The start-up option pass: builds the parser, empties g_strDriveSpec, then
// applies every option in command-line order.
void ParseFlashOptions(const std::string& strCommandLine, const std::string& strAppName,
                       const std::string& strProgramSuffix = kExecutableSuffix);
