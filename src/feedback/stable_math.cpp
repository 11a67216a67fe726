// These two functions carry most of the cost of rendering the earcons; debug builds would make the
// first cue noticeably late without optimisation here. Optimisation keeps IEEE results exact:
// contraction stays off and nothing is reassociated.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O2")
#endif

#include "feedback/stable_math.h"

#include <cmath>
#include <limits>

// Everything below must stay free of fused multiply-adds: the build passes -ffp-contract=off,
// and the error-free transformations depend on each product being rounded on its own.

namespace twr::StableMath {

namespace {

// A value as the unevaluated sum hi + lo with |lo| <= half an ulp of hi.
struct DD {
    double hi;
    double lo;
};

DD TwoSum(double a, double b) noexcept {
    const double s = a + b;
    const double bb = s - a;
    const double err = (a - (s - bb)) + (b - bb);
    return {s, err};
}

DD QuickTwoSum(double a, double b) noexcept {
    const double s = a + b;
    return {s, b - (s - a)};
}

// Dekker's split and product: exact without a fused multiply-add.
DD Split(double a) noexcept {
    const double t = 134217729.0 * a;  // 2^27 + 1
    const double hi = t - (t - a);
    return {hi, a - hi};
}

DD TwoProd(double a, double b) noexcept {
    const double p = a * b;
    const DD as = Split(a);
    const DD bs = Split(b);
    const double err = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
    return {p, err};
}

DD Add(DD a, DD b) noexcept {
    DD s = TwoSum(a.hi, b.hi);
    const DD t = TwoSum(a.lo, b.lo);
    s.lo += t.hi;
    s = QuickTwoSum(s.hi, s.lo);
    s.lo += t.lo;
    return QuickTwoSum(s.hi, s.lo);
}

DD Neg(DD a) noexcept { return {-a.hi, -a.lo}; }

DD Mul(DD a, DD b) noexcept {
    DD p = TwoProd(a.hi, b.hi);
    p.lo += a.hi * b.lo + a.lo * b.hi;
    return QuickTwoSum(p.hi, p.lo);
}

DD DivByDouble(DD a, double d) noexcept {
    const double q1 = a.hi / d;
    const DD p = TwoProd(q1, d);
    const double r = ((a.hi - p.hi) - p.lo) + a.lo;
    const double q2 = r / d;
    return QuickTwoSum(q1, q2);
}

// pi/2 and ln 2 to about 200 and 160 bits, each part the double nearest to what the parts
// before it leave over.
constexpr double kPio2[4] = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54, -0x1.f1976b7ed8fbcp-110,
                             0x1.4cf98e804177dp-164};
constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
constexpr double kLn2[3] = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56, 0x1.7b57a079a1934p-111};
constexpr double kInvLn2 = 0x1.71547652b82fep+0;

// x - k * (sum of parts), with every product exact.
template <size_t N>
DD Reduce(double x, double k, const double (&parts)[N]) noexcept {
    DD r{x, 0.0};
    for (double part : parts) r = Add(r, Neg(TwoProd(k, part)));
    return r;
}

// Enough terms for |r| <= pi/4 + a little: the first left out is below 2^-110 of the result.
constexpr int kTrigTerms = 15;
constexpr int kExpTerms = 25;

// sin r = r (1 - r^2/(2*3) (1 - r^2/(4*5) (1 - ...))).
DD SinSeries(DD r) noexcept {
    const DD r2 = Mul(r, r);
    DD s{1.0, 0.0};
    for (int n = kTrigTerms; n >= 1; --n) {
        const double d = static_cast<double>(2 * n) * static_cast<double>(2 * n + 1);
        s = Add(DD{1.0, 0.0}, Neg(DivByDouble(Mul(r2, s), d)));
    }
    return Mul(r, s);
}

// cos r = 1 - r^2/(1*2) (1 - r^2/(3*4) (1 - ...)).
DD CosSeries(DD r) noexcept {
    const DD r2 = Mul(r, r);
    DD s{1.0, 0.0};
    for (int n = kTrigTerms; n >= 1; --n) {
        const double d = static_cast<double>(2 * n - 1) * static_cast<double>(2 * n);
        s = Add(DD{1.0, 0.0}, Neg(DivByDouble(Mul(r2, s), d)));
    }
    return s;
}

// Coefficients of the series as double-doubles: sin (-1)^n/(2n+1)!, cos (-1)^n/(2n)!, exp 1/n!.
struct Coefficients {
    DD sin[kTrigTerms + 1];
    DD cos[kTrigTerms + 1];
    DD exp[kExpTerms + 1];
};

