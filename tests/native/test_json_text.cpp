#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "json_text.hpp"

using namespace halberin::spatial;
using namespace halberin::spatial::json;

namespace {

std::string fmt(double v) {
    char buf[max_double_chars];
    return std::string(buf, format_double(buf, v));
}

std::string printf_g9(double v) {
    char buf[64];
    const int n = std::snprintf(buf, sizeof buf, "%.9g", v);
    return std::string(buf, static_cast<std::size_t>(n));
}

// What one writer puts into a buffer with room for it.
template <class Put>
std::string put(Put writer) {
    char buf[512];
    return std::string(buf, writer(buf));
}

std::string str(std::string_view bytes) {
    std::string buf(string_bound(bytes.size()), '\0');
    return buf.substr(0, static_cast<std::size_t>(put_string(buf.data(), bytes) - buf.data()));
}

}  // namespace

struct NumberCase {
    double value;
    const char* text;
};

class NumberTable : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTable, WritesLikePrintfG9) {
    EXPECT_EQ(fmt(GetParam().value), GetParam().text);
    EXPECT_EQ(fmt(GetParam().value), printf_g9(GetParam().value));
}

INSTANTIATE_TEST_SUITE_P(
    Values, NumberTable,
    ::testing::Values(NumberCase{0.0, "0"}, NumberCase{1.0, "1"}, NumberCase{-0.0, "-0"},
                      NumberCase{-2.25, "-2.25"}, NumberCase{0.1, "0.1"}, NumberCase{1.0 / 3.0, "0.333333333"},
                      NumberCase{0.0001, "0.0001"}, NumberCase{0.00001, "1e-05"},
                      NumberCase{123456789.0, "123456789"}, NumberCase{1234567891.0, "1.23456789e+09"},
                      NumberCase{1e21, "1e+21"}, NumberCase{1e9, "1e+09"}, NumberCase{100000000.0, "100000000"},
                      NumberCase{999999999.5, "1e+09"}, NumberCase{0.7071067811865476, "0.707106781"},
                      NumberCase{5e-324, "4.94065646e-324"}, NumberCase{1.7976931348623157e308, "1.79769313e+308"},
                      NumberCase{2.2250738585072014e-308, "2.22507386e-308"}, NumberCase{-1e-300, "-1e-300"}));

