// Record text read back: a reader for exactly the two records, over the input in place.
#include <array>
#include <span>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "json_text.hpp"
#include "record_layout.hpp"
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

std::string expected_numbers(std::size_t n) { return "expected an array of " + std::to_string(n) + " numbers"; }

std::string_view shortened(std::string_view text) noexcept {
    if (text.size() <= longest_named) {
        return text;
    }
    // Cut where a character starts, so that a message stays UTF-8.
    std::size_t at = longest_named;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
        --at;
    }
    return text.substr(0, at);
}

std::string quoted(std::string_view text) {
    const bool cut = text.size() > longest_named;
    text = shortened(text);
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
using reading::same_bytes;

// Bytes that may stand in a string as they are: printable ASCII but '"' and '\\'.
constexpr std::array<bool, 256> plain_table = [] {
    std::array<bool, 256> t{};
    for (std::size_t c = 0x20; c < 0x80; ++c) {
        t[c] = c != '"' && c != '\\';
    }
    return t;
}();

constexpr std::array<std::uint64_t, 9> pow10_u64{1, 10, 100, 1'000, 10'000, 100'000, 1'000'000, 10'000'000,
                                                 100'000'000};

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
        const char* const start = p;
        const bool negative = at('-');
        p += negative;
        if (!at_digit()) {
            return fail(path, "expected a number or null");
        }
        // The digits as one integer, scaled by 10^exponent; exact while there are at
        // most 19 of them.
        const char* const digits_start = p;
        std::uint64_t digits = 0;
        if (*p == '0') {
            ++p;
            if (at_digit()) {
                return fail(path, "a number may not start with 0");
            }
        } else {
            take_digits(digits);
        }
        const char* const point = p;
        long exponent = 0;
        if (at('.')) {
            ++p;
            if (!at_digit()) {
                mark = p;
                return fail(path, "expected a digit after the decimal point");
            }
            take_digits(digits);
            exponent = point + 1 - p;
        }
        const char* const digits_end = p;
        if (p != end && (*p | 0x20) == 'e') {
            ++p;
            const bool down = at('-');
            p += down || at('+');
            if (!at_digit()) {
                mark = p;
                return fail(path, "expected a digit in the exponent");
            }
            // Saturates far beyond anything the digits could offset (they are at most
            // the input's length), so the range decision below stays exact.
            constexpr long saturated = 100'000'000'000'000'000;
            long e = 0;
            do {
                e = e < saturated ? e * 10 + (*p - '0') : e;
                ++p;
            } while (at_digit());
            exponent += down ? -e : e;
        }
        const long count = (digits_end - digits_start) - (point != digits_end);
        if (count <= 19) {
            if (digits == 0) {
                out = negative ? -0.0 : 0.0;
                return true;
            }
            // Exact operands give one correctly rounded operation.
            if (digits <= (std::uint64_t{1} << 53) && exponent >= -22 && exponent <= 22) {
                const double d = static_cast<double>(static_cast<std::int64_t>(digits));
                const double v = exponent < 0 ? d / exact_powers[static_cast<std::size_t>(-exponent)]
                                              : d * exact_powers[static_cast<std::size_t>(exponent)];
                out = negative ? -v : v;
                return true;
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
                return true;
            }
            const long fraction_digits = point == digits_end ? 0 : digits_end - point - 1;
            const long place = (lead < point ? point - lead - 1 : point - lead) + exponent + fraction_digits;
            if (place < 0) {
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

    // The layout to_jsonl writes, read straight through: its fixed text compared in
    // place, its values read as the walk reads them. Another layout (members in another
    // order, whitespace, escapes in a name) or a refused value returns false.
    bool canonical(ContextualIntentEvent& e) {
        return lit(layout::event_open) && integer({}, root, e.timestamp_ns) && lit(layout::text) &&
               string({}, root, e.text) && !e.text.empty() && lit(layout::spatial_age) &&
               integer({}, root, e.spatial_age_ns) && lit(layout::spatial_context) && lit(layout::frame_open) &&
               canonical_frame(e.spatial_context) && lit("}") && at_end() &&
               context_age(e.spatial_context.timestamp_ns, e.timestamp_ns) == e.spatial_age_ns;
    }

    bool canonical(SpatialIntentFrame& f) {
        return lit(layout::frame_open) && canonical_frame(f) && at_end();
    }

    void restart() noexcept {
        p = mark = begin;
    }

private:
    const char* begin;
    const char* p;
    const char* end;
    const char* mark;
    std::string scratch;  // a string with escapes, unescaped

    static constexpr Path root{};

    bool lit(std::string_view text) noexcept {
        if (static_cast<std::size_t>(end - p) < text.size() || !same_bytes(p, text)) {
            return false;
        }
        p += text.size();
        return true;
    }

    bool at_end() noexcept {
        skip();
        return p == end;
    }

    template <class Enum, std::size_t N>
    bool name_of(const std::array<std::string_view, N>& names, Enum& out) noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            const std::string_view name = names[i];
            if (static_cast<std::size_t>(end - p) > name.size() && p[name.size()] == '"' && same_bytes(p, name)) {
                p += name.size();
                out = static_cast<Enum>(i);
                return true;
            }
        }
        return false;
    }

    bool vec3(Vec3& v) {
        std::array<double, 3> a;
        if (!numbers({}, root, a)) {
            return false;
        }
        v = {a[0], a[1], a[2]};
        return true;
    }

    bool pose(Pose& pose) {
        std::array<double, 4> q;
        if (!(lit(layout::pose_open) && vec3(pose.position) && lit(layout::orientation) && numbers({}, root, q) &&
              lit("}"))) {
            return false;
        }
        pose.orientation = {q[0], q[1], q[2], q[3]};
        return true;
    }

    bool canonical_frame(SpatialIntentFrame& f) {
        using reading::confidence_names;
        auto& rs = f.reference_space;
        if (!(integer({}, root, f.timestamp_ns) && lit(layout::timestamp_domain) &&
              string({}, root, f.timestamp_domain) && lit(layout::reference_space) && string({}, root, rs.type) &&
              lit(layout::space_id) && string({}, root, rs.id) && lit(layout::generation) &&
              integer({}, root, rs.generation) && lit(layout::head) && pose(f.head_pose) &&
              lit(layout::head_tracking) && name_of(confidence_names, f.head_tracking) && lit("\""))) {
            return false;
        }
        if (lit(layout::pointing)) {
            auto& pi = f.pointing.emplace();
            if (!(name_of(reading::source_names, pi.source) && lit(layout::confidence) &&
                  name_of(confidence_names, pi.confidence) && lit(layout::pointing_origin) && vec3(pi.ray.origin) &&
                  lit(layout::direction) && vec3(pi.ray.direction) && lit("}"))) {
                return false;
            }
        }
        if (lit(layout::primary_select)) {
            auto& sel = f.primary_select.emplace();
            if (!(boolean({}, root, sel.pressed) && lit(layout::changed) && boolean({}, root, sel.changed) &&
                  lit(layout::last_change) && integer({}, root, sel.last_change_time_ns) && lit("}"))) {
                return false;
            }
        }
        if ((lit(layout::left_hand) && !pose(f.left_hand_pose.emplace())) ||
            (lit(layout::right_hand) && !pose(f.right_hand_pose.emplace()))) {
            return false;
        }
        if (lit(layout::gaze)) {
            auto& ray = f.gaze_ray.emplace();
            if (!(lit(layout::ray_open) && vec3(ray.origin) && lit(layout::direction) && vec3(ray.direction) &&
                  lit("}"))) {
                return false;
            }
        }
        if (lit(layout::target)) {
            auto& t = f.target.emplace();
            if (!(vec3(t.position) && lit(layout::normal) && vec3(t.normal) &&
                  (!lit(layout::host_id) || string({}, root, t.host_id.emplace())) && lit("}"))) {
                return false;
            }
        }
        auto& c = f.capabilities;
        if (!(lit(layout::capabilities) && boolean({}, root, c.head_pose) && lit(layout::action_input) &&
              boolean({}, root, c.action_input) && lit(layout::hand_tracking) && boolean({}, root, c.hand_tracking) &&
              lit(layout::hand_interaction) && boolean({}, root, c.hand_interaction) && lit(layout::eye_gaze) &&
              boolean({}, root, c.eye_gaze) && lit(layout::extensions))) {
            return false;
        }
        if (p != end && *p != ']') {
            c.enabled_extensions.reserve(4);  // one allocation for the usual few
            do {
                if (!string({}, root, c.enabled_extensions.emplace_back())) {
                    return false;
                }
            } while (lit(","));
        }
        return lit(layout::frame_close);
    }

    bool at(char c) const noexcept { return p != end && *p == c; }
    bool at_digit() const noexcept { return p != end && static_cast<unsigned>(*p - '0') < 10; }

    void skip() noexcept {
        // Every token starts above the space character: one compare in compact text.
        while (p != end && static_cast<unsigned char>(*p) <= ' ' &&
               (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) {
            ++p;
        }
    }

    // Appends the run of digits at p to `digits`, eight at a time where eight bytes
    // remain; at most 19 digits fit, and the caller counts them.
    void take_digits(std::uint64_t& digits) noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            while (end - p >= 8) {
                std::uint64_t w;
                std::memcpy(&w, p, 8);
                const std::uint64_t x = w - 0x3030303030303030;
                // The high bit of each byte that is not a digit; carries and borrows can
                // set bits only above such a byte.
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
        while (at_digit()) {
            digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
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

    // Moves p over plain string bytes eight at a time, stopping at or before the first
    // byte that is a quote, a backslash, a control character or not ASCII.
    void skip_plain() noexcept {
        if constexpr (std::endian::native == std::endian::little) {
            constexpr std::uint64_t ones = 0x0101010101010101;
            constexpr std::uint64_t highs = 0x8080808080808080;
            while (end - p >= 8) {
                std::uint64_t w;
                std::memcpy(&w, p, 8);
                // A flag in the high bit of each byte that stops the scan; borrows can
                // set flags only above a byte that is itself flagged.
                const std::uint64_t quote = w ^ ('"' * ones);
                const std::uint64_t backslash = w ^ ('\\' * ones);
                const std::uint64_t stop = (w | ((w - 0x20 * ones) & ~w) | ((quote - ones) & ~quote) |
                                            ((backslash - ones) & ~backslash)) &
                                           highs;
                if (stop != 0) {
                    p += std::countr_zero(stop) / 8;
                    return;
                }
                p += 8;
            }
        }
    }

    // A string at p (on its opening quote): a view of the input when it holds no escape,
    // else of `scratch`.
    bool text(const Path& path, std::string_view& out) {
        const char* run = ++p;
        bool escaped = false;
        while (true) {
            skip_plain();
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

namespace reading {

bool read_laid_out(std::string_view line, SpatialIntentFrame& out) { return TextInput(line).canonical(out); }

bool read_laid_out(std::string_view line, ContextualIntentEvent& out) { return TextInput(line).canonical(out); }

}  // namespace reading

std::expected<Record, ReadError> from_jsonl(std::string_view line) {
    std::expected<Record, ReadError> result;
    if (reading::laid_out_event(line)) {
        if (reading::read_laid_out(line, result->emplace<ContextualIntentEvent>())) {
            return result;
        }
    } else if (reading::read_laid_out(line, std::get<SpatialIntentFrame>(*result))) {
        return result;
    }
    *result = Record{};
    TextInput in(line);
    if (!reading::RecordReader<TextInput>(in).record({}, *result) || !in.finish(Path{})) {
        result = std::unexpected(std::move(in.error));
    }
    return result;
}

}  // namespace halberin::spatial
