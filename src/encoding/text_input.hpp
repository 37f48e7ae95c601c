// Record text as the source of values that the record walk reads: JSON's tokens over
// the input in place, with the byte where each refused one starts.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "record_reader.hpp"
#include "spatial/jsonl.hpp"
#include "text_scan.hpp"

namespace halberin::spatial::reading {

// Internal to each file that reads text, as text_scan.hpp is.
namespace {

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

    [[gnu::cold]] bool fail(const Path& path, std::string what) { return fail_at(where(), path, std::move(what)); }

    [[gnu::cold]] bool fail_at(std::size_t offset, const Path& path, std::string what) {
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

    template <class Names, class Member>
    bool object(Value, const Path& path, const Names& members, Member&& member) {
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
        std::size_t hint = 0;
        while (true) {
            skip();
            mark = p;
            if (!at('"')) {
                return fail(path, "expected a member name");
            }
            // The name expected next, written as it is, is taken without a scan.
            std::string_view key = hint < members.names.size() ? members.names[hint] : std::string_view();
            int i = -1;
            if (!key.empty() && static_cast<std::size_t>(end - p) > key.size() + 1 && p[key.size() + 1] == '"' &&
                same_bytes(p + 1, key)) {
                p += key.size() + 2;
                i = static_cast<int>(hint);
            } else {
                if (!text(path, key)) {
                    return false;
                }
                i = members.find(key, hint);
            }
            hint = static_cast<std::size_t>(i) + 1;
            const char* key_at = mark;
            skip();
            if (!at(':')) {
                mark = p;
                return fail(path, "expected ':' after a member name");
            }
            ++p;
            mark = key_at;
            bool more = false;
            if (!member(i, key, Value{}) || !separator(path, '}', more)) {
                return false;
            }
            if (!more) {
                return true;
            }
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
            bool more = false;
            if (!element(i, Value{}) || !separator(path, ']', more)) {
                return false;
            }
            if (!more) {
                return true;
            }
        }
    }

    // What follows a member or an element: a comma (`more`) or the closing `close`.
    bool separator(const Path& path, char close, bool& more) {
        if (p != end && *p == ',') {  // compact text: no whitespace to skip
            ++p;
            more = true;
            return true;
        }
        skip();
        mark = p;
        more = at(',');
        if (more || at(close)) {
            ++p;
            return true;
        }
        return fail(path, close == '}' ? "expected ',' or '}'" : "expected ',' or ']'");
    }

    bool numbers(Value, const Path& path, std::span<double> out) {
        skip();
        mark = p;
        if (!at('[')) {
            return fail(path, "expected an array");
        }
        ++p;
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (i > 0 && !(p != end && *p == ',' && ++p)) {
                skip();
                mark = p;
                if (!at(',')) {
                    return fail(path, at(']') ? reading::expected_numbers(out.size()) : "expected ',' or ']'");
                }
                ++p;
            }
            if (i == 0) {
                skip();
                if (at(']')) {
                    mark = p;
                    return fail(path, reading::expected_numbers(out.size()));
                }
            }
            if (!number(Value{}, Path{&path, {}, i}, out[i])) {
                return false;
            }
        }
        if (p != end && *p == ']') {
            ++p;
            return true;
        }
        skip();
        mark = p;
        if (at(']')) {
            ++p;
            return true;
        }
        return fail(path, at(',') ? reading::expected_numbers(out.size()) : "expected ',' or ']'");
    }

    bool number(Value, const Path& path, double& out) {
        skip();
        mark = p;
        if (at('n')) {
            return literal("null") ? (out = std::numeric_limits<double>::quiet_NaN(), true)
                                   : fail(path, "expected a number or null");
        }
        if (const scan::Refusal refused = scan::number(p, end, out); refused.what != nullptr) {
            mark = refused.at != nullptr ? refused.at : mark;
            return fail(path, refused.what);
        }
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

protected:
    const char* begin;
    const char* p;
    const char* end;
    const char* mark;
    std::string scratch;  // a string with escapes, unescaped

    bool at(char c) const noexcept { return p != end && *p == c; }
    bool at_digit() const noexcept { return scan::digit_at(p, end); }

    void skip() noexcept {
        // Every token starts above the space character: one compare in compact text.
        while (p != end && static_cast<unsigned char>(*p) <= ' ' &&
               (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) {
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
            scan::skip_plain(p, end);
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
            } else if (!scan::utf8_sequence(p, end)) {
                mark = p;
                return fail(path, "invalid UTF-8 in a string");
            }
        }
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
        if (!scan::hex4(p, end, unit)) {
            return fail(path, "expected four hexadecimal digits after \\u");
        }
        char32_t code = unit;
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return fail(path, "lone surrogate escape in a string");
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned low;
            if (!literal("\\u") || !scan::hex4(p, end, low) || low < 0xDC00 || low > 0xDFFF) {
                return fail(path, "lone surrogate escape in a string");
            }
            code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        scan::append_utf8(scratch, code);
        return true;
    }
};

}  // namespace

}  // namespace halberin::spatial::reading
