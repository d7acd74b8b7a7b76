#pragma once
#include <cstddef>
#include <cstdint>

// The block functions behind CSha256: count whole 64-byte blocks into state.
extern const uint32_t kSha256Round[64];
void Sha256CompressPortable(uint32_t (&state)[8], const uint8_t* blocks, std::size_t count);
// nullptr where this build or this CPU has no SHA instructions.
using Sha256CompressFn = void (*)(uint32_t (&state)[8], const uint8_t* blocks, std::size_t count);
Sha256CompressFn Sha256CpuShaCompress();
// The system's SHA-256 library (Linux: libcrypto); nullptr where the build has none.
Sha256CompressFn Sha256LibcryptoCompress();
// Whichever of the two compresses a sample faster on this machine, timed once
// per call; first on a tie.
Sha256CompressFn FasterSha256Compress(Sha256CompressFn first, Sha256CompressFn second);
