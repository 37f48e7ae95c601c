// Plain geometric values: points, rotations, poses and rays, carried unchanged.
#pragma once

namespace halberin::spatial {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

// Scalar part last; the default is the identity rotation.
struct Quaternion {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;
};

struct Pose {
    Vec3 position;
    Quaternion orientation;
};

struct Ray {
    Vec3 origin;
    Vec3 direction;
};

}  // namespace halberin::spatial
