// SHA-256 by the system's libcrypto: it picks the CPU's best code at run time
// (SHA instructions, AVX2, SSSE3), several times the portable code's speed.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

#include "base/sha256.h"

namespace {

// libcrypto fails a digest only when memory runs out or its configuration
// leaves SHA-256 out. No digest can be given then, and any other bytes would
// pass for one in a check or a record: the program stops, saying why.
void ExpectLibcrypto(bool ok, const char* call)
{
    if (ok)
        return;
    std::fprintf(stderr, "SHA-256: libcrypto's %s failed\n", call);
    ERR_print_errors_fp(stderr);
    std::abort();
}

}  // namespace

CSha256::CSha256() : m_pContext(EVP_MD_CTX_new())
{
    ExpectLibcrypto(m_pContext != nullptr, "EVP_MD_CTX_new");
    ExpectLibcrypto(EVP_DigestInit_ex(m_pContext, EVP_sha256(), nullptr) == 1, "EVP_DigestInit_ex");
}

CSha256::~CSha256()
{
    EVP_MD_CTX_free(m_pContext);
}

void CSha256::Update(const uint8_t* data, std::size_t length)
{
    ExpectLibcrypto(EVP_DigestUpdate(m_pContext, data, length) == 1, "EVP_DigestUpdate");
}

void CSha256::Final(uint8_t (&digest)[32])
{
    ExpectLibcrypto(EVP_DigestFinal_ex(m_pContext, digest, nullptr) == 1, "EVP_DigestFinal_ex");
}
