#include "bignum_reference.h"

#include <openssl/err.h>

#include <cstdlib>

namespace reference {

namespace {

constexpr unsigned long kCurveA = 486662;

void check(int ok) {
    // A failing BIGNUM call means the test harness itself is broken (out of memory).
    if (!ok) std::abort();
}

}  // namespace

Bignum newBignum() {
    Bignum n(BN_new());
    check(n != nullptr);
    return n;
}

Bignum copyOf(const BIGNUM* n) {
    Bignum out(BN_dup(n));
    check(out != nullptr);
    return out;
}

Bignum fromWord(uint64_t word) {
    Bignum n = newBignum();
    check(BN_set_word(n.get(), static_cast<BN_ULONG>(word >> 32)));
    check(BN_lshift(n.get(), n.get(), 32));
    check(BN_add_word(n.get(), static_cast<BN_ULONG>(word & 0xffffffffu)));
    return n;
}

BN_CTX* context() {
    static BN_CTX* ctx = BN_CTX_new();
    check(ctx != nullptr);
    return ctx;
}

const BIGNUM* prime() {
    static Bignum p = [] {
        Bignum n = newBignum();
        check(BN_set_bit(n.get(), 255));
        check(BN_sub_word(n.get(), 19));
        return n;
    }();
    return p.get();
}

Bignum fromBytes(const Bytes32& bytes) {
    Bignum n(BN_lebin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
    check(n != nullptr);
    return n;
}

Bytes32 toBytes(const BIGNUM* n) {
    Bytes32 bytes{};
    check(BN_bn2lebinpad(n, bytes.data(), static_cast<int>(bytes.size())) == 32);
    return bytes;
}

Bignum fromLimbs(const FieldElement& x) {
    Bignum sum = newBignum();
    BN_zero(sum.get());
    for (size_t i = 0; i < kFieldLimbs; ++i) {
        Bignum term = fromWord(
            static_cast<uint64_t>(x.limb[i] < 0 ? -int64_t{x.limb[i]} : int64_t{x.limb[i]}));
        check(BN_lshift(term.get(), term.get(), static_cast<int>(kLimbOffset[i])));
        if (x.limb[i] < 0) {
            check(BN_sub(sum.get(), sum.get(), term.get()));
        } else {
            check(BN_add(sum.get(), sum.get(), term.get()));
        }
    }
    check(BN_nnmod(sum.get(), sum.get(), prime(), context()));
    return sum;
}

Bignum modAdd(const BIGNUM* x, const BIGNUM* y) {
    Bignum out = newBignum();
    check(BN_mod_add(out.get(), x, y, prime(), context()));
    return out;
}

Bignum modSub(const BIGNUM* x, const BIGNUM* y) {
    Bignum out = newBignum();
    check(BN_mod_sub(out.get(), x, y, prime(), context()));
    return out;
}

Bignum modMul(const BIGNUM* x, const BIGNUM* y) {
    Bignum out = newBignum();
    check(BN_mod_mul(out.get(), x, y, prime(), context()));
    return out;
}

Bignum modInverse(const BIGNUM* x) {
    Bignum out = newBignum();
    check(BN_mod_inverse(out.get(), x, prime(), context()) != nullptr);
    return out;
}

Point neutral() {
    return Point{};
}

Point liftEven(const BIGNUM* u) {
    Bignum reduced = newBignum();
    check(BN_nnmod(reduced.get(), u, prime(), context()));
    // R = u^3 + A u^2 + u
    Bignum u2 = modMul(reduced.get(), reduced.get());
    Bignum r = modMul(u2.get(), reduced.get());
    r = modAdd(r.get(), modMul(fromWord(kCurveA).get(), u2.get()).get());
    r = modAdd(r.get(), reduced.get());
    Point point;
    Bignum v(BN_mod_sqrt(nullptr, r.get(), prime(), context()));
    if (!v) {
        ERR_clear_error();  // not a square: u lies on the twist
        return point;
    }
    // The root is checked rather than trusted to have noticed a non-square.
    if (BN_cmp(modMul(v.get(), v.get()).get(), r.get()) != 0) return point;
    if (BN_is_odd(v.get())) v = modSub(fromWord(0).get(), v.get());
    point.infinity = false;
    point.u = std::move(reduced);
    point.v = std::move(v);
    return point;
}

Point add(const Point& p, const Point& q) {
    if (p.infinity) {
        Point out;
        if (!q.infinity) out = Point{false, copyOf(q.u.get()), copyOf(q.v.get())};
        return out;
    }
    if (q.infinity) return add(q, p);

    Bignum lambda;
    if (BN_cmp(p.u.get(), q.u.get()) == 0) {
        Bignum sumV = modAdd(p.v.get(), q.v.get());
        if (BN_is_zero(sumV.get())) return neutral();  // q = -p, or a point of order two doubled
        // Tangent slope (3u^2 + 2Au + 1) / (2v).
        Bignum u2 = modMul(p.u.get(), p.u.get());
        Bignum numerator = modAdd(modAdd(modMul(fromWord(3).get(), u2.get()).get(),
                                         modMul(fromWord(2 * kCurveA).get(), p.u.get()).get())
                                      .get(),
                                  BN_value_one());
        lambda = modMul(numerator.get(), modInverse(modAdd(p.v.get(), p.v.get()).get()).get());
    } else {
        lambda = modMul(modSub(q.v.get(), p.v.get()).get(),
                        modInverse(modSub(q.u.get(), p.u.get()).get()).get());
    }
    // u3 = lambda^2 - A - u1 - u2, v3 = lambda (u1 - u3) - v1
    Point out;
    out.infinity = false;
    out.u = modSub(
        modSub(modSub(modMul(lambda.get(), lambda.get()).get(), fromWord(kCurveA).get()).get(),
               p.u.get())
            .get(),
        q.u.get());
    out.v = modSub(modMul(lambda.get(), modSub(p.u.get(), out.u.get()).get()).get(), p.v.get());
    return out;
}

Point multiply(const Point& p, const Bytes32& scalar) {
    Point result = neutral();
    for (int bit = 255; bit >= 0; --bit) {
        result = add(result, result);
        if ((scalar[static_cast<size_t>(bit) / 8] >> (bit % 8)) & 1) result = add(result, p);
    }
    return result;
}

Bytes32 encodeU(const Point& p) {
    if (p.infinity) return Bytes32{};
    return toBytes(p.u.get());
}

}  // namespace reference
