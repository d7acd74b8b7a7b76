// The command ring's entry parser over a mailbox in memory whose ring the
// input fills: whatever the entries say, reads and writes stay inside the
// mapping and reading the ring ends.
//
// Input: 4 bytes head offset, 1 byte answer pattern, then the command ring's
// bytes (the rest of the ring is zeros).
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "emulator/tcmu_abi.h"
#include "emulator/tcmu_ring.h"

namespace {

constexpr uint32_t kRingOff = sizeof(tcmu::Mailbox);
constexpr uint32_t kRingSize = 4096;
constexpr std::size_t kSize = 64 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    // Exactly the mapping's size, so that the sanitizer sees every byte past it.
    std::vector<uint64_t> memory(kSize / 8);
    auto* base = reinterpret_cast<uint8_t*>(memory.data());
    auto* mb = reinterpret_cast<tcmu::Mailbox*>(base);
    mb->version = tcmu::kMailboxVersion;
    mb->flags = tcmu::kCapReadLength | tcmu::kCapOutOfOrder;
    mb->cmdr_off = kRingOff;
    mb->cmdr_size = kRingSize;
    std::memcpy(&mb->cmd_head, data, 4);
    const uint8_t pattern = data[4];
    std::memcpy(base + kRingOff, data + 5, std::min<std::size_t>(size - 5, kRingSize));

    CTcmuRing ring(base, kSize);
    if (!ring.Valid())
        return 0;
    static uint8_t buffer[kSize];
    std::vector<CTcmuRing::Command> held;
    CTcmuRing::Command command;
    for (unsigned i = 0; ring.Next(command); ++i) {
        ring.CopyDataOut(command, buffer, sizeof buffer);
        // Some commands stay unanswered while later ones are answered.
        if ((pattern >> (i % 8)) & 1) {
            held.push_back(command);
            continue;
        }
        const uint8_t sense[18] = {0x70, 0, 0x0B};
        ring.Complete(command, i % 2 == 0 ? 0x00 : 0x02, sense, sizeof sense, buffer, command.dataLength / 2);
    }
    for (const CTcmuRing::Command& late : held)
        ring.Complete(late, 0x02, nullptr, 0, nullptr, 0);
    return 0;
}
