// One sample of spatial intent, and submitted text joined to the sample in force.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "spatial/geometry.hpp"
#include "spatial/records.hpp"

namespace halberin::spatial {

struct SpatialIntentFrame {
    std::int64_t timestamp_ns = 0;
    std::string timestamp_domain;
    ReferenceSpace reference_space;
    Pose head_pose;
    TrackingConfidence head_tracking = TrackingConfidence::UNAVAILABLE;
    std::optional<PointingIntent> pointing;
    std::optional<SelectState> primary_select;
    std::optional<Pose> left_hand_pose;
    std::optional<Pose> right_hand_pose;
    std::optional<Ray> gaze_ray;
    std::optional<SpatialHit> target;
    CapabilitySnapshot capabilities;
};

struct ContextualIntentEvent {
    std::int64_t timestamp_ns = 0;
    std::string text;
    SpatialIntentFrame spatial_context;
    std::int64_t spatial_age_ns = 0;
};

}  // namespace halberin::spatial
