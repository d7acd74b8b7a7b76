#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "run/exit_codes.h"
#include "tests/cli_test_support.h"
#include "tests/temp_image.h"

namespace {

// An output FIFO is taken only when something reads it: without a reader a
// plain open would wait for one forever, out of reach of Ctrl-C. A regression
// hangs this test, which the suite's timeout reports.
TEST(OutputFifo, TakenOnlyWithAReader)
{
    const std::string fifo = TempImage(std::vector<uint8_t>{}).Path() + ".out.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char* option : {"--log", "--transcript"}) {
        for (const bool reader : {false, true}) {
            const int fd = reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
            const auto run = cli_test::RunTool({"--emulate=devices=2", option, fifo, "list"});
            std::string read(65536, '\0');
            const ssize_t got = fd >= 0 ? ::read(fd, read.data(), read.size()) : 0;
            if (fd >= 0)
                close(fd);
            if (reader) {
                EXPECT_EQ(run.exit, kExitSuccess) << option << "\n" << run.err;
                EXPECT_EQ(cli_test::Lines(read.substr(0, got > 0 ? got : 0)).size(),
                          std::string(option) == "--log" ? 3u : 2u)
                    << option << ": one per INQUIRY, and the log's run-start";
            } else {
                EXPECT_EQ(run.exit, kExitUsage) << option;
                EXPECT_NE(run.err.find(fifo + ": a FIFO that nobody reads; start its reader first"), std::string::npos)
                    << run.err;
                EXPECT_EQ(run.out, "") << option;
            }
        }
    }
    unlink(fifo.c_str());
}

}  // namespace
