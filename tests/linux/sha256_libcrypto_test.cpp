#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/sha256.h"
#include "temp_image.h"

namespace {

// A libcrypto configured without SHA-256 (its null provider only) cannot give
// a digest: the program stops, naming the call that failed and libcrypto's
// reason, instead of going on with bytes that are no digest.
TEST(Sha256DeathTest, LibcryptoWithoutSha256StopsTheProgram)
{
    const std::string config = "openssl_conf = init\n[init]\nproviders = providers\n"
                               "[providers]\nnull = null\n[null]\nactivate = 1\n";
    const TempImage file(std::vector<uint8_t>(config.begin(), config.end()));
    // A new process, which reads the configuration at its first digest.
    const std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("OPENSSL_CONF", file.Path().c_str(), 1);
    EXPECT_DEATH(Sha256Hex(nullptr, 0), "SHA-256: libcrypto's EVP_DigestInit_ex failed\n.*unsupported");
    unsetenv("OPENSSL_CONF");
    GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
