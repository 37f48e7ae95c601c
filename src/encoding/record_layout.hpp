// The fixed text of both records as to_jsonl writes them, between their values, made
// at compile time from the members' names and order.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

#include "record_members.hpp"

namespace halberin::spatial::layout {

namespace detail {

// Text put together at compile time (the standard string is not usable there with
// every compiler the project supports).
struct Text {
    std::array<char, 96> bytes{};
    std::size_t size = 0;

    constexpr Text() = default;
    constexpr Text(std::string_view s) { append(s); }  // NOLINT: converts like a string
    constexpr Text(const char* s) : Text(std::string_view(s)) {}  // NOLINT
    constexpr Text& append(std::string_view s) {
        for (const char c : s) {
            bytes.at(size++) = c;
        }
        return *this;
    }
    constexpr std::string_view view() const { return {bytes.data(), size}; }
};

constexpr Text operator+(Text a, const Text& b) { return a.append(b.view()); }

// The text `make()` returns, kept in static storage of its own size.
template <auto make>
inline constexpr std::array<char, make().size> storage = [] {
    std::array<char, make().size> out{};
    std::ranges::copy(make().view(), out.begin());
    return out;
}();

template <auto make>
inline constexpr std::string_view fixed{storage<make>.data(), storage<make>.size()};

// `"name":`, and the same after a comma.
template <class Member>
constexpr Text key(Member m) {
    return Text("\"") + members::name(m) + "\":";
}
template <class Member>
constexpr Text next(Member m) {
    return "," + key(m);
}

constexpr Text quote(std::string_view text) { return Text("\"") + text + "\""; }

}  // namespace detail

using detail::fixed;
using detail::key;
using detail::next;
using detail::quote;
using namespace members;
using R = record_key::Member;

inline constexpr std::string_view frame_open =
    fixed<[] { return "{" + key(R::schema) + quote(frame_schema) + next(R::version) + "1" + next(R::timestamp_ns); }>;
inline constexpr std::string_view timestamp_domain = fixed<[] { return next(R::timestamp_domain); }>;
inline constexpr std::string_view reference_space =
    fixed<[] { return next(R::reference_space) + "{" + key(space_key::type); }>;
inline constexpr std::string_view space_id = fixed<[] { return next(space_key::id); }>;
inline constexpr std::string_view generation = fixed<[] { return next(space_key::generation); }>;
inline constexpr std::string_view head = fixed<[] { return "}" + next(R::head); }>;
inline constexpr std::string_view head_tracking = fixed<[] { return next(R::head_tracking) + "\""; }>;
inline constexpr std::string_view pointing =
    fixed<[] { return next(R::pointing) + "{" + key(pointing_key::source) + "\""; }>;
inline constexpr std::string_view confidence = fixed<[] { return "\"" + next(pointing_key::confidence) + "\""; }>;
inline constexpr std::string_view pointing_origin = fixed<[] { return "\"" + next(pointing_key::origin); }>;
inline constexpr std::string_view direction = fixed<[] { return next(ray_key::direction); }>;
inline constexpr std::string_view primary_select =
    fixed<[] { return next(R::primary_select) + "{" + key(select_key::pressed); }>;
inline constexpr std::string_view changed = fixed<[] { return next(select_key::changed); }>;
inline constexpr std::string_view last_change = fixed<[] { return next(select_key::last_change_time_ns); }>;
inline constexpr std::string_view left_hand = fixed<[] { return next(R::left_hand); }>;
inline constexpr std::string_view right_hand = fixed<[] { return next(R::right_hand); }>;
inline constexpr std::string_view gaze = fixed<[] { return next(R::gaze); }>;
inline constexpr std::string_view target = fixed<[] { return next(R::target) + "{" + key(target_key::position); }>;
inline constexpr std::string_view normal = fixed<[] { return next(target_key::normal); }>;
inline constexpr std::string_view host_id = fixed<[] { return next(target_key::host_id); }>;
inline constexpr std::string_view capabilities =
    fixed<[] { return next(R::capabilities) + "{" + key(capabilities_key::head_pose); }>;
inline constexpr std::string_view action_input = fixed<[] { return next(capabilities_key::action_input); }>;
inline constexpr std::string_view hand_tracking = fixed<[] { return next(capabilities_key::hand_tracking); }>;
inline constexpr std::string_view hand_interaction = fixed<[] { return next(capabilities_key::hand_interaction); }>;
inline constexpr std::string_view eye_gaze = fixed<[] { return next(capabilities_key::eye_gaze); }>;
inline constexpr std::string_view extensions = fixed<[] { return next(capabilities_key::enabled_extensions) + "["; }>;
inline constexpr std::string_view frame_close = "]}}";

inline constexpr std::string_view pose_open = fixed<[] { return "{" + key(pose_key::position); }>;
inline constexpr std::string_view orientation = fixed<[] { return next(pose_key::orientation); }>;
inline constexpr std::string_view ray_open = fixed<[] { return "{" + key(ray_key::origin); }>;

inline constexpr std::string_view event_open =
    fixed<[] { return "{" + key(R::schema) + quote(event_schema) + next(R::version) + "1" + next(R::timestamp_ns); }>;
inline constexpr std::string_view text = fixed<[] { return next(R::text); }>;
inline constexpr std::string_view spatial_age = fixed<[] { return next(R::spatial_age_ns); }>;
inline constexpr std::string_view spatial_context = fixed<[] { return next(R::spatial_context); }>;

// The pointing ray's direction and a ray's are the same text.
static_assert(name(pointing_key::direction) == name(ray_key::direction));

}  // namespace halberin::spatial::layout
