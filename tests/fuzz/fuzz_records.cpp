// Arbitrary bytes become a frame and an event (every optional present or absent,
// strings of any bytes, doubles of any bit pattern, enumerations of any value); each
// line must be one clean line and, when the strings are valid UTF-8, strict JSON that
// carries exactly the inputs.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "json_text.hpp"
#include "spatial/jsonl.hpp"

using namespace halberin::spatial;
using Json = nlohmann::json;

namespace {

[[noreturn]] void fail(const char* what, const std::string& line) {
    std::fprintf(stderr, "%s\n%s\n", what, line.c_str());
    std::abort();
}

void require(bool ok, const char* what, const std::string& line) {
    if (!ok) {
        fail(what, line);
    }
}

// RFC 3629: no overlong forms, no surrogates, nothing past U+10FFFF.
bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        unsigned lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (s.size() - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xBF)) {
                return false;
            }
        }
        i += extra + 1;
    }
    return true;
}

struct Source {
    FuzzedDataProvider& in;
    bool all_utf8 = true;

    double bits() {
        std::uint64_t b = in.ConsumeIntegral<std::uint64_t>();
        double d;
        std::memcpy(&d, &b, sizeof d);
        return d;
    }
    std::string text() {
        std::string s = in.ConsumeRandomLengthString(64);
        all_utf8 = all_utf8 && valid_utf8(s);
        return s;
    }
    Vec3 vec3() { return {bits(), bits(), bits()}; }
    Pose pose() { return {vec3(), {bits(), bits(), bits(), bits()}}; }
    Ray ray() { return {vec3(), vec3()}; }
    template <class Enum>
    Enum any_enum() { return static_cast<Enum>(in.ConsumeIntegral<std::int32_t>()); }
};

SpatialIntentFrame make_frame(Source& s) {
    SpatialIntentFrame f;
    f.timestamp_ns = s.in.ConsumeIntegral<std::int64_t>();
    f.timestamp_domain = s.text();
    f.reference_space = {s.text(), s.text(), s.in.ConsumeIntegral<std::uint64_t>()};
    f.head_pose = s.pose();
    f.head_tracking = s.any_enum<TrackingConfidence>();
    if (s.in.ConsumeBool()) {
        f.pointing = PointingIntent{s.ray(), s.any_enum<PointingSource>(), s.any_enum<TrackingConfidence>()};
    }
    if (s.in.ConsumeBool()) {
        f.primary_select = SelectState{s.in.ConsumeBool(), s.in.ConsumeBool(), s.in.ConsumeIntegral<std::int64_t>()};
    }
    if (s.in.ConsumeBool()) f.left_hand_pose = s.pose();
    if (s.in.ConsumeBool()) f.right_hand_pose = s.pose();
    if (s.in.ConsumeBool()) f.gaze_ray = s.ray();
    if (s.in.ConsumeBool()) {
        f.target = SpatialHit{s.vec3(), s.vec3(), std::nullopt};
        if (s.in.ConsumeBool()) f.target->host_id = s.text();
    }
    auto& c = f.capabilities;
    c.head_pose = s.in.ConsumeBool();
    c.action_input = s.in.ConsumeBool();
    c.hand_tracking = s.in.ConsumeBool();
    c.hand_interaction = s.in.ConsumeBool();
    c.eye_gaze = s.in.ConsumeBool();
    const auto extensions = s.in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < extensions; ++i) c.enabled_extensions.push_back(s.text());
    return f;
}

struct Checker {
    const std::string& line;

    void number(const Json& j, double v) const {
        if (!std::isfinite(v)) {
            require(j.is_null(), "non-finite number is not null", line);
            return;
        }
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.9g", v);
        require(j.is_number() && j.get<double>() == std::strtod(buf, nullptr), "number differs from %.9g", line);
    }
    void vec3(const Json& j, const Vec3& v) const {
        require(j.is_array() && j.size() == 3, "vector is not three members", line);
        number(j[0], v.x);
        number(j[1], v.y);
        number(j[2], v.z);
    }
    void pose(const Json& j, const Pose& p) const {
        require(j.size() == 2, "pose members", line);
        vec3(j.at("position"), p.position);
        const Json& q = j.at("orientation");
        require(q.is_array() && q.size() == 4, "quaternion is not four members", line);
        number(q[0], p.orientation.x);
        number(q[1], p.orientation.y);
        number(q[2], p.orientation.z);
        number(q[3], p.orientation.w);
    }
    void ray(const Json& j, const Ray& r) const {
        vec3(j.at("origin"), r.origin);
        vec3(j.at("direction"), r.direction);
    }
    void text(const Json& j, const std::string& s) const {
        require(j.is_string() && j.get<std::string>() == s, "string differs from input", line);
    }
    void name(const Json& j, std::string_view expected) const {
        require(j.is_string() && j.get<std::string>() == expected, "enumeration name differs", line);
    }

