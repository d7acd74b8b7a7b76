#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "form/image_digest.h"
#include "run/exit_codes.h"

// What 'info' tells about an image file, and what 'flash' checks before it
// touches a device.
struct ImageCheck {
    CliExit exit = kExitSuccess;  // or kExitImageUnreadable, kExitNotFlashable
    std::string strError;
    std::string strPath;
    int64_t nSize = -1;
    uint32_t nBlocks = 0;      // 9 or 18; 0 when not flashable
    uint32_t nFinalBytes = 0;  // image bytes in the final block
    uint8_t byFinalMarker = 0;
    bool bHasChecksum = false;
    ImageDigest
        digest;  // with the checksum: what was read (its sum of all bytes kept to 16 bits), as the form takes it
};

// Reads the file in fixed chunks for the checksum, so its size never
// matters to memory. bytes, with the checksum: the bytes summed, for an
// image no longer than any that is sent.
ImageCheck CheckImage(const std::string& path, bool withChecksum, std::vector<uint8_t>* bytes = nullptr);

std::string FormatImageCheck(const ImageCheck& check);
// The digest's SHA-256 in lower-case hex.
std::string Sha256Text(const ImageDigest& digest);
