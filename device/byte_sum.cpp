#include "device/byte_sum.h"

#include <algorithm>
#include <cstring>

// Eight bytes at a time in four 16-bit lanes. Only the total's low 16 bits
// count, and a lane gains under 2 * 255 per word: folded every 128 words, no
// lane ever carries into the next.
uint32_t SumBytes(const uint8_t* data, std::size_t count)
{
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    constexpr std::size_t kWordsPerFold = 128;
    uint32_t sum = 0;
    while (count >= 8) {
        const std::size_t words = std::min(count / 8, kWordsPerFold);
        uint64_t lanes = 0;
        for (std::size_t i = 0; i < words; ++i) {
            uint64_t word;
            std::memcpy(&word, data + 8 * i, sizeof word);
            lanes += (word & kLowBytes) + ((word >> 8) & kLowBytes);
        }
        sum += static_cast<uint32_t>((lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) +
                                     (lanes >> 48));
        data += 8 * words;
        count -= 8 * words;
    }
    for (; count != 0; --count)
        sum += *data++;
    return sum;
}
