#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

// The KT3916's command set, as the tool sends it and the emulated device
// answers it.
constexpr uint8_t kOpInquiry = 0x12;
constexpr uint8_t kOpStartStopUnit = 0x1B;
constexpr uint8_t kOpBlockWrite = 0xFA;  // the vendor block write

// START STOP UNIT's byte 4 that puts the device in download mode (LOEJ set,
// START clear).
constexpr uint8_t kEnterDownloadMode = 2;

constexpr uint32_t kBlockLength = 61440;  // 0xF000, every block write
// The block write's marker: the image's first block, and every later one
// but the final block (whose marker is its KiB of image data).
constexpr uint8_t kMarkerStart = 0x00;
constexpr uint8_t kMarkerContinue = 0xFF;

// The two image lengths the device takes.
constexpr uint32_t kImageLength512K = 524288;
constexpr uint32_t kImageLength1M = 1048576;

// The image checksum as the form shows it and every record carries it: four
// upper-case hex digits of the 16-bit sum.
inline std::string ChecksumText(uint16_t checksum)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(checksum));
    return text;
}
