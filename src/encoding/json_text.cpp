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

// Each number below 1000 as three characters, the first in the lowest byte.
constexpr std::array<std::uint32_t, 1000> digit_triples = [] {
    std::array<std::uint32_t, 1000> t{};
    for (std::uint32_t i = 0; i < 1000; ++i) {
        t[i] = ('0' + i / 100) | ('0' + i / 10 % 10) << 8 | ('0' + i % 10) << 16;
    }
    return t;
}();

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
constexpr int fraction_bits = 32;

constexpr int alignment(int biased, int k) noexcept {
    return 1022 - fraction_bits - biased - detail::pow10_table[k - detail::pow10_min].exponent;
}

inline std::uint64_t significand_of(std::uint64_t bits) noexcept { return (bits << 11) | (std::uint64_t{1} << 63); }

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
static_assert(sizeof(Scale) == 16, "format_double indexes the table by exponent bits * 16");

// Rounded to nearest by adding half a unit. The exact fraction lies in
// [fraction, fraction + 2): in doubt when that holds the halfway point or starts on it
// (a tie, or just above one), that is when the fraction is half - 1 or half, which puts
// the low 32 bits of the sum plus one at 0 or 1.
constexpr std::uint64_t half = std::uint64_t{1} << (fraction_bits - 1);
static_assert(fraction_bits == 32, "in_doubt reads the fraction as the low word");
inline bool in_doubt(std::uint64_t rounded) noexcept { return static_cast<std::uint32_t>(rounded + 1) <= 1; }

// Byte-wise little-endian stores, so that the lowest byte of a register is the first
// character on every host.
template <class Word>
inline void store_le(char* p, Word v) noexcept {
    if constexpr (std::endian::native == std::endian::big) {
        v = std::byteswap(v);
    }
    std::memcpy(p, &v, sizeof v);
}

// n's nine digits (100000000 <= n < 1000000000) as characters: the first, and the other
// eight with the first of them in the lowest byte. Three at a time from n / 10^6 as a
// fixed-point number of 54 fraction bits, rounded up: the rounding error, under n
// units, stays under 10^15 units after two multiplications by 1000, far below the 2^54
// (1.8e16) that would change a triple.
struct Digits {
    char first;
    std::uint64_t tail;
};

inline Digits nine_digits(std::uint32_t n) noexcept {
    constexpr int bits = 54;
    constexpr std::uint64_t fraction = (std::uint64_t{1} << bits) - 1;
    std::uint64_t t = n * ((std::uint64_t{1} << bits) / 1'000'000 + 1);
    const std::uint32_t leading = digit_triples[t >> bits];
    t = (t & fraction) * 1000;
    const std::uint64_t middle = digit_triples[t >> bits];
    t = (t & fraction) * 1000;
    const std::uint64_t last = digit_triples[t >> bits];
    return {static_cast<char>(leading), leading >> 8 | middle << 16 | last << 40};
}

