#include "base/input_file.h"
#include "tests/temp_image.h"

#include <gtest/gtest.h>

namespace {

// /proc/self/mem opens, but reading from offset 0 (an unmapped address) fails
// with EIO: a read error, not an end of file.
TEST(SumImageFile, ReadErrorIsNotAnEmptyImage)
{
    uint32_t checksum = 0x1234;
    EXPECT_EQ(SumImageFile("/proc/self/mem", checksum), ImageSumResult::ReadFailed);
    EXPECT_EQ(checksum, 0x1234u);
}

}  // namespace
