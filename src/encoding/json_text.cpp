#include "json_text.hpp"

#include "pow10_table.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <initializer_list>

namespace halberin::spatial::json {

namespace {

__extension__ typedef unsigned __int128 uint128;

constexpr std::uint32_t nine_digit_floor = 100'000'000;
constexpr std::uint32_t nine_digit_ceiling = 1'000'000'000;

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// floor(log2 * log10(2)) for the binary exponents of finite doubles.
constexpr int decimal_exponent(int log2) noexcept { return (log2 * 78913) >> 18; }

// Against log10(2) to 62 fractional bits (1388255822130839283 / 2^62), whose floors
// agree with exact integer comparisons of 10^x and 2^log2 over this whole range: the
// estimate is never too high, only one too low when the significand carries it over.
constexpr bool decimal_exponent_exact() {
    for (int log2 = -1100; log2 < 1100; ++log2) {
        __extension__ const __int128 wide = static_cast<__int128>(log2) * 1388255822130839283LL;
        if (decimal_exponent(log2) != static_cast<int>(wide >> 62)) {
            return false;
        }
    }
    return true;
}
static_assert(decimal_exponent_exact());

// |value| * 10^k for a normal double of biased exponent `biased` and significand m
// (normalised to the top bit), as the high word of a 64x64-bit product with
// `fraction_bits` bits below the units. The significand is first shifted right so that
// this count is the same for every exponent (its low 11 bits are zero, so nothing is
// lost). The table's significand is truncated, so the exact product exceeds the
// computed one by less than 2^64: the exact high word lies in [high, high + 2).
constexpr int fraction_bits = 33;

constexpr int alignment(int biased, int k) noexcept {
    return 1022 - fraction_bits - biased - detail::pow10_table[k - detail::pow10_min].exponent;
}

inline std::uint64_t scaled_high(std::uint64_t m, int alignment, std::uint64_t significand) noexcept {
    return static_cast<std::uint64_t>((static_cast<uint128>(m >> alignment) * significand) >> 64);
}

// For each biased exponent of a normal double: its estimated decimal exponent x and
// 10^(8-x) ready to multiply, so that the common path needs one load and no
// arithmetic before the product. Both powers an exponent can need, 10^(8-x) and
// 10^(7-x), are in the table and need a shift that loses no bit.
struct Scale {
    std::uint64_t significand;
    std::int16_t x;
    std::uint8_t alignment;
};

constexpr std::array<Scale, 0x7FF> scales = [] {
    std::array<Scale, 0x7FF> t{};
    for (int biased = 1; biased < 0x7FF; ++biased) {
        const int x = decimal_exponent(biased - 1023);
        for (const int k : {8 - x, 7 - x}) {
            if (k < detail::pow10_min || k > detail::pow10_max || alignment(biased, k) < 0 ||
                alignment(biased, k) > 11) {
                throw "a power of ten out of the table's reach";
            }
        }
        t[static_cast<std::size_t>(biased)] = {detail::pow10_table[8 - x - detail::pow10_min].significand,
                                               static_cast<std::int16_t>(x),
                                               static_cast<std::uint8_t>(alignment(biased, 8 - x))};
    }
    return t;
}();

// Byte-wise little-endian stores, so that the lowest byte of a register is the first
// character on every host.
inline void store_le(char* p, std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        v = __builtin_bswap64(v);
    }
    std::memcpy(p, &v, 8);
}

// The last eight of n's nine digits as characters, the first of them in the lowest
// byte: n / 10^8 as a fixed-point fraction of 57 bits, rounded up, then each pair the
// integer part of the fraction times 100. The rounding error, under n * 0.25 units,
// stays below one unit of the last digit even times 10^8 (2^57 is 1.4e17 units).
inline std::uint64_t eight_digits(std::uint32_t n) noexcept {
    constexpr std::uint64_t fraction = (std::uint64_t{1} << 57) - 1;
    std::uint64_t t = (n * ((std::uint64_t{1} << 57) / nine_digit_floor + 1)) & fraction;
    std::uint64_t text = 0;
    for (int pair = 0; pair < 4; ++pair) {
        t *= 100;
        const char* two = digit_pairs + 2 * (t >> 57);
        text |= (static_cast<std::uint64_t>(static_cast<unsigned char>(two[0])) |
                 static_cast<std::uint64_t>(static_cast<unsigned char>(two[1])) << 8)
                << (16 * pair);
        t &= fraction;
    }
    return text;
}

// The nine digits of n (100000000 <= n < 1000000000) at decimal exponent x, laid out
// as %g lays them out: trailing zeros and a bare decimal point dropped. Stores are of
// fixed sizes and may reach past the text's end, never past max_double_chars from the
// start of the number's sign.
char* write_g9(char* p, std::uint32_t n, int x) noexcept {
    const std::uint64_t tail_text = eight_digits(n);
    // Trailing zero digits are the zero bytes at the high end of the tail's digit
    // values (countl_zero gives 64 for a zero tail: one digit).
    const std::size_t count = 9 - static_cast<std::size_t>(std::countl_zero(tail_text - 0x3030'3030'3030'3030U) / 8);
    const char first = static_cast<char>('0' + n / nine_digit_floor);
    if (x >= 0 && x < 9) {
        const auto whole = static_cast<std::size_t>(x) + 1;
        p[0] = first;
        store_le(p + 1, tail_text);
        if (count <= whole) {
            return p + whole;
        }
        p[whole] = '.';
        store_le(p + whole + 1, tail_text >> (8 * (whole - 1)));
        return p + count + 1;
    }
    if (x < 0 && x >= -4) {
        const auto leading = static_cast<std::size_t>(1 - x);
        store_le(p, 0x3030'3030'3030'2E30U);  // "0.000000"
        p[leading] = first;
        store_le(p + leading + 1, tail_text);
        return p + leading + count;
    }
    p[0] = first;
    p[1] = '.';
    store_le(p + 2, tail_text);
    p += count > 1 ? count + 1 : 1;
    *p++ = 'e';
    *p++ = x < 0 ? '-' : '+';
    const auto magnitude = static_cast<std::uint32_t>(x < 0 ? -x : x);
    if (magnitude >= 100) {
        *p++ = static_cast<char>('0' + magnitude / 100);
    }
    std::memcpy(p, digit_pairs + 2 * (magnitude % 100), 2);
    return p + 2;
}

// Out of line, so that the fast path needs no stack frame for it.
[[gnu::noinline, gnu::cold]] std::size_t exact_g9(char* out, double value) noexcept {
    const auto result = std::to_chars(out, out + max_double_chars, value, std::chars_format::general, 9);
    return static_cast<std::size_t>(result.ptr - out);
}

}  // namespace

// Scales |value| by a power of ten into [1e8, 1e9) with a 64-bit table significand
// and rounds to nearest; when the truncation error could reach the halfway point
// (ties included), and for subnormals, the exact conversion decides.
std::size_t format_double(char* out, double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
    if (biased == 0x7FF) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    char* p = out;
    *p = '-';
    p += bits >> 63;
    if (biased == 0) {
        if ((bits << 1) == 0) {
            *p = '0';
            return static_cast<std::size_t>(p + 1 - out);
        }
        return exact_g9(out, value);  // subnormal
    }
    const std::uint64_t m = (bits << 11) | (std::uint64_t{1} << 63);
    const Scale& scale = scales[static_cast<std::size_t>(biased)];
    int x = scale.x;
    std::uint64_t high = scaled_high(m, scale.alignment, scale.significand);
    if (high >> fraction_bits >= nine_digit_ceiling) {
        const int k = 8 - ++x;
        high = scaled_high(m, alignment(biased, k), detail::pow10_table[k - detail::pow10_min].significand);
    }
    // Rounded to nearest by adding half a unit. The exact fraction lies in
    // [fraction, fraction + 2): in doubt when that holds the halfway point or starts on
    // it (a tie, or just above one), that is when the fraction is half - 1 or half,
    // which puts the low bits of the sum plus one at 0 or 1.
    constexpr std::uint64_t half = std::uint64_t{1} << (fraction_bits - 1);
    constexpr std::uint64_t fraction_mask = (std::uint64_t{1} << fraction_bits) - 1;
    const std::uint64_t rounded = high + half;
    std::uint64_t n = rounded >> fraction_bits;
    // Below 10^8 only if the truncation had taken the product far under a power of ten.
    if (((rounded + 1) & fraction_mask) <= 1 || n < nine_digit_floor) {
        return exact_g9(out, value);
    }
    if (n == nine_digit_ceiling) {
        n = nine_digit_floor;
        ++x;
    }
    return static_cast<std::size_t>(write_g9(p, static_cast<std::uint32_t>(n), x) - out);
}

char* put_double(char* p, double value) noexcept { return p + format_double(p, value); }

char* put_int(char* p, std::int64_t value) noexcept { return std::to_chars(p, p + 20, value).ptr; }

char* put_uint(char* p, std::uint64_t value) noexcept { return std::to_chars(p, p + 20, value).ptr; }

char* put_bool(char* p, bool value) noexcept { return value ? put_raw(p, "true") : put_raw(p, "false"); }

namespace {

// 0: copied as is; 'u': four-digit escape; anything else: the letter after a backslash.
constexpr std::array<char, 256> escape_table = [] {
    std::array<char, 256> t{};
    for (std::size_t c = 0; c < 0x20; ++c) {
        t[c] = 'u';
    }
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}();

}  // namespace

char* put_string(char* p, std::string_view bytes) noexcept {
    static constexpr char hex[] = "0123456789abcdef";
    *p++ = '"';
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        const char esc = escape_table[byte];
        if (esc == 0) {
            *p++ = c;
        } else if (esc == 'u') {
            const char u[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            std::memcpy(p, u, sizeof u);
            p += sizeof u;
        } else {
            p[0] = '\\';
            p[1] = esc;
            p += 2;
        }
    }
    *p++ = '"';
    return p;
}

namespace {

// A JSON array of numbers: "[a,b,...]".
char* put_numbers(char* p, std::initializer_list<double> values) noexcept {
    *p++ = '[';
    for (const double v : values) {
        p = put_double(p, v);
        *p++ = ',';
    }
    p[-1] = ']';
    return p;
}

}  // namespace

char* put_vec3(char* p, const Vec3& v) noexcept { return put_numbers(p, {v.x, v.y, v.z}); }

char* put_quaternion(char* p, const Quaternion& q) noexcept { return put_numbers(p, {q.x, q.y, q.z, q.w}); }

char* put_pose(char* p, const Pose& pose) noexcept {
    p = put_raw(p, R"({"position":)");
    p = put_vec3(p, pose.position);
    p = put_raw(p, R"(,"orientation":)");
    p = put_quaternion(p, pose.orientation);
    *p++ = '}';
    return p;
}

char* put_ray(char* p, const Ray& ray) noexcept {
    p = put_raw(p, R"({"origin":)");
    p = put_vec3(p, ray.origin);
    p = put_raw(p, R"(,"direction":)");
    p = put_vec3(p, ray.direction);
    *p++ = '}';
    return p;
}

std::string_view tracking_confidence_name(TrackingConfidence value) noexcept {
    switch (value) {
        case TrackingConfidence::ORIENTATION_ONLY: return "orientation_only";
        case TrackingConfidence::POSITION_AND_ORIENTATION: return "position_and_orientation";
        case TrackingConfidence::UNAVAILABLE: break;
    }
    return "unavailable";
}

std::string_view pointing_source_name(PointingSource value) noexcept {
    switch (value) {
        case PointingSource::CONTROLLER: return "controller";
        case PointingSource::HAND: return "hand";
        case PointingSource::EYE_GAZE: return "eye_gaze";
        case PointingSource::HEAD: break;
    }
    return "head";
}

}  // namespace halberin::spatial::json
