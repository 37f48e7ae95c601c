// A C++ host on the installed core: a simulated head and controller sweep across three
// panels at 90 Hz for two seconds; every frame is grounded against the panels, kept in an
// IntentTimeline and written to standard output as a JSON line, and three utterances are
// paired with the frame in force and written as event lines.
#include <spatial/jsonl.hpp>
#include <spatial/timeline.hpp>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

using namespace halberin::spatial;

namespace {

// Upright panels facing the user (+z), centred at (x, y, z).
struct Panel {
    const char* id;
    double x, y, z, half_width, half_height;
};

constexpr Panel scene[] = {
    {"panel:calendar", -0.9, 1.5, -2.0, 0.45, 0.3},
    {"panel:map", 0.0, 1.5, -2.5, 0.5, 0.4},
    {"panel:notes", 0.9, 1.5, -2.0, 0.45, 0.3},
};

// The host's scene query: the nearest panel the ray meets.
std::optional<SpatialHit> raycast(const Ray& ray) {
    std::optional<SpatialHit> nearest;
    double nearest_t = INFINITY;
    for (const Panel& panel : scene) {
        const Vec3& o = ray.origin;
        const Vec3& d = ray.direction;
        if (d.z == 0.0) {
            continue;
        }
        const double t = (panel.z - o.z) / d.z;
        const double x = o.x + t * d.x;
        const double y = o.y + t * d.y;
        if (t > 0.0 && t < nearest_t && std::abs(x - panel.x) <= panel.half_width &&
            std::abs(y - panel.y) <= panel.half_height) {
            nearest_t = t;
            nearest = SpatialHit{{x, y, panel.z}, {0.0, 0.0, 1.0}, panel.id};
        }
    }
    return nearest;
}

Quaternion yaw(double radians) { return {0.0, std::sin(radians / 2), 0.0, std::cos(radians / 2)}; }

void write(const std::string& line) { std::printf("%s\n", line.c_str()); }

}  // namespace

int main() {
    constexpr std::int64_t start_ns = 1'000'000'000;
    constexpr std::int64_t frame_ns = 11'111'111;  // 90 Hz
    constexpr int frames = 180;
    struct Utterance {
        std::int64_t at_ns;
        const char* text;
    };
    constexpr Utterance said[] = {{300'000'000, "what is this?"}, {1'000'000'000, "put it there"},
                                  {1'700'000'000, "open that one"}};

    IntentTimeline timeline(240, 2'000'000'000);
    std::string line;  // one buffer for every line: written in place, no allocation per frame
    std::size_t next = 0;
    bool pressed = false;
    std::int64_t last_change_ns = 0;
    for (int i = 0; i < frames; ++i) {
        const std::int64_t now = start_ns + i * frame_ns;
        const double sweep = -0.45 + 0.9 * i / (frames - 1);  // left to right, in radians

        SpatialIntentFrame f;
        f.timestamp_ns = now;
        f.timestamp_domain = "simulated";
        f.reference_space = {"local", "sim:local", 1};
        f.head_pose = {{0.0, 1.6, 0.0}, yaw(-0.6 * sweep)};
        f.head_tracking = TrackingConfidence::POSITION_AND_ORIENTATION;
        const Vec3 hand{0.2, 1.3, -0.3};
        f.pointing = PointingIntent{{hand, {std::sin(sweep), 0.08, -std::cos(sweep)}}, PointingSource::CONTROLLER,
                                    TrackingConfidence::POSITION_AND_ORIENTATION};
        const bool now_pressed = i % 60 >= 40;  // a pull of the trigger every two thirds of a second
        const bool changed = now_pressed != pressed;
        if (changed) {
            pressed = now_pressed;
            last_change_ns = now;
        }
        f.primary_select = SelectState{pressed, changed, last_change_ns};
        f.right_hand_pose = Pose{hand, yaw(-sweep)};
        f.target = raycast(f.pointing->ray);
        f.capabilities = {true, true, false, false, false, {"sim.head", "sim.controller"}};

        write_jsonl(f, line);
        write(line);
        timeline.push(std::move(f));

        // Utterances are paired at their own time, once the frames have caught up with it.
        while (next < std::size(said) && start_ns + said[next].at_ns <= now) {
            if (auto event = timeline.submit_text(said[next].text, start_ns + said[next].at_ns)) {
                write_jsonl(*event, line);
                write(line);
            }
            ++next;
        }
    }
    return 0;
}
