// HMAC-SHA256 (FIPS 180-4, RFC 2104) and SipHash-2-4-128 for the secure gate's fingerprints.
#include "fingerprint.hpp"

#include <bit>

#if defined(__GNUC__) && defined(__x86_64__)
#define TERVIK_SHA_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace fingerprint {

namespace {

alignas(16) constexpr std::uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};
constexpr std::uint32_t initial_state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline std::uint32_t load_be(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
inline void store_be(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// One round: the eight working variables stay where they are and the names rotate instead
// (the caller passes them shifted by one for each round), which saves the moves.
#define TERVIK_SHA256_ROUND(a, b, c, d, e, f, g, h, i)                                        \
    do {                                                                                      \
        std::uint32_t t1 =                                                                    \
            h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + (g ^ (e & (f ^ g))) + K[i] + w[i]; \
        d += t1;                                                                              \
        h = t1 + (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) | (c & (a | b)));        \
    } while (0)

#if defined(__GNUC__)
#define TERVIK_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define TERVIK_ALWAYS_INLINE inline
#endif

TERVIK_ALWAYS_INLINE void compress_rounds(std::uint32_t s[8], const std::uint8_t* block) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) w[i] = load_be(block + 4 * i);
    for (int i = 16; i < 64; ++i) {
        std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
    for (int i = 0; i < 64; i += 8) {
        TERVIK_SHA256_ROUND(a, b, c, d, e, f, g, h, i);
        TERVIK_SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1);
        TERVIK_SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2);
        TERVIK_SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3);
        TERVIK_SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4);
        TERVIK_SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5);
        TERVIK_SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6);
        TERVIK_SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7);
    }
    s[0] += a;
    s[1] += b;
    s[2] += c;
    s[3] += d;
    s[4] += e;
    s[5] += f;
    s[6] += g;
    s[7] += h;
}
#undef TERVIK_SHA256_ROUND

void compress_portable(std::uint32_t s[8], const std::uint8_t* block) { compress_rounds(s, block); }

#ifdef TERVIK_SHA_EXTENSIONS
// The same with the SHA extensions: four rounds per pair of sha256rnds2, the message schedule
// by sha256msg1/msg2 (Intel's "New Instructions Supporting the Secure Hash Algorithm").
__attribute__((target("sha,sse4.1"))) void compress_sha_extensions(std::uint32_t s[8],
                                                                   const std::uint8_t* block) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&s[0]));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&s[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH
    const __m128i abef = state0, cdgh = state1;

    __m128i w[4];  // the last four groups of four message words
    for (int i = 0; i < 16; ++i) {
        __m128i m;
        if (i < 4) {
            m = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i)),
                                 byte_swap);
        } else {
            __m128i t = _mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]);  // groups i-4, i-3
            t = _mm_add_epi32(t, _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
            m = _mm_sha256msg2_epu32(t, w[(i + 3) & 3]);  // group i-1
        }
        w[i & 3] = m;
        __m128i wk = _mm_add_epi32(m, _mm_load_si128(reinterpret_cast<const __m128i*>(&K[4 * i])));
        state1 = _mm_sha256rnds2_epu32(state1, state0, wk);
        state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(wk, 0x0E));
    }

    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // ABEF
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&s[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&s[4]), state1);
}

// The portable rounds compiled for CPUs with BMI2 and AVX2 (rotations by rorx, the message
// schedule in vector registers).
__attribute__((target("bmi2,avx2"))) void compress_bmi2(std::uint32_t s[8],
                                                        const std::uint8_t* block) {
    compress_rounds(s, block);
}

bool cpu_has_bmi2() { return __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("avx2"); }

bool cpu_has_sha_extensions() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29));
}
#endif

using Compress = void (*)(std::uint32_t*, const std::uint8_t*);
Compress compress = compress_portable;