// The nine digits of n (100000000 <= n < 1000000000) at decimal exponent x, laid out
// as %g lays them out: trailing zeros and a bare decimal point dropped. Stores are of
// fixed sizes and may reach past the text's end, never past max_double_chars from the
// start of the number's sign.
char* write_g9(char* p, std::uint32_t n, int x) noexcept {
    const auto [first, tail] = nine_digits(n);
    // Trailing zero digits are the zero bytes at the high end of the tail's digit
    // values; a zero tail leaves the first digit alone.
    const std::size_t count = 1 + (static_cast<std::size_t>(std::bit_width(tail - 0x3030'3030'3030'3030U)) + 7) / 8;
    if (x >= 0 && x < 9) {
        const auto whole = static_cast<std::size_t>(x) + 1;
        p[0] = first;
        store_le(p + 1, tail);
        if (count <= whole) {
            return p + whole;
        }
        p[whole] = '.';
        store_le(p + whole + 1, tail >> (8 * (whole - 1)));
        return p + count + 1;
    }
    if (x < 0 && x >= -4) {
        const auto leading = static_cast<std::size_t>(1 - x);
        store_le(p, std::uint64_t{0x3030'3030'3030'2E30U});  // "0.000000"
        p[leading] = first;
        store_le(p + leading + 1, tail);
        return p + leading + count;
    }
    p[0] = first;
    p[1] = '.';
    store_le(p + 2, tail);
    p += count > 1 ? count + 1 : 1;
    *p++ = 'e';
    *p++ = x < 0 ? '-' : '+';
    // Two exponent digits at least, three from 100 on.
    const auto magnitude = static_cast<std::uint32_t>(x < 0 ? -x : x);
    const std::size_t width = magnitude >= 100 ? 3 : 2;
    store_le(p, digit_triples[magnitude] >> (8 * (3 - width)));
    return p + width;
}

// Out of line, so that the fast path needs no stack frame for it.
[[gnu::noinline, gnu::cold]] std::size_t exact_g9(char* out, double value) noexcept {
    const auto result = std::to_chars(out, out + max_double_chars, value, std::chars_format::general, 9);
    return static_cast<std::size_t>(result.ptr - out);
}

[[gnu::noinline, gnu::cold]] std::size_t not_normal(char* out, double value) noexcept {
    if (!std::isfinite(value)) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    if (value == 0) {
        const std::size_t sign = std::signbit(value) ? 1 : 0;
        out[0] = '-';
        out[sign] = '0';
        return sign + 1;
    }
    return exact_g9(out, value);  // subnormal
}

// The rounded digits reached 10^9: the exponent's estimate was one too low, or the
// rounding carried. One power of ten less settles both. Everything is taken anew from
// the value, so that the fast path keeps nothing alive for this call.
[[gnu::noinline, gnu::cold]] std::size_t one_power_down(char* out, double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const auto biased = static_cast<int>(bits >> 52) & 0x7FF;
    const int x = scales[static_cast<std::size_t>(biased)].x + 1;
    const int k = 8 - x;
    const std::uint64_t rounded = scaled_high(significand_of(bits), alignment(biased, k),
                                              detail::pow10_table[k - detail::pow10_min].significand) +
                                  half;
    const std::uint64_t n = rounded >> fraction_bits;
    if (in_doubt(rounded) || n < nine_digit_floor || n >= nine_digit_ceiling) {
        return exact_g9(out, value);
    }
    return static_cast<std::size_t>(write_g9(out + (bits >> 63), static_cast<std::uint32_t>(n), x) - out);
}

}  // namespace

// Scales |value| by a power of ten into [1e8, 1e9) with a 64-bit table significand
// and rounds to nearest; when the truncation error could reach the halfway point
// (ties included), and for subnormals, the exact conversion decides.
std::size_t format_double(char* out, double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    // The biased exponent times the size of a table entry, which saves the scaling of
    // an index on the way to the table.
    const std::size_t offset = (bits >> 48) & 0x7FF0U;
    if (offset - 16 >= 0x7FE0) [[unlikely]] {
        return not_normal(out, value);
    }
    char* p = out;
    *p = '-';
    p += bits >> 63;
    const std::uint64_t m = significand_of(bits);
    const Scale& scale = scales[offset / sizeof(Scale)];
    const int x = scale.x;
    const std::uint64_t rounded = scaled_high(m, scale.alignment, scale.significand) + half;
    const std::uint64_t n = rounded >> fraction_bits;
    // Under 10^8 only if the truncation had taken the product far under a power of ten;
    // one power less leaves it under, and the exact conversion settles it.
    if (n - nine_digit_floor >= nine_digit_ceiling - nine_digit_floor) [[unlikely]] {
        return one_power_down(out, value);
    }
    if (in_doubt(rounded)) [[unlikely]] {
        return exact_g9(out, value);
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

char* put_vec3(char* p, const Vec3& v) noexcept { return vec3_text(p, v); }

char* put_quaternion(char* p, const Quaternion& q) noexcept { return quaternion_text(p, q); }

char* put_pose(char* p, const Pose& pose) noexcept { return pose_text(p, pose); }

char* put_ray(char* p, const Ray& ray) noexcept { return ray_text(p, ray); }

}  // namespace halberin::spatial::json
