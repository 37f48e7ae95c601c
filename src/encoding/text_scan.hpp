// JSON's lexical pieces scanned in place: numbers, runs of plain string bytes, UTF-8
// sequences and the parts of an escape. Each moves a cursor over the input and never
// reads past its end.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace halberin::spatial::scan {

// Each file that reads text gets its own copies, which the optimizer may specialise for
// their few callers there.
namespace {

// Bytes that may stand in a string as they are: printable ASCII but '"' and '\\'.
inline constexpr std::array<bool, 256> plain_table = [] {
    std::array<bool, 256> t{};
    for (std::size_t c = 0x20; c < 0x80; ++c) {
        t[c] = c != '"' && c != '\\';
    }
    return t;
}();

inline constexpr std::array<std::uint64_t, 9> pow10_u64{1,      10,      100,       1'000,      10'000,
                                                        100'000, 1'000'000, 10'000'000, 100'000'000};

inline constexpr std::array<double, 23> exact_powers = [] {
    std::array<double, 23> t{};
    double p = 1.0;
    for (double& x : t) {
        x = p;
        p *= 10.0;
    }
    return t;
}();

inline bool digit_at(const char* p, const char* end) noexcept {
    return p != end && static_cast<unsigned>(*p - '0') < 10;
}

// Appends the run of digits at p to `digits`, eight at a time where eight bytes remain;
// at most 19 digits fit, and the caller counts them.
inline void take_digits(const char*& p, const char* end, std::uint64_t& digits) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            const std::uint64_t x = w - 0x3030303030303030;
            // The high bit of each byte that is not a digit; carries and borrows can set
            // bits only above such a byte.
            const std::uint64_t not_digit = (x | (x + 0x7676767676767676)) & 0x8080808080808080;
            const int n = not_digit == 0 ? 8 : std::countr_zero(not_digit) / 8;
            if (n == 0) {
                return;
            }
            // The n digits to the top bytes, zeros (leading zeros) below them.
            std::uint64_t v = (x << (64 - 8 * n)) & 0x0F0F0F0F0F0F0F0F;
            v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FF;
            v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFF;
            v = (v * 10000 + (v >> 32)) & 0xFFFFFFFF;
            digits = digits * pow10_u64[static_cast<std::size_t>(n)] + v;
            p += n;
            if (n < 8) {
                return;
            }
        }
    }
    while (digit_at(p, end)) {
        digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
    }
}

// What is wrong with a number, and where (null: where it starts).
struct Refusal {
    const char* what = nullptr;
    const char* at = nullptr;
};

// A JSON number at p (not null), read correctly rounded to the nearest double, with
// p moved past it; subnormals and underflow read as (signed) zero, and a number beyond
// the double range is refused.
inline Refusal number(const char*& p, const char* end, double& out) noexcept {
    const char* const start = p;
    const bool negative = p != end && *p == '-';
    p += negative;
    if (!digit_at(p, end)) {
        return {"expected a number or null"};
    }
    // The digits as one integer, scaled by 10^exponent; exact while there are at most
    // 19 of them.
    const char* const digits_start = p;
    std::uint64_t digits = 0;
    if (*p == '0') {
        ++p;
        if (digit_at(p, end)) {
            return {"a number may not start with 0"};
        }
    } else {
        take_digits(p, end, digits);
    }
    const char* const point = p;
    long exponent = 0;
    if (p != end && *p == '.') {
        ++p;
        if (!digit_at(p, end)) {
            return {"expected a digit after the decimal point", p};
        }
        take_digits(p, end, digits);
        exponent = point + 1 - p;
    }
    const char* const digits_end = p;
    if (p != end && (*p | 0x20) == 'e') {
        ++p;
        const bool down = p != end && *p == '-';
        p += down || (p != end && *p == '+');
        if (!digit_at(p, end)) {
            return {"expected a digit in the exponent", p};
        }
        // Saturates far beyond anything the digits could offset (they are at most the
        // input's length), so the range decision below stays exact.
        constexpr long saturated = 100'000'000'000'000'000;
        long e = 0;
        do {
            e = e < saturated ? e * 10 + (*p - '0') : e;
            ++p;
        } while (digit_at(p, end));
        exponent += down ? -e : e;
    }
    const long count = (digits_end - digits_start) - (point != digits_end);
    if (count <= 19) {
        if (digits == 0) {
            out = negative ? -0.0 : 0.0;
            return {};
        }
        // Exact operands give one correctly rounded operation.
        if (digits <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
            const double d = static_cast<double>(static_cast<std::int64_t>(digits));
            const double v = exponent < 0 ? d / exact_powers[static_cast<std::size_t>(-exponent)]
                                          : d * exact_powers[static_cast<std::size_t>(exponent)];
            out = negative ? -v : v;
            return {};
        }
    }
    double v = 0;
    const auto [ptr, ec] = std::from_chars(start, p, v);
    if (ec == std::errc::result_out_of_range || (ec == std::errc{} && std::isinf(v))) {
        // Out of range one way or the other: the leading digit's place says which.
        const char* lead = digits_start;
        while (lead != digits_end && (*lead == '0' || *lead == '.')) {
            ++lead;
        }
        if (lead == digits_end) {
            out = negative ? -0.0 : 0.0;
            return {};
        }
        const long fraction_digits = point == digits_end ? 0 : digits_end - point - 1;
        const long place = (lead < point ? point - lead - 1 : point - lead) + exponent + fraction_digits;
        if (place < 0) {
            out = negative ? -0.0 : 0.0;
            return {};
        }
        return {"number beyond the double range"};
    }
    if (ec != std::errc{} || ptr != p) {
        return {"expected a number or null"};
    }
    out = v;
    return {};
}

