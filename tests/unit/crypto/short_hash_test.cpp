#include "crypto/short_hash.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bignum_reference.h"

using namespace velmara;

namespace {

using reference::Bignum;
using Digest = std::array<uint8_t, kShortHashSize>;

std::vector<uint32_t> firstPrimes(size_t count) {
    std::vector<uint32_t> primes;
    for (uint32_t candidate = 2; primes.size() < count; ++candidate) {
        bool prime = true;
        for (uint32_t q : primes) {
            if (q * q > candidate) break;
            if (candidate % q == 0) prime = false;
        }
        if (prime) primes.push_back(candidate);
    }
    return primes;
}

// The first 32 bits of the fractional part of the degree-th root of q: the largest r with
// r^degree <= q * 2^(32 * degree), taken modulo 2^32. Found bit by bit in exact integers.
uint32_t rootFraction(uint32_t q, int degree) {
    Bignum target = reference::fromWord(q);
    BN_lshift(target.get(), target.get(), 32 * degree);
    Bignum root = reference::fromWord(0);
    Bignum power = reference::newBignum();
    for (int bit = 40; bit >= 0; --bit) {  // roots of primes below 1000 are below 2^4
        BN_set_bit(root.get(), bit);
        BN_copy(power.get(), root.get());
        for (int i = 1; i < degree; ++i)
            BN_mul(power.get(), power.get(), root.get(), reference::context());
        if (BN_cmp(power.get(), target.get()) > 0) BN_clear_bit(root.get(), bit);
    }
    BN_mask_bits(root.get(), 32);
    return static_cast<uint32_t>(BN_get_word(root.get()));
}

// Tables by the documented rule: cube roots of the primes from index firstRound (counted from
// 0) for the round constants, square roots of the primes from firstInitial for the initial
// value.
ShortHashTables tablesByRule(size_t firstRound, size_t firstInitial) {
    const std::vector<uint32_t> primes = firstPrimes(firstRound + kShortHashRounds);
    ShortHashTables tables{};
    for (size_t i = 0; i < kShortHashRounds; ++i) {
        tables.roundConstants[i] = rootFraction(primes[firstRound + i], 3);
    }
    for (size_t i = 0; i < kShortHashStateWords; ++i) {
        tables.initialValue[i] = rootFraction(primes[firstInitial + i], 2);
    }
    return tables;
}

const ShortHashTables& standardTables() {
    static const ShortHashTables tables = tablesByRule(0, 0);
    return tables;
}

std::vector<uint8_t> patternedMessage(size_t length, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> message(length);
    for (uint8_t& byte : message) byte = static_cast<uint8_t>(random());
    return message;
}

Digest libcryptoSha256(const std::vector<uint8_t>& message) {
    Digest digest;
    SHA256(message.data(), message.size(), digest.data());
    return digest;
}

Digest fromHex(const std::string& hex) {
    Digest digest{};
    for (size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return digest;
}

}  // namespace

TEST(ShortHashTables, FollowTheDocumentedRule) {
    // The rule itself is checked first: applied to the first 64 and first 8 primes it must give
    // the standard hash, which libcrypto computes.
    const std::vector<uint8_t> abc = {'a', 'b', 'c'};
    Digest digest;
    ASSERT_TRUE(shortHash(standardTables(), digest, abc));
    EXPECT_EQ(digest, libcryptoSha256(abc));

    const ShortHashTables expected = tablesByRule(64, 8);
    for (size_t i = 0; i < kShortHashRounds; ++i) {
        EXPECT_EQ(kShortHashTables.roundConstants[i], expected.roundConstants[i]) << "round " << i;
    }
    for (size_t i = 0; i < kShortHashStateWords; ++i) {
        EXPECT_EQ(kShortHashTables.initialValue[i], expected.initialValue[i]) << "word " << i;
    }
}

TEST(ShortHash, WithStandardTablesEqualsSha256ForEverySingleBlockLength) {
    for (size_t length = 0; length <= kShortHashMaxMessage; ++length) {
        const std::vector<uint8_t> message =
            patternedMessage(length, static_cast<uint32_t>(length));
        Digest digest;
        ASSERT_TRUE(shortHash(standardTables(), digest, message));
        EXPECT_EQ(digest, libcryptoSha256(message)) << "length " << length;
    }
    // The published test value for "abc".
    const std::vector<uint8_t> abc = {'a', 'b', 'c'};
    Digest digest;
    ASSERT_TRUE(shortHash(standardTables(), digest, abc));
    EXPECT_EQ(digest, fromHex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

TEST(ShortHash, OwnTablesDifferFromSha256ForEveryLength) {
    for (size_t length = 0; length <= kShortHashMaxMessage; ++length) {
        const std::vector<uint8_t> message =
            patternedMessage(length, 1000 + static_cast<uint32_t>(length));
        Digest own;
        ASSERT_TRUE(shortHash(own, message));
        EXPECT_NE(own, libcryptoSha256(message)) << "length " << length;
    }
}

TEST(ShortHash, OwnTablesMatchAnIndependentlyComputedValue) {
    // Computed by a separate implementation of the compression with this program's tables; the
    // signing tool must produce exactly these, so a changed table or byte order shows up here.
    const std::vector<uint8_t> abc = {'a', 'b', 'c'};
    std::vector<uint8_t> counting20(20), counting32(32);
    for (size_t i = 0; i < counting32.size(); ++i) counting32[i] = static_cast<uint8_t>(i);
    for (size_t i = 0; i < counting20.size(); ++i) counting20[i] = static_cast<uint8_t>(i);

    Digest digest;
    ASSERT_TRUE(shortHash(digest, abc));
    EXPECT_EQ(digest, fromHex("fa5be572a793fafcf626456a95532f89f7690f75afcfa8f33b2cfd6600526437"));
    ASSERT_TRUE(shortHash(digest, std::span<const uint8_t>()));
    EXPECT_EQ(digest, fromHex("ec0cec8ad96a3aba52020959bd7afe724437d269ba3e1293d77c13b504cd683e"));
    ASSERT_TRUE(shortHash(digest, counting20));
    EXPECT_EQ(digest, fromHex("09642adae3f975ad6d4bffac7a9b44fcc602e19648b0cd797aeade19eaa59f83"));
    ASSERT_TRUE(shortHash(digest, counting32));
    EXPECT_EQ(digest, fromHex("a2bfc913936ec4e3968fcb1ec104c49a8ad3b10d4a77e9dc677a9442732ff63a"));
}

TEST(ShortHash, RefusesMessagesWithoutSingleBlockPadding) {
    for (size_t length : {size_t{56}, size_t{63}, size_t{64}, size_t{200}}) {
        const std::vector<uint8_t> message = patternedMessage(length, 7);
        Digest digest;
        digest.fill(0xA5);
        EXPECT_FALSE(shortHash(digest, message)) << "length " << length;
        EXPECT_FALSE(shortHash(standardTables(), digest, message)) << "length " << length;
        for (uint8_t byte : digest) ASSERT_EQ(byte, 0xA5) << "output written for length " << length;
    }
}

TEST(CompressBlock, ChainsLikeSha256OverSeveralBlocks) {
    // Two compressions with the standard tables over a message padded into two blocks by hand:
    // this checks the compression on its own, without the single-block padding of shortHash.
    for (size_t length : {size_t{56}, size_t{64}, size_t{100}, size_t{119}}) {
        const std::vector<uint8_t> message =
            patternedMessage(length, 42 + static_cast<uint32_t>(length));
        uint8_t padded[128] = {};
        std::memcpy(padded, message.data(), length);
        padded[length] = 0x80;
        const uint64_t bits = uint64_t{length} * 8;
        for (int i = 0; i < 8; ++i) padded[127 - i] = static_cast<uint8_t>(bits >> (8 * i));

        ShortHashState state;
        std::memcpy(state, standardTables().initialValue, sizeof state);
        for (size_t blockStart = 0; blockStart < sizeof padded;
             blockStart += kShortHashBlockBytes) {
            ShortHashBlock block;
            for (size_t w = 0; w < kShortHashBlockWords; ++w) {
                const uint8_t* p = padded + blockStart + 4 * w;
                block[w] =
                    (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
            }
            compressBlock(state, block, standardTables().roundConstants);
        }
        Digest digest;
        for (size_t w = 0; w < kShortHashStateWords; ++w) {
            for (size_t b = 0; b < 4; ++b)
                digest[4 * w + b] = static_cast<uint8_t>(state[w] >> (24 - 8 * b));
        }
        EXPECT_EQ(digest, libcryptoSha256(message)) << "length " << length;
    }
}
