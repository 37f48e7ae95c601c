// The members of both records and of every object in them, in the order to_jsonl
// writes them: the one description that the writer's fixed text, the readers' name
// tables and every reader's member indices are made from.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// A frame's members, then the event's own (an event is schema, version, timestamp_ns,
// then these three).
#define SPATIAL_RECORD_MEMBERS(X)                                                                              \
    X(schema) X(version) X(timestamp_ns) X(timestamp_domain) X(reference_space) X(head) X(head_tracking)      \
    X(pointing) X(primary_select) X(left_hand) X(right_hand) X(gaze) X(target) X(capabilities) X(text)        \
    X(spatial_age_ns) X(spatial_context)
#define SPATIAL_SPACE_MEMBERS(X) X(type) X(id) X(generation)
#define SPATIAL_POSE_MEMBERS(X) X(position) X(orientation)
#define SPATIAL_RAY_MEMBERS(X) X(origin) X(direction)
#define SPATIAL_POINTING_MEMBERS(X) X(source) X(confidence) X(origin) X(direction)
#define SPATIAL_SELECT_MEMBERS(X) X(pressed) X(changed) X(last_change_time_ns)
#define SPATIAL_TARGET_MEMBERS(X) X(position) X(normal) X(host_id)
#define SPATIAL_CAPABILITIES_MEMBERS(X) \
    X(head_pose) X(action_input) X(hand_tracking) X(hand_interaction) X(eye_gaze) X(enabled_extensions)

namespace halberin::spatial::members {

#define SPATIAL_MEMBER_INDEX(m) m,
#define SPATIAL_MEMBER_NAME(m) #m,
#define SPATIAL_MEMBERS_OF(space, LIST)                                                  \
    namespace space {                                                                    \
    enum Member : int { LIST(SPATIAL_MEMBER_INDEX) count };                              \
    inline constexpr std::array<std::string_view, count> names{LIST(SPATIAL_MEMBER_NAME)}; \
    }                                                                                    \
    constexpr std::string_view name(space::Member m) noexcept { return space::names[static_cast<std::size_t>(m)]; }

SPATIAL_MEMBERS_OF(record_key, SPATIAL_RECORD_MEMBERS)
SPATIAL_MEMBERS_OF(space_key, SPATIAL_SPACE_MEMBERS)
SPATIAL_MEMBERS_OF(pose_key, SPATIAL_POSE_MEMBERS)
SPATIAL_MEMBERS_OF(ray_key, SPATIAL_RAY_MEMBERS)
SPATIAL_MEMBERS_OF(pointing_key, SPATIAL_POINTING_MEMBERS)
SPATIAL_MEMBERS_OF(select_key, SPATIAL_SELECT_MEMBERS)
SPATIAL_MEMBERS_OF(target_key, SPATIAL_TARGET_MEMBERS)
SPATIAL_MEMBERS_OF(capabilities_key, SPATIAL_CAPABILITIES_MEMBERS)

#undef SPATIAL_MEMBERS_OF
#undef SPATIAL_MEMBER_NAME
#undef SPATIAL_MEMBER_INDEX

// The frame's members are the first of the record's; the event's own follow them.
inline constexpr int frame_count = record_key::text;

inline constexpr std::string_view frame_schema = "halberin.spatial-intent";
inline constexpr std::string_view event_schema = "halberin.contextual-intent";

}  // namespace halberin::spatial::members
