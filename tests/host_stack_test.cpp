#include "device/host_stack.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "device/forwarding_host.h"
#include "device/recording_host.h"
#include "tests/cli_test_support.h"
#include "tests/fake_host.h"
#include "tests/temp_image.h"

namespace {

// An output file that opens or fails as the test says, and remembers whether
// it was asked to.
class CTestOutput final : public IOutputFile {
public:
    bool bFails = false;
    bool bFifo = false;
    bool bOpened = false;
    std::ostringstream text;

    bool Open(const std::string&) override
    {
        bOpened = !bFails;
        return !bFails;
    }
    std::ostream& Stream() override { return text; }
    std::string ErrorText() const override { return bFails ? "No such device or address" : ""; }
    bool FifoWithoutReader() const override { return bFifo; }
};

}  // namespace

// The checks go in a fixed order, and a fault stops the build there: what
// was set up before it (the emulated bench) stays, nothing after it happens.
TEST(HostStack, StopsAtTheFirstFaultInOrder)
{
    TempImage image(std::vector<uint8_t>(16, 0x5A));
    struct Case {
        const char* name;
        const char* scenario;
        bool transcriptIsImage, transcriptFails, logIsImage, logFails;
        HostStackFault fault;
        bool emulated, transcriptOpened, logOpened;
    } cases[] = {
        {"bad scenario", "devices=x", false, false, false, false, HostStackFault::BadScenario, false, false, false},
        {"transcript is the image", "", true, false, false, false, HostStackFault::TranscriptIsImage, false, false,
         false},
        {"transcript does not open", "", false, true, true, false, HostStackFault::TranscriptNotOpened, false, false,
         false},
        {"log is the image", "", false, false, true, false, HostStackFault::LogIsImage, true, true, false},
        {"log does not open", "", false, false, false, true, HostStackFault::LogNotOpened, true, true, false},
        {"all well", "devices=2", false, false, false, false, HostStackFault::None, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ManualClock clock;
        CTestOutput transcript, log;
        transcript.bFails = transcript.bFifo = c.transcriptFails;
        log.bFails = c.logFails;
        HostStackSpec spec;
        spec.bEmulate = true;
        spec.strScenario = c.scenario;
        spec.pClock = &clock;
        spec.strImage = image.Path();
        spec.strTranscript = c.transcriptIsImage ? image.Path() : image.Path() + ".transcript";
        spec.pTranscript = &transcript;
        spec.strLog = c.logIsImage ? image.Path() : image.Path() + ".log";
        spec.pLog = &log;
        CHostStack stack;
        HostStackError error;
        EXPECT_EQ(stack.Build(spec, error), c.fault == HostStackFault::None);
        EXPECT_EQ(error.fault, c.fault);
        EXPECT_EQ(error.bFifoWithoutReader, c.transcriptFails);
        EXPECT_EQ(stack.IsEmulated(), c.emulated);
        EXPECT_EQ(transcript.bOpened, c.transcriptOpened);
        EXPECT_EQ(log.bOpened, c.logOpened);
        if (c.fault == HostStackFault::BadScenario) {
            EXPECT_NE(error.strDetail.find("devices"), std::string::npos) << error.strDetail;
        }
        if (c.fault == HostStackFault::None) {
            // The emulated devices write the transcript; the log's layer is on top.
            ASSERT_NE(stack.Recorder(), nullptr);
            EXPECT_EQ(&stack.Host(), stack.Recorder());
            EXPECT_NE(dynamic_cast<EmulatedHost*>(&stack.Recorder()->Inner()), nullptr);
        }
    }
}

// A host the face brings (a test's) replaces the emulator, whatever the
// scenario says; with no file and no call for it, nothing is layered on it.
TEST(HostStack, AnInjectedHostIsUsedAsItIs)
{
    FakeScsiHost fake;
    HostStackSpec spec;
    spec.bEmulate = true;
    spec.strScenario = "no-such-key=1";
    spec.pHost = &fake;
    CHostStack bare;
    HostStackError error;
    ASSERT_TRUE(bare.Build(spec, error));
    EXPECT_EQ(&bare.Host(), &fake);
    EXPECT_FALSE(bare.IsEmulated());
    EXPECT_EQ(bare.Recorder(), nullptr);

    spec.bAlwaysRecord = true;
    CHostStack recorded;
    ASSERT_TRUE(recorded.Build(spec, error));
    ASSERT_NE(recorded.Recorder(), nullptr);
    EXPECT_EQ(&recorded.Recorder()->Inner(), &fake);
}

// Devices that do not write a transcript themselves are recorded into it by
// a layer, in the transcript's format with the data's digest and their node.
TEST(HostStack, ATranscriptOfDevicesThatKeepNoneIsWrittenByTheRecordingLayer)
{
    ManualClock clock;
    EmulatedHost devices(cli_test::Scenario("devices=1"), clock);
    CTestOutput transcript;
    HostStackSpec spec;
    spec.pHost = &devices;
    spec.strTranscript = "transcript.jsonl";
    spec.pTranscript = &transcript;
    CHostStack stack;
    HostStackError error;
    ASSERT_TRUE(stack.Build(spec, error));
    ASSERT_NE(&stack.Host(), &devices);

    const HostHandle d = stack.Host().OpenDevice("\\\\.\\D:");
    ASSERT_NE(d, kInvalidHandle);
    uint8_t block[16] = {1, 2, 3};
    PassThroughRequest request{};
    request.sptd.Length = sizeof request.sptd;
    request.sptd.CdbLength = 12;
    request.sptd.DataIn = kDataOut;
    request.sptd.DataTransferLength = sizeof block;
    request.sptd.DataBuffer = block;
    request.sptd.Cdb[0] = 0x1B;
    stack.Host().SendPassThrough(d, request);
    stack.Host().CloseDevice(d);
    const std::string line = transcript.text.str();
    EXPECT_NE(line.find("\"node\":\"emulated\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"data_sha256\":\""), std::string::npos) << line;
}

// A layer offers what only some hosts have exactly when the host under it does.
TEST(HostStack, LayersOfferTheCapabilitiesOfTheHostUnderThem)
{
    ManualClock clock;
    FakeScsiHost aspiHost;
    EmulatedHost nodeHost(cli_test::Scenario("devices=1"), clock);
    struct CNoExtras final : IScsiHost {
        bool GetVersionPlatformId(uint32_t&) override { return false; }
        int64_t QueryCounterFrequency() override { return 1; }
        int64_t QueryCounter() override { return 0; }
        uint32_t GetLogicalDriveRoots(uint32_t, char*) override { return 0; }
        uint32_t GetDriveKind(const char*) override { return 1; }
        HostHandle OpenDevice(const char*) override { return kInvalidHandle; }
        void CloseDevice(HostHandle) override {}
        bool SendPassThrough(HostHandle, PassThroughRequest&) override { return false; }
    } plain;
    struct Case {
        const char* name;
        IScsiHost& inner;
        bool aspi;
        const char* node;
    } cases[] = {
        {"a host with ASPI", aspiHost, true, "\\\\.\\D:"},
        {"the emulated bench", nodeHost, true, "emulated"},
        {"a host with nothing extra", plain, false, "\\\\.\\D:"},
    };
    for (const Case& c : cases) {
        CForwardingHost forwarding(c.inner);
        CRecordingHost recording(forwarding);
        EXPECT_EQ(recording.Aspi() != nullptr, c.aspi) << c.name;
        EXPECT_EQ(recording.DriveNodeText('D'), c.node) << c.name;
        EXPECT_EQ(recording.DriveNodes(), nullptr) << c.name;
    }
}