    void frame(const Json& j, const SpatialIntentFrame& f) const {
        require(j.at("schema") == "halberin.spatial-intent" && j.at("version") == 1, "frame header", line);
        require(j.at("timestamp_ns").get<std::int64_t>() == f.timestamp_ns, "timestamp", line);
        text(j.at("timestamp_domain"), f.timestamp_domain);
        text(j.at("reference_space").at("type"), f.reference_space.type);
        text(j.at("reference_space").at("id"), f.reference_space.id);
        require(j.at("reference_space").at("generation").get<std::uint64_t>() == f.reference_space.generation,
                "generation", line);
        pose(j.at("head"), f.head_pose);
        name(j.at("head_tracking"), json::tracking_confidence_name(f.head_tracking));
        std::size_t members = 8 + (f.pointing ? 1 : 0) + (f.primary_select ? 1 : 0) + (f.left_hand_pose ? 1 : 0) +
                              (f.right_hand_pose ? 1 : 0) + (f.gaze_ray ? 1 : 0) + (f.target ? 1 : 0);
        require(j.size() == members, "frame members", line);
        if (f.pointing) {
            const Json& p = j.at("pointing");
            name(p.at("source"), json::pointing_source_name(f.pointing->source));
            name(p.at("confidence"), json::tracking_confidence_name(f.pointing->confidence));
            ray(p, f.pointing->ray);
        }
        if (f.primary_select) {
            const Json& p = j.at("primary_select");
            require(p.at("pressed") == f.primary_select->pressed && p.at("changed") == f.primary_select->changed &&
                        p.at("last_change_time_ns").get<std::int64_t>() == f.primary_select->last_change_time_ns,
                    "primary_select", line);
        }
        if (f.left_hand_pose) pose(j.at("left_hand"), *f.left_hand_pose);
        if (f.right_hand_pose) pose(j.at("right_hand"), *f.right_hand_pose);
        if (f.gaze_ray) ray(j.at("gaze"), *f.gaze_ray);
        if (f.target) {
            const Json& t = j.at("target");
            vec3(t.at("position"), f.target->position);
            vec3(t.at("normal"), f.target->normal);
            require(t.contains("host_id") == f.target->host_id.has_value(), "host_id presence", line);
            if (f.target->host_id) text(t.at("host_id"), *f.target->host_id);
        }
        const Json& c = j.at("capabilities");
        const auto& caps = f.capabilities;
        require(c.at("head_pose") == caps.head_pose && c.at("action_input") == caps.action_input &&
                    c.at("hand_tracking") == caps.hand_tracking && c.at("hand_interaction") == caps.hand_interaction &&
                    c.at("eye_gaze") == caps.eye_gaze,
                "capability flags", line);
        const Json& ext = c.at("enabled_extensions");
        require(ext.size() == caps.enabled_extensions.size(), "extension count", line);
        for (std::size_t i = 0; i < ext.size(); ++i) text(ext[i], caps.enabled_extensions[i]);
    }
};

void check_line(const std::string& line, std::string_view start, std::string_view end) {
    for (const char ch : line) {
        require(static_cast<unsigned char>(ch) >= 0x20, "raw control byte in the line", line);
    }
    require(line.starts_with(start) && line.ends_with(end), "line does not start or end as the record must", line);
}

Json parse(const std::string& line) {
    try {
        return Json::parse(line);
    } catch (const Json::exception& e) {
        fail(e.what(), line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    Source source{in};
    const SpatialIntentFrame frame = make_frame(source);
    const ContextualIntentEvent event{in.ConsumeIntegral<std::int64_t>(), source.text(), frame,
                                      in.ConsumeIntegral<std::int64_t>()};

    const std::string frame_line = to_jsonl(frame);
    const std::string event_line = to_jsonl(event);
    check_line(frame_line, R"({"schema":"halberin.spatial-intent","version":1,"timestamp_ns":)", "]}}");
    check_line(event_line, R"({"schema":"halberin.contextual-intent","version":1,"timestamp_ns":)", "]}}}");
    if (!source.all_utf8) {
        return 0;
    }
    const Json f = parse(frame_line);
    Checker{frame_line}.frame(f, frame);
    const Json e = parse(event_line);
    const Checker ev{event_line};
    require(e.size() == 6 && e.at("version") == 1, "event members", event_line);
    require(e.at("timestamp_ns").get<std::int64_t>() == event.timestamp_ns &&
                e.at("spatial_age_ns").get<std::int64_t>() == event.spatial_age_ns,
            "event integers", event_line);
    ev.text(e.at("text"), event.text);
    ev.frame(e.at("spatial_context"), frame);
    return 0;
}
