// Lines in the layout to_jsonl writes, read straight through: its fixed text compared in
// place, its values read as the walk reads them. Another layout (members in another
// order, whitespace, escapes in a name) or a refused value declines the line, and
// from_jsonl reads it with the general walk.
#include <array>
#include <string_view>

#include "json_text.hpp"
#include "record_layout.hpp"
#include "record_reader.hpp"
#include "text_input.hpp"

namespace halberin::spatial::reading {

namespace {

class LaidOutText : public TextInput {
public:
    using TextInput::TextInput;

    bool canonical(ContextualIntentEvent& e) {
        return lit(layout::event_open) && integer({}, root, e.timestamp_ns) && lit(layout::text) &&
               string({}, root, e.text) && !e.text.empty() && lit(layout::spatial_age) &&
               integer({}, root, e.spatial_age_ns) && lit(layout::spatial_context) && lit(layout::frame_open) &&
               canonical_frame(e.spatial_context) && lit("}") && at_end() &&
               context_age(e.spatial_context.timestamp_ns, e.timestamp_ns) == e.spatial_age_ns;
    }

    bool canonical(SpatialIntentFrame& f) {
        return lit(layout::frame_open) && canonical_frame(f) && at_end();
    }

private:
    static constexpr Path root{};

    bool lit(std::string_view text) noexcept {
        if (static_cast<std::size_t>(end - p) < text.size() || !same_bytes(p, text)) {
            return false;
        }
        p += text.size();
        return true;
    }

    bool at_end() noexcept {
        skip();
        return p == end;
    }

    template <class Enum, std::size_t N>
    bool name_of(const std::array<std::string_view, N>& names, Enum& out) noexcept {
        for (std::size_t i = 0; i < N; ++i) {
            const std::string_view name = names[i];
            if (static_cast<std::size_t>(end - p) > name.size() && p[name.size()] == '"' && same_bytes(p, name)) {
                p += name.size();
                out = static_cast<Enum>(i);
                return true;
            }
        }
        return false;
    }

    bool vec3(Vec3& v) {
        std::array<double, 3> a;
        if (!numbers({}, root, a)) {
            return false;
        }
        v = {a[0], a[1], a[2]};
        return true;
    }

    bool pose(Pose& pose) {
        std::array<double, 4> q;
        if (!(lit(layout::pose_open) && vec3(pose.position) && lit(layout::orientation) && numbers({}, root, q) &&
              lit("}"))) {
            return false;
        }
        pose.orientation = {q[0], q[1], q[2], q[3]};
        return true;
    }

    bool canonical_frame(SpatialIntentFrame& f) {
        using json::tracking_confidence_names;
        auto& rs = f.reference_space;
        if (!(integer({}, root, f.timestamp_ns) && lit(layout::timestamp_domain) &&
              string({}, root, f.timestamp_domain) && lit(layout::reference_space) && string({}, root, rs.type) &&
              lit(layout::space_id) && string({}, root, rs.id) && lit(layout::generation) &&
              integer({}, root, rs.generation) && lit(layout::head) && pose(f.head_pose) &&
              lit(layout::head_tracking) && name_of(tracking_confidence_names, f.head_tracking) && lit("\""))) {
            return false;
        }
        if (lit(layout::pointing)) {
            auto& pi = f.pointing.emplace();
            if (!(name_of(json::pointing_source_names, pi.source) && lit(layout::confidence) &&
                  name_of(tracking_confidence_names, pi.confidence) && lit(layout::pointing_origin) && vec3(pi.ray.origin) &&
                  lit(layout::direction) && vec3(pi.ray.direction) && lit("}"))) {
                return false;
            }
        }
        if (lit(layout::primary_select)) {
            auto& sel = f.primary_select.emplace();
            if (!(boolean({}, root, sel.pressed) && lit(layout::changed) && boolean({}, root, sel.changed) &&
                  lit(layout::last_change) && integer({}, root, sel.last_change_time_ns) && lit("}"))) {
                return false;
            }
        }
        if ((lit(layout::left_hand) && !pose(f.left_hand_pose.emplace())) ||
            (lit(layout::right_hand) && !pose(f.right_hand_pose.emplace()))) {
            return false;
        }
        if (lit(layout::gaze)) {
            auto& ray = f.gaze_ray.emplace();
            if (!(lit(layout::ray_open) && vec3(ray.origin) && lit(layout::direction) && vec3(ray.direction) &&
                  lit("}"))) {
                return false;
            }
        }
        if (lit(layout::target)) {
            auto& t = f.target.emplace();
            if (!(vec3(t.position) && lit(layout::normal) && vec3(t.normal) &&
                  (!lit(layout::host_id) || string({}, root, t.host_id.emplace())) && lit("}"))) {
                return false;
            }
        }
        auto& c = f.capabilities;
        if (!(lit(layout::capabilities) && boolean({}, root, c.head_pose) && lit(layout::action_input) &&
              boolean({}, root, c.action_input) && lit(layout::hand_tracking) && boolean({}, root, c.hand_tracking) &&
              lit(layout::hand_interaction) && boolean({}, root, c.hand_interaction) && lit(layout::eye_gaze) &&
              boolean({}, root, c.eye_gaze) && lit(layout::extensions))) {
            return false;
        }
        if (p != end && *p != ']') {
            c.enabled_extensions.reserve(4);  // one allocation for the usual few
            do {
                if (!string({}, root, c.enabled_extensions.emplace_back())) {
                    return false;
                }
            } while (lit(","));
        }
        return lit(layout::frame_close);
    }

};

}  // namespace

bool read_laid_out(std::string_view line, SpatialIntentFrame& out) { return LaidOutText(line).canonical(out); }

bool read_laid_out(std::string_view line, ContextualIntentEvent& out) { return LaidOutText(line).canonical(out); }

}  // namespace halberin::spatial::reading
