#include "crypto/short_hash.h"

#include <cstring>

namespace velmara {

namespace {

// Offset of the big-endian message length in bits within the padded block. The four bytes
// before it stay zero: a single block never holds more than 440 bits.
constexpr size_t kLengthFieldOffset = 60;
constexpr uint8_t kPaddingMarker = 0x80;

uint32_t rotateRight(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

uint32_t loadBigEndian(const uint8_t* bytes) {
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           uint32_t{bytes[3]};
}

void storeBigEndian(uint8_t* bytes, uint32_t word) {
    bytes[0] = static_cast<uint8_t>(word >> 24);
    bytes[1] = static_cast<uint8_t>(word >> 16);
    bytes[2] = static_cast<uint8_t>(word >> 8);
    bytes[3] = static_cast<uint8_t>(word);
}

}  // namespace

// The round constants are the first 32 bits of the fractional parts of the cube roots of the
// 65th to the 128th prime (313, 317, ..., 719), in order; the initial value is the first 32 bits
// of the fractional parts of the square roots of the 9th to the 16th prime (23, 29, 31, 37, 41,
// 43, 47, 53). That is, word = floor(root(q) * 2^32) mod 2^32, computed exactly in integers as
// the integer cube root of q * 2^96 or the integer square root of q * 2^64. They continue the
// standard hash's own rule (which takes the first 64 primes and the first 8), so none of them
// is chosen freely. As a cross-check for readers: the first sixteen round constants are the high
// halves of the last sixteen 64-bit round constants of the standard's 512-bit hash, and the
// initial value is the high halves of the initial value of its 384-bit hash.
// tests/unit/crypto/short_hash_test.cpp recomputes both tables from this rule.
const ShortHashTables kShortHashTables = {
    {
        0xca273ece, 0xd186b8c7, 0xeada7dd6, 0xf57d4f7f, 0x06f067aa, 0x0a637dc5, 0x113f9804,
        0x1b710b35, 0x28db77f5, 0x32caab7b, 0x3c9ebe0a, 0x431d67c4, 0x4cc5d4be, 0x597f299c,
        0x5fcb6fab, 0x6c44198c, 0x7ba0ea2d, 0x7eabf2d0, 0x8dbe8d03, 0x90bb1721, 0x99a2ad45,
        0x9f86e289, 0xa84c4472, 0xb3df34fc, 0xb99bb8d7, 0xbc76cbab, 0xc226a69a, 0xd304f19a,
        0xde1be20a, 0xe39bb437, 0xee84927c, 0xf3edd277, 0xfbfdfe53, 0x0bee2c7a, 0x0e90181c,
        0x25f57204, 0x2da45582, 0x3a52c34c, 0x41dc0172, 0x495796fc, 0x4bd31fc6, 0x533cde21,
        0x5f7abfe3, 0x66c206b3, 0x6dfcc6bc, 0x7062f20f, 0x778d5127, 0x7eaba3cc, 0x8363eccc,
        0x85be1c25, 0x93c04028, 0x9f4a205f, 0xa1953565, 0xa627bb0f, 0xacfa8089, 0xb3c29b23,
        0xb602f6fa, 0xc36cee0a, 0xc7dc81ee, 0xce7b8471, 0xd740288c, 0xe21dba7a, 0xeabbff66,
        0xf56a9e60,
    },
    {0xcbbb9d5d, 0x629a292a, 0x9159015a, 0x152fecd8, 0x67332667, 0x8eb44a87, 0xdb0c2e0d,
     0x47b5481d},
};

void compressBlock(ShortHashState& state, const ShortHashBlock& block,
                   const uint32_t (&roundConstants)[kShortHashRounds]) {
    uint32_t schedule[kShortHashRounds];
    for (size_t t = 0; t < kShortHashBlockWords; ++t) schedule[t] = block[t];
    for (size_t t = kShortHashBlockWords; t < kShortHashRounds; ++t) {
        const uint32_t w15 = schedule[t - 15];
        const uint32_t w2 = schedule[t - 2];
        const uint32_t sigma0 = rotateRight(w15, 7) ^ rotateRight(w15, 18) ^ (w15 >> 3);
        const uint32_t sigma1 = rotateRight(w2, 17) ^ rotateRight(w2, 19) ^ (w2 >> 10);
        schedule[t] = sigma1 + schedule[t - 7] + sigma0 + schedule[t - 16];
    }

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (size_t t = 0; t < kShortHashRounds; ++t) {
        const uint32_t bigSigma1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
        const uint32_t choose = (e & f) ^ (~e & g);
        const uint32_t t1 = h + bigSigma1 + choose + roundConstants[t] + schedule[t];
        const uint32_t bigSigma0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
        const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const uint32_t t2 = bigSigma0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

bool shortHash(std::span<uint8_t, kShortHashSize> out, std::span<const uint8_t> message) {
    return shortHash(kShortHashTables, out, message);
}

bool shortHash(const ShortHashTables& tables, std::span<uint8_t, kShortHashSize> out,
               std::span<const uint8_t> message) {
    if (message.size() > kShortHashMaxMessage) return false;

    uint8_t padded[kShortHashBlockBytes] = {};
    if (!message.empty()) std::memcpy(padded, message.data(), message.size());
    padded[message.size()] = kPaddingMarker;
    storeBigEndian(padded + kLengthFieldOffset, static_cast<uint32_t>(message.size() * 8));

    ShortHashBlock block;
    for (size_t i = 0; i < kShortHashBlockWords; ++i) block[i] = loadBigEndian(padded + 4 * i);

    ShortHashState state;
    for (size_t i = 0; i < kShortHashStateWords; ++i) state[i] = tables.initialValue[i];
    compressBlock(state, block, tables.roundConstants);

    for (size_t i = 0; i < kShortHashStateWords; ++i) storeBigEndian(out.data() + 4 * i, state[i]);
    return true;
}

}  // namespace velmara
