#include "json_text.hpp"

#include "pow10_table.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace halberin::spatial::json {

namespace {

__extension__ typedef unsigned __int128 uint128;

constexpr std::uint32_t nine_digit_floor = 100'000'000;
constexpr std::uint32_t nine_digit_ceiling = 1'000'000'000;

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// v * 10^k for v = m * 2^e, as an integer part and a fraction of `shift` bits. The
// table's significand is truncated, so the true product lies in [product, product + m).
struct Scaled {
    uint128 integer;
    uint128 fraction;
    int shift;
};

inline bool scale(std::uint64_t m, int e, int k, Scaled& out) noexcept {
    if (k < detail::pow10_min || k > detail::pow10_max) {
        return false;
    }
    const detail::Pow10& p = detail::pow10_table[k - detail::pow10_min];
    out.shift = -(e + p.exponent);
    if (out.shift <= 1 || out.shift >= 127) {
        return false;
    }
    const uint128 product = static_cast<uint128>(m) * p.significand;
    out.integer = product >> out.shift;
    out.fraction = product & ((static_cast<uint128>(1) << out.shift) - 1);
    return true;
}

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

inline char* write_two(char* p, std::uint32_t pair) noexcept {
    std::memcpy(p, digit_pairs + 2 * pair, 2);
    return p + 2;
}

// The nine digits of n (100000000 <= n < 1000000000) at decimal exponent x, laid
// out as %g lays them out: trailing zeros and a bare decimal point dropped.
char* write_g9(char* p, std::uint32_t n, int x) noexcept {
    char d[10];
    d[0] = static_cast<char>('0' + n / nine_digit_floor);
    std::uint32_t rest = n % nine_digit_floor;
    write_two(d + 1, rest / 1'000'000);
    rest %= 1'000'000;
    write_two(d + 3, rest / 10'000);
    rest %= 10'000;
    write_two(d + 5, rest / 100);
    write_two(d + 7, rest % 100);
    std::size_t count = 9;
    while (d[count - 1] == '0') {
        --count;
    }
    if (x < -4 || x >= 9) {
        *p++ = d[0];
        if (count > 1) {
            *p++ = '.';
            std::memcpy(p, d + 1, count - 1);
            p += count - 1;
        }
        *p++ = 'e';
        *p++ = x < 0 ? '-' : '+';
        const auto magnitude = static_cast<std::uint32_t>(x < 0 ? -x : x);
        if (magnitude >= 100) {
            *p++ = static_cast<char>('0' + magnitude / 100);
        }
        return write_two(p, magnitude % 100);
    }
    if (x >= 0) {
        const auto whole = static_cast<std::size_t>(x) + 1;
        std::memcpy(p, d, whole);
        p += whole;
        if (count > whole) {
            *p++ = '.';
            std::memcpy(p, d + whole, count - whole);
            p += count - whole;
        }
        return p;
    }
    *p++ = '0';
    *p++ = '.';
    for (int i = -1; i > x; --i) {
        *p++ = '0';
    }
    std::memcpy(p, d, count);
    return p + count;
}

std::size_t exact_g9(char* out, double value) noexcept {
    const auto result = std::to_chars(out, out + max_double_chars, value, std::chars_format::general, 9);
    return static_cast<std::size_t>(result.ptr - out);
}

}  // namespace

// Scales |value| by a power of ten into [1e8, 1e9) with a 64-bit table significand
// and rounds to nearest; when the truncation error could straddle the halfway point
// (ties included), the exact conversion decides.
std::size_t format_double(char* out, double value) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
    const std::uint64_t fraction_bits = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased == 0x7FF) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    char* p = out;
    if (bits >> 63) {
        *p++ = '-';
    }
    if (biased == 0 && fraction_bits == 0) {
        *p++ = '0';
        return static_cast<std::size_t>(p - out);
    }
    const std::uint64_t m = biased == 0 ? fraction_bits : fraction_bits | (std::uint64_t{1} << 52);
    const int e = biased == 0 ? -1074 : biased - 1075;
    const int log2 = e + 63 - std::countl_zero(m);
    int x = decimal_exponent(log2);
    Scaled s{};
    if (!scale(m, e, 8 - x, s) || (s.integer >= nine_digit_ceiling && !scale(m, e, 8 - ++x, s)) ||
        s.integer < nine_digit_floor || s.integer >= nine_digit_ceiling) {
        return exact_g9(out, value);
    }
    const uint128 half = static_cast<uint128>(1) << (s.shift - 1);
    if (s.fraction <= half && s.fraction + m > half) {
        return exact_g9(out, value);
    }
    auto n = static_cast<std::uint32_t>(s.integer);
    if (s.fraction > half && ++n == nine_digit_ceiling) {
        n = nine_digit_floor;
        ++x;
    }
    return static_cast<std::size_t>(write_g9(p, n, x) - out);
}

void write_double(std::string& out, double value) {
    char buf[max_double_chars];
    out.append(buf, format_double(buf, value));
}

void write_int(std::string& out, std::int64_t value) {
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

void write_uint(std::string& out, std::uint64_t value) {
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

void write_bool(std::string& out, bool value) { out.append(value ? "true" : "false"); }

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

void write_json_string(std::string& out, std::string_view bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    out.push_back('"');
    const char* run = bytes.data();
    const char* const end = run + bytes.size();
    for (const char* p = run; p != end; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        const char esc = escape_table[byte];
        if (esc == 0) {
            continue;
        }
        out.append(run, p);
        run = p + 1;
        if (esc == 'u') {
            const char u[6] = {'\\', 'u', '0', '0', hex[byte >> 4], hex[byte & 0xF]};
            out.append(u, sizeof u);
        } else {
            const char e[2] = {'\\', esc};
            out.append(e, sizeof e);
        }
    }
    out.append(run, end);
    out.push_back('"');
}

void write_vec3(std::string& out, const Vec3& v) {
    char buf[3 * max_double_chars + 4];
    char* p = buf;
    *p++ = '[';
    p += format_double(p, v.x);
    *p++ = ',';
    p += format_double(p, v.y);
    *p++ = ',';
    p += format_double(p, v.z);
    *p++ = ']';
    out.append(buf, p);
}

void write_quaternion(std::string& out, const Quaternion& q) {
    char buf[4 * max_double_chars + 5];
    char* p = buf;
    *p++ = '[';
    p += format_double(p, q.x);
    *p++ = ',';
    p += format_double(p, q.y);
    *p++ = ',';
    p += format_double(p, q.z);
    *p++ = ',';
    p += format_double(p, q.w);
    *p++ = ']';
    out.append(buf, p);
}

void write_pose(std::string& out, const Pose& pose) {
    out.append(R"({"position":)");
    write_vec3(out, pose.position);
    out.append(R"(,"orientation":)");
    write_quaternion(out, pose.orientation);
    out.push_back('}');
}

void write_ray(std::string& out, const Ray& ray) {
    out.append(R"({"origin":)");
    write_vec3(out, ray.origin);
    out.append(R"(,"direction":)");
    write_vec3(out, ray.direction);
    out.push_back('}');
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
