#include "crypto/field_element.h"

namespace velmara {

namespace {

// 2^255 = 19 (mod p): whatever reaches weight 2^255 comes back at weight 1 times this.
constexpr int64_t kFold = 19;
constexpr int32_t kTopLimbLimit = int32_t{1} << 25;  // 2^255 at the weight of l9
constexpr int32_t kEvenLimbMax = (int32_t{1} << 26) - 1;
constexpr int32_t kOddLimbMax = (int32_t{1} << 25) - 1;
constexpr int32_t kLowLimbOfP = (int32_t{1} << 26) - 19;

// Moves each limb's excess above its width into the next limb, rounding down so that the limb
// keeps a value in [0, 2^width).
void carryUp(int64_t (&h)[kFieldLimbs], size_t i) {
    const unsigned width = limbWidth(i);
    const int64_t carry = h[i] >> width;
    h[i] &= (int64_t{1} << width) - 1;
    h[i + 1] += carry;
}

// Brings 64-bit limbs (each below 2^63 in magnitude) to the carried form. The first pass leaves
// l9's excess, folded into l0, as the only limb out of range; the second pass spreads that,
// which can move at most one unit into l9.
void carry(int64_t (&h)[kFieldLimbs], FieldElement& out) {
    for (size_t i = 0; i + 1 < kFieldLimbs; ++i) carryUp(h, i);
    const int64_t top = h[9] >> 25;
    h[9] &= (int64_t{1} << 25) - 1;
    h[0] += top * kFold;
    for (size_t i = 0; i + 1 < kFieldLimbs; ++i) carryUp(h, i);
    for (size_t i = 0; i < kFieldLimbs; ++i) out.limb[i] = static_cast<int32_t>(h[i]);
}

// Products of limbs i and j land at weight 2^(offset(i+j)), twice that when both are odd (their
// offsets are each rounded up by half a bit); those at or above limb 10 wrap to limb i+j-10
// times 19. The wrapped sums are gathered apart and folded once, so that the 19 never
// multiplies a limb before the product (which could overflow 32 bits).
constexpr size_t kProductTerms = 2 * kFieldLimbs - 1;

void foldProducts(int64_t (&products)[kProductTerms], FieldElement& out) {
    int64_t h[kFieldLimbs];
    for (size_t k = 0; k + 1 < kFieldLimbs; ++k) h[k] = products[k] + kFold * products[k + 10];
    h[9] = products[9];
    carry(h, out);
}

uint32_t equalMask(int32_t x, int32_t y) {
    return static_cast<uint32_t>(x == y);
}

void squareTimes(FieldElement& out, const FieldElement& x, int times) {
    feSquare(out, x);
    for (int i = 1; i < times; ++i) feSquare(out, out);
}

}  // namespace

void feCopy(FieldElement& out, const FieldElement& in) {
    out = in;
}

void feSetInt(FieldElement& out, uint32_t k) {
    out = FieldElement{};
    out.limb[0] = static_cast<int32_t>(k);
}

void feAdd(FieldElement& out, const FieldElement& x, const FieldElement& y) {
    for (size_t i = 0; i < kFieldLimbs; ++i) out.limb[i] = x.limb[i] + y.limb[i];
}

void feSub(FieldElement& out, const FieldElement& x, const FieldElement& y) {
    for (size_t i = 0; i < kFieldLimbs; ++i) out.limb[i] = x.limb[i] - y.limb[i];
}

void feMul(FieldElement& out, const FieldElement& x, const FieldElement& y) {
    // The loops have fixed bounds and no data-dependent branch; unrolled, every index is a
    // constant and the products stay in registers.
    int64_t products[kProductTerms] = {};
#pragma GCC unroll 10
    for (size_t i = 0; i < kFieldLimbs; ++i) {
        const int64_t xi = x.limb[i];
        // Odd times odd carries the extra factor 2.
        const int64_t xiForOdd = (i & 1) ? 2 * xi : xi;
#pragma GCC unroll 10
        for (size_t j = 0; j < kFieldLimbs; ++j) {
            products[i + j] += ((j & 1) ? xiForOdd : xi) * y.limb[j];
        }
    }
    foldProducts(products, out);
}

void feSquare(FieldElement& out, const FieldElement& x) {
    int64_t products[kProductTerms] = {};
#pragma GCC unroll 10
    for (size_t i = 0; i < kFieldLimbs; ++i) {
        const int64_t xi = x.limb[i];
        products[2 * i] += (i & 1) ? 2 * xi * xi : xi * xi;
        // Each pair i < j appears twice in the full product.
        const int64_t twiceXi = 2 * xi;
        const int64_t twiceXiForOdd = (i & 1) ? 4 * xi : twiceXi;
#pragma GCC unroll 10
        for (size_t j = i + 1; j < kFieldLimbs; ++j) {
            products[i + j] += ((j & 1) ? twiceXiForOdd : twiceXi) * x.limb[j];
        }
    }
    foldProducts(products, out);
}

void feMulInt(FieldElement& out, const FieldElement& x, uint32_t k) {
    int64_t h[kFieldLimbs];
    for (size_t i = 0; i < kFieldLimbs; ++i) h[i] = int64_t{x.limb[i]} * int64_t{k};
    carry(h, out);
}

void fePow(FieldElement& out, const FieldElement& x, int mode) {
    FieldElement x2, x9, x11, x2_5, x2_10, x2_20, x2_40, x2_50, x2_100, t;
    feSquare(x2, x);              // x^2
    squareTimes(t, x2, 2);        // x^8
    feMul(x9, t, x);              // x^9
    feMul(x11, x9, x2);           // x^11
    feSquare(t, x11);             // x^22
    feMul(x2_5, t, x9);           // x^(2^5 - 1)
    squareTimes(t, x2_5, 5);      // x^(2^10 - 2^5)
    feMul(x2_10, t, x2_5);        // x^(2^10 - 1)
    squareTimes(t, x2_10, 10);    // x^(2^20 - 2^10)
    feMul(x2_20, t, x2_10);       // x^(2^20 - 1)
    squareTimes(t, x2_20, 20);    // x^(2^40 - 2^20)
    feMul(x2_40, t, x2_20);       // x^(2^40 - 1)
    squareTimes(t, x2_40, 10);    // x^(2^50 - 2^10)
    feMul(x2_50, t, x2_10);       // x^(2^50 - 1)
    squareTimes(t, x2_50, 50);    // x^(2^100 - 2^50)
    feMul(x2_100, t, x2_50);      // x^(2^100 - 1)
    squareTimes(t, x2_100, 100);  // x^(2^200 - 2^100)
    feMul(t, t, x2_100);          // x^(2^200 - 1)
    squareTimes(t, t, 50);        // x^(2^250 - 2^50)
    feMul(t, t, x2_50);           // x^(2^250 - 1)
    squareTimes(t, t, 2);         // x^(2^252 - 4)
    if (mode != 0) {
        feMul(out, t, x);  // x^(2^252 - 3)
        return;
    }
    squareTimes(t, t, 3);  // x^(2^255 - 32)
    feMul(out, t, x11);    // x^(2^255 - 21) = x^(p - 2)
}

bool feAtLeastP(const FieldElement& x) {
    // Either the value reaches 2^255, or every limb above l0 is at its maximum and l0 makes up
    // the difference to p. Evaluated without short-circuits, so the time is the same for all.
    uint32_t allMax = static_cast<uint32_t>(x.limb[0] >= kLowLimbOfP);
    for (size_t i = 1; i < kFieldLimbs; ++i) {
        allMax &= equalMask(x.limb[i], (i & 1) ? kOddLimbMax : kEvenLimbMax);
    }
    const uint32_t overTop = static_cast<uint32_t>(x.limb[9] >= kTopLimbLimit);
    return (overTop | allMax) != 0;
}

void feDecode(FieldElement& out, std::span<const uint8_t, kFieldBytes> bytes) {
    for (size_t i = 0; i < kFieldLimbs; ++i) {
        const unsigned offset = kLimbOffset[i];
        // The top limb takes all 26 bits that are left, bit 255 included.
        const unsigned width = (i + 1 == kFieldLimbs) ? 26 : limbWidth(i);
        uint64_t window = 0;
        const size_t first = offset / 8;
        for (size_t n = 0; n < 5 && first + n < kFieldBytes; ++n) {
            window |= uint64_t{bytes[first + n]} << (8 * n);
        }
        out.limb[i] = static_cast<int32_t>((window >> (offset % 8)) & ((uint64_t{1} << width) - 1));
    }
}

void feEncode(std::span<uint8_t, kFieldBytes> bytes, const FieldElement& x) {
    int64_t h[kFieldLimbs];
    for (size_t i = 0; i < kFieldLimbs; ++i) h[i] = x.limb[i];
    FieldElement carried;
    carry(h, carried);

    // The carried value lies in (-p, 2p): q is the multiple of p to take away. Subtracting q*p
    // is adding 19*q at the bottom and taking q*2^255 off the top limb.
    // (A negative l9 never counts as at least p, so at most one of the two terms is set.)
    const int64_t q =
        static_cast<int64_t>(feAtLeastP(carried)) - static_cast<int64_t>(carried.limb[9] < 0);
    for (size_t i = 0; i < kFieldLimbs; ++i) h[i] = carried.limb[i];
    h[0] += kFold * q;
    for (size_t i = 0; i + 1 < kFieldLimbs; ++i) carryUp(h, i);
    h[9] -= q * kTopLimbLimit;

    uint64_t pending = 0;
    unsigned pendingBits = 0;
    size_t next = 0;
    for (size_t i = 0; i < kFieldLimbs; ++i) {
        pending |= static_cast<uint64_t>(h[i]) << pendingBits;
        pendingBits += limbWidth(i);
        while (pendingBits >= 8) {
            bytes[next++] = static_cast<uint8_t>(pending);
            pending >>= 8;
            pendingBits -= 8;
        }
    }
    // 255 bits were packed: the last seven are the low bits of the last byte, bit 255 is clear.
    bytes[next] = static_cast<uint8_t>(pending);
}

uint32_t feIsOdd(const FieldElement& x) {
    uint8_t bytes[kFieldBytes];
    feEncode(bytes, x);
    return bytes[0] & 1u;
}

void feSelect(FieldElement& out, const FieldElement& ifZero, const FieldElement& ifOne,
              uint32_t bit) {
    const int32_t mask = -static_cast<int32_t>(bit);
    for (size_t i = 0; i < kFieldLimbs; ++i) {
        out.limb[i] = ifZero.limb[i] ^ (mask & (ifZero.limb[i] ^ ifOne.limb[i]));
    }
}

}  // namespace velmara
