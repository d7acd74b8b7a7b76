// The system's libcrypto compresses SHA-256 blocks on Linux: it picks the
// CPU's best code at run time (SHA instructions, AVX2, SSSE3), where the
// portable code of this program is several times slower. Its one-block
// transform on the raw state is deprecated API, but it is the only entry that
// keeps CSha256's state and buffering (and its freedom from allocations).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>

#include "device/sha256_compress.h"

namespace {

void CompressWithLibcrypto(uint32_t (&state)[8], const uint8_t* blocks, std::size_t count)
{
    SHA256_CTX context;
    static_assert(sizeof context.h == sizeof state);
    std::memcpy(context.h, state, sizeof state);
    for (; count != 0; --count, blocks += 64)
        SHA256_Transform(&context, blocks);
    std::memcpy(state, context.h, sizeof state);
}

}  // namespace

Sha256CompressFn Sha256LibcryptoCompress()
{
    return &CompressWithLibcrypto;
}
