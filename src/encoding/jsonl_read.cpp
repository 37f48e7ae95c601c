// Record text read back: a reader for exactly the two records, over the input in place.
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "json_text.hpp"
#include "record_reader.hpp"
#include "spatial/jsonl.hpp"

namespace halberin::spatial {

namespace reading {

std::string format_path(const Path& path) {
    std::array<const Path*, 16> chain{};
    std::size_t depth = 0;
    for (const Path* p = &path; p->parent != nullptr && depth < chain.size(); p = p->parent) {
        chain[depth++] = p;
    }
    std::string out = "$";
    while (depth > 0) {
        const Path* p = chain[--depth];
        if (p->key.empty()) {
            out += '[' + std::to_string(p->index) + ']';
        } else {
            out += '.';
            out += p->key;
        }
    }
    return out;
}

std::string quoted(std::string_view text) {
    constexpr std::size_t longest = 40;
    const bool cut = text.size() > longest;
    if (cut) {
        text = text.substr(0, longest);
    }
    std::string out(json::string_bound(text.size()), '\0');
    out.resize(static_cast<std::size_t>(json::put_string(out.data(), text) - out.data()));
    if (cut) {
        out.insert(out.size() - 1, "...");
    }
    return out;
}

}  // namespace reading

namespace {

using reading::Path;

// Bytes that may stand in a string as they are: printable ASCII but '"' and '\\'.
constexpr std::array<bool, 256> plain_table = [] {
    std::array<bool, 256> t{};
    for (std::size_t c = 0x20; c < 0x80; ++c) {
        t[c] = c != '"' && c != '\\';
    }
    return t;
}();

constexpr std::array<double, 23> exact_powers = [] {
    std::array<double, 23> t{};
    double p = 1.0;
    for (double& x : t) {
        x = p;
        p *= 10.0;
    }
    return t;
}();

// JSON text as a source of values for the record walk; the cursor is the value's
// handle. Every read skips the whitespace before its token, and every refusal records
// the byte where the offending token starts.
class TextInput {
public:
    struct Value {};

    explicit TextInput(std::string_view text) noexcept
        : begin(text.data()), p(text.data()), end(text.data() + text.size()), mark(p) {}

    ReadError error;

    std::size_t where() const noexcept { return static_cast<std::size_t>(mark - begin); }

    bool fail(const Path& path, std::string what) { return fail_at(where(), path, std::move(what)); }

    bool fail_at(std::size_t offset, const Path& path, std::string what) {
        if (offset == static_cast<std::size_t>(end - begin)) {
            what = "unexpected end of the line, " + what;
        }
        error = {std::move(what), reading::format_path(path), offset};
        return false;
    }

    // Whitespace, then nothing: what a record line may end with.
    bool finish(const Path& path) {
        skip();
        mark = p;
        return p == end || fail(path, "unexpected content after the record");
    }

    template <class Member>
    bool object(Value, const Path& path, Member&& member) {
        skip();
        mark = p;
        if (!at('{')) {
            return fail(path, "expected an object");
        }
        ++p;
        skip();
        if (at('}')) {
            mark = p++;
            return true;
        }
        while (true) {
            skip();
            mark = p;
            std::string_view key;
            if (!at('"')) {
                return fail(path, "expected a member name");
            }
            if (!text(path, key)) {
                return false;
            }
            const char* key_at = mark;
            skip();
            if (!at(':')) {
                mark = p;
                return fail(path, "expected ':' after a member name");
            }
            ++p;
            mark = key_at;
            if (!member(key, Value{})) {
                return false;
            }
            skip();
            mark = p;
            if (at(',')) {
                ++p;
                continue;
            }
            if (at('}')) {
                ++p;
                return true;
            }
            return fail(path, "expected ',' or '}'");
        }
    }

    template <class Element>
    bool array(Value, const Path& path, Element&& element) {
        skip();
        mark = p;
        if (!at('[')) {
            return fail(path, "expected an array");
        }
        ++p;
        skip();
        if (at(']')) {
            mark = p++;
            return true;
        }
        for (std::size_t i = 0;; ++i) {
            if (!element(i, Value{})) {
                return false;
            }
            skip();
            mark = p;
            if (at(',')) {
                ++p;
                continue;
            }
            if (at(']')) {
                ++p;
                return true;
            }
            return fail(path, "expected ',' or ']'");
        }
    }

