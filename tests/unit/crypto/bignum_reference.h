// Slow, plain reference arithmetic for the crypto tests, on libcrypto's BIGNUM: field values
// modulo p = 2^255 - 19 and affine points of the Montgomery curve v^2 = u^3 + 486662 u^2 + u.
#pragma once

#include <openssl/bn.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "crypto/field_element.h"

using namespace velmara;

namespace reference {

struct BignumFree {
    void operator()(BIGNUM* n) const { BN_free(n); }
};
using Bignum = std::unique_ptr<BIGNUM, BignumFree>;
using Bytes32 = std::array<uint8_t, 32>;

Bignum newBignum();
Bignum copyOf(const BIGNUM* n);
Bignum fromWord(uint64_t word);
const BIGNUM* prime();
BN_CTX* context();

// 32 little-endian bytes as a number, and a number below 2^256 as 32 little-endian bytes.
Bignum fromBytes(const Bytes32& bytes);
Bytes32 toBytes(const BIGNUM* n);
// The value the limbs stand for, reduced to [0, p).
Bignum fromLimbs(const FieldElement& x);
// out = (x op y) mod p, canonical.
Bignum modAdd(const BIGNUM* x, const BIGNUM* y);
Bignum modSub(const BIGNUM* x, const BIGNUM* y);
Bignum modMul(const BIGNUM* x, const BIGNUM* y);
Bignum modInverse(const BIGNUM* x);

struct Point {
    bool infinity = true;
    Bignum u;
    Bignum v;
};

Point neutral();
// The point with this u whose v is even; infinity = true with u unset when u is not on the curve.
Point liftEven(const BIGNUM* u);
Point add(const Point& p, const Point& q);
// [scalar]p by double-and-add over all bits of the 32 little-endian bytes.
Point multiply(const Point& p, const Bytes32& scalar);
// The canonical u of a point as 32 bytes, zero for the neutral element.
Bytes32 encodeU(const Point& p);

}  // namespace reference
