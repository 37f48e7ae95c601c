#include "spatial/timeline.hpp"

#include <algorithm>
#include <iterator>
#include <limits>
#include <string>
#include <utility>

namespace halberin::spatial {

IntentTimeline::IntentTimeline(std::size_t capacity_, std::int64_t max_context_age_ns_)
    : capacity(std::max<std::size_t>(capacity_, 1)),
      max_context_age_ns(std::max<std::int64_t>(max_context_age_ns_, 0)) {}

void IntentTimeline::push(SpatialIntentFrame frame) {
    std::scoped_lock lock(mutex);
    if (!frames.empty() && frame.timestamp_ns < frames.back().timestamp_ns) {
        frames.clear();
    }
    frames.push_back(std::move(frame));
    while (frames.size() > capacity) {
        frames.pop_front();
    }
}

std::optional<SpatialIntentFrame> IntentTimeline::latest() const {
    std::scoped_lock lock(mutex);
    if (frames.empty()) {
        return std::nullopt;
    }
    return frames.back();
}

std::optional<ContextualIntentEvent> IntentTimeline::submit_text(std::string_view text,
                                                                 std::int64_t timestamp_ns) const {
    if (text.empty()) {
        return std::nullopt;
    }
    std::optional<SpatialIntentFrame> context;
    std::int64_t age = 0;
    {
        std::scoped_lock lock(mutex);
        // Stored timestamps never decrease: the frame in force is the one before the
        // first frame later than the submission (among equal timestamps, the newest).
        auto later = std::upper_bound(frames.begin(), frames.end(), timestamp_ns,
                                      [](std::int64_t ts, const SpatialIntentFrame& f) { return ts < f.timestamp_ns; });
        if (later == frames.begin()) {
            return std::nullopt;
        }
        const SpatialIntentFrame& in_force = *std::prev(later);
        const auto fits = context_age(in_force.timestamp_ns, timestamp_ns);
        if (!fits || *fits > max_context_age_ns) {
            return std::nullopt;
        }
        age = *fits;
        context.emplace(in_force);
    }
    return ContextualIntentEvent{timestamp_ns, std::string(text), std::move(*context), age};
}

std::optional<std::int64_t> context_age(std::int64_t frame_ns, std::int64_t now_ns) noexcept {
    if (frame_ns > now_ns) {
        return std::nullopt;
    }
    // Unsigned arithmetic is exact here: the true difference lies in [0, 2^64 - 1].
    const std::uint64_t diff = static_cast<std::uint64_t>(now_ns) - static_cast<std::uint64_t>(frame_ns);
    if (diff > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(diff);
}

}  // namespace halberin::spatial
