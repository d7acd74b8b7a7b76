// The desktop program's command line: the tokenizer against a model of its
// rule (blank-separated tokens, token 1 the program, a flag takes the next
// token whatever it is), then the option pass over the same text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/options.h"
#include "fuzz/fuzz_check.h"

namespace {

using Option = std::pair<std::string, std::string>;

std::vector<std::string> ModelTokens(const std::string& strCommandLine)
{
    // The text ends at a zero; surrounding white space is not part of it.
    std::string strText = strCommandLine.substr(0, strCommandLine.find('\0'));
    const char* kWhiteSpace = " \t\n\v\f\r";
    const size_t first = strText.find_first_not_of(kWhiteSpace);
    strText =
        first == std::string::npos ? "" : strText.substr(first, strText.find_last_not_of(kWhiteSpace) - first + 1);
    std::vector<std::string> tokens;
    size_t pos = 0;
    while (pos < strText.size()) {
        const size_t end = std::min(strText.find(' ', pos), strText.size());
        if (end > pos)
            tokens.push_back(strText.substr(pos, end - pos));
        pos = end + 1;
    }
    return tokens;
}

std::vector<Option> ModelOptions(const std::vector<std::string>& tokens)
{
    std::vector<Option> options;
    for (size_t i = 1; i < tokens.size(); ++i) {
        if (tokens[i][0] == '/' || tokens[i][0] == '-') {
            // A flag as the last token gets the empty value.
            options.emplace_back(tokens[i].substr(1), i + 1 < tokens.size() ? tokens[i + 1] : "");
            ++i;
        } else {
            options.emplace_back("", tokens[i]);
        }
    }
    return options;
}

std::vector<Option> ParsedOptions(CFlashCommandLineInfo& cmdInfo)
{
    std::vector<Option> options;
    std::string strFlag;
    std::string strValue;
    bool bMore = cmdInfo.GetFirstOption(strFlag, strValue) != 0;
    while (bMore) {
        options.emplace_back(strFlag, strValue);
        KT_FUZZ_CHECK(options.size() <= cmdInfo.GetCommandLineText().size());
        bMore = cmdInfo.GetNextOption(strFlag, strValue) != 0;
    }
    KT_FUZZ_CHECK(strFlag.empty() && strValue.empty());
    return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string strCommandLine(reinterpret_cast<const char*>(data), size);
    const std::string strAppName = "KT3916Flash";

    CFlashCommandLineInfo cmdInfo(strCommandLine, strAppName, ".exe");
    const std::vector<std::string> tokens = ModelTokens(strCommandLine);
    const std::vector<Option> expected = ModelOptions(tokens);
    const std::vector<Option> options = ParsedOptions(cmdInfo);
    KT_FUZZ_CHECK(options == expected);
    // GetFirstOption starts over: a second pass sees the same options.
    KT_FUZZ_CHECK(ParsedOptions(cmdInfo) == expected);

    const std::string& strPath = cmdInfo.GetProgramPath();
    KT_FUZZ_CHECK(tokens.empty() ? strPath.empty() : tokens[0].find(strPath) != std::string::npos);
    const std::string strDirectory = cmdInfo.GetProgramDirectory();
    KT_FUZZ_CHECK(strPath.compare(0, strDirectory.size(), strDirectory) == 0);

    // The option pass applies the same options to the globals: the last S
    // wins (none empties the drive), the last F sets auto-flash only for "1",
    // and an option pass without F leaves it alone.
    g_strDriveSpec = "stale";
    g_bAutoFlash = 7;
    ParseFlashOptions(strCommandLine, strAppName, ".exe");
    std::string strDrive;
    int32_t bAutoFlash = 7;
    for (const Option& option : expected) {
        const char chFlag = option.first.empty() ? '\0' : option.first[0];
        if (chFlag == 'S' || chFlag == 's')
            strDrive = option.second;
        if (chFlag == 'F' || chFlag == 'f')
            bAutoFlash = option.second == "1" ? 1 : 0;
    }
    KT_FUZZ_CHECK(g_strDriveSpec == strDrive);
    KT_FUZZ_CHECK(g_bAutoFlash == bAutoFlash);
    return 0;
}
