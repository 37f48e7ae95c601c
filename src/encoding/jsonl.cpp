#include "spatial/jsonl.hpp"

#include "json_text.hpp"
#include "record_layout.hpp"

namespace halberin::spatial {

namespace {

using namespace json;

// Everything of a frame's line but its strings' contents, each number at its longest
// plus the room a number may scribble past its end: the longest such line is about
// 1500 characters (a test encodes it).
constexpr std::size_t frame_fixed_bound = 2048;

std::size_t frame_bound(const SpatialIntentFrame& f) noexcept {
    std::size_t bound = frame_fixed_bound + string_bound(f.timestamp_domain.size()) +
                        string_bound(f.reference_space.type.size()) + string_bound(f.reference_space.id.size());
    if (f.target && f.target->host_id) {
        bound += string_bound(f.target->host_id->size());
    }
    for (const auto& name : f.capabilities.enabled_extensions) {
        bound += string_bound(name.size()) + 1;
    }
    return bound;
}

char* put_frame(char* p, const SpatialIntentFrame& f) noexcept {
    p = put_raw(p, layout::frame_open);
    p = put_int(p, f.timestamp_ns);
    p = put_raw(p, layout::timestamp_domain);
    p = put_string(p, f.timestamp_domain);
    p = put_raw(p, layout::reference_space);
    p = put_string(p, f.reference_space.type);
    p = put_raw(p, layout::space_id);
    p = put_string(p, f.reference_space.id);
    p = put_raw(p, layout::generation);
    p = put_uint(p, f.reference_space.generation);
    p = put_raw(p, layout::head);
    p = put_pose(p, f.head_pose);
    p = put_raw(p, layout::head_tracking);
    p = put_raw(p, tracking_confidence_name(f.head_tracking));
    *p++ = '"';
    if (f.pointing) {
        p = put_raw(p, layout::pointing);
        p = put_raw(p, pointing_source_name(f.pointing->source));
        p = put_raw(p, layout::confidence);
        p = put_raw(p, tracking_confidence_name(f.pointing->confidence));
        p = put_raw(p, layout::pointing_origin);
        p = put_vec3(p, f.pointing->ray.origin);
        p = put_raw(p, layout::direction);
        p = put_vec3(p, f.pointing->ray.direction);
        *p++ = '}';
    }
    if (f.primary_select) {
        p = put_raw(p, layout::primary_select);
        p = put_bool(p, f.primary_select->pressed);
        p = put_raw(p, layout::changed);
        p = put_bool(p, f.primary_select->changed);
        p = put_raw(p, layout::last_change);
        p = put_int(p, f.primary_select->last_change_time_ns);
        *p++ = '}';
    }
    if (f.left_hand_pose) {
        p = put_raw(p, layout::left_hand);
        p = put_pose(p, *f.left_hand_pose);
    }
    if (f.right_hand_pose) {
        p = put_raw(p, layout::right_hand);
        p = put_pose(p, *f.right_hand_pose);
    }
    if (f.gaze_ray) {
        p = put_raw(p, layout::gaze);
        p = put_ray(p, *f.gaze_ray);
    }
    if (f.target) {
        p = put_raw(p, layout::target);
        p = put_vec3(p, f.target->position);
        p = put_raw(p, layout::normal);
        p = put_vec3(p, f.target->normal);
        if (f.target->host_id) {
            p = put_raw(p, layout::host_id);
            p = put_string(p, *f.target->host_id);
        }
        *p++ = '}';
    }
    const auto& caps = f.capabilities;
    p = put_raw(p, layout::capabilities);
    p = put_bool(p, caps.head_pose);
    p = put_raw(p, layout::action_input);
    p = put_bool(p, caps.action_input);
    p = put_raw(p, layout::hand_tracking);
    p = put_bool(p, caps.hand_tracking);
    p = put_raw(p, layout::hand_interaction);
    p = put_bool(p, caps.hand_interaction);
    p = put_raw(p, layout::eye_gaze);
    p = put_bool(p, caps.eye_gaze);
    p = put_raw(p, layout::extensions);
    bool first = true;
    for (const auto& name : caps.enabled_extensions) {
        if (!first) {
            *p++ = ',';
        }
        first = false;
        p = put_string(p, name);
    }
    return put_raw(p, layout::frame_close);
}

char* put_event(char* p, const ContextualIntentEvent& event) noexcept {
    p = put_raw(p, layout::event_open);
    p = put_int(p, event.timestamp_ns);
    p = put_raw(p, layout::text);
    p = put_string(p, event.text);
    p = put_raw(p, layout::spatial_age);
    p = put_int(p, event.spatial_age_ns);
    p = put_raw(p, layout::spatial_context);
    p = put_frame(p, event.spatial_context);
    *p++ = '}';
    return p;
}

// The line is written straight into the string's storage, sized once to a bound that
// no record of these values can exceed, then cut to what was written.
template <class Record, class Put>
void encode(std::string& out, const Record& record, std::size_t bound, Put put) {
    out.resize_and_overwrite(bound, [&](char* data, std::size_t) noexcept {
        return static_cast<std::size_t>(put(data, record) - data);
    });
}

std::size_t event_bound(const ContextualIntentEvent& event) noexcept {
    constexpr std::size_t event_fixed_bound = 256;
    return event_fixed_bound + string_bound(event.text.size()) + frame_bound(event.spatial_context);
}

}  // namespace

void write_jsonl(const SpatialIntentFrame& frame, std::string& out) { encode(out, frame, frame_bound(frame), put_frame); }

void write_jsonl(const ContextualIntentEvent& event, std::string& out) {
    encode(out, event, event_bound(event), put_event);
}

std::string to_jsonl(const SpatialIntentFrame& frame) {
    std::string out;
    write_jsonl(frame, out);
    return out;
}

std::string to_jsonl(const ContextualIntentEvent& event) {
    std::string out;
    write_jsonl(event, out);
    return out;
}

}  // namespace halberin::spatial
