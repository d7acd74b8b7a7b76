#include <gtest/gtest.h>

#include "flash_bench.h"
#include "temp_image.h"

namespace {

const std::string kProduct = "KT3916 FLASHER  ";  // the emulator's product, blank-padded

std::string TaggedIdentity(char drive)
{
    return std::string("DRIVE ") + drive + " " + kProduct;
}

std::string TaggedRevision(char drive)
{
    return std::string("R-") + drive + " ";
}

int InquiriesTo(const std::vector<TranscriptRecord>& records, char drive)
{
    int count = 0;
    for (const TranscriptRecord& record : WithOpcode(records, kOpInquiry))
        count += record.drive == drive ? 1 : 0;
    return count;
}

class SurveyTest : public FlashBench {};

TEST_F(SurveyTest, AllDevicesAreListedInDeviceOrderAndDeviceZeroIsAskedTwice)
{
    EmulatorScenario scenario;
    scenario.devices = 3;
    MakeBench(scenario);
    Probe().m_bTagInquiry = true;
    TempImage image({0x61, 0x62, 0x63});
    g_strImagePath = image.Path();
    g_strOptionText = "from the command line";

    View().OnInitialUpdate();

    const std::vector<std::string> expected = {
        "Insert 0 " + TaggedIdentity('D'),
        "Insert 1 " + TaggedIdentity('E'),
        "Insert 2 " + TaggedIdentity('F'),
        "Select 0",
        "Version " + TaggedRevision('D'),
        "Path " + image.Path(),
        "Checksum 0126",
        "Status ",
    };
    EXPECT_EQ(m_window.m_calls, expected);
    EXPECT_EQ(m_window.m_nSelection, 0);
    EXPECT_EQ(g_strOptionText, "0126");
    EXPECT_EQ(View().GetChecksum(), 0x0126u);
    EXPECT_TRUE(View().IsSurveyComplete());
    EXPECT_EQ(View().GetState(), FlashState::Ready);
    EXPECT_TRUE(m_window.m_bFlashEnabled);

    const std::vector<TranscriptRecord> records = Records();
    EXPECT_EQ(InquiriesTo(records, 'D'), 2);
    EXPECT_EQ(InquiriesTo(records, 'E'), 1);
    EXPECT_EQ(InquiriesTo(records, 'F'), 1);
    EXPECT_EQ(records.size(), 4u);  // nothing but the INQUIRYs
    // The last INQUIRY went to device 0, so later commands do too.
    EXPECT_EQ(records.back().drive, 'D');
    EXPECT_EQ(View().GetDevice()->GetCurrentDevice(), 0);
}

// A drive that does not answer is listed with an empty entry, never with the
// identity of the drive asked before it.
TEST_F(SurveyTest, SilentDriveShowsAnEmptyEntry)
{
    EmulatorScenario scenario;
    scenario.devices = 3;
    MakeBench(scenario);
    Probe().m_bTagInquiry = true;
    Probe().m_silentDrives = {'E'};
    TempImage image({0x61, 0x62, 0x63});
    g_strImagePath = image.Path();

    View().OnInitialUpdate();

    EXPECT_EQ(m_window.m_items, (std::vector<std::string>{TaggedIdentity('D'), "", TaggedIdentity('F')}));
    m_window.m_nSelection = 1;
    View().OnSelchangeDeviceList();
    EXPECT_EQ(m_window.m_strVersion, "");
}

TEST_F(SurveyTest, NamedDriveReachesOpenDriveAsLetterAndColon)
{
    struct Case {
        const char* driveSpec;
        const char* reachesOpenDrive;
        bool found;
    };
    const Case cases[] = {
        {"E:\\", "E:", true}, {"E:", "E:", true},  {"e:\\", "e:", true},
        {"E", "E", false},    {"F:", "F:", false},  // not a device, although D: and E: are
    };
    TempImage image({0x61, 0x62, 0x63});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driveSpec);
        m_window = RecordingWindow();
        EmulatorScenario scenario;
        scenario.devices = 2;
        MakeBench(scenario);
        Probe().m_bTagInquiry = true;
        g_strImagePath = image.Path();
        g_strDriveSpec = c.driveSpec;

        View().OnInitialUpdate();

