// The block function on the CPU's SHA instructions, for x86 and x86-64 (both
// builds). Compiled for them by attribute only: the rest of the program keeps
// running on CPUs without them, which take the portable code instead.
#include "device/sha256_compress.h"

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))

#include <cpuid.h>
#include <immintrin.h>

namespace {

#if defined(__i386__)
// 32-bit Windows gives no 16-byte aligned stack; the spilled vectors need one.
#define KT_SHA_TARGET __attribute__((target("sha,sse4.1"), force_align_arg_pointer))
#else
#define KT_SHA_TARGET __attribute__((target("sha,sse4.1")))
#endif

KT_SHA_TARGET void CompressShaNi(uint32_t (&state)[8], const uint8_t* blocks, std::size_t count)
{
    // The instructions keep the state as ABEF and CDGH, words big-end first.
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0])), 0xB1);
    __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4])), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count != 0; --count, blocks += 64) {
        const __m128i abefSaved = abef;
        const __m128i cdghSaved = cdgh;
        // w[g & 3] holds schedule words 4g..4g+3 once group g is reached.
        __m128i w[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            __m128i words;
            if (g < 4) {
                words = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * g)), byteSwap);
            } else {
                // w[t] = s1(w[t-2]) + w[t-7] + s0(w[t-15]) + w[t-16]
                __m128i sum = _mm_sha256msg1_epu32(w[g & 3], w[(g + 1) & 3]);
                sum = _mm_add_epi32(sum, _mm_alignr_epi8(w[(g + 3) & 3], w[(g + 2) & 3], 4));
                words = _mm_sha256msg2_epu32(sum, w[(g + 3) & 3]);
            }
            w[g & 3] = words;
            __m128i keyed =
                _mm_add_epi32(words, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kSha256Round[4 * g])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, keyed);
            keyed = _mm_shuffle_epi32(keyed, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, keyed);
        }
        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

bool CpuHasSha()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    const bool sse41 = (ecx & bit_SSE4_1) != 0 && (ecx & bit_SSSE3) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return false;
    return sse41 && (ebx & bit_SHA) != 0;
}

}  // namespace

Sha256CompressFn Sha256CpuShaCompress()
{
    static const Sha256CompressFn compress = CpuHasSha() ? &CompressShaNi : nullptr;
    return compress;
}

#else

Sha256CompressFn Sha256CpuShaCompress()
{
    return nullptr;
}

#endif
