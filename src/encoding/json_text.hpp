// Lexical pieces shared by the record encoders: numbers, strings, names, vectors, poses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "spatial/geometry.hpp"
#include "spatial/records.hpp"

namespace halberin::spatial::json {

// Longest text format_double writes ("-2.22507386e-308" is 16 characters).
inline constexpr std::size_t max_double_chars = 24;

// Writes `value` as printf's "%.9g" does in the C locale, or "null" when it is not
// finite; returns the number of characters written to `out`.
std::size_t format_double(char* out, double value) noexcept;

void write_double(std::string& out, double value);
void write_int(std::string& out, std::int64_t value);
void write_uint(std::string& out, std::uint64_t value);
void write_bool(std::string& out, bool value);
void write_json_string(std::string& out, std::string_view bytes);
void write_vec3(std::string& out, const Vec3& v);
void write_quaternion(std::string& out, const Quaternion& q);
void write_pose(std::string& out, const Pose& pose);
void write_ray(std::string& out, const Ray& ray);

std::string_view tracking_confidence_name(TrackingConfidence value) noexcept;
std::string_view pointing_source_name(PointingSource value) noexcept;

}  // namespace halberin::spatial::json