// SHA-256 of `parts`, continued from `state` after `done` bytes already hashed (a multiple of
// 64).  At most two parts.
void finish(std::uint32_t state[8], std::uint64_t done, std::string_view first,
            std::string_view second, std::uint8_t out[32]) {
    std::uint8_t block[64];
    std::size_t filled = 0;
    std::uint64_t total = done;
    for (std::string_view part : {first, second}) {
        total += part.size();
        while (!part.empty()) {
            std::size_t n = std::min(part.size(), sizeof block - filled);
            std::memcpy(block + filled, part.data(), n);
            filled += n;
            part.remove_prefix(n);
            if (filled == sizeof block) {
                compress(state, block);
                filled = 0;
            }
        }
    }
    block[filled++] = 0x80;
    if (filled > 56) {
        std::memset(block + filled, 0, sizeof block - filled);
        compress(state, block);
        filled = 0;
    }
    std::memset(block + filled, 0, 56 - filled);
    std::uint64_t bits = total * 8;
    for (int i = 0; i < 8; ++i) block[56 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    compress(state, block);
    for (int i = 0; i < 8; ++i) store_be(out + 4 * i, state[i]);
}

void padded_key_state(std::string_view key, std::uint8_t pad, std::uint32_t state[8]) {
    std::uint8_t block[64] = {};
    std::memcpy(block, key.data(), std::min<std::size_t>(key.size(), 64));
    for (std::uint8_t& b : block) b ^= pad;
    std::memcpy(state, initial_state, sizeof initial_state);
    compress(state, block);
}

bool engine_passes() {
    // RFC 4231, test case 2, and a text long enough to take several blocks.
    Digest d = Hmac("Jefe").digest('w', "hat do ya want for nothing?");
    constexpr std::uint8_t expected[32] = {0x5b, 0xdc, 0xc1, 0x46, 0xbf, 0x60, 0x75, 0x4e,
                                           0x6a, 0x04, 0x24, 0x26, 0x08, 0x95, 0x75, 0xc7,
                                           0x5a, 0x00, 0x3f, 0x08, 0x9d, 0x27, 0x39, 0x83,
                                           0x9d, 0xec, 0x58, 0xb9, 0x64, 0xec, 0x38, 0x43};
    return std::memcmp(d.data(), expected, sizeof expected) == 0;
}

Engine selected = Engine::portable;

// -- SipHash-2-4 with a 128-bit tag (Aumasson and Bernstein, 2012) --

inline std::uint64_t rotl(std::uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }
inline std::uint64_t load_le64(const char* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}
inline void store_le64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1, v1 = rotl(v1, 13), v1 ^= v0, v0 = rotl(v0, 32);
        v2 += v3, v3 = rotl(v3, 16), v3 ^= v2;
        v0 += v3, v3 = rotl(v3, 21), v3 ^= v0;
        v2 += v1, v1 = rotl(v1, 17), v1 ^= v2, v2 = rotl(v2, 32);
    }
    void absorb(std::uint64_t m) {
        v3 ^= m;
        round(), round();
        v0 ^= m;
    }
    std::uint64_t squeeze(std::uint8_t mark) {
        v2 ^= mark;
        round(), round(), round(), round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

// The tags of the messages 00, 00 01, ... of lengths 0, 7, 8, 15 and 63 under the key
// 00 01 ... 0f, from the reference implementation's vectors.
bool siphash_passes() {
    struct Vector {
        std::size_t length;
        std::uint8_t tag[16];
    };
    static constexpr Vector vectors[] = {
        {0, {0xa3, 0x81, 0x7f, 0x04, 0xba, 0x25, 0xa8, 0xe6, 0x6d, 0xf6, 0x72, 0x14, 0xc7, 0x55,
             0x02, 0x93}},
        {7, {0xa1, 0xf1, 0xeb, 0xbe, 0xd8, 0xdb, 0xc1, 0x53, 0xc0, 0xb8, 0x4a, 0xa6, 0x1f, 0xf0,
             0x82, 0x39}},
        {8, {0x3b, 0x62, 0xa9, 0xba, 0x62, 0x58, 0xf5, 0x61, 0x0f, 0x83, 0xe2, 0x64, 0xf3, 0x14,
             0x97, 0xb4}},
        {15, {0x54, 0x93, 0xe9, 0x99, 0x33, 0xb0, 0xa8, 0x11, 0x7e, 0x08, 0xec, 0x0f, 0x97, 0xcf,
              0xc3, 0xd9}},
        {63, {0x51, 0x50, 0xd1, 0x77, 0x2f, 0x50, 0x83, 0x4a, 0x50, 0x3e, 0x06, 0x9a, 0x97, 0x3f,
              0xbd, 0x7c}},
    };
    std::uint8_t key[16];
    char message[64];
    for (int i = 0; i < 16; ++i) key[i] = static_cast<std::uint8_t>(i);
    for (int i = 0; i < 64; ++i) message[i] = static_cast<char>(i);
    KeyHash hash(key);
    for (const Vector& v : vectors) {
        Fingerprint tag = hash(std::string_view(message, v.length));
        if (std::memcmp(tag.data(), v.tag, sizeof v.tag) != 0) return false;
    }
    return true;
}

}  // namespace

