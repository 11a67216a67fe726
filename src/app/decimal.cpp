#include "app/decimal.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace twr {

namespace {

// Unsigned integers of any size, little-endian in 32-bit words, with just what the conversion
// needs. Every operation is exact, which is what makes the rounding correct.
class BigInt {
public:
    explicit BigInt(uint32_t v = 0) {
        if (v) words_.push_back(v);
    }

    void MulAdd(uint32_t mul, uint32_t add) {
        uint64_t carry = add;
        for (uint32_t& w : words_) {
            carry += uint64_t{w} * mul;
            w = static_cast<uint32_t>(carry);
            carry >>= 32;
        }
        if (carry) words_.push_back(static_cast<uint32_t>(carry));
    }

    void MulPow5(long long n) {
        // 5^13 is the largest power of five in 32 bits.
        for (; n >= 13; n -= 13) MulAdd(1220703125u, 0);
        uint32_t rest = 1;
        for (; n > 0; --n) rest *= 5;
        if (rest != 1) MulAdd(rest, 0);
    }

    void ShiftLeft(long long bits) {
        if (words_.empty() || bits == 0) return;
        const size_t whole = static_cast<size_t>(bits / 32);
        const unsigned part = static_cast<unsigned>(bits % 32);
        if (part) {
            uint32_t carry = 0;
            for (uint32_t& w : words_) {
                const uint32_t next = w >> (32 - part);
                w = (w << part) | carry;
                carry = next;
            }
            if (carry) words_.push_back(carry);
        }
        words_.insert(words_.begin(), whole, 0u);
    }

    void ShiftRightOne() noexcept {
        uint32_t carry = 0;
        for (size_t i = words_.size(); i-- > 0;) {
            const uint32_t next = words_[i] << 31;
            words_[i] = (words_[i] >> 1) | carry;
            carry = next;
        }
        if (!words_.empty() && words_.back() == 0) words_.pop_back();
    }

    [[nodiscard]] long long BitLength() const noexcept {
        if (words_.empty()) return 0;
        long long bits = static_cast<long long>(words_.size() - 1) * 32;
        for (uint32_t top = words_.back(); top; top >>= 1) ++bits;
        return bits;
    }

    [[nodiscard]] bool IsZero() const noexcept { return words_.empty(); }

    [[nodiscard]] int Compare(const BigInt& other) const noexcept {
        if (words_.size() != other.words_.size()) return words_.size() < other.words_.size() ? -1 : 1;
        for (size_t i = words_.size(); i-- > 0;)
            if (words_[i] != other.words_[i]) return words_[i] < other.words_[i] ? -1 : 1;
        return 0;
    }

    // this -= other; other is not larger.
    void Subtract(const BigInt& other) noexcept {
        int64_t borrow = 0;
        for (size_t i = 0; i < words_.size(); ++i) {
            int64_t d = int64_t{words_[i]} - borrow - (i < other.words_.size() ? int64_t{other.words_[i]} : 0);
            borrow = d < 0;
            words_[i] = static_cast<uint32_t>(d + (borrow << 32));
        }
        while (!words_.empty() && words_.back() == 0) words_.pop_back();
    }

private:
    std::vector<uint32_t> words_;
};

// A halfway point between two doubles has at most 767 significant decimal digits, so digits past
// this many only matter as "zero or not": one nonzero digit in their place keeps every comparison
// with a halfway point as it was.
constexpr long long kMaxDigits = 800;

}  // namespace

double DecimalToDouble(std::string_view digits, long long exponent) noexcept {
    // Significant digits only: leading zeros go, the point moves into the exponent.
    long long pointShift = 0;
    bool seenPoint = false, started = false, droppedNonZero = false;
    long long kept = 0;
    BigInt num;
    uint64_t small = 0;  // num, while it has few enough digits to matter
    for (char c : digits) {
        if (c == '.') {
            seenPoint = true;
            continue;
        }
        const uint32_t d = static_cast<uint32_t>(c - '0');
        if (!started && d == 0) {
            if (seenPoint) --pointShift;
            continue;
        }
        started = true;
        if (kept < kMaxDigits) {
            num.MulAdd(10, d);
            small = small * 10 + d;
            ++kept;
            if (seenPoint) --pointShift;
        } else {
            droppedNonZero = droppedNonZero || d != 0;
            if (!seenPoint) ++pointShift;
        }
    }
    if (!started) return 0.0;
    // The leading digit's power of ten is exponent + lead, with |lead| below the length of digits.
    // Past the ends of the range no arithmetic is needed. Compared this way, the exponent on its
    // own side, no exponent can overflow, and past here exponent + pointShift is within -1125..309.
    const long long lead = pointShift + kept - 1;
    if (exponent > 309 - lead) return std::numeric_limits<double>::infinity();
    if (exponent < -325 - lead) return 0.0;
    if (droppedNonZero) {
        num.MulAdd(10, 1);
        --pointShift;
    }
    // Value = num * 10^e. When num and 10^|e| are both exact doubles, one IEEE multiplication or
    // division rounds the exact value once, correctly (Clinger's fast path).
    const long long e = exponent + pointShift;
    if (kept <= 15 && !droppedNonZero && e >= -22 && e <= 22) {
        static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        const double m = static_cast<double>(small);
        return e >= 0 ? m * kPow10[e] : m / kPow10[-e];
    }
    // Value = num / den * 2^e, both integers.
    BigInt den(1);
    if (e >= 0) num.MulPow5(e);
    else den.MulPow5(-e);

    // q = floor(value * 2^(k - e)) with 2^62 <= q < 2^64, by exact long division.
    const long long k = 63 - (num.BitLength() - den.BitLength());
    if (k >= 0) num.ShiftLeft(k);
    else den.ShiftLeft(-k);
    uint64_t q = 0;
    den.ShiftLeft(63);
    for (int bit = 63; bit >= 0; --bit, den.ShiftRightOne()) {
        if (num.Compare(den) >= 0) {
            num.Subtract(den);
            q |= uint64_t{1} << bit;
        }
    }
    bool sticky = !num.IsZero();

    // q's bit i weighs 2^(i + scale). Keep 53 bits, or fewer where the result is subnormal.
    const long long scale = e - k;
    long long bits = 0;
    for (uint64_t t = q; t; t >>= 1) ++bits;
    const long long top = bits - 1 + scale;
    long long drop = top >= -1022 ? bits - 53 : -1074 - scale;
    if (drop > 64) return 0.0;
    uint64_t mantissa = drop == 64 ? 0 : q >> drop;
    const bool guard = (q >> (drop - 1)) & 1;
    sticky = sticky || (q & ((uint64_t{1} << (drop - 1)) - 1)) != 0;
    if (guard && (sticky || (mantissa & 1))) ++mantissa;
    // Exact: mantissa has at most 54 bits and its weight is a representable power of two; past
    // the largest double ldexp gives infinity.
    return std::ldexp(static_cast<double>(mantissa), static_cast<int>(drop + scale));
}

}  // namespace twr
