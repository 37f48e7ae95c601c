#include "json_text.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace halberin::spatial::json {

std::size_t format_double(char* out, double value) noexcept {
    if (!std::isfinite(value)) {
        std::memcpy(out, "null", 4);
        return 4;
    }
    const auto result = std::to_chars(out, out + max_double_chars, value, std::chars_format::general, 9);
    return static_cast<std::size_t>(result.ptr - out);
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
