// Arithmetic in GF(p), p = 2^255 - 19, on ten signed 32-bit limbs of alternating 26 and 25 bits:
// value = l0 + l1*2^26 + l2*2^51 + l3*2^77 + l4*2^102 + l5*2^128 + l6*2^153 + l7*2^179
//         + l8*2^204 + l9*2^230 (mod p).
//
// "Carried" form, produced by feMul, feSquare, feMulInt and fePow: l0..l8 lie in [0, 2^width)
// and l9 in [-1, 2^25], so the value lies in (-p, 2p) and feAtLeastP and the encoding can bring
// it to [0, p) with one subtraction or addition of p. feAdd and feSub do not carry; their results
// may be fed once more to a multiplication, whose 64-bit accumulators stay below 2^63 for limbs
// of magnitude up to about 2^27.2 (the sum of two carried elements is below 2^27).
//
// Every operation allows its output to be one of its inputs, and none allocates or branches on
// the values it computes with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmara {

constexpr size_t kFieldLimbs = 10;
constexpr size_t kFieldBytes = 32;

struct FieldElement {
    int32_t limb[kFieldLimbs];
};

// Limb i starts at bit kLimbOffset[i]; even limbs hold 26 bits, odd ones 25.
constexpr unsigned kLimbOffset[kFieldLimbs] = {0, 26, 51, 77, 102, 128, 153, 179, 204, 230};
constexpr unsigned limbWidth(size_t i) {
    return (i & 1) ? 25 : 26;
}

void feCopy(FieldElement& out, const FieldElement& in);
void feSetInt(FieldElement& out, uint32_t k);
void feAdd(FieldElement& out, const FieldElement& x, const FieldElement& y);
void feSub(FieldElement& out, const FieldElement& x, const FieldElement& y);
void feMul(FieldElement& out, const FieldElement& x, const FieldElement& y);
void feSquare(FieldElement& out, const FieldElement& x);
void feMulInt(FieldElement& out, const FieldElement& x, uint32_t k);

// Mode 0: x^(p-2), the inverse of x (0 for x = 0). Any other mode: x^((p-5)/8) = x^(2^252-3),
// the power a square root needs.
void fePow(FieldElement& out, const FieldElement& x, int mode);

// For a carried x: whether the value it represents is at least p.
bool feAtLeastP(const FieldElement& x);

// The 32 bytes are a little-endian 256-bit number. Bit 255 is kept, so it counts as 2^255,
// which is 19 modulo p.
void feDecode(FieldElement& out, std::span<const uint8_t, kFieldBytes> bytes);

// The canonical value in [0, p) as 32 little-endian bytes. The limbs need not be carried (any
// 32-bit limbs are taken): they are carried here first.
void feEncode(std::span<uint8_t, kFieldBytes> bytes, const FieldElement& x);

// The least significant bit of the canonical value: 1 or 0.
uint32_t feIsOdd(const FieldElement& x);

// out = bit ? ifOne : ifZero, by masks rather than a branch; bit is 0 or 1.
void feSelect(FieldElement& out, const FieldElement& ifZero, const FieldElement& ifOne,
              uint32_t bit);

}  // namespace velmara
