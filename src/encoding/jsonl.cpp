#include "spatial/jsonl.hpp"

#include "json_text.hpp"
#include "record_layout.hpp"

namespace halberin::spatial {

namespace {

using namespace json;

template <class P>
constexpr P put_frame(P p, const SpatialIntentFrame& f) noexcept {
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
    p = put_name(p, f.head_tracking);
    p = put_char(p, '"');
    if (f.pointing) {
        p = put_raw(p, layout::pointing);
        p = put_name(p, f.pointing->source);
        p = put_raw(p, layout::confidence);
        p = put_name(p, f.pointing->confidence);
        p = put_raw(p, layout::pointing_origin);
        p = put_vec3(p, f.pointing->ray.origin);
        p = put_raw(p, layout::direction);
        p = put_vec3(p, f.pointing->ray.direction);
        p = put_char(p, '}');
    }
    if (f.primary_select) {
        p = put_raw(p, layout::primary_select);
        p = put_bool(p, f.primary_select->pressed);
        p = put_raw(p, layout::changed);
        p = put_bool(p, f.primary_select->changed);
        p = put_raw(p, layout::last_change);
        p = put_int(p, f.primary_select->last_change_time_ns);
        p = put_char(p, '}');
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
        p = put_char(p, '}');
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
            p = put_char(p, ',');
        }
        first = false;
        p = put_string(p, name);
    }
    return put_raw(p, layout::frame_close);
}

template <class P>
constexpr P put_event(P p, const ContextualIntentEvent& event) noexcept {
    p = put_raw(p, layout::event_open);
    p = put_int(p, event.timestamp_ns);
    p = put_raw(p, layout::text);
    p = put_string(p, event.text);
    p = put_raw(p, layout::spatial_age);
    p = put_int(p, event.spatial_age_ns);
    p = put_raw(p, layout::spatial_context);
    p = put_frame(p, event.spatial_context);
    return put_char(p, '}');
}

// The line is written straight into the string's storage, sized once to a bound that
// no record of these values can exceed, then cut to what was written.
template <class Record, class Put>
void encode(std::string& out, const Record& record, std::size_t bound, Put put) {
    out.resize_and_overwrite(bound, [&](char* data, std::size_t) noexcept {
        return static_cast<std::size_t>(put(data, record) - data);
    });
}

// The storage a line needs, from the writer itself: run on a Measure, it adds the most
// characters each member can take (strings by their length, everything else by a
// constant the compiler folds), and a number may scribble up to max_double_chars past
// its start. No estimate by hand stands between a record and its storage.
std::size_t bound(const SpatialIntentFrame& frame) noexcept { return put_frame(Measure{}, frame).n + max_double_chars; }

std::size_t bound(const ContextualIntentEvent& event) noexcept {
    return put_event(Measure{}, event).n + max_double_chars;
}

}  // namespace

void write_jsonl(const SpatialIntentFrame& frame, std::string& out) {
    encode(out, frame, bound(frame), put_frame<char*>);
}

void write_jsonl(const ContextualIntentEvent& event, std::string& out) {
    encode(out, event, bound(event), put_event<char*>);
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
