// Lexical pieces shared by the record encoders: numbers, strings, names, vectors, poses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "spatial/geometry.hpp"
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

// Longest quoted and escaped form of `size` bytes: every byte a six-character escape.
constexpr std::size_t string_bound(std::size_t size) noexcept { return 6 * size + 2; }

std::string_view tracking_confidence_name(TrackingConfidence value) noexcept;
std::string_view pointing_source_name(PointingSource value) noexcept;

}  // namespace halberin::spatial::json
