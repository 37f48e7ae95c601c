// The intent records a frame is assembled from, and their two enumerations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "spatial/geometry.hpp"

namespace halberin::spatial {

enum class TrackingConfidence : std::int32_t {
    UNAVAILABLE = 0,
    ORIENTATION_ONLY = 1,
    POSITION_AND_ORIENTATION = 2,
};

enum class PointingSource : std::int32_t {
    CONTROLLER = 0,
    HAND = 1,
    EYE_GAZE = 2,
    HEAD = 3,
};

struct PointingIntent {
    Ray ray;
    PointingSource source = PointingSource::HEAD;
    TrackingConfidence confidence = TrackingConfidence::UNAVAILABLE;
};

struct SelectState {
    bool pressed = false;
    bool changed = false;
    std::int64_t last_change_time_ns = 0;
};

struct SpatialHit {
    Vec3 position;
    Vec3 normal;
    std::optional<std::string> host_id;
};

struct ReferenceSpace {
    std::string type;
    std::string id;
    std::uint64_t generation = 0;
};

struct CapabilitySnapshot {
    bool head_pose = false;
    bool action_input = false;
    bool hand_tracking = false;
    bool hand_interaction = false;
    bool eye_gaze = false;
    std::vector<std::string> enabled_extensions;
};

}  // namespace halberin::spatial
