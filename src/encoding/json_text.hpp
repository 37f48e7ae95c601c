// Lexical pieces shared by the record encoders: numbers, strings, names, vectors, poses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "spatial/geometry.hpp"
#include "record_layout.hpp"
#include "spatial/records.hpp"

namespace halberin::spatial::json {

// Room format_double needs at `out`: its longest text is 16 characters
// ("-2.22507386e-308"), and its fixed-size stores may reach a little past the text.
inline constexpr std::size_t max_double_chars = 24;

// Writes `value` as printf's "%.9g" does in the C locale, or "null" when it is not
// finite; returns the length of the text. `out` has room for max_double_chars.
std::size_t format_double(char* out, double value) noexcept;

// Writers into a buffer that the caller has sized (see the bounds below); each returns
// the end of what it wrote. A number may scribble up to max_double_chars past its
// start, so a buffer ends at least that far after the last number's first character.
inline char* put_raw(char* p, std::string_view text) noexcept {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}
char* put_double(char* p, double value) noexcept;
char* put_int(char* p, std::int64_t value) noexcept;    // at most 20 characters
char* put_uint(char* p, std::uint64_t value) noexcept;  // at most 20 characters
char* put_bool(char* p, bool value) noexcept;
char* put_string(char* p, std::string_view bytes) noexcept;
char* put_vec3(char* p, const Vec3& v) noexcept;
char* put_quaternion(char* p, const Quaternion& q) noexcept;
char* put_pose(char* p, const Pose& pose) noexcept;
char* put_ray(char* p, const Ray& ray) noexcept;

inline char* put_char(char* p, char c) noexcept {
    *p = c;
    return p + 1;
}

// Longest quoted and escaped form of `size` bytes: every byte a six-character escape.
constexpr std::size_t string_bound(std::size_t size) noexcept { return 6 * size + 2; }

// The enumerations' names, by value; a value outside them is written as the first
// (confidence) or the last (source) name.
inline constexpr std::array<std::string_view, 3> tracking_confidence_names{"unavailable", "orientation_only",
                                                                           "position_and_orientation"};
inline constexpr std::array<std::string_view, 4> pointing_source_names{"controller", "hand", "eye_gaze", "head"};

constexpr std::string_view tracking_confidence_name(TrackingConfidence value) noexcept {
    const auto i = static_cast<std::uint32_t>(value);
    return i < tracking_confidence_names.size() ? tracking_confidence_names[i] : tracking_confidence_names[0];
}

constexpr std::string_view pointing_source_name(PointingSource value) noexcept {
    const auto i = static_cast<std::uint32_t>(value);
    return i < pointing_source_names.size() ? pointing_source_names[i] : pointing_source_names.back();
}

inline char* put_name(char* p, TrackingConfidence value) noexcept { return put_raw(p, tracking_confidence_name(value)); }
inline char* put_name(char* p, PointingSource value) noexcept { return put_raw(p, pointing_source_name(value)); }

struct Measure {
    std::size_t n = 0;
};

constexpr Measure close_list(Measure m) noexcept { return m; }

constexpr char* close_list(char* p) noexcept {
    p[-1] = ']';  // in place of the comma after the last element
    return p;
}

// The array, vector, quaternion, pose and ray forms, for either kind of output.
template <class P>
constexpr P numbers_text(P p, std::initializer_list<double> values) noexcept {
    p = put_char(p, '[');
    for (const double v : values) {
        p = put_double(p, v);
        p = put_char(p, ',');
    }
    return close_list(p);
}

template <class P>
constexpr P vec3_text(P p, const Vec3& v) noexcept {
    return numbers_text(p, {v.x, v.y, v.z});
}

template <class P>
constexpr P quaternion_text(P p, const Quaternion& q) noexcept {
    return numbers_text(p, {q.x, q.y, q.z, q.w});
}

template <class P>
constexpr P pose_text(P p, const Pose& pose) noexcept {
    p = put_raw(p, layout::pose_open);
    p = put_vec3(p, pose.position);
    p = put_raw(p, layout::orientation);
    p = put_quaternion(p, pose.orientation);
    return put_char(p, '}');
}

template <class P>
constexpr P ray_text(P p, const Ray& ray) noexcept {
    p = put_raw(p, layout::ray_open);
    p = put_vec3(p, ray.origin);
    p = put_raw(p, layout::direction);
    p = put_vec3(p, ray.direction);
    return put_char(p, '}');
}

// The writers in measuring form: each adds the most characters its value can take
// instead of writing it. A record writer that is a template over its output gives, run
// on a Measure, the bound of its own line, from the very code that writes it.

// The longest text format_double writes ("-2.22507386e-308"), and the longest integer.
inline constexpr std::size_t longest_double = 16;
inline constexpr std::size_t longest_integer = 20;

template <std::size_t N>
constexpr std::size_t longest(const std::array<std::string_view, N>& names) noexcept {
    std::size_t n = 0;
    for (const auto name : names) {
        n = name.size() > n ? name.size() : n;
    }
    return n;
}

constexpr Measure put_raw(Measure m, std::string_view text) noexcept { return {m.n + text.size()}; }
constexpr Measure put_char(Measure m, char) noexcept { return {m.n + 1}; }
constexpr Measure put_double(Measure m, double) noexcept { return {m.n + longest_double}; }
constexpr Measure put_int(Measure m, std::int64_t) noexcept { return {m.n + longest_integer}; }
constexpr Measure put_uint(Measure m, std::uint64_t) noexcept { return {m.n + longest_integer}; }
constexpr Measure put_bool(Measure m, bool) noexcept { return {m.n + 5}; }
constexpr Measure put_string(Measure m, std::string_view bytes) noexcept { return {m.n + string_bound(bytes.size())}; }
constexpr Measure put_name(Measure m, TrackingConfidence) noexcept { return {m.n + longest(tracking_confidence_names)}; }
constexpr Measure put_name(Measure m, PointingSource) noexcept { return {m.n + longest(pointing_source_names)}; }
constexpr Measure put_vec3(Measure m, const Vec3& v) noexcept { return vec3_text(m, v); }
constexpr Measure put_quaternion(Measure m, const Quaternion& q) noexcept { return quaternion_text(m, q); }
constexpr Measure put_pose(Measure m, const Pose& pose) noexcept { return pose_text(m, pose); }
constexpr Measure put_ray(Measure m, const Ray& ray) noexcept { return ray_text(m, ray); }

}  // namespace halberin::spatial::json
