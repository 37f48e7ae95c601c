// A bounded, locked history of frames that pairs submitted text with the frame in force.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string_view>

#include "spatial/frame.hpp"
#include "spatial/frame_ring.hpp"

namespace halberin::spatial {

class IntentTimeline {
public:
    IntentTimeline(std::size_t capacity, std::int64_t max_context_age_ns);

    IntentTimeline(const IntentTimeline&) = delete;
    IntentTimeline& operator=(const IntentTimeline&) = delete;

    // Appends a frame; a frame older than the newest stored one restarts the history.
    void push(SpatialIntentFrame frame);

    std::optional<SpatialIntentFrame> latest() const;

    // Pairs text with the newest frame not later than timestamp_ns, if that frame is
    // at most max_context_age_ns old. Empty text never pairs. The frame is found by
    // binary search, and the lock is held for the search and its copy alone.
    std::optional<ContextualIntentEvent> submit_text(std::string_view text,
                                                     std::int64_t timestamp_ns) const;

private:
    std::size_t capacity;
    std::int64_t max_context_age_ns;
    mutable std::mutex mutex;
    // Whether `mutex` is held: what a waiter spins on, reading without writing.
    mutable std::atomic<bool> held{false};
    FrameRing frames;
};

// The age of a frame at `now`, or nothing when the frame is later than `now` or the
// difference does not fit in a signed 64-bit count.
std::optional<std::int64_t> context_age(std::int64_t frame_ns, std::int64_t now_ns) noexcept;

}  // namespace halberin::spatial
