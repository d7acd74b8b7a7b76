// The --transcript file on Linux: put on the disk on request and at its
// close, and never inherited by the programs the tool starts.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "cli/transcript_file.h"

namespace {

// This process's descriptors open on path (stdin may be /dev/null too).
std::set<int> DescriptorsOn(const std::string& path) {
    std::set<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error);
        if (!error && target == path) found.insert(std::stoi(entry.path().filename().string()));
    }
    return found;
}

}  // namespace

TEST(TranscriptFile, IsClosedOnExecAndPutOnTheDiskWithoutFailing) {
    const std::string regular =
        (std::filesystem::temp_directory_path() / ("kt-transcript-" + std::to_string(getpid()) + ".jsonl")).string();
    std::filesystem::remove(regular);
    // /dev/null cannot be put on a disk (fdatasync says EINVAL): that is no failure.
    for (const std::string& path : {regular, std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        const std::set<int> before = DescriptorsOn(path);
        CTranscriptFile file;
        ASSERT_TRUE(file.Open(path)) << file.ErrorText();
        std::set<int> opened = DescriptorsOn(path);
        for (int fd : before) opened.erase(fd);
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_TRUE(fcntl(*opened.begin(), F_GETFD) & FD_CLOEXEC);
        file.Stream() << "{\"line\":1}\n";
        file.Stream().flush();
        file.SyncToDisk();
        EXPECT_FALSE(file.Failed()) << file.ErrorText();
        file.Close();
        EXPECT_FALSE(file.Failed()) << file.ErrorText();
        EXPECT_EQ(DescriptorsOn(path), before) << "closed";
    }
    EXPECT_EQ(std::filesystem::file_size(regular), 11u);
    std::filesystem::remove(regular);
}