        // OpenDrive hands its text to the drive-type query unchanged.
        ASSERT_FALSE(Probe().m_driveKindPaths.empty());
        EXPECT_EQ(Probe().m_driveKindPaths.back(), c.reachesOpenDrive);
        if (c.found) {
            EXPECT_EQ(m_window.m_items, std::vector<std::string>{TaggedIdentity('E')});
            EXPECT_EQ(m_window.m_nSelection, 0);
            EXPECT_EQ(m_window.m_strVersion, TaggedRevision('E'));
            EXPECT_EQ(m_window.m_strChecksum, "0126");
            EXPECT_TRUE(m_window.m_messages.empty());
            EXPECT_EQ(View().GetDevice()->GetDeviceCount(), 1);
            const std::vector<TranscriptRecord> records = Records();
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].drive, 'E');
            EXPECT_EQ(CdbHex(records[0]), "120000002400000000000000");
        } else {
            EXPECT_EQ(m_window.m_messages, std::vector<std::string>{FlashOutcomeText(FlashOutcome::NoDevice)});
            EXPECT_TRUE(m_window.m_items.empty());
            EXPECT_EQ(View().GetDevice()->GetDeviceCount(), 0);
            EXPECT_TRUE(Records().empty());
        }
    }
}

// Each survey that stops at a message leaves the fields it had not reached
// empty, the status line as the template had it, and starts no download even
// when the automatic start was asked for.
TEST_F(SurveyTest, SurveyStopsAtItsMessagesAndNeverStartsTheDownload)
{
    struct Case {
        const char* name;
        int devices;
        enum {
            NoPath,
            MissingFile,
            GoodFile
        } image;
        const char* message;
        bool listFilled;
        bool pathShown;
    };
    const Case cases[] = {
        {"no device", 0, Case::GoodFile, FlashOutcomeText(FlashOutcome::NoDevice), false, false},
        {"no path", 1, Case::NoPath, FlashOutcomeText(FlashOutcome::NoImageSet), true, true},
        {"unreadable file", 1, Case::MissingFile, FlashOutcomeText(FlashOutcome::ImageUnopenable), true, true},
    };
    TempImage good(std::vector<uint8_t>(524288, 0x11));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_window = RecordingWindow();
        EmulatorScenario scenario;
        scenario.devices = c.devices;
        MakeBench(scenario);
        g_bAutoFlash = 1;
        g_strOptionText = "untouched";
        if (c.image == Case::GoodFile)
            g_strImagePath = good.Path();
        else if (c.image == Case::MissingFile)
            g_strImagePath = good.Path() + ".missing";
        else
            g_strImagePath.clear();

        View().OnInitialUpdate();

        EXPECT_EQ(m_window.m_messages, std::vector<std::string>{c.message});
        EXPECT_EQ(m_window.m_items.size(), c.listFilled ? 1u : 0u);
        EXPECT_EQ(m_window.Calls("Version").size(), c.listFilled ? 1u : 0u);
        EXPECT_EQ(m_window.Calls("Path").size(), c.pathShown ? 1u : 0u);
        EXPECT_EQ(m_window.m_strPath, c.pathShown ? g_strImagePath : "");
        EXPECT_TRUE(m_window.Calls("Checksum").empty());
        EXPECT_EQ(g_strOptionText, "untouched");
        EXPECT_EQ(m_window.m_strStatus, kStatusTemplate);
        EXPECT_TRUE(m_window.m_timers.empty());
        EXPECT_TRUE(m_window.m_bFlashEnabled);
        EXPECT_FALSE(View().IsSurveyComplete());
        EXPECT_EQ(View().GetState(), FlashState::Ready);
        EXPECT_EQ(View().GetChecksum(), 0u);
        ASSERT_NE(View().GetDevice(), nullptr);  // created also when nothing was found
        EXPECT_EQ(WithOpcode(Records(), kOpStartStopUnit).size(), 0u);
    }
}

