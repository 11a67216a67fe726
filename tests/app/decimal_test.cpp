#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "app/decimal.h"

namespace twr {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// "d.ddd...e±x" split for DecimalToDouble.
double Convert(const std::string& text) {
    const size_t e = text.find_first_of("eE");
    const long long exponent = e == std::string::npos ? 0 : std::stoll(text.substr(e + 1));
    return DecimalToDouble(std::string_view(text).substr(0, e), exponent);
}

// The exact decimal expansion of x (long double holds every double midpoint here).
std::string Exact(long double x) {
    char buf[1300];
    std::snprintf(buf, sizeof buf, "%.1100Le", x);
    std::string s = buf;
    // Trailing zeros of the mantissa say nothing.
    const size_t e = s.find('e');
    size_t end = e;
    while (end > 0 && s[end - 1] == '0') --end;
    return s.substr(0, end) + s.substr(e);
}

TEST(DecimalToDouble, BoundariesOfTheRangeAndOfTheText) {
    const struct { const char* text; double expected; } cases[] = {
        {"0", 0.0}, {"000.000e5", 0.0}, {"1", 1.0}, {"1.", 1.0}, {".5", 0.5}, {"0000.0001250", 0.000125},
        {"123456789012345678901234567890", 1.2345678901234568e29},
        {"1.7976931348623157e308", std::numeric_limits<double>::max()},
        // Below the midpoint to 2^1024 still rounds to the largest double; on it, to even: infinity.
        {"1.797693134862315807937289714053034150799341327100378269361737789804449682927647509466490179775872070963302864166928879109465555478519404026306574886715058206819089020007083836762738548458177115317644757302700698555713669596228429148198608349364752927190741684443655107043427115596995080930428801779041744977919999999e308",
         std::numeric_limits<double>::max()},
        {"1.79769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792e308", kInf},
        {"1e309", kInf}, {"0.0000001e316", kInf}, {"1e100000000", kInf},
        {"2.2250738585072014e-308", std::numeric_limits<double>::min()},
        {"4.9406564584124654e-324", std::numeric_limits<double>::denorm_min()},
        // Half the smallest subnormal ties to even (zero); a hair above it does not.
        {"2.4703282292062327208828439643411068618252990130716238221279284125033775363510437593264991818081799618989828234772285886546332835517796989819938739800539093906315035659515570226392290858392449105184435931802849936536152500319370457678249219365623669863658480757001585769269903706311928279558551332927834338409351978015531246597263579574622766465272827220056374006485499977096599470454020828166226237857393450736339007967761930577506740176324673600968951340535537458516661134223766678604162159680461914467291840300530057530849048765391711386591646239524912623653881879636239373280423891018672348497668235089863388587925628302755995657524455507255189313690836254779186948667994968324049705821028513185451396213837722826145437693412532098591327667236328125e-324",
         0.0},
        {"2.47032822920623272088284396434110686182529901307162382212792841250337753635104375932649918180817996189898282347722858865463328355177969898199387398005390939063150356595155702263922908583924491051844359318028499365361525003193704576782492193656236698636584807570015857692699037063119282795585513329278343384093519780155312465972635795746227664652728272200563740064854999770965994704540208281662262378573934507363390079677619305775067401763246736009689513405355374585166611342237666786041621596804619144672918403005300575308490487653917113865916462395249126236538818796362393732804238910186723484976682350898633885879256283027559956575244555072551893136908362547791869486679949683240497058210285131854513962138377228261454376934125320985913276672363281255e-324",
         std::numeric_limits<double>::denorm_min()},
        {"1e-400", 0.0}, {"1e-100000000", 0.0},
    };
    for (const auto& c : cases) EXPECT_EQ(Convert(c.text), c.expected) << c.text;
}

// Any exponent is taken as it is: it is held against the leading digit's place before the two are
// added, so even the ends of long long give infinity or zero; leading or trailing zeros and the
// point's place move nothing.
TEST(DecimalToDouble, ExponentsAtTheEndsOfLongLong) {
    constexpr long long kMax = std::numeric_limits<long long>::max();
    constexpr long long kMin = std::numeric_limits<long long>::min();
    const struct { const char* digits; long long exponent; double expected; } cases[] = {
        {"1", kMax, kInf}, {"1000", kMax, kInf}, {"0.0001", kMax, kInf}, {"12345", kMax - 3, kInf},
        {"1", kMin, 0.0}, {"1000", kMin, 0.0}, {"0.0001", kMin, 0.0}, {"0.00012345", kMin + 3, 0.0},
        {"0000.0001", 4, 1.0}, {"10000.000", -4, 1.0}, {"0.00001", 313, 1e308},
        {"100000", -328, 1e-323}, {"100000", -330, 0.0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DecimalToDouble(c.digits, c.exponent), c.expected) << c.digits << "e" << c.exponent;
}

// Every midpoint between neighbouring doubles, normal and subnormal: exactly on it ties to the even
// neighbour; the smallest step either side, even 900 digits down (past what is kept), decides.
TEST(DecimalToDouble, MidpointsTieToEvenAndTheFarthestDigitDecides) {
    if (std::numeric_limits<long double>::digits < 64) GTEST_SKIP() << "long double cannot hold the midpoints";
    std::mt19937_64 random(21);
    for (int i = 0; i < 400; ++i) {
        uint64_t bits = random() & 0x7FEFFFFFFFFFFFFFull;
        if (i % 4 == 0) bits &= 0x000FFFFFFFFFFFFFull;  // subnormal
        double lo = 0;
        std::memcpy(&lo, &bits, sizeof lo);
        const double hi = std::nextafter(lo, kInf);
        const std::string mid = Exact((static_cast<long double>(lo) + hi) / 2);
        const size_t e = mid.find('e');
        const double even = (bits & 1) ? hi : lo;
        EXPECT_EQ(Convert(mid), even) << mid;
        const std::string far = mid.substr(0, e) + std::string(900, '0') + "1" + mid.substr(e);
        EXPECT_EQ(Convert(far), hi) << far;
        // Just below: the exact midpoint less one unit in its last digit.
        std::string below = mid.substr(0, e);
        size_t d = below.size() - 1;
        while (below[d] == '0' || below[d] == '.') {
            if (below[d] == '0') below[d] = '9';
            --d;
        }
        --below[d];
        EXPECT_EQ(Convert(below + std::string(900, '9') + mid.substr(e)), lo) << below;
    }
}

#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
// Against the standard library's correctly rounded reader, on short and long random decimals
// over the whole range.
TEST(DecimalToDouble, AgreesWithTheStandardLibrary) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        const int digits = 1 + static_cast<int>(random() % (i % 10 == 0 ? 40 : 19));
        std::string text;
        for (int d = 0; d < digits; ++d) text += static_cast<char>('0' + random() % 10);
        text.insert(1 + random() % digits, ".");
        text += "e" + std::to_string(static_cast<int>(random() % 680) - 340);
        double expected = 0;
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), expected);
        if (ec == std::errc::result_out_of_range) continue;
        ASSERT_EQ(ec, std::errc()) << text;
        EXPECT_EQ(Convert(text), expected) << text;
    }
}
#endif

}  // namespace
}  // namespace twr
