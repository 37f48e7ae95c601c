// Frames as a host writes them: every optional member present, then each left out in
// turn, with text that needs escapes and numbers that are not finite.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "spatial/frame.hpp"

inline std::vector<halberin::spatial::SpatialIntentFrame> written_frames() {
    using namespace halberin::spatial;
    SpatialIntentFrame full;
    full.timestamp_ns = -5;
    full.timestamp_domain = "steady \u00e9";
    full.reference_space = {"local", "room\n1", UINT64_MAX};
    full.head_pose.position = {std::nan(""), 1.6, 1e300};
    full.head_tracking = TrackingConfidence::ORIENTATION_ONLY;
    full.pointing = PointingIntent{{{1, 2, 3}, {0, 0, -1}}, PointingSource::EYE_GAZE, TrackingConfidence::UNAVAILABLE};
    full.primary_select = SelectState{false, true, INT64_MIN};
    full.left_hand_pose = full.right_hand_pose = full.head_pose;
    full.gaze_ray = Ray{{0, 1, 0}, {0, 0, -1}};
    full.target = SpatialHit{{1, 2, 3}, {0, 0, 1}, "panel \"\u00e9\"\\\x01"};
    full.capabilities = {true, false, true, false, true, {"a", "", "\xe2\x82\xac"}};
    std::vector<SpatialIntentFrame> frames{SpatialIntentFrame{}, full};
    for (int drop = 0; drop < 7; ++drop) {
        SpatialIntentFrame f = full;
        switch (drop) {
            case 0: f.pointing.reset(); break;
            case 1: f.primary_select.reset(); break;
            case 2: f.left_hand_pose.reset(); break;
            case 3: f.right_hand_pose.reset(); break;
            case 4: f.gaze_ray.reset(); break;
            case 5: f.target->host_id.reset(); break;
            default: f.target.reset(); f.capabilities.enabled_extensions.clear(); break;
        }
        frames.push_back(f);
    }
    return frames;
}
