#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/file_identity.h"
#include "base/input_file.h"
#include "device/emulated/emulated_host.h"
#include "device/emulated/scenario.h"
#include "run/exit_codes.h"
#include "tests/cli_test_support.h"
#include "tests/emulated_host_probe.h"
#include "tests/temp_image.h"

namespace {

// A FIFO in the temporary directory, held open for writing so that an open
// for reading that does not ask for O_NONBLOCK still returns: a regression
// then fails the test instead of hanging it.
class TempFifo {
public:
    TempFifo() : m_path(TempImage(std::vector<uint8_t>{}).Path() + ".fifo")
    {
        EXPECT_EQ(mkfifo(m_path.c_str(), 0600), 0);
        m_writer = open(m_path.c_str(), O_RDWR | O_NONBLOCK);
        EXPECT_GE(m_writer, 0);
    }
    ~TempFifo()
    {
        if (m_writer >= 0)
            close(m_writer);
        unlink(m_path.c_str());
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    int m_writer = -1;
};

TEST(SpecialFiles, NeverOpenedAsAnImage)
{
    TempFifo fifo;
    for (const std::string& path : {fifo.Path(), std::string("/dev/zero"), std::string("/dev/null")}) {
        CInputFile file;
        EXPECT_FALSE(file.Open(path)) << path;
        EXPECT_EQ(file.GetOpenFailure(), InputOpenFailure::NotRegular) << path;
        uint32_t checksum = 0x1234;
        EXPECT_EQ(SumImageFile(path, checksum), ImageSumResult::OpenFailed) << path;
    }
}

TEST(SpecialFiles, InfoAndFlashRefuseThemAndSendNothing)
{
    TempFifo fifo;
    for (const std::string& path : {fifo.Path(), std::string("/dev/zero"), std::string("/dev/null")}) {
        const auto info = cli_test::RunTool({"info", path});
        EXPECT_EQ(info.exit, kExitImageUnreadable) << path;
        EXPECT_NE(info.err.find("cannot open the image " + path + ": not a regular file"), std::string::npos)
            << info.err;

        ManualClock clock;
        EmulatorScenario scenario;
        RecordedHost host(scenario, clock);
        const auto flash = cli_test::RunTool({"flash", path}, &host, &clock);
        EXPECT_EQ(flash.exit, kExitImageUnreadable) << path;
        EXPECT_TRUE(host.Records().empty()) << path;
    }
}

TEST(SameFile, LinksAreTheFileTheyName)
{
    TempImage image(PatternImage(64));
    const std::string hard = image.Path() + ".hard";
    const std::string soft = image.Path() + ".soft";
    std::filesystem::create_hard_link(image.Path(), hard);
    std::filesystem::create_symlink(image.Path(), soft);
    EXPECT_TRUE(IsSameFile(image.Path(), hard));
    EXPECT_TRUE(IsSameFile(soft, image.Path()));
    std::filesystem::remove(hard);
    std::filesystem::remove(soft);
}

// --transcript naming the image, by any name, would append JSON to the
// firmware: refused before anything is opened for writing.
TEST(SameFile, TranscriptThatIsTheImageIsRefused)
{
    const std::vector<uint8_t> bytes = PatternImage(524288, 21);
    TempImage image(bytes);
    const std::string hard = image.Path() + ".hard";
    std::filesystem::create_hard_link(image.Path(), hard);
    for (const std::string& transcript : {image.Path(), hard}) {
        const auto run =
            cli_test::RunTool({"--emulate=reboot_ms=0", "--transcript", transcript, "flash", image.Path()});
        EXPECT_EQ(run.exit, kExitUsage) << transcript;
        EXPECT_NE(run.err.find("the transcript file is the image itself: " + transcript + "; nothing was sent"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(std::filesystem::file_size(image.Path()), bytes.size()) << transcript;
    }
    std::filesystem::remove(hard);
}

}  // namespace