bool select_engine() noexcept {
#ifdef TERVIK_SHA_EXTENSIONS
    if (cpu_has_sha_extensions()) {
        compress = compress_sha_extensions;
        selected = Engine::sha_extensions;
        if (engine_passes()) return siphash_passes();
    }
    if (cpu_has_bmi2()) {
        compress = compress_bmi2;
        selected = Engine::portable;
        if (engine_passes()) return siphash_passes();
    }
#endif
    compress = compress_portable;
    selected = Engine::portable;
    return engine_passes() && siphash_passes();
}

Engine engine() noexcept { return selected; }

Hmac::Hmac(std::string_view key) noexcept {
    padded_key_state(key, 0x36, inner_);
    padded_key_state(key, 0x5c, outer_);
}

Digest Hmac::digest(char kind, std::string_view text) const noexcept {
    std::uint32_t state[8];
    std::uint8_t inner[32];
    std::memcpy(state, inner_, sizeof state);
    finish(state, 64, std::string_view(&kind, 1), text, inner);
    Digest out;
    std::memcpy(state, outer_, sizeof state);
    finish(state, 64, std::string_view(reinterpret_cast<const char*>(inner), sizeof inner), {},
           out.data());
    return out;
}

KeyHash::KeyHash(const std::uint8_t key[16]) noexcept
    : k0_(load_le64(reinterpret_cast<const char*>(key))),
      k1_(load_le64(reinterpret_cast<const char*>(key) + 8)) {}

Fingerprint KeyHash::operator()(std::string_view text) const noexcept {
    // v1 starts xor 0xee, which asks for a 128-bit tag.
    SipState s{k0_ ^ 0x736f6d6570736575ULL, k1_ ^ 0x646f72616e646f6dULL ^ 0xee,
               k0_ ^ 0x6c7967656e657261ULL, k1_ ^ 0x7465646279746573ULL};
    const char* p = text.data();
    std::size_t n = text.size();
    for (; n >= 8; p += 8, n -= 8) s.absorb(load_le64(p));
    std::uint64_t last = std::uint64_t{text.size() & 0xff} << 56;
    for (std::size_t i = 0; i < n; ++i) last |= std::uint64_t{static_cast<std::uint8_t>(p[i])} << (8 * i);
    s.absorb(last);
    Fingerprint out;
    store_le64(out.data(), s.squeeze(0xee));
    s.v1 ^= 0xdd;
    s.round(), s.round(), s.round(), s.round();
    store_le64(out.data() + 8, s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
    return out;
}

std::array<char, 16> hex(const Fingerprint& f) noexcept {
    constexpr char digits[] = "0123456789abcdef";
    std::array<char, 16> out;
    for (std::size_t i = 0; i < 8; ++i) {
        out[2 * i] = digits[f[i] >> 4];
        out[2 * i + 1] = digits[f[i] & 15];
    }
    return out;
}

}  // namespace fingerprint
