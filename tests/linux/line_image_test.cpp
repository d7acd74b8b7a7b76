// The line's approval as stations read it: the signature it names counts
// as much as the bytes.
#include <gtest/gtest.h>

#include <string>

#include "line/station_line.h"

TEST(LineImage, AnApprovalNamesTheSignatureAStationMustHaveChecked)
{
    const LineImage signedImage{"fw110.bin", 524288, "19C5", std::string(64, 'a'), "5A2BF7712B08C9C0", "revision=1.10"};
    LineImage read;
    ASSERT_TRUE(ParseLineImage(LineImageJson(signedImage, "2026-12-10T12:00:00Z", "host"), read));
    EXPECT_TRUE(SameImage(read, signedImage));
    EXPECT_EQ(read.strKeyId, "5A2BF7712B08C9C0");
    EXPECT_EQ(read.strTrustedComment, "revision=1.10");

    LineImage unsignedImage = signedImage;
    unsignedImage.strKeyId.clear();
    unsignedImage.strTrustedComment.clear();
    ASSERT_TRUE(ParseLineImage(LineImageJson(unsignedImage, "", ""), read));
    EXPECT_TRUE(SameImage(read, unsignedImage));

    // A field of another type is no signature, and no reason to stop reading.
    ASSERT_TRUE(ParseLineImage(
        R"({"length":524288,"checksum":"19C5","sha256":")" + std::string(64, 'a') + R"(","key_id":5})", read));
    EXPECT_EQ(read.strKeyId, "");

    LineImage otherKey = signedImage;
    otherKey.strKeyId = "91882D7B64345F4B";
    LineImage otherComment = signedImage;
    otherComment.strTrustedComment = "revision=1.90";
    for (const LineImage* other : {&unsignedImage, &otherKey, &otherComment})
        EXPECT_FALSE(SameImage(signedImage, *other)) << other->strKeyId << " " << other->strTrustedComment;
}
