// The Curve25519 computation of the older package-signature scheme: the u-coordinate of
// [a]P + [b]B for the signer's public point P and the base point B, on the Montgomery curve
// v^2 = u^3 + 486662 u^2 + u over GF(2^255 - 19), by a three-point differential ladder whose
// work per scalar bit is the same whatever the bits are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "crypto/field_element.h"

namespace velmara {

constexpr size_t kScalarBytes = 32;
constexpr size_t kCurvePointBytes = 32;

constexpr uint32_t kCurveA = 486662;
constexpr uint32_t kCurveA24 = 121665;        // (A - 2) / 4, used in doubling
constexpr uint32_t kBaseU = 9;                // u(B)
constexpr uint32_t kBaseVSquared = 39420360;  // 9^3 + A*9^2 + 9

// 2*v(B), with v(B) the square root of kBaseVSquared whose canonical value is even.
extern const FieldElement kTwiceBaseV;

// The u-only sum of Q1 = (X1:Z1) and Q2 = (X2:Z2) given a = X1+Z1, b = X1-Z1, c = X2+Z2,
// d = X2-Z2 and xd, the u-coordinate of their difference: X3 = (bc + ad)^2,
// Z3 = (bc - ad)^2 * xd.
void differentialAdd(const FieldElement& a, const FieldElement& b, const FieldElement& c,
                     const FieldElement& d, const FieldElement& xd, FieldElement& x3,
                     FieldElement& z3);

// out = u([a]P + [b]B), canonical, little-endian; 0 when the sum is the neutral element.
// publicU is P's u-coordinate as 32 little-endian bytes (bit 255 counts, as in feDecode); P
// itself is the point with that u whose v is even. a and b are little-endian and all 256 bits
// are used: a caller that wants clamped scalars clamps them first. For a u that is not on the
// curve the result has no meaning (and so a signature made with it cannot verify).
void doubleScalarU(std::span<uint8_t, kCurvePointBytes> out,
                   std::span<const uint8_t, kScalarBytes> a,
                   std::span<const uint8_t, kScalarBytes> b,
                   std::span<const uint8_t, kCurvePointBytes> publicU);

}  // namespace velmara
