// minisign's files as the tool reads them, and their verification. The key
// and signatures below were made once with minisign 0.11 (-G -W; -S -t
// "revision=1.10"; -S -l -t legacy) over the text kData.
#include <gtest/gtest.h>

#include <string>

#include "run/minisign.h"

namespace {

const std::string kData = "KT3916 test image\n";
const std::string kKey = "untrusted comment: minisign public key 5A2BF7712B08C9C0\n"
                         "RWTAyQgrcfcrWlsQX41ahGxe0PZSoSBuWvhOeXoLJ/WAUP6ffiogMzK6\n";
const std::string kOtherKey = "untrusted comment: minisign public key 91882D7B64345F4B\n"
                              "RWRLXzRkey2IkZQVeqFYVj1OtytLD//YgVIketmgB9AEoBv1HhaJeMH9\n";
const std::string kPrehashedLine =
    "RUTAyQgrcfcrWg5o95Ieh2uCBXD0WvZjjvyS4mcY28ayBoCrBjD2W9WOq3imSjeoJQW7sRc3VthHW4YB0plKRJ1kjNYtMnXohw4=";
const std::string kPrehashed =
    "untrusted comment: signature from minisign secret key\n" + kPrehashedLine +
    "\ntrusted comment: revision=1.10\n"
    "DgwXMwd9pmhAAFCxeZN8LLFwbBn325n12+gHkB3D3iNJ9UB2NxNsYqllNVt06gX5SOOfzf3Y46XMetC/7l4sBA==\n";
const std::string kLegacy =
    "untrusted comment: signature from minisign secret key\n"
    "RWTAyQgrcfcrWhYpCKoAINYuJz/XoRG2G3jFilH2d+A1bMUNks3eo5e0jIoXqYMTSz89RX5jxUko+wA1fP+FDs//wDnnh1SDuAM=\n"
    "trusted comment: legacy\n"
    "rMIWVz11zPRdemgQ9qCfH2HfbryI8jXBzBq1GdBet0c7wCfvmsiGaZHX5r/L7otm8PVbTybJoqiTs2aPj9geCQ==\n";

std::string Replaced(std::string text, const std::string& from, const std::string& to)
{
    return text.replace(text.find(from), from.size(), to);
}

TEST(Minisign, ReadsWhatMinisignWritesAndNothingElse)
{
    MinisignKey key;
    std::string error;
    ASSERT_TRUE(ParseMinisignKey(kKey, key, error)) << error;
    EXPECT_EQ(MinisignKeyIdText(key.keyId), "5A2BF7712B08C9C0");
    EXPECT_TRUE(ParseMinisignKey(Replaced(kKey, "\n", "\r\n") + "\n\n", key, error)) << error;

    MinisignSignature signature;
    ASSERT_TRUE(ParseMinisignSignature(kPrehashed, signature, error)) << error;
    EXPECT_TRUE(signature.bPrehashed);
    EXPECT_EQ(MinisignKeyIdText(signature.keyId), "5A2BF7712B08C9C0");
    EXPECT_EQ(signature.strTrustedComment, "revision=1.10");
    ASSERT_TRUE(ParseMinisignSignature(kLegacy, signature, error)) << error;
    EXPECT_FALSE(signature.bPrehashed);
    EXPECT_EQ(signature.strTrustedComment, "legacy");

    const struct {
        const char* name;
        std::string text;
    } badKeys[] = {
        {"no comment", kKey.substr(kKey.find('\n') + 1)}, {"a third line", kKey + "RWTA\n"},
        {"not base64", Replaced(kKey, "RWTA", "RW*A")},   {"one byte short", Replaced(kKey, "MzK6", "")},
        {"not Ed25519", Replaced(kKey, "RWTA", "RXTA")},  {"a signature", kPrehashed},
    };
    for (const auto& row : badKeys)
        EXPECT_FALSE(ParseMinisignKey(row.text, key, error)) << row.name;

    const struct {
        const char* name;
        std::string text;
    } badSignatures[] = {
        {"no trusted comment", Replaced(kPrehashed, "trusted comment: ", "comment: ")},
        {"three lines", kPrehashed.substr(0, kPrehashed.rfind("\n", kPrehashed.size() - 2) + 1)},
        {"no untrusted comment", Replaced(kPrehashed, "untrusted comment", "comment")},
        {"an algorithm of another tool", Replaced(kPrehashed, "RUTA", "RVTA")},
        // The same bytes spelled otherwise: the padding bits are not zero.
        {"not canonical base64", Replaced(kPrehashed, "hw4=", "hw5=")},
        {"a short global signature", Replaced(kPrehashed, "BA==", "")},
        {"a key", kKey},
    };
    for (const auto& row : badSignatures)
        EXPECT_FALSE(ParseMinisignSignature(row.text, signature, error)) << row.name;
}

TEST(Minisign, VerifiesTheBytesTheKeyAndTheTrustedComment)
{
    MinisignKey key, other;
    MinisignSignature prehashed, legacy;
    std::string error;
    ASSERT_TRUE(ParseMinisignKey(kKey, key, error) && ParseMinisignKey(kOtherKey, other, error));
    ASSERT_TRUE(ParseMinisignSignature(kPrehashed, prehashed, error) && ParseMinisignSignature(kLegacy, legacy, error));
    // Another key under the signer's id must not pass for it.
    other.keyId = key.keyId;
    MinisignSignature comment = prehashed;
    comment.strTrustedComment = "revision=1.90";
    MinisignSignature swapped = legacy;
    swapped.globalSignature = prehashed.globalSignature;
    MinisignSignature relabelled = prehashed;
    relabelled.bPrehashed = false;
    const std::string changed = Replaced(kData, "test", "Test");

    const struct {
        const char* name;
        const MinisignKey& key;
        const MinisignSignature& signature;
        const std::string& data;
        MinisignVerdict verdict;
    } rows[] = {
        {"prehashed", key, prehashed, kData, MinisignVerdict::Good},
        {"legacy", key, legacy, kData, MinisignVerdict::Good},
        {"one byte changed", key, prehashed, changed, MinisignVerdict::BadSignature},
        {"legacy, one byte changed", key, legacy, changed, MinisignVerdict::BadSignature},
        {"another key", other, prehashed, kData, MinisignVerdict::BadSignature},
        {"the signature's form changed", key, relabelled, kData, MinisignVerdict::BadSignature},
        {"trusted comment edited", key, comment, kData, MinisignVerdict::BadTrustedComment},
        {"another signature's global signature", key, swapped, kData, MinisignVerdict::BadTrustedComment},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(
            VerifyMinisign(row.key, row.signature, reinterpret_cast<const uint8_t*>(row.data.data()), row.data.size()),
            row.verdict)
            << row.name;
    }
    // A signature names its key by id: one of another id is never taken.
    ASSERT_TRUE(ParseMinisignKey(kOtherKey, other, error));
    EXPECT_EQ(VerifyMinisign(other, prehashed, reinterpret_cast<const uint8_t*>(kData.data()), kData.size()),
              MinisignVerdict::BadSignature);
}

}  // namespace
