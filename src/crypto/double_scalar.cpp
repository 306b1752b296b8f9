#include "crypto/double_scalar.h"

namespace velmara {

namespace {

constexpr size_t kScalarBits = 8 * kScalarBytes;
// Subtracted when forming u(P + B) and u(P - B): A plus u(B).
constexpr uint32_t kCurveAPlusBaseU = kCurveA + kBaseU;

// One projective x-only point (X : Z).
struct ProjectivePoint {
    FieldElement x;
    FieldElement z;
};

// The sum and difference of X and Z, the form in which both the doubling and the differential
// addition take a point.
struct PointTerms {
    FieldElement sum;
    FieldElement difference;
};

void termsOf(PointTerms& out, const ProjectivePoint& point) {
    feAdd(out.sum, point.x, point.z);
    feSub(out.difference, point.x, point.z);
}

void selectTerms(PointTerms& out, const PointTerms& ifZero, const PointTerms& ifOne, uint32_t bit) {
    feSelect(out.sum, ifZero.sum, ifOne.sum, bit);
    feSelect(out.difference, ifZero.difference, ifOne.difference, bit);
}

// index is 0, 1 or 2.
void selectOfThree(PointTerms& out, const PointTerms (&terms)[3], uint32_t index) {
    selectTerms(out, terms[0], terms[1], index & 1);
    selectTerms(out, out, terms[2], index >> 1);
}

// [2](X : Z): s = (X+Z)^2, t = (X-Z)^2, X' = s*t, Z' = e*(s + a24*e) with e = s - t = 4XZ.
void doublePoint(ProjectivePoint& out, const PointTerms& terms) {
    FieldElement s, t, e, scaled;
    feSquare(s, terms.sum);
    feSquare(t, terms.difference);
    feMul(out.x, s, t);
    feSub(e, s, t);
    feMulInt(scaled, e, kCurveA24);
    feAdd(scaled, scaled, s);
    feMul(out.z, e, scaled);
}

uint32_t bitAt(std::span<const uint8_t, kScalarBytes> scalar, size_t j) {
    return (scalar[j / 8] >> (j % 8)) & 1u;
}

// The control bits D_j of the ladder for j = 0..255 (bit j of control) and D_256, from
// t_j = a_j ^ a_(j-1), s_j = b_j ^ b_(j-1), D_j = t_j ^ (D_(j-1) & ~(t_j ^ s_j)), D_(-1) = 0.
// D_j tells which of the two mixed-parity neighbours the ladder keeps as its middle point.
uint32_t controlBits(uint8_t (&control)[kScalarBytes], std::span<const uint8_t, kScalarBytes> a,
                     std::span<const uint8_t, kScalarBytes> b) {
    uint32_t previousA = 0, previousB = 0, previousD = 0;
    for (size_t byte = 0; byte < kScalarBytes; ++byte) {
        uint32_t bits = 0;
        for (unsigned bit = 0; bit < 8; ++bit) {
            const uint32_t aj = (a[byte] >> bit) & 1u;
            const uint32_t bj = (b[byte] >> bit) & 1u;
            const uint32_t t = aj ^ previousA;
            const uint32_t s = bj ^ previousB;
            const uint32_t d = t ^ (previousD & (1u ^ t ^ s));
            bits |= d << bit;
            previousA = aj;
            previousB = bj;
            previousD = d;
        }
        control[byte] = static_cast<uint8_t>(bits);
    }
    // Bit 256 of both scalars is zero.
    const uint32_t t = previousA;
    const uint32_t s = previousB;
    return t ^ (previousD & (1u ^ t ^ s));
}

// Recovers v(P) for P = (u, v) on the curve, choosing the even root: with R = u^3 + A u^2 + u,
// w = (2R)^((p-5)/8), i = 2R w^2 (a square root of -1 when R is a square) and v = R w (i - 1).
void recoverV(FieldElement& v, FieldElement& r, const FieldElement& u) {
    FieldElement t, twiceR, w, i;
    feSquare(r, u);
    feMulInt(t, u, kCurveA);
    feAdd(r, r, t);
    r.limb[0] += 1;
    feMul(r, r, u);

    feAdd(twiceR, r, r);
    fePow(w, twiceR, 1);
    feSquare(t, w);
    feMul(i, twiceR, t);
    i.limb[0] -= 1;
    feMul(v, r, w);
    feMul(v, v, i);

    FieldElement negated, zero;
    feSetInt(zero, 0);
    feSub(negated, zero, v);
    feMulInt(negated, negated, 1);
    feSelect(v, v, negated, feIsOdd(v));
}

}  // namespace

// 2*v(B) in carried limbs; tests/unit/crypto/double_scalar_test.cpp checks it against the
// square root of 39420360 computed independently.
const FieldElement kTwiceBaseV = {{39999547, 18689728, 59995525, 1648697, 57546132, 24010086,
                                   19059592, 5425144, 63499247, 16420658}};

void differentialAdd(const FieldElement& a, const FieldElement& b, const FieldElement& c,
                     const FieldElement& d, const FieldElement& xd, FieldElement& x3,
                     FieldElement& z3) {
    FieldElement t1, t2, t;
    feMul(t1, b, c);
    feMul(t2, a, d);
    feAdd(t, t1, t2);
    feSub(z3, t1, t2);
    feSquare(x3, t);
    feSquare(z3, z3);
    feMul(z3, z3, xd);
}

void doubleScalarU(std::span<uint8_t, kCurvePointBytes> out,
                   std::span<const uint8_t, kScalarBytes> a,
                   std::span<const uint8_t, kScalarBytes> b,
                   std::span<const uint8_t, kCurvePointBytes> publicU) {
    // 1. P = (u, v) with v even.
    FieldElement u, r, v;
    feDecode(u, publicU);
    feMulInt(u, u, 1);
    recoverV(v, r, u);

    // 2. u(P + B) and u(P - B): with n = v(P)^2 + v(B)^2 and m = 2 v(B) v(P), the slope squared
    // is (n -+ m) / (u - 9)^2, and the sum's u is that minus A, u and 9.
    FieldElement nine, n, m, t, inverse, sumU, differenceU;
    feSetInt(nine, kBaseU);
    feSetInt(t, kBaseVSquared);
    feAdd(n, r, t);
    feMulInt(n, n, 1);
    feMul(m, kTwiceBaseV, v);
    feSub(t, u, nine);
    feSquare(t, t);
    fePow(inverse, t, 0);
    FieldElement offset;
    feSetInt(offset, kCurveAPlusBaseU);
    feAdd(offset, offset, u);

    feSub(t, n, m);
    feMul(t, t, inverse);
    feSub(t, t, offset);
    feMulInt(sumU, t, 1);
    feAdd(t, n, m);
    feMul(t, t, inverse);
    feSub(t, t, offset);
    feMulInt(differenceU, t, 1);

    // 3. Control bits.
    uint8_t control[kScalarBytes];
    const uint32_t topControl = controlBits(control, a, b);

    // 4. Q0, Q1, Q2 are the points [x]P + [y]B for the corners (x, y) of the square
    // {A, A+1} x {B, B+1} around the scalars' top bits A, B read so far: Q0 the corner with both
    // coordinates even, Q2 the one with both odd, Q1 a mixed one, chosen by the control bit.
    ProjectivePoint q[3];
    feSetInt(q[0].x, 1);
    feSetInt(q[0].z, 0);
    feSelect(q[1].x, nine, u, topControl);
    feSetInt(q[1].z, 1);
    q[2].x = sumU;
    feSetInt(q[2].z, 1);

    // 5. One doubling and two differential additions per bit, from the top bit down.
    uint32_t nextA = 0, nextB = 0, nextControl = topControl;
    for (size_t step = 0; step < kScalarBits; ++step) {
        const size_t j = kScalarBits - 1 - step;
        const uint32_t aj = bitAt(a, j);
        const uint32_t bj = bitAt(b, j);
        const uint32_t dj = (control[j / 8] >> (j % 8)) & 1u;

        PointTerms terms[3];
        for (size_t k = 0; k < 3; ++k) termsOf(terms[k], q[k]);

        // The new even corner is twice the old corner whose parities the new bits flip.
        PointTerms chosen;
        selectOfThree(chosen, terms, (aj ^ nextA) + (bj ^ nextB));
        ProjectivePoint doubled;
        doublePoint(doubled, chosen);

        // The new mixed corner: Q1 plus Q0 or Q2, which differ from it by P or by B.
        selectTerms(chosen, terms[0], terms[2], dj ^ nextControl);
        FieldElement difference;
        feSelect(difference, nine, u, dj);
        ProjectivePoint mixed;
        differentialAdd(terms[1].sum, terms[1].difference, chosen.sum, chosen.difference,
                        difference, mixed.x, mixed.z);

        // The new odd corner: Q0 plus Q2, which differ by P + B or by P - B.
        feSelect(difference, sumU, differenceU, nextA ^ nextB);
        ProjectivePoint odd;
        differentialAdd(terms[2].sum, terms[2].difference, terms[0].sum, terms[0].difference,
                        difference, odd.x, odd.z);

        q[0] = doubled;
        q[1] = mixed;
        q[2] = odd;
        nextA = aj;
        nextB = bj;
        nextControl = dj;
    }

    // 6. The scalars themselves are the corner with the parities of a_0 and b_0.
    const uint32_t index = bitAt(a, 0) + bitAt(b, 0);
    ProjectivePoint result;
    feSelect(result.x, q[0].x, q[1].x, index & 1);
    feSelect(result.x, result.x, q[2].x, index >> 1);
    feSelect(result.z, q[0].z, q[1].z, index & 1);
    feSelect(result.z, result.z, q[2].z, index >> 1);
    FieldElement zInverse;
    fePow(zInverse, result.z, 0);
    feMul(result.x, result.x, zInverse);
    feEncode(out, result.x);
}

}  // namespace velmara
