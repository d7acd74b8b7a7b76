#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "device/emulated/kt3916.h"
#include "device/pass_through_request.h"

// Helpers shared by the emulator suites: images, CDBs and a sender that
// moves an image the way the download form does.
namespace emu_test {

constexpr uint32_t kBlock = 61440;
constexpr uint32_t k512K = 524288;
constexpr uint32_t k1M = 1048576;

struct Cdb {
    uint8_t bytes[12] = {};
};

inline Cdb InquiryCdb(uint8_t allocation = 36)
{
    Cdb cdb;
    cdb.bytes[0] = 0x12;
    cdb.bytes[4] = allocation;
    return cdb;
}

inline Cdb StartStopCdb(uint8_t value)
{
    Cdb cdb;
    cdb.bytes[0] = 0x1B;
    cdb.bytes[4] = value;
    return cdb;
}

inline Cdb WriteBlockCdb(uint8_t final, uint16_t checksum, uint8_t marker)
{
    Cdb cdb;
    cdb.bytes[0] = 0xFA;
    cdb.bytes[3] = final;
    cdb.bytes[5] = marker;
    cdb.bytes[6] = static_cast<uint8_t>(checksum >> 8);
    cdb.bytes[7] = static_cast<uint8_t>(checksum);
    return cdb;
}

// A pass-through request as the transport builds it.
inline PassThroughRequest Request(const Cdb& cdb, bool dataIn, uint8_t* buffer, uint32_t length)
{
    PassThroughRequest request;
    std::memset(&request, 0, sizeof(request));
    request.sptd.Length = sizeof(ScsiPassThroughDirect);
    request.sptd.CdbLength = 12;
    request.sptd.SenseInfoLength = kSenseAreaLength;
    request.sptd.SenseInfoOffset = offsetof(PassThroughRequest, senseArea);
    request.sptd.DataIn = dataIn ? kDataIn : kDataOut;
    request.sptd.DataTransferLength = length;
    request.sptd.TimeOutValue = 30;
    request.sptd.DataBuffer = buffer;
    std::memcpy(request.sptd.Cdb, cdb.bytes, 12);
    return request;
}

inline std::vector<uint8_t> MakeImage(uint32_t length, uint32_t seed)
{
    std::vector<uint8_t> image(length);
    uint32_t state = seed * 2654435761u + 1;
    for (uint8_t& byte : image) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return image;
}

inline uint16_t ImageChecksum(const std::vector<uint8_t>& image)
{
    uint32_t sum = 0;
    for (uint8_t byte : image)
        sum += byte;
    return static_cast<uint16_t>(sum);
}

// Sends one command: (cdb, dataIn, buffer, length) -> outcome.
using SendFn = std::function<ScsiOutcome(const Cdb&, bool, uint8_t*, uint32_t)>;

// The form's block plan: one buffer reused for every block, read requests of
// 61440 bytes and a shorter final read, so the final block carries the image's
// last bytes followed by what the previous block left behind. Stops at the
// first block that is not good and returns every outcome.
inline std::vector<ScsiOutcome> SendImageLikeForm(const std::vector<uint8_t>& image, uint16_t checksum,
                                                  const SendFn& send)
{
    const int blocks = image.size() == k512K ? 9 : 18;
    const uint8_t finalMarker = image.size() == k512K ? 0x20 : 0x04;
    std::vector<uint8_t> buffer(0x20000, 0xCC);
    std::vector<ScsiOutcome> outcomes;
    std::size_t offset = 0;
    for (int i = 0; i < blocks; ++i) {
        const bool last = i == blocks - 1;
        const std::size_t take = std::min<std::size_t>(kBlock, image.size() - offset);
        std::memcpy(buffer.data(), image.data() + offset, take);
        offset += take;
        const Cdb cdb = last ? WriteBlockCdb(1, checksum, finalMarker) : WriteBlockCdb(0, 0, i == 0 ? 0x00 : 0xFF);
        outcomes.push_back(send(cdb, false, buffer.data(), kBlock));
        if (outcomes.back().result != CommandResult::Good)
            break;
    }
    return outcomes;
}

// "good", "fail" or "check KK/AA/QQ": outcomes compared as readable text.
inline std::string Describe(const ScsiOutcome& outcome)
{
    if (outcome.result != CommandResult::Check)
        return CommandResultName(outcome.result);
    char text[32];
    std::snprintf(text, sizeof(text), "check %02X/%02X/%02X", outcome.senseKey, outcome.asc, outcome.ascq);
    return text;
}

inline SendFn ModelSender(EmulatedKt3916& device)
{
    return [&device](const Cdb& cdb, bool dataIn, uint8_t* buffer, uint32_t length) {
        return device.Execute(cdb.bytes, dataIn, buffer, length);
    };
}

}  // namespace emu_test

// What tests read of a unit's state beyond its answers.
struct Kt3916Probe {
    const EmulatedKt3916& unit;

    bool InDownloadMode() const { return unit.m_bDownloadMode && !unit.m_bRebooting; }
    bool IsRebooting() const { return unit.m_bRebooting && !unit.RebootOver(); }
    // The revision INQUIRY reports now.
    const char* Revision() const
    {
        return unit.RebootOver() ? unit.m_scenario.newRevision.c_str() : unit.m_strRevision.c_str();
    }
    uint32_t BlockWrites() const { return unit.m_nBlockWrites; }  // 0xFA commands received
    // The last image accepted whole.
    const std::vector<uint8_t>& LastImage() const { return unit.m_lastImage; }
};

inline Kt3916Probe Probe(const EmulatedKt3916& unit)
{
    return Kt3916Probe{unit};
}