    bool number(Value, const Path& path, double& out) {
        skip();
        mark = p;
        if (at('n')) {
            return literal("null") ? (out = std::numeric_limits<double>::quiet_NaN(), true)
                                   : fail(path, "expected a number or null");
        }
        const char* const start = p;
        const bool negative = at('-');
        p += negative;
        if (!at_digit()) {
            return fail(path, "expected a number or null");
        }
        // Up to 19 significant digits are kept in `digits`, scaled by 10^exponent;
        // `dropped` says whether any nonzero digit went past them.
        std::uint64_t digits = 0;
        int significant = 0;
        int exponent = 0;
        bool dropped = false;
        const auto take = [&](unsigned d, bool fraction) {
            if (digits == 0 && d == 0) {
                exponent -= fraction;
            } else if (significant < 19) {
                digits = digits * 10 + d;
                ++significant;
                exponent -= fraction;
            } else {
                dropped = dropped || d != 0;
                exponent += !fraction;
            }
        };
        if (*p == '0') {
            ++p;
            if (at_digit()) {
                return fail(path, "a number may not start with 0");
            }
        } else {
            while (at_digit()) {
                take(static_cast<unsigned>(*p++ - '0'), false);
            }
        }
        if (at('.')) {
            ++p;
            if (!at_digit()) {
                mark = p;
                return fail(path, "expected a digit after the decimal point");
            }
            while (at_digit()) {
                take(static_cast<unsigned>(*p++ - '0'), true);
            }
        }
        if (at('e') || at('E')) {
            ++p;
            const bool down = at('-');
            p += down || at('+');
            if (!at_digit()) {
                mark = p;
                return fail(path, "expected a digit in the exponent");
            }
            int e = 0;
            while (at_digit()) {
                e = std::min(e * 10 + (*p++ - '0'), 1'000'000);
            }
            exponent += down ? -e : e;
        }
        if (digits == 0) {
            out = negative ? -0.0 : 0.0;
            return true;
        }
        // Exact operands give one correctly rounded operation.
        if (!dropped && digits <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
            const double d = static_cast<double>(digits);
            const double v = exponent < 0 ? d / exact_powers[static_cast<std::size_t>(-exponent)]
                                          : d * exact_powers[static_cast<std::size_t>(exponent)];
            out = negative ? -v : v;
            return true;
        }
        double v = 0;
        const auto [ptr, ec] = std::from_chars(start, p, v);
        if (ec == std::errc::result_out_of_range || (ec == std::errc{} && std::isinf(v))) {
            // The value's decimal exponent says which way it left the range.
            if (exponent + significant - 1 < 0) {
                out = negative ? -0.0 : 0.0;
                return true;
            }
            return fail(path, "number beyond the double range");
        }
        if (ec != std::errc{} || ptr != p) {
            return fail(path, "expected a number or null");
        }
        out = v;
        return true;
    }

    bool integer(Value, const Path& path, std::int64_t& out) {
        const char* start = integer_text(path);
        if (start == nullptr) {
            return false;
        }
        return std::from_chars(start, p, out).ec == std::errc{} || fail(path, "integer beyond the signed 64-bit range");
    }

    bool integer(Value, const Path& path, std::uint64_t& out) {
        const char* start = integer_text(path);
        if (start == nullptr) {
            return false;
        }
        if (*start == '-') {
            // -0 is zero; anything else below it is out of range.
            out = 0;
            return (p - start == 2 && start[1] == '0') || fail(path, "integer beyond the unsigned 64-bit range");
        }
        return std::from_chars(start, p, out).ec == std::errc{} ||
               fail(path, "integer beyond the unsigned 64-bit range");
    }

    bool boolean(Value, const Path& path, bool& out) {
        skip();
        mark = p;
        if (literal("true")) {
            out = true;
            return true;
        }
        if (literal("false")) {
            out = false;
            return true;
        }
        return fail(path, "expected true or false");
    }

    bool string(Value, const Path& path, std::string& out) {
        std::string_view s;
        if (!name(Value{}, path, s)) {
            return false;
        }
        out.assign(s);
        return true;
    }