const Coefficients& Coeff() {
    static const Coefficients c = [] {
        Coefficients t{};
        DD f{1.0, 0.0};  // 1/m! as m runs up
        t.exp[0] = f;
        for (int m = 1; m <= 2 * kTrigTerms + 1 || m <= kExpTerms; ++m) {
            f = DivByDouble(f, m);
            if (m <= kExpTerms) t.exp[m] = f;
            const DD signedF = ((m / 2) % 2 == 0) ? f : Neg(f);
            if (m % 2 == 1 && m / 2 <= kTrigTerms) t.sin[m / 2] = signedF;
            if (m % 2 == 0 && m / 2 <= kTrigTerms) t.cos[m / 2] = signedF;
        }
        t.cos[0] = {1.0, 0.0};
        return t;
    }();
    return c;
}

DD MulAdd(DD a, DD x, DD c) noexcept { return Add(Mul(a, x), c); }

// The quick evaluation: the small tail of the series in plain doubles, the leading terms in
// double-double. The tail starts where its terms fall below 2^-18 of the sum (z^4/8! for the
// trigonometric series in r^2, r^7/7! for the exponential), so the relative error stays below
// 2^-66; the rounding test below then decides almost every value, and the full double-double
// series runs about once in ten thousand calls.
constexpr int kTrigExactTerms = 4;
constexpr int kExpExactTerms = 7;
constexpr double kQuickError = 0x1p-66;

// sum of c[n] z^n for n up to last; the terms from exactTerms on in doubles.
DD QuickPoly(const DD* c, int last, int exactTerms, DD z) noexcept {
    double tail = c[last].hi;
    for (int n = last - 1; n >= exactTerms; --n) tail = tail * z.hi + c[n].hi;
    DD s{tail, 0.0};
    for (int n = exactTerms - 1; n >= 0; --n) s = MulAdd(s, z, c[n]);
    return s;
}

// The double nearest to v when the error bound cannot move it to another double.
bool RoundsSurely(DD v, double& out) noexcept {
    const double e = std::fabs(v.hi) * kQuickError;
    const double up = v.hi + (v.lo + e);
    const double down = v.hi + (v.lo - e);
    if (up != down) return false;
    out = up;
    return true;
}

}  // namespace

double Sin(double x) noexcept {
    if (std::isnan(x) || std::isinf(x)) return std::numeric_limits<double>::quiet_NaN();
    if (x == 0.0) return x;  // keeps the sign of a negative zero
    const double k = std::floor(x * kTwoOverPi + 0.5);
    const DD r = Reduce(x, k, kPio2);
    // The quadrant of x, 0 to 3, from k modulo 4 (k is integral and far below 2^53 in use).
    double q = std::fmod(k, 4.0);
    if (q < 0) q += 4.0;
    const int quadrant = static_cast<int>(q);
    const Coefficients& c = Coeff();
    const DD r2 = Mul(r, r);
    DD v = (quadrant % 2 == 0) ? Mul(r, QuickPoly(c.sin, kTrigTerms, kTrigExactTerms, r2))
                                    : QuickPoly(c.cos, kTrigTerms, kTrigExactTerms, r2);
    if (quadrant >= 2) v = Neg(v);
    double quick;
    if (RoundsSurely(v, quick)) return quick;
    switch (quadrant) {
        case 0: v = SinSeries(r); break;
        case 1: v = CosSeries(r); break;
        case 2: v = Neg(SinSeries(r)); break;
        default: v = Neg(CosSeries(r)); break;
    }
    return v.hi + v.lo;
}

double Exp(double x) noexcept {
    if (std::isnan(x)) return x;
    if (x > 709.79) return std::numeric_limits<double>::infinity();
    if (x < -745.2) return 0.0;
    const double k = std::floor(x * kInvLn2 + 0.5);
    const DD r = Reduce(x, k, kLn2);
    double quick;
    if (RoundsSurely(QuickPoly(Coeff().exp, kExpTerms, kExpExactTerms, r), quick)) return std::ldexp(quick, static_cast<int>(k));
    DD s{1.0, 0.0};
    for (int n = kExpTerms; n >= 1; --n) s = Add(DD{1.0, 0.0}, DivByDouble(Mul(r, s), static_cast<double>(n)));
    return std::ldexp(s.hi + s.lo, static_cast<int>(k));
}

}  // namespace twr::StableMath