TEST_F(SurveyTest, ChecksumTextIsTheByteSumInFourUpperCaseHexDigits)
{
    std::vector<uint8_t> mixed = PatternImage(1000, 7);
    uint32_t mixedSum = 0;
    for (uint8_t b : mixed)
        mixedSum += b;
    char mixedText[8];
    std::snprintf(mixedText, sizeof mixedText, "%04X", mixedSum & 0xFFFF);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string text;
    };
    const Case cases[] = {
        {"abc", {0x61, 0x62, 0x63}, "0126"},
        {"empty", {}, "0000"},
        {"512 KiB of 0xFF", std::vector<uint8_t>(524288, 0xFF), "0000"},
        {"upper-case digits", {0xAB, 0x01}, "00AC"},
        {"any length is summed", mixed, mixedText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_window = RecordingWindow();
        MakeBench();
        TempImage image(c.bytes);
        g_strImagePath = image.Path();

        View().OnInitialUpdate();

        EXPECT_TRUE(m_window.m_messages.empty());
        EXPECT_EQ(m_window.m_strChecksum, c.text);
        EXPECT_EQ(g_strOptionText, c.text);
        EXPECT_EQ(View().GetChecksum(), std::stoul(c.text, nullptr, 16));
    }
}

TEST_F(SurveyTest, SelectionChangeSwitchesTheTargetAndOnlyTheRevision)
{
    EmulatorScenario scenario;
    scenario.devices = 3;
    MakeBench(scenario);
    Probe().m_bTagInquiry = true;
    TempImage image({0x61, 0x62, 0x63});
    g_strImagePath = image.Path();
    View().OnInitialUpdate();
    const size_t before = RecordCount();
    m_window.ClearRecord();

    m_window.m_nSelection = 2;  // the user picks the third entry
    View().OnSelchangeDeviceList();

    EXPECT_EQ(m_window.m_calls, (std::vector<std::string>{"GetSelection", "Version " + TaggedRevision('F')}));
    std::vector<TranscriptRecord> records = RecordsSince(before);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].drive, 'F');
    EXPECT_EQ(records[0].cdb[0], kOpInquiry);
    EXPECT_EQ(m_window.m_strChecksum, "0126");
    EXPECT_EQ(m_window.m_strPath, image.Path());
    EXPECT_EQ(m_window.m_items.size(), 3u);

    // No selection: the index goes to the device as it is, INQUIRY reaches no
    // device and the revision shows empty.
    m_window.m_nSelection = -1;
    View().OnSelchangeDeviceList();
    EXPECT_EQ(View().GetDevice()->GetCurrentDevice(), -1);
    EXPECT_EQ(RecordCount(), before + 1);
    EXPECT_EQ(m_window.m_strVersion, "");
}

// Without a data buffer the device object answers nothing: the survey lists
// the drives it found with empty texts, and a download fails before sending.
TEST_F(SurveyTest, WithoutADataBufferDrivesShowEmptyAndNothingIsSent)
{
    EmulatorScenario scenario;
    scenario.devices = 2;
    MakeBench(scenario);
    Probe().m_bNoDataBuffer = true;
    TempImage image(std::vector<uint8_t>(524288, 0x5A));
    g_strImagePath = image.Path();

    View().OnInitialUpdate();

    EXPECT_EQ(m_window.m_items, (std::vector<std::string>{"", ""}));
    EXPECT_EQ(m_window.m_strVersion, "");
    ASSERT_TRUE(View().IsSurveyComplete());
    View().OnFlash();
    FireStartTick();
    EXPECT_EQ(m_window.m_messages, std::vector<std::string>{FlashOutcomeText(FlashOutcome::SendFailed)});
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(View().GetState(), FlashState::Stopped);
}

TEST_F(SurveyTest, AutomaticStartArmsTheDownloadAtTheEndOfACompleteSurvey)
{
    MakeBench();
    TempImage image(std::vector<uint8_t>(524288, 0x5A));
    g_strImagePath = image.Path();
    g_bAutoFlash = 1;

    View().OnInitialUpdate();

    const std::vector<std::string>& calls = m_window.m_calls;
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 5, calls.end()),
              (std::vector<std::string>{"Status ", "Enable 0", "ListEnable 0", "SetPos 0", "SetTimer 1026 500"}));
    EXPECT_EQ(View().GetState(), FlashState::Armed);
    // The transfer waits for the start tick.
    EXPECT_TRUE(WithOpcode(Records(), kOpBlockWrite).empty());
    EXPECT_TRUE(WithOpcode(Records(), kOpStartStopUnit).empty());
}

}  // namespace