// Moves p over plain string bytes eight at a time, stopping at or before the first byte
// that is a quote, a backslash, a control character or not ASCII.
inline void skip_plain(const char*& p, const char* end) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101;
        constexpr std::uint64_t highs = 0x8080808080808080;
        while (end - p >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            // A flag in the high bit of each byte that stops the scan; borrows can set
            // flags only above a byte that is itself flagged.
            const std::uint64_t quote = w ^ ('"' * ones);
            const std::uint64_t backslash = w ^ ('\\' * ones);
            const std::uint64_t stop =
                (w | ((w - 0x20 * ones) & ~w) | ((quote - ones) & ~quote) | ((backslash - ones) & ~backslash)) & highs;
            if (stop != 0) {
                p += std::countr_zero(stop) / 8;
                return;
            }
            p += 8;
        }
    }
    while (p != end && plain_table[static_cast<unsigned char>(*p)]) {
        ++p;
    }
}

// One UTF-8 sequence of two to four bytes at p, RFC 3629's (no overlong form, no
// surrogate, nothing past U+10FFFF); p moves past it when it is valid.
inline bool utf8_sequence(const char*& p, const char* end) noexcept {
    const auto c = static_cast<unsigned char>(*p);
    std::size_t extra;
    unsigned lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        lo = c == 0xE0 ? 0xA0 : lo;
        hi = c == 0xED ? 0x9F : hi;
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        lo = c == 0xF0 ? 0x90 : lo;
        hi = c == 0xF4 ? 0x8F : hi;
    } else {
        return false;
    }
    if (static_cast<std::size_t>(end - p) <= extra) {
        return false;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto t = static_cast<unsigned char>(p[k]);
        if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xBF)) {
            return false;
        }
    }
    p += extra + 1;
    return true;
}

// Four hexadecimal digits at p, as one UTF-16 code unit.
inline bool hex4(const char*& p, const char* end, unsigned& unit) noexcept {
    if (end - p < 4) {
        return false;
    }
    unit = 0;
    for (int i = 0; i < 4; ++i) {
        const char h = *p++;
        unsigned d;
        if (h >= '0' && h <= '9') {
            d = static_cast<unsigned>(h - '0');
        } else if ((h | 0x20) >= 'a' && (h | 0x20) <= 'f') {
            d = static_cast<unsigned>((h | 0x20) - 'a' + 10);
        } else {
            return false;
        }
        unit = unit << 4 | d;
    }
    return true;
}

inline void append_utf8(std::string& out, char32_t code) {
    char utf8[4];
    std::size_t n;
    if (code < 0x80) {
        utf8[0] = static_cast<char>(code);
        n = 1;
    } else if (code < 0x800) {
        utf8[0] = static_cast<char>(0xC0 | code >> 6);
        utf8[1] = static_cast<char>(0x80 | (code & 0x3F));
        n = 2;
    } else if (code < 0x10000) {
        utf8[0] = static_cast<char>(0xE0 | code >> 12);
        utf8[1] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        utf8[2] = static_cast<char>(0x80 | (code & 0x3F));
        n = 3;
    } else {
        utf8[0] = static_cast<char>(0xF0 | code >> 18);
        utf8[1] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
        utf8[2] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
        utf8[3] = static_cast<char>(0x80 | (code & 0x3F));
        n = 4;
    }
    out.append(utf8, n);
}

}  // namespace

}  // namespace halberin::spatial::scan