TEST(Numbers, NonFiniteIsNull) {
    EXPECT_EQ(fmt(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(fmt(-std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(fmt(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(fmt(-std::numeric_limits<double>::infinity()), "null");
}

// Random bit patterns cover subnormals, both zeros and every exponent; the integer
// and 9th-digit draws hit the rounding boundaries that bit patterns rarely do.
TEST(Numbers, DifferentialAgainstPrintf) {
    std::mt19937_64 rng(20261208);
    const char* env = std::getenv("NUMBER_DRAWS");
    const long draws = env ? std::atol(env) : 1'000'000;
    long checked = 0;
    std::uniform_real_distribution<double> metres(-10.0, 10.0);
    for (long i = 0; i < draws; ++i) {
        double v;
        switch (i % 6) {
            case 0:
            case 1: v = std::bit_cast<double>(rng()); break;
            case 2: v = static_cast<double>(static_cast<std::int64_t>(rng() % 4'000'000'000ULL) - 2'000'000'000); break;
            case 3: v = metres(rng); break;
            case 4: {
                // Neighbours of powers of ten, where the decimal exponent changes.
                const double power = std::pow(10.0, static_cast<int>(rng() % 600) - 300);
                const auto side = rng() % 3;
                v = side == 0 ? power : std::nextafter(power, side == 1 ? 0.0 : HUGE_VAL);
                break;
            }
            default: {
                // d.dddddddd5 at a random decimal exponent: exactly between two 9-digit texts.
                const double mantissa = static_cast<double>(100'000'000 + rng() % 900'000'000) + 0.5;
                v = mantissa * std::pow(10.0, static_cast<int>(rng() % 40) - 20);
            }
        }
        if (!std::isfinite(v)) continue;
        ASSERT_EQ(fmt(v), printf_g9(v)) << std::hexfloat << v;
        ++checked;
    }
    EXPECT_GT(checked, draws / 2);
}

TEST(Numbers, IgnoreProcessLocale) {
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "C.UTF-8")) {
        GTEST_SKIP() << "no other locale";
    }
    EXPECT_EQ(fmt(-2.25), "-2.25");
    std::setlocale(LC_NUMERIC, "C");
}

TEST(Integers, SignedAndUnsigned) {
    EXPECT_EQ(put([](char* p) { return put_int(p, std::numeric_limits<std::int64_t>::min()); }),
              "-9223372036854775808");
    EXPECT_EQ(put([](char* p) { return put_uint(p, std::numeric_limits<std::uint64_t>::max()); }),
              "18446744073709551615");
    EXPECT_EQ(put([](char* p) { return put_int(p, 0); }), "0");
}

struct StringCase {
    std::string in;
    std::string out;
};

// Without it the test names would print the cases' raw bytes, unused string storage included.
void PrintTo(const StringCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.in); }

class StringTable : public ::testing::TestWithParam<StringCase> {};

TEST_P(StringTable, Escapes) { EXPECT_EQ(str(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Bytes, StringTable,
    ::testing::Values(StringCase{"", R"("")"}, StringCase{"a\"b", R"("a\"b")"},
                      StringCase{"\x01\x1f", R"("\u0001\u001f")"}, StringCase{"\t\n\r", R"("\t\n\r")"},
                      StringCase{"\b\f", R"("\u0008\u000c")"}, StringCase{std::string("a\0b", 3), R"("a\u0000b")"},
                      StringCase{"\\/", R"("\\/")"}, StringCase{"\xc3\xa9\x7f", "\"\xc3\xa9\x7f\""},
                      StringCase{"\xff\xfe", "\"\xff\xfe\""}, StringCase{"plain text", R"("plain text")"}));

TEST(Strings, EveryControlByte) {
    for (int b = 0; b < 0x20; ++b) {
        const std::string out = str(std::string(1, static_cast<char>(b)));
        EXPECT_EQ(out.find_first_of(std::string("\0\n\r", 3)), std::string::npos);
        EXPECT_EQ(out[1], '\\');
    }
}

TEST(Names, FallBackOutsideTheirMembers) {
    EXPECT_EQ(tracking_confidence_name(TrackingConfidence::POSITION_AND_ORIENTATION), "position_and_orientation");
    EXPECT_EQ(tracking_confidence_name(TrackingConfidence::ORIENTATION_ONLY), "orientation_only");
    EXPECT_EQ(tracking_confidence_name(static_cast<TrackingConfidence>(7)), "unavailable");
    EXPECT_EQ(tracking_confidence_name(static_cast<TrackingConfidence>(-1)), "unavailable");
    EXPECT_EQ(pointing_source_name(PointingSource::CONTROLLER), "controller");
    EXPECT_EQ(pointing_source_name(PointingSource::HAND), "hand");
    EXPECT_EQ(pointing_source_name(PointingSource::EYE_GAZE), "eye_gaze");
    EXPECT_EQ(pointing_source_name(static_cast<PointingSource>(42)), "head");
}

TEST(Shapes, VectorsPosesRays) {
    EXPECT_EQ(put([](char* p) { return put_vec3(p, {1, 0.5, -2}); }), "[1,0.5,-2]");
    EXPECT_EQ(put([](char* p) { return put_pose(p, Pose{}); }), R"({"position":[0,0,0],"orientation":[0,0,0,1]})");
    EXPECT_EQ(put([](char* p) { return put_ray(p, Ray{{0, 1, 0}, {0, 0, -1}}); }),
              R"({"origin":[0,1,0],"direction":[0,0,-1]})");
}