    bool name(Value, const Path& path, std::string_view& out) {
        skip();
        mark = p;
        return at('"') ? text(path, out) : fail(path, "expected a string");
    }

private:
    const char* begin;
    const char* p;
    const char* end;
    const char* mark;
    std::string scratch;  // a string with escapes, unescaped

    bool at(char c) const noexcept { return p != end && *p == c; }
    bool at_digit() const noexcept { return p != end && static_cast<unsigned>(*p - '0') < 10; }

    void skip() noexcept {
        while (p != end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) {
            ++p;
        }
    }

    bool literal(std::string_view word) noexcept {
        if (static_cast<std::size_t>(end - p) < word.size() || std::memcmp(p, word.data(), word.size()) != 0) {
            return false;
        }
        p += word.size();
        return true;
    }

    // The text of an integer, JSON's form: no fraction, no exponent, no leading zero.
    const char* integer_text(const Path& path) {
        skip();
        mark = p;
        const char* start = p;
        p += at('-');
        if (!at_digit()) {
            fail(path, "expected an integer");
            return nullptr;
        }
        if (*p == '0') {
            ++p;
        } else {
            while (at_digit()) {
                ++p;
            }
        }
        if (at_digit() || at('.') || at('e') || at('E')) {
            fail(path, at_digit() ? "an integer may not start with 0"
                                  : "expected an integer, written without fraction or exponent");
            return nullptr;
        }
        return start;
    }

    // A string at p (on its opening quote): a view of the input when it holds no escape,
    // else of `scratch`.
    bool text(const Path& path, std::string_view& out) {
        const char* run = ++p;
        bool escaped = false;
        while (true) {
            while (p != end && plain_table[static_cast<unsigned char>(*p)]) {
                ++p;
            }
            if (p == end) {
                return fail(path, "unterminated string");
            }
            const auto c = static_cast<unsigned char>(*p);
            if (c == '"') {
                if (escaped) {
                    scratch.append(run, p);
                    out = scratch;
                } else {
                    out = std::string_view(run, static_cast<std::size_t>(p - run));
                }
                ++p;
                return true;
            }
            if (c == '\\') {
                if (!escaped) {
                    scratch.clear();
                    escaped = true;
                }
                scratch.append(run, p);
                if (!unescape(path)) {
                    return false;
                }
                run = p;
            } else if (c < 0x20) {
                mark = p;
                return fail(path, "raw control character in a string");
            } else if (!utf8_sequence()) {
                mark = p;
                return fail(path, "invalid UTF-8 in a string");
            }
        }
    }

    // One UTF-8 sequence of two to four bytes at p, RFC 3629's (no overlong form, no
    // surrogate, nothing past U+10FFFF); p moves past it when it is valid.
    bool utf8_sequence() noexcept {
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

    bool hex4(unsigned& unit) noexcept {
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

    // An escape at p (on its backslash), appended to `scratch` as UTF-8.
    bool unescape(const Path& path) {
        mark = p;
        ++p;
        if (p == end) {
            return fail(path, "unterminated string");
        }
        const char c = *p++;
        switch (c) {
            case '"': case '\\': case '/': scratch += c; return true;
            case 'b': scratch += '\b'; return true;
            case 'f': scratch += '\f'; return true;
            case 'n': scratch += '\n'; return true;
            case 'r': scratch += '\r'; return true;
            case 't': scratch += '\t'; return true;
            case 'u': break;
            default: return fail(path, "invalid escape in a string");
        }
        unsigned unit;
        if (!hex4(unit)) {
            return fail(path, "expected four hexadecimal digits after \\u");
        }
        char32_t code = unit;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return fail(path, "lone surrogate escape in a string");
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned low;
            if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                return fail(path, "lone surrogate escape in a string");
            }
            code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
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
        scratch.append(utf8, n);
        return true;
    }
};

}  // namespace

std::string describe(const ReadError& error) {
    return error.what + " at " + error.path + ", byte " + std::to_string(error.offset);
}

std::expected<Record, ReadError> from_jsonl(std::string_view line) {
    TextInput in(line);
    Record record;
    if (!reading::RecordReader<TextInput>(in).record({}, record) || !in.finish(Path{})) {
        return std::unexpected(std::move(in.error));
    }
    return record;
}

}  // namespace halberin::spatial
