// The members of the two records, read from any source of JSON-like values: record
// text and Python dictionaries are read by walking this one description.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <span>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "json_text.hpp"
#include "record_layout.hpp"
#include "record_members.hpp"
#include "spatial/jsonl.hpp"
#include "spatial/timeline.hpp"

namespace halberin::spatial::reading {

// Where a value sits in its record: "$", "$.head", "$.head.position[1]". Nodes live on
// the reader's stack; the text is made only for a message.
struct Path {
    const Path* parent = nullptr;
    std::string_view key;  // a member's name; empty for an array element
    std::size_t index = 0;
};

std::string format_path(const Path& path);

// The most bytes of input a message repeats.
inline constexpr std::size_t longest_named = 40;

// UTF-8 text cut to at most longest_named bytes, on a character's boundary.
std::string_view shortened(std::string_view text) noexcept;

// `text` between quotes, escaped and cut short, for naming input in a one-line message.
std::string quoted(std::string_view text);

// A line in the layout to_jsonl writes, read into `out` (which holds its defaults)
// straight through: false, with `out` to be discarded, for any other layout or any
// refusal; from_jsonl then reads the line with the general walk, which accepts the
// same records and says what was wrong.
bool read_laid_out(std::string_view line, SpatialIntentFrame& out);
bool read_laid_out(std::string_view line, ContextualIntentEvent& out);

// Which of the two to try: the records' opening text first differs in its 21st byte
// ("halberin.spatial-..." against "halberin.contextual-..."); read_laid_out checks the rest.
inline bool laid_out_event(std::string_view line) noexcept { return line.size() > 20 && line[20] == 'c'; }
static_assert(layout::event_open[20] == 'c' && layout::frame_open[20] == 's');

// "expected an array of <n> numbers"
std::string expected_numbers(std::size_t n);

using members::event_schema;
using members::frame_schema;

// Whether the bytes at `a` are `b`'s (a has room for b.size() bytes). Names are short:
// two overlapping word compares settle most of them, without a call. (Inlined with a
// short constant name, GCC warns of the word loads on branches that size rules out.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overread"
#endif
[[gnu::always_inline]] inline bool same_bytes(const char* a, std::string_view b) noexcept {
    const std::size_t n = b.size();
    const auto word = [](const char* q, std::size_t size) {
        std::uint64_t w = 0;
        std::memcpy(&w, q, size);
        return w;
    };
    if (n >= 8 && n <= 16) {
        return word(a, 8) == word(b.data(), 8) && word(a + n - 8, 8) == word(b.data() + n - 8, 8);
    }
    if (n >= 4 && n < 8) {
        return word(a, 4) == word(b.data(), 4) && word(a + n - 4, 4) == word(b.data() + n - 4, 4);
    }
    return std::memcmp(a, b.data(), n) == 0;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

inline bool same(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && same_bytes(a.data(), b);
}

// The member names of one kind of object and which of them must be present. Lookup
// tries the name after the last one found first: records written by to_jsonl come in
// table order, so a lookup is one compare.
template <std::size_t N>
struct Members {
    std::array<std::string_view, N> names;
    std::uint32_t required = (std::uint32_t{1} << N) - 1;

    int find(std::string_view key, std::size_t hint) const noexcept {
        if (hint < N && same(names[hint], key)) {
            return static_cast<int>(hint);
        }
        for (std::size_t i = 0; i < N; ++i) {
            if (same(names[i], key)) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    // The first name among `bits`.
    constexpr std::string_view first(std::uint32_t bits) const noexcept {
        return names[static_cast<std::size_t>(std::countr_zero(bits))];
    }
};

namespace key = members;
using R = key::record_key::Member;

constexpr std::uint32_t bit(int member) noexcept { return std::uint32_t{1} << member; }

inline constexpr Members<key::pose_key::count> pose_members{key::pose_key::names};
inline constexpr Members<key::ray_key::count> ray_members{key::ray_key::names};
inline constexpr Members<key::space_key::count> reference_space_members{key::space_key::names};
inline constexpr Members<key::pointing_key::count> pointing_members{key::pointing_key::names};
inline constexpr Members<key::select_key::count> select_members{key::select_key::names};
inline constexpr Members<key::target_key::count> target_members{
    key::target_key::names, bit(key::target_key::position) | bit(key::target_key::normal)};
inline constexpr Members<key::capabilities_key::count> capabilities_members{key::capabilities_key::names};

// A frame's members, then the event's own: a record's kind may be settled by any member,
// since members come in any order. The first three belong to both kinds.
inline constexpr std::uint32_t frame_required = bit(R::schema) | bit(R::version) | bit(R::timestamp_ns) |
                                                bit(R::timestamp_domain) | bit(R::reference_space) | bit(R::head) |
                                                bit(R::head_tracking) | bit(R::capabilities);
inline constexpr std::uint32_t event_required = bit(R::schema) | bit(R::version) | bit(R::timestamp_ns) |
                                                bit(R::text) | bit(R::spatial_age_ns) | bit(R::spatial_context);
inline constexpr Members<key::record_key::count> record_members{key::record_key::names, 0};
inline constexpr Members<key::frame_count> frame_members{
    [] {
        std::array<std::string_view, key::frame_count> names{};
        std::ranges::copy_n(key::record_key::names.begin(), key::frame_count, names.begin());
        return names;
    }(),
    frame_required};

// The enumerator whose name `s` is, by its index among `names`; false for no name.
template <class Enum, std::size_t N>
bool named_value(const std::array<std::string_view, N>& names, std::string_view s, Enum& out) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
        if (names[i] == s) {
            out = static_cast<Enum>(i);
            return true;
        }
    }
    return false;
}

// The walk. `In` supplies the values:
//   Value                                  a handle of one value
//   object(Value, Path, Members, f(index, key, Value))
//                                          each member in turn, with its index among the
//                                          Members (-1 if none); f returns false to stop
//   array(Value, Path, f(index, Value))    each element in turn
//   numbers(Value, Path, span<double>)     an array of exactly that many numbers
//   number(Value, Path, double&)           null reads as NaN
//   integer(Value, Path, int64_t&), integer(Value, Path, uint64_t&)
//   boolean(Value, Path, bool&), string(Value, Path, std::string&)
//   name(Value, Path, std::string_view&)   a string seen in place, until the next read
//   where()                                the current place, for fail_at
//   fail(Path, what), fail_at(where, Path, what)   record the refusal; return false
// Every refusal is recorded by `In` and ends the walk: nothing of a refused record is
// returned. Nesting is that of the records, never the input's.
template <class In>
class RecordReader {
public:
    using Value = typename In::Value;

    explicit RecordReader(In& source) noexcept : in(source) {}

    // Reads into `out`, which holds a default frame, in place: it becomes the kind of
    // record that the first member belonging to one kind says, so nothing is moved.
    bool record(Value v, Record& out) {
        enum class Kind { unknown, frame, event };
        const Path root{};
        Kind kind = Kind::unknown;
        bool by_schema = false;
        std::string_view decided_by;
        std::int64_t timestamp_ns = 0;
        std::size_t age_at = 0;
        std::uint32_t seen = 0;
        const bool ok = object(v, root, record_members, seen, [&](int i, Value value, const Path& at) {
            if (i == R::schema) {
                std::string_view s;
                if (!in.name(value, at, s)) {
                    return false;
                }
                const Kind named = s == frame_schema ? Kind::frame : s == event_schema ? Kind::event : Kind::unknown;
                if (named == Kind::unknown) {
                    return in.fail(at, "unknown schema " + quoted(s) + ", expected " + quoted(frame_schema) +
                                           " or " + quoted(event_schema));
                }
                if (kind != Kind::unknown && kind != named) {
                    return in.fail(at, "schema " + quoted(s) + " does not go with member " + quoted(decided_by));
                }
                if (kind == Kind::unknown && named == Kind::event) {
                    out.template emplace<ContextualIntentEvent>();
                }
                kind = named;
                by_schema = true;
                return true;
            }
            if (i == R::version) {
                return version(value, at);
            }
            if (i == R::timestamp_ns) {
                return in.integer(value, at, timestamp_ns);
            }
            const Kind needs = i < key::frame_count ? Kind::frame : Kind::event;
            if (kind != Kind::unknown && kind != needs) {
                const std::string name = quoted(record_members.names[static_cast<std::size_t>(i)]);
                return in.fail(root, by_schema ? "unknown member " + name + " for schema " +
                                                     quoted(kind == Kind::frame ? frame_schema : event_schema)
                                               : "member " + name + " does not go with member " + quoted(decided_by));
            }
            if (kind == Kind::unknown) {
                if (needs == Kind::event) {
                    out.template emplace<ContextualIntentEvent>();
                }
                kind = needs;
                decided_by = record_members.names[static_cast<std::size_t>(i)];
            }
            if (needs == Kind::frame) {
                return frame_member(i, value, at, std::get<SpatialIntentFrame>(out));
            }
            auto& event = std::get<ContextualIntentEvent>(out);
            if (i == R::text) {
                return in.string(value, at, event.text) && (!event.text.empty() || in.fail(at, "empty text"));
            }
            if (i == R::spatial_age_ns) {
                age_at = in.where();
                return in.integer(value, at, event.spatial_age_ns);
            }
            return nested_frame(value, at, event.spatial_context);
        });
        if (!ok) {
            return false;
        }
        const std::uint32_t required =
            kind == Kind::event ? event_required : kind == Kind::frame ? frame_required : std::uint32_t{1};
        if (const std::uint32_t missing = required & ~seen) {
            return in.fail(root, "missing member " + quoted(record_members.first(missing)));
        }
        if (kind == Kind::frame) {
            std::get<SpatialIntentFrame>(out).timestamp_ns = timestamp_ns;
            return true;
        }
        // An event is what the timeline makes: its age is its time minus its frame's.
        auto& event = std::get<ContextualIntentEvent>(out);
        event.timestamp_ns = timestamp_ns;
        const auto age = context_age(event.spatial_context.timestamp_ns, timestamp_ns);
        if (!age || *age != event.spatial_age_ns) {
            const Path at{&root, "spatial_age_ns"};
            return in.fail_at(age_at, at,
                              age ? "spatial_age_ns is not timestamp_ns minus spatial_context.timestamp_ns (" +
                                        std::to_string(*age) + ")"
                              : event.spatial_context.timestamp_ns > timestamp_ns
                                  ? std::string("spatial_context is later than the event")
                                  : std::string("spatial_context is too far before the event for a 64-bit age"));
        }
        return true;
    }

private:
    In& in;

    template <std::size_t N, class Member>
    bool object(Value v, const Path& path, const Members<N>& members, std::uint32_t& seen, Member&& member) {
        return in.object(v, path, members, [&](int i, std::string_view key, Value value) {
            if (i < 0) {
                return in.fail(path, "unknown member " + quoted(key));
            }
            const std::uint32_t bit = std::uint32_t{1} << i;
            if (seen & bit) {
                return in.fail(path, "duplicate member " + quoted(key));
            }
            seen |= bit;
            const Path at{&path, members.names[static_cast<std::size_t>(i)]};
            return member(i, value, at);
        });
    }

    template <std::size_t N, class Member>
    bool object(Value v, const Path& path, const Members<N>& members, Member&& member) {
        std::uint32_t seen = 0;
        if (!object(v, path, members, seen, std::forward<Member>(member))) {
            return false;
        }
        if (const std::uint32_t missing = members.required & ~seen) {
            return in.fail(path, "missing member " + quoted(members.first(missing)));
        }
        return true;
    }

    template <std::size_t N>
    bool numbers(Value v, const Path& path, std::array<double, N>& out) {
        return in.numbers(v, path, std::span<double>(out));
    }

    bool vec3(Value v, const Path& path, Vec3& out) {
        std::array<double, 3> a;
        if (!numbers(v, path, a)) {
            return false;
        }
        out = {a[0], a[1], a[2]};
        return true;
    }

    bool pose(Value v, const Path& path, Pose& out) {
        return object(v, path, pose_members, [&](int i, Value value, const Path& at) {
            if (i == key::pose_key::position) {
                return vec3(value, at, out.position);
            }
            std::array<double, 4> q;
            if (!numbers(value, at, q)) {
                return false;
            }
            out.orientation = {q[0], q[1], q[2], q[3]};
            return true;
        });
    }

    bool ray(Value v, const Path& path, Ray& out) {
        return object(v, path, ray_members, [&](int i, Value value, const Path& at) {
            return vec3(value, at, i == key::ray_key::origin ? out.origin : out.direction);
        });
    }

    template <class Enum, std::size_t N>
    bool enumeration(Value v, const Path& path, const std::array<std::string_view, N>& names, Enum& out) {
        std::string_view s;
        if (!in.name(v, path, s)) {
            return false;
        }
        if (named_value(names, s, out)) {
            return true;
        }
        std::string expected;
        for (const auto name : names) {
            expected += (expected.empty() ? "" : ", ") + quoted(name);
        }
        return in.fail(path, "unknown name " + quoted(s) + ", expected one of " + expected);
    }

    bool version(Value v, const Path& path) {
        std::int64_t n = 0;
        return in.integer(v, path, n) && (n == 1 || in.fail(path, "unsupported version " + std::to_string(n) +
                                                                      ", expected 1"));
    }

    bool nested_frame(Value v, const Path& path, SpatialIntentFrame& f) {
        return object(v, path, frame_members, [&](int i, Value value, const Path& at) {
            if (i == R::schema) {
                std::string_view s;
                return in.name(value, at, s) &&
                       (s == frame_schema || in.fail(at, "schema " + quoted(s) + ", expected " + quoted(frame_schema)));
            }
            if (i == R::version) {
                return version(value, at);
            }
            if (i == R::timestamp_ns) {
                return in.integer(value, at, f.timestamp_ns);
            }
            return frame_member(i, value, at, f);
        });
    }

    bool frame_member(int i, Value v, const Path& at, SpatialIntentFrame& f) {
        using json::pointing_source_names;
        using json::tracking_confidence_names;
        switch (i) {
            case R::timestamp_domain:
                return in.string(v, at, f.timestamp_domain);
            case R::reference_space:
                return object(v, at, reference_space_members, [&](int k, Value value, const Path& p) {
                    auto& rs = f.reference_space;
                    switch (k) {
                        case key::space_key::type: return in.string(value, p, rs.type);
                        case key::space_key::id: return in.string(value, p, rs.id);
                        default: return in.integer(value, p, rs.generation);
                    }
                });
            case R::head:
                return pose(v, at, f.head_pose);
            case R::head_tracking:
                return enumeration(v, at, tracking_confidence_names, f.head_tracking);
            case R::pointing:
                return object(v, at, pointing_members, [&, &pi = f.pointing.emplace()](int k, Value value, const Path& p) {
                    switch (k) {
                        case key::pointing_key::source: return enumeration(value, p, pointing_source_names, pi.source);
                        case key::pointing_key::confidence:
                            return enumeration(value, p, tracking_confidence_names, pi.confidence);
                        case key::pointing_key::origin: return vec3(value, p, pi.ray.origin);
                        default: return vec3(value, p, pi.ray.direction);
                    }
                });
            case R::primary_select:
                return object(v, at, select_members, [&, &s = f.primary_select.emplace()](int k, Value value, const Path& p) {
                    switch (k) {
                        case key::select_key::pressed: return in.boolean(value, p, s.pressed);
                        case key::select_key::changed: return in.boolean(value, p, s.changed);
                        default: return in.integer(value, p, s.last_change_time_ns);
                    }
                });
            case R::left_hand:
                return pose(v, at, f.left_hand_pose.emplace());
            case R::right_hand:
                return pose(v, at, f.right_hand_pose.emplace());
            case R::gaze:
                return ray(v, at, f.gaze_ray.emplace());
            case R::target:
                return object(v, at, target_members, [&, &t = f.target.emplace()](int k, Value value, const Path& p) {
                    switch (k) {
                        case key::target_key::position: return vec3(value, p, t.position);
                        case key::target_key::normal: return vec3(value, p, t.normal);
                        default: return in.string(value, p, t.host_id.emplace());
                    }
                });
            default:
                return object(v, at, capabilities_members, [&](int k, Value value, const Path& p) {
                    auto& c = f.capabilities;
                    switch (k) {
                        case key::capabilities_key::head_pose: return in.boolean(value, p, c.head_pose);
                        case key::capabilities_key::action_input: return in.boolean(value, p, c.action_input);
                        case key::capabilities_key::hand_tracking: return in.boolean(value, p, c.hand_tracking);
                        case key::capabilities_key::hand_interaction: return in.boolean(value, p, c.hand_interaction);
                        case key::capabilities_key::eye_gaze: return in.boolean(value, p, c.eye_gaze);
                        default:
                            return in.array(value, p, [&](std::size_t n, Value item) {
                                return in.string(item, Path{&p, {}, n}, c.enabled_extensions.emplace_back());
                            });
                    }
                });
        }
    }
};

}  // namespace halberin::spatial::reading
