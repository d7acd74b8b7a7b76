#include "form/inquiry_text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(InquiryText, IdentityAndRevisionFromStandardData)
{
    struct Case {
        const char* name;
        const char* field8to35;  // 28 bytes: identity then revision
        size_t length;
        const char* identity;
        const char* revision;
    };
    const Case cases[] = {
        {"full fields", "KTDEV   KT3916 FLASHER  1.00", 28, "KTDEV   KT3916 FLASHER  ", "1.00"},
        {"zero ends early", "KT\0DEV  KT3916 FLASHER  1\0.0", 28, "KT", "1"},
        {"all zero", "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 28, "", ""},
        {"no zero anywhere", "ABCDEFGHIJKLMNOPQRSTUVWXWXYZ", 28, "ABCDEFGHIJKLMNOPQRSTUVWX", "WXYZ"},
    };
    for (const Case& c : cases) {
        // Bytes after the revision are not zero: the texts must stop by length.
        uint8_t data[60];
        std::memset(data, 'Q', sizeof data);
        std::memcpy(data + 8, c.field8to35, c.length);
        EXPECT_EQ(InquiryIdentityText(data), c.identity) << c.name;
        EXPECT_EQ(InquiryRevisionText(data), c.revision) << c.name;
    }
}

}  // namespace
