#include "spatial/jsonl.hpp"

#include "json_text.hpp"

namespace halberin::spatial {

namespace {

// A full frame with short strings fits (about 1300 bytes); longer ones grow the buffer.
constexpr std::size_t frame_reserve = 2048;

void append_frame(std::string& out, const SpatialIntentFrame& f) {
    using namespace json;
    out.append(R"({"schema":"halberin.spatial-intent","version":1,"timestamp_ns":)");
    write_int(out, f.timestamp_ns);
    out.append(R"(,"timestamp_domain":)");
    write_json_string(out, f.timestamp_domain);
    out.append(R"(,"reference_space":{"type":)");
    write_json_string(out, f.reference_space.type);
    out.append(R"(,"id":)");
    write_json_string(out, f.reference_space.id);
    out.append(R"(,"generation":)");
    write_uint(out, f.reference_space.generation);
    out.append(R"(},"head":)");
    write_pose(out, f.head_pose);
    out.append(R"(,"head_tracking":")");
    out.append(tracking_confidence_name(f.head_tracking));
    out.push_back('"');
    if (f.pointing) {
        out.append(R"(,"pointing":{"source":")");
        out.append(pointing_source_name(f.pointing->source));
        out.append(R"(","confidence":")");
        out.append(tracking_confidence_name(f.pointing->confidence));
        out.append(R"(","origin":)");
        write_vec3(out, f.pointing->ray.origin);
        out.append(R"(,"direction":)");
        write_vec3(out, f.pointing->ray.direction);
        out.push_back('}');
    }
    if (f.primary_select) {
        out.append(R"(,"primary_select":{"pressed":)");
        write_bool(out, f.primary_select->pressed);
        out.append(R"(,"changed":)");
        write_bool(out, f.primary_select->changed);
        out.append(R"(,"last_change_time_ns":)");
        write_int(out, f.primary_select->last_change_time_ns);
        out.push_back('}');
    }
    if (f.left_hand_pose) {
        out.append(R"(,"left_hand":)");
        write_pose(out, *f.left_hand_pose);
    }
    if (f.right_hand_pose) {
        out.append(R"(,"right_hand":)");
        write_pose(out, *f.right_hand_pose);
    }
    if (f.gaze_ray) {
        out.append(R"(,"gaze":)");
        write_ray(out, *f.gaze_ray);
    }
    if (f.target) {
        out.append(R"(,"target":{"position":)");
        write_vec3(out, f.target->position);
        out.append(R"(,"normal":)");
        write_vec3(out, f.target->normal);
        if (f.target->host_id) {
            out.append(R"(,"host_id":)");
            write_json_string(out, *f.target->host_id);
        }
        out.push_back('}');
    }
    const auto& caps = f.capabilities;
    out.append(R"(,"capabilities":{"head_pose":)");
    write_bool(out, caps.head_pose);
    out.append(R"(,"action_input":)");
    write_bool(out, caps.action_input);
    out.append(R"(,"hand_tracking":)");
    write_bool(out, caps.hand_tracking);
    out.append(R"(,"hand_interaction":)");
    write_bool(out, caps.hand_interaction);
    out.append(R"(,"eye_gaze":)");
    write_bool(out, caps.eye_gaze);
    out.append(R"(,"enabled_extensions":[)");
    bool first = true;
    for (const auto& name : caps.enabled_extensions) {
        if (!first) {
            out.push_back(',');
        }
        first = false;
        write_json_string(out, name);
    }
    out.append("]}}");
}

}  // namespace

std::string to_jsonl(const SpatialIntentFrame& frame) {
    std::string out;
    out.reserve(frame_reserve);
    append_frame(out, frame);
    return out;
}

std::string to_jsonl(const ContextualIntentEvent& event) {
    using namespace json;
    std::string out;
    out.reserve(frame_reserve + 128 + event.text.size());
    out.append(R"({"schema":"halberin.contextual-intent","version":1,"timestamp_ns":)");
    write_int(out, event.timestamp_ns);
    out.append(R"(,"text":)");
    write_json_string(out, event.text);
    out.append(R"(,"spatial_age_ns":)");
    write_int(out, event.spatial_age_ns);
    out.append(R"(,"spatial_context":)");
    // Appended in place: the same bytes as the frame's own line, without a temporary.
    append_frame(out, event.spatial_context);
    out.push_back('}');
    return out;
}

}  // namespace halberin::spatial
