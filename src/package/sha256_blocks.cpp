#include "package/sha256_blocks.h"

// CNG hashes at a fifth of the speed of these instructions under some runtimes, and the
// digest of every byte a staging writes is on its critical path. x86 only: elsewhere
// sha256_blocks_available() is false and the caller keeps to CNG.
#if defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)

#include <atomic>

#include <immintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#define SHA_TARGET
#else
#include <cpuid.h>
#define SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#endif

namespace {

alignas(16) const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

bool processor_has_sha() {
    unsigned int leaf1_c = 0, leaf7_b = 0;
#if defined(_MSC_VER)
    int registers[4];
    __cpuid(registers, 0);
    if (registers[0] < 7) {
        return false;
    }
    __cpuid(registers, 1);
    leaf1_c = static_cast<unsigned int>(registers[2]);
    __cpuidex(registers, 7, 0);
    leaf7_b = static_cast<unsigned int>(registers[1]);
#else
    unsigned int a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7 || !__get_cpuid(1, &a, &b, &c, &d)) {
        return false;
    }
    leaf1_c = c;
    __cpuid_count(7, 0, a, b, c, d);
    leaf7_b = b;
#endif
    const bool ssse3 = (leaf1_c & (1u << 9)) != 0, sse41 = (leaf1_c & (1u << 19)) != 0;
    const bool sha = (leaf7_b & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

// Four rounds on the message words `w` (rounds 4g to 4g+3 for group g).
SHA_TARGET inline void four_rounds(__m128i& abef, __m128i& cdgh, __m128i w, size_t group) {
    __m128i wk = _mm_add_epi32(w, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound) + group));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    wk = _mm_shuffle_epi32(wk, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
}

// Asked once; an atomic, not a function's static, whose guarded start-up would bring in
// a threads library the program has no other use for.
std::atomic<int> processor_sha{-1};

} // namespace

bool sha256_blocks_available() {
    int available = processor_sha.load(std::memory_order_relaxed);
    if (available < 0) {
        available = processor_has_sha() ? 1 : 0;
        processor_sha.store(available, std::memory_order_relaxed);
    }
    return available == 1;
}

SHA_TARGET void sha256_blocks(uint32_t state[8], const unsigned char* data, size_t count) {
    // The instructions keep the state as ABEF and CDGH, each with A (or C) highest.
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; count > 0; --count, data += 64) {
        const __m128i abef_before = abef, cdgh_before = cdgh;
        // w[g % 4] holds the message words 4g to 4g+3 of the schedule.
        __m128i w[4];
        for (size_t g = 0; g < 4; ++g) {
            w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data) + g),
                                    byte_swap);
            four_rounds(abef, cdgh, w[g], g);
        }
        for (size_t g = 4; g < 16; ++g) {
            // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four words at a time.
            __m128i next = _mm_sha256msg1_epu32(w[g % 4], w[(g - 3) % 4]);
            next = _mm_add_epi32(next, _mm_alignr_epi8(w[(g - 1) % 4], w[(g - 2) % 4], 4));
            w[g % 4] = _mm_sha256msg2_epu32(next, w[(g - 1) % 4]);
            four_rounds(abef, cdgh, w[g % 4], g);
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    dcba = _mm_blend_epi16(feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8(dchg, feba, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

#else

bool sha256_blocks_available() {
    return false;
}

void sha256_blocks(uint32_t*, const unsigned char*, size_t) {}

#endif
