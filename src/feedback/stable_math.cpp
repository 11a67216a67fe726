// These two functions carry most of the cost of rendering the earcons; debug builds would make the
// first cue noticeably late without optimisation here. Optimisation keeps IEEE results exact:
// contraction stays off and nothing is reassociated.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("O2")
#endif

#include "feedback/stable_math.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
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

// The evaluation every result once came from, kept unchanged: the fast one below hands over to
// it whenever it cannot be sure of the rounding, so every result stays what it always was.
double SlowSin(double x) noexcept {
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

double SlowExp(double x) noexcept {
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

}  // namespace

// ---- the fast evaluation ----
//
// Tables of sin and 2^(j/64) in double-double leave only short corrections to compute, in plain
// doubles; the one product that must be exact is formed from the table value's leading 27 bits.
// The result, hi + lo, is within kFastError of its own size of the true value: its error stays
// below 2^-65.9 against quad precision over millions of arguments, and the bound allows seven
// times that. The rounding test then decides all but about one call in four hundred, which go to
// the slow evaluation.

namespace {

constexpr double kFastError = 0x1p-63;

// A table value: full, the double nearest to it, and hi + lo, where hi keeps only the leading
// 27 bits, so that hi times a 26-bit number is exact.
struct Entry {
    double full, hi, lo;
};

Entry MakeEntry(DD v) noexcept {
    const double hi = std::bit_cast<double>(std::bit_cast<std::uint64_t>(v.hi) & ~((std::uint64_t{1} << 26) - 1));
    return {v.hi, hi, (v.hi - hi) + v.lo};
}

// sin(j pi/256) for j up to 639, so that entry j + 128 is cos(j pi/256); 2^(j/64).
constexpr int kSinSteps = 512;  // per turn
constexpr int kSinEntries = kSinSteps + kSinSteps / 4;
constexpr int kExpSteps = 64;

struct Tables {
    Entry sin[kSinEntries];
    Entry pow2[kExpSteps];
};

const Tables& TheTables() {
    static const Tables t = [] {
        Tables m{};
        // From sin and cos of m pi/256 for m up to 64, where the series are at their most accurate.
        const DD step{kPio2[0] / 128, kPio2[1] / 128};
        DD sinFirst[65];
        DD cosFirst[65];
        for (int i = 0; i <= 64; ++i) {
            const DD a = Mul(DD{static_cast<double>(i), 0.0}, step);
            sinFirst[i] = SinSeries(a);
            cosFirst[i] = CosSeries(a);
        }
        for (int j = 0; j < kSinEntries; ++j) {
            const int quadrant = (j / 128) % 4;
            const int i = j % 128;
            // sin of i pi/256 for i up to 127, by the symmetry about pi/4.
            const DD first = i <= 64 ? sinFirst[i] : cosFirst[128 - i];
            const DD second = i <= 64 ? cosFirst[i] : sinFirst[128 - i];
            const DD v = quadrant == 0 ? first : quadrant == 1 ? second : quadrant == 2 ? Neg(first) : Neg(second);
            m.sin[j] = MakeEntry(v);
        }
        for (int j = 0; j < kExpSteps; ++j) {
            const DD r = Mul(DD{static_cast<double>(j) / kExpSteps, 0.0}, DD{kLn2[0], kLn2[1]});
            DD e{1.0, 0.0};
            for (int n = kExpTerms; n >= 1; --n) e = Add(DD{1.0, 0.0}, DivByDouble(Mul(r, e), static_cast<double>(n)));
            m.pow2[j] = MakeEntry(e);
        }
        return m;
    }();
    return t;
}

// The nearest integer to v (ties to even) for |v| < 2^51, without a library call: the runtimes'
// floor and ldexp cost more than the whole rest of a fast evaluation on one of the builds.
double Nearest(double v) noexcept {
    constexpr double kShift = 0x1.8p52;
    return (v + kShift) - kShift;
}

// pi/256 in three parts of at most 26 bits, so k times each is exact for |k| < 2^27, and the rest.
constexpr double kPiBy256Short[4] = {0x1.921fb50000000p-7, 0x1.110b460000000p-33, 0x1.1a62630000000p-61,
                                     0x1.8a2e03707344ap-88};
constexpr double kInvPiBy256 = 0x1.45f306dc9c883p+6;
// ln 2 / 64 in two parts of at most 36 bits, so k times each is exact for |k| < 2^17, and the rest.
constexpr double kLn2By64Short[3] = {0x1.62e42fefa0000p-7, 0x1.cf79abc9e0000p-46, 0x1.d9cc01f97b57ap-85};
constexpr double kInvLn2By64 = 0x1.71547652b82fep+6;

// The fast path covers the arguments the earcons use and far beyond: |x| < 2^20 keeps the
// reduction's products exact. Near a zero of the sine (x within 2^-12 of a multiple of pi) the
// reduction's absolute error would weigh too much against the small result; there, and for a
// reduced argument below 2^-30 anywhere, the slow evaluation takes over.
constexpr double kSinLimit = 0x1p20;
constexpr double kNearZero = 0x1p-12;
constexpr double kSmallestReduced = 0x1p-30;
// Results stay normal numbers, so scaling by a power of two is exact.
constexpr double kExpLimit = 700.0;

// f(a + s) = A + B s + A c2 + B s3 for s = sh + sl (|sl| at most half an ulp of sh), where
// c2 = cos s - 1 and s3 = sin s - s: with A = sin a and B = cos a this is sin(a + s). For
// |s| <= pi/512 the terms left out of c2 and s3 are below 2^-74 of the result.
DD Combine(const Entry& A, const Entry& B, double sh, double sl) noexcept {
    const double z = sh * sh;
    const double c2 = z * (-0.5 + z * (1.0 / 24 + z * (-1.0 / 720)));
    const double s3 = sh * z * (-1.0 / 6 + z * (1.0 / 120 + z * (-1.0 / 5040)));
    const DD ss = Split(sh);
    // |A| > |B s| except where A is 0, so the quick sum is exact.
    const DD u = QuickTwoSum(A.hi, B.hi * ss.hi);
    const double small = (((u.lo + A.lo) + B.hi * ss.lo) + B.full * sl) + B.lo * sh;
    return {u.hi, small + (A.full * c2 + B.full * s3)};
}

bool FastRounds(DD v, double& out) noexcept {
    const double e = std::fabs(v.hi) * kFastError;
    const double up = v.hi + (v.lo + e);
    const double down = v.hi + (v.lo - e);
    if (up != down) return false;
    out = up;
    return true;
}

std::atomic<std::uint64_t> slowCount{0};

double Slow(double (*f)(double) noexcept, double x) noexcept {
    slowCount.fetch_add(1, std::memory_order_relaxed);
    return f(x);
}

}  // namespace

double Sin(double x) noexcept {
    if (x == 0.0) return x;
    if (!(std::fabs(x) < kSinLimit)) return Slow(SlowSin, x);
    // x = k pi/256 + s, |s| <= pi/512.
    const double k = Nearest(x * kInvPiBy256);
    // Exact: every product is, and r1 is a multiple of the last place of x, no larger than about x.
    const double r1 = x - k * kPiBy256Short[0];
    const DD r2 = TwoSum(r1, -(k * kPiBy256Short[1]));
    if (!(std::fabs(r2.hi) >= kSmallestReduced)) return Slow(SlowSin, x);
    const DD s = QuickTwoSum(r2.hi, (r2.lo - k * kPiBy256Short[2]) - k * kPiBy256Short[3]);
    const int j = static_cast<int>(static_cast<long long>(k) & (kSinSteps - 1));
    // Where k is 0 the reduction is exact, and small arguments need no care.
    if (j % (kSinSteps / 2) == 0 && k != 0 && std::fabs(s.hi) < kNearZero) return Slow(SlowSin, x);
    const Tables& t = TheTables();
    double y;
    if (!FastRounds(Combine(t.sin[j], t.sin[j + kSinSteps / 4], s.hi, s.lo), y)) return Slow(SlowSin, x);
    return y;
}

double Exp(double x) noexcept {
    if (!(std::fabs(x) <= kExpLimit)) return Slow(SlowExp, x);
    const double k = Nearest(x * kInvLn2By64);
    const double r1 = x - k * kLn2By64Short[0];
    const DD r2 = TwoSum(r1, -(k * kLn2By64Short[1]));
    const DD r = QuickTwoSum(r2.hi, r2.lo - k * kLn2By64Short[2]);
    const long long kk = static_cast<long long>(k);
    const Entry& T = TheTables().pow2[kk & (kExpSteps - 1)];
    // exp r = 1 + r + q, |r| < 2^-7.5; the terms left out are below 2^-75 of the sum.
    const double rh = r.hi;
    const double q =
        rh * rh *
        (0.5 + rh * (1.0 / 6 + rh * (1.0 / 24 + rh * (1.0 / 120 + rh * (1.0 / 720 + rh * (1.0 / 5040))))));
    // T (1 + r + q) = T.hi + T.hi rh + [T.lo + T.lo rh + T (r.lo + q)], with T.hi rh exact as
    // T.hi times each half of rh, and T.hi >= 1 > |T.hi rh| for the quick sum.
    const DD rs = Split(rh);
    const DD u = QuickTwoSum(T.hi, T.hi * rs.hi);
    const double lo = ((u.lo + T.lo) + T.hi * rs.lo) + (T.lo * rh + T.full * (r.lo + q));
    double y;
    if (!FastRounds({u.hi, lo}, y)) return Slow(SlowExp, x);
    // k >> 6 rounds towards minus infinity, as the table index k & 63 needs.
    const long long m = kk >> 6;
    return y * std::bit_cast<double>(static_cast<std::uint64_t>(1023 + m) << 52);
}

std::uint64_t SlowEvaluations() noexcept { return slowCount.load(std::memory_order_relaxed); }

}  // namespace twr::StableMath
