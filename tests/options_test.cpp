#include "app/options.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "res/app_name.h"

namespace {

// The desktop program's file name. The suffix is given to the parser, so
// the rule is checked on every platform, not only where the program runs.
constexpr char kExe[] = ".exe";
const std::string kProgramFile = std::string(KT_APP_NAME) + kExe;
const std::string kToolsPath = "\"C:\\Tools\\" + kProgramFile + "\"";

void ResetOptionGlobals()
{
    g_strImagePath.clear();
    g_strDriveSpec.clear();
    g_bAutoFlash = 0;
    g_strOptionText.clear();
}

struct OptionRow {
    const char* name;
    std::string commandLine;
    std::string imagePath;
    std::string driveSpec;
    int32_t autoFlash;
    std::string optionText;
};

void PrintTo(const OptionRow& row, std::ostream* os)
{
    *os << row.commandLine;
}

std::string Tools(const std::string& rest)
{
    return kToolsPath + " " + rest;
}

const std::vector<OptionRow> kOptionRows = {
    // The documented examples.
    {"image relative to program dir", Tools("/B fw.bin /F 1"), "C:\\Tools\\fw.bin", "", 1, ""},
    {"image with colon, drive", Tools("-b D:\\img\\fw.bin -s E:"), "D:\\img\\fw.bin", "E:", 0, ""},
    {"B without value", Tools("/B"), "C:\\Tools\\", "", 0, ""},
    {"flag token taken as value", Tools("/B /F 1"), "C:\\Tools\\/F", "", 0, ""},
    {"F other than 1", Tools("/F yes"), "", "", 0, ""},
    {"later F wins", Tools("/F 1 /F 0"), "", "", 0, ""},
    {"bare token and unknown letter", Tools("fw.bin /X 5"), "", "", 0, ""},
    {"program path with a blank", "\"C:\\My Tools\\" + kProgramFile + "\" /B fw.bin", "fw.bin", "", 0, ""},
    {"bare program name", std::string(KT_APP_NAME) + " /B fw.bin", "fw.bin", "", 0, ""},
    {"program path without the suffix", "\"C:\\Tools\\" KT_APP_NAME "\" /B fw.bin", "fw.bin", "", 0, ""},

    // Only the program path, or nothing at all.
    {"program path only", kToolsPath, "", "", 0, ""},
    {"empty command line", "", "", "", 0, ""},
    {"white space only", " \t\r\n ", "", "", 0, ""},

    // White space.
    {"trimmed at both ends", " \t " + Tools("/B fw.bin /S E: \t\r\n"), "C:\\Tools\\fw.bin", "E:", 0, ""},
    {"tab does not separate", Tools("/S E:\t/F 1"), "", "E:\t/F", 0, ""},
    {"tab inside a flag token", Tools("/B\tfw.bin"), "C:\\Tools\\", "", 0, ""},
    {"several blanks are one separator", Tools("  /S     E:      /F    1   "), "", "E:", 1, ""},

    // Flags as the last token get the empty value.
    {"F last", Tools("/F 1 /F"), "", "", 0, ""},
    {"S last", Tools("/S E: /S"), "", "", 0, ""},
    {"V last", Tools("/V x /V"), "", "", 0, ""},

    // Values that look like flags are still values.
    {"value beginning with hyphen", Tools("/S -x"), "", "-x", 0, ""},
    {"value beginning with slash", Tools("/V /F /F 1"), "", "", 1, "/F"},
    {"lone slash consumes its value", Tools("/ fw.bin /F 1"), "", "", 1, ""},
    {"lone hyphen consumes a flag", Tools("- /F 1"), "", "", 0, ""},

    // Only the first letter counts, in either case.
    {"long flag names", Tools("/Burn fw.bin -sDrive E: /Version 2 -FLASH 1"), "C:\\Tools\\fw.bin", "E:", 1, "2"},
    {"lower case letters", Tools("-b fw.bin -f 1 -s e: -v t"), "C:\\Tools\\fw.bin", "e:", 1, "t"},
    {"letter not first", Tools("/XB fw.bin /xF 1 /?S E:"), "", "", 0, ""},
    {"double hyphen", Tools("--B fw.bin"), "", "", 0, ""},

    // B: a colon anywhere keeps the value; anything else joins the directory.
    {"colon not second", Tools("/B fw:1.bin"), "fw:1.bin", "", 0, ""},
    {"colon last", Tools("/B fw.bin:"), "fw.bin:", "", 0, ""},
    {"leading separator still joined", Tools("/B \\img\\fw.bin"), "C:\\Tools\\\\img\\fw.bin", "", 0, ""},
    {"network path joined", Tools("/B \\\\srv\\fw.bin"), "C:\\Tools\\\\\\srv\\fw.bin", "", 0, ""},

    // Program path variants.
    {"unquoted program path", "C:\\Tools\\" + kProgramFile + " /B fw.bin", "C:\\Tools\\fw.bin", "", 0, ""},
    {"relative program path", ".\\" + kProgramFile + " /B fw.bin", ".\\fw.bin", "", 0, ""},
    {"slash program path", "/opt/kt/" + kProgramFile + " /B fw.bin", "/opt/kt/fw.bin", "", 0, ""},
    {"doubled quotes", "\"\"C:\\Tools\\" + kProgramFile + "\"\" /B fw.bin", "C:\\Tools\\fw.bin", "", 0, ""},
    {"tab after closing quote", kToolsPath + "\t /B fw.bin", "C:\\Tools\\fw.bin", "", 0, ""},
    {"different letter case", "\"C:\\Tools\\kt3916flash.exe\" /B fw.bin", "fw.bin", "", 0, ""},
    {"program saved under another name", "\"C:\\Tools\\Flasher.exe\" /B fw.bin", "fw.bin", "", 0, ""},
    {"first occurrence of the name", "\"C:\\" + kProgramFile + ".d\\" + kProgramFile + "\" /B fw.bin", "C:\\fw.bin", "",
     0, ""},

    // F sets the flag for exactly "1".
    {"F 01", Tools("/F 1 /F 01"), "", "", 0, ""},
    {"F 1.0", Tools("/F 1 /F 1.0"), "", "", 0, ""},
    {"F Y", Tools("/F 1 /F Y"), "", "", 0, ""},
    {"F 11", Tools("/F 11"), "", "", 0, ""},

    // The last occurrence wins.
    {"later B wins", Tools("/B a.bin /B D:\\b.bin"), "D:\\b.bin", "", 0, ""},
    {"later S wins", Tools("/S D: /S E:\\"), "", "E:\\", 0, ""},
    {"later V wins", Tools("/V a /V b"), "", "", 0, "b"},
    {"later F wins over 0", Tools("/F 0 /F 1"), "", "", 1, ""},
};

class OptionRowTest : public testing::TestWithParam<OptionRow> {};

TEST_P(OptionRowTest, SetsTheGlobals)
{
    const OptionRow& row = GetParam();
    ResetOptionGlobals();
    ParseFlashOptions(row.commandLine, KT_APP_NAME, kExe);
    EXPECT_EQ(g_strImagePath, row.imagePath);
    EXPECT_EQ(g_strDriveSpec, row.driveSpec);
    EXPECT_EQ(g_bAutoFlash, row.autoFlash);
    EXPECT_EQ(g_strOptionText, row.optionText);
}

std::string RowName(const testing::TestParamInfo<OptionRow>& info)
{
    std::string name;
    for (const char* p = info.param.name; *p != '\0'; ++p)
        name += (std::isalnum(static_cast<unsigned char>(*p)) != 0) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Options, OptionRowTest, testing::ValuesIn(kOptionRows), RowName);

using OptionList = std::vector<std::pair<std::string, std::string>>;

// Everything GetFirstOption and GetNextOption produce, followed by a check
// that the iteration stays finished and empties the outputs.
OptionList Iterate(CFlashCommandLineInfo& cmdInfo)
{
    OptionList options;
    std::string strFlag = "stale";
    std::string strValue = "stale";
    int32_t more = cmdInfo.GetFirstOption(strFlag, strValue);
    while (more != 0) {
        options.emplace_back(strFlag, strValue);
        more = cmdInfo.GetNextOption(strFlag, strValue);
    }
    EXPECT_EQ(strFlag, "");
    EXPECT_EQ(strValue, "");
    strFlag = strValue = "stale";
    EXPECT_EQ(cmdInfo.GetNextOption(strFlag, strValue), 0);
    EXPECT_EQ(strFlag, "");
    EXPECT_EQ(strValue, "");
    return options;
}

struct IterationRow {
    std::string commandLine;
    std::string programPath;
    OptionList options;
};

const std::vector<IterationRow> kIterationRows = {
    {"", "", {}},
    {"prog", "prog", {}},
    {"prog /B fw.bin bare -x", "prog", {{"B", "fw.bin"}, {"", "bare"}, {"x", ""}}},
    {"prog / -", "prog", {{"", "-"}}},
    {"prog -", "prog", {{"", ""}}},
    {"prog a b", "prog", {{"", "a"}, {"", "b"}}},
    {"\"C:\\My Tools\\x.exe\" /V 1", "C:\\My", {{"", "Tools\\x.exe\""}, {"V", "1"}}},
    {"\"\"\"prog\t\"\"  /S  E:", "prog\t", {{"S", "E:"}}},
    {"prog /F\"1\" \"1\"", "prog", {{"F\"1\"", "\"1\""}}},
    {"prog /B \xC3\xA9t\xC3\xA9.bin", "prog", {{"B", "\xC3\xA9t\xC3\xA9.bin"}}},
};

TEST(CommandLineInfo, ProducesOptionsInOrder)
{
    for (const IterationRow& row : kIterationRows) {
        SCOPED_TRACE(row.commandLine);
        CFlashCommandLineInfo cmdInfo(row.commandLine, KT_APP_NAME);
        EXPECT_EQ(cmdInfo.GetProgramPath(), row.programPath);
        EXPECT_EQ(Iterate(cmdInfo), row.options);
    }
}

TEST(CommandLineInfo, GetFirstOptionRestartsTheIteration)
{
    CFlashCommandLineInfo cmdInfo(" prog  /B fw.bin  /S E:  x ", KT_APP_NAME);
    const OptionList expected = {{"B", "fw.bin"}, {"S", "E:"}, {"", "x"}};
    EXPECT_EQ(Iterate(cmdInfo), expected);
    EXPECT_EQ(Iterate(cmdInfo), expected);

    // Restarting in the middle of an iteration undoes the earlier cuts too.
    std::string strFlag;
    std::string strValue;
    ASSERT_NE(cmdInfo.GetFirstOption(strFlag, strValue), 0);
    ASSERT_NE(cmdInfo.GetNextOption(strFlag, strValue), 0);
    EXPECT_EQ(Iterate(cmdInfo), expected);
    EXPECT_EQ(cmdInfo.GetCommandLineText(), "prog  /B fw.bin  /S E:  x");
}

TEST(CommandLineInfo, NextOptionBeforeFirstProducesNothing)
{
    CFlashCommandLineInfo cmdInfo("prog /B fw.bin", KT_APP_NAME);
    std::string strFlag = "stale";
    std::string strValue = "stale";
    EXPECT_EQ(cmdInfo.GetNextOption(strFlag, strValue), 0);
    EXPECT_EQ(strFlag, "");
    EXPECT_EQ(strValue, "");
}

TEST(CommandLineInfo, InterleavedParsersKeepTheirOwnPosition)
{
    CFlashCommandLineInfo first("p /S D: /V a", KT_APP_NAME);
    CFlashCommandLineInfo second("q x y z", KT_APP_NAME);
    std::string strFlag;
    std::string strValue;
    ASSERT_NE(first.GetFirstOption(strFlag, strValue), 0);
    ASSERT_NE(second.GetFirstOption(strFlag, strValue), 0);
    ASSERT_NE(first.GetNextOption(strFlag, strValue), 0);
    EXPECT_EQ(strFlag, "V");
    EXPECT_EQ(strValue, "a");
    ASSERT_NE(second.GetNextOption(strFlag, strValue), 0);
    EXPECT_EQ(strValue, "y");
}

TEST(CommandLineInfo, ProgramDirectoryUsesTheGivenAppName)
{
    CFlashCommandLineInfo cmdInfo("\"C:\\Tools\\Other.exe\"", "Other", kExe);
    EXPECT_EQ(cmdInfo.GetAppName(), "Other");
    EXPECT_EQ(cmdInfo.GetProgramDirectory(), "C:\\Tools\\");
}

TEST(CommandLineInfo, ProgramSuffixIsPartOfTheProgramFileName)
{
    const struct {
        const char* programPath;
        const char* suffix;
        const char* directory;
    } cases[] = {
        {"C:\\Tools\\" KT_APP_NAME ".exe", ".exe", "C:\\Tools\\"},
        {"C:\\Tools\\" KT_APP_NAME, ".exe", ""},
        {"/opt/kt/" KT_APP_NAME, "", "/opt/kt/"},
        {"/opt/kt/" KT_APP_NAME ".exe", "", "/opt/kt/"},
        {"C:\\Tools\\" KT_APP_NAME ".EXE", ".exe", ""},
    };
    for (const auto& c : cases) {
        CFlashCommandLineInfo cmdInfo(std::string(c.programPath) + " /B fw.bin", KT_APP_NAME, c.suffix);
        EXPECT_EQ(cmdInfo.GetProgramDirectory(), c.directory) << c.programPath << " with '" << c.suffix << "'";
    }
}

TEST(CommandLineInfo, TakesTheProcessCommandLine)
{
    CFlashCommandLineInfo cmdInfo("Named");
    EXPECT_EQ(cmdInfo.GetAppName(), "Named");
    EXPECT_NE(cmdInfo.GetProgramPath().find("kt_tests"), std::string::npos) << cmdInfo.GetProgramPath();

    const std::string strText = GetProcessCommandLine();
    EXPECT_EQ(strText.find('\0'), std::string::npos);
#ifndef _WIN32
    // The vector's final zero ends the last argument; it is no separator.
    ASSERT_FALSE(strText.empty());
    EXPECT_NE(strText.back(), ' ');
#endif
}

TEST(OptionPass, EmptiesOnlyTheDriveBeforeApplying)
{
    g_strImagePath = "kept.bin";
    g_strDriveSpec = "Z:";
    g_bAutoFlash = 1;
    g_strOptionText = "kept";
    ParseFlashOptions(kToolsPath, KT_APP_NAME);
    EXPECT_EQ(g_strImagePath, "kept.bin");
    EXPECT_EQ(g_strDriveSpec, "");
    EXPECT_EQ(g_bAutoFlash, 1);
    EXPECT_EQ(g_strOptionText, "kept");
    ResetOptionGlobals();
}

TEST(OptionPass, EachThreadHasItsOwnOptions)
{
    ResetOptionGlobals();
    ParseFlashOptions(Tools("/S E: /F 1"), KT_APP_NAME);
    std::string strOtherDrive = "unset";
    int32_t nOtherAuto = -1;
    std::thread other([&] {
        ParseFlashOptions(Tools("/S F:"), KT_APP_NAME);
        strOtherDrive = g_strDriveSpec;
        nOtherAuto = g_bAutoFlash;
    });
    other.join();
    EXPECT_EQ(strOtherDrive, "F:");
    EXPECT_EQ(nOtherAuto, 0);
    EXPECT_EQ(g_strDriveSpec, "E:");
    EXPECT_EQ(g_bAutoFlash, 1);
    ResetOptionGlobals();
}

}  // namespace
