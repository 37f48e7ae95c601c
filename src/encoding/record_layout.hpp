// The fixed text of both records as to_jsonl writes them, between their values.
#pragma once

#include <string_view>

namespace halberin::spatial::layout {

inline constexpr std::string_view frame_open = R"({"schema":"halberin.spatial-intent","version":1,"timestamp_ns":)";
inline constexpr std::string_view timestamp_domain = R"(,"timestamp_domain":)";
inline constexpr std::string_view reference_space = R"(,"reference_space":{"type":)";
inline constexpr std::string_view space_id = R"(,"id":)";
inline constexpr std::string_view generation = R"(,"generation":)";
inline constexpr std::string_view head = R"(},"head":)";
inline constexpr std::string_view head_tracking = R"(,"head_tracking":")";
inline constexpr std::string_view pointing = R"(,"pointing":{"source":")";
inline constexpr std::string_view confidence = R"(","confidence":")";
inline constexpr std::string_view pointing_origin = R"(","origin":)";
inline constexpr std::string_view direction = R"(,"direction":)";
inline constexpr std::string_view primary_select = R"(,"primary_select":{"pressed":)";
inline constexpr std::string_view changed = R"(,"changed":)";
inline constexpr std::string_view last_change = R"(,"last_change_time_ns":)";
inline constexpr std::string_view left_hand = R"(,"left_hand":)";
inline constexpr std::string_view right_hand = R"(,"right_hand":)";
inline constexpr std::string_view gaze = R"(,"gaze":)";
inline constexpr std::string_view target = R"(,"target":{"position":)";
inline constexpr std::string_view normal = R"(,"normal":)";
inline constexpr std::string_view host_id = R"(,"host_id":)";
inline constexpr std::string_view capabilities = R"(,"capabilities":{"head_pose":)";
inline constexpr std::string_view action_input = R"(,"action_input":)";
inline constexpr std::string_view hand_tracking = R"(,"hand_tracking":)";
inline constexpr std::string_view hand_interaction = R"(,"hand_interaction":)";
inline constexpr std::string_view eye_gaze = R"(,"eye_gaze":)";
inline constexpr std::string_view extensions = R"(,"enabled_extensions":[)";
inline constexpr std::string_view frame_close = "]}}";

inline constexpr std::string_view pose_open = R"({"position":)";
inline constexpr std::string_view orientation = R"(,"orientation":)";
inline constexpr std::string_view ray_open = R"({"origin":)";

inline constexpr std::string_view event_open = R"({"schema":"halberin.contextual-intent","version":1,"timestamp_ns":)";
inline constexpr std::string_view text = R"(,"text":)";
inline constexpr std::string_view spatial_age = R"(,"spatial_age_ns":)";
inline constexpr std::string_view spatial_context = R"(,"spatial_context":)";

}  // namespace halberin::spatial::layout
