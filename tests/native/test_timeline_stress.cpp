// Several threads push, read and submit on one timeline at once; every answer must be
// consistent with the rules, whatever the interleaving.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "spatial/timeline.hpp"

using namespace halberin::spatial;

TEST(TimelineStress, ConcurrentPushLatestSubmit) {
    constexpr std::size_t capacity = 16;
    constexpr std::int64_t max_age = 50;
    IntentTimeline timeline(capacity, max_age);

    const char* env = std::getenv("STRESS_MILLISECONDS");
    const auto duration = std::chrono::milliseconds(env ? std::atoi(env) : 300);
    const auto until = std::chrono::steady_clock::now() + duration;
    std::atomic<std::int64_t> clock{0};
    std::atomic<long> events{0};
    std::atomic<long> failures{0};

    auto writer = [&] {
        while (std::chrono::steady_clock::now() < until) {
            SpatialIntentFrame f;
            f.timestamp_ns = clock.fetch_add(1);
            f.timestamp_domain = "stress";
            f.capabilities.enabled_extensions = {"a", "b"};
            timeline.push(std::move(f));
        }
    };
    auto reader = [&] {
        while (std::chrono::steady_clock::now() < until) {
            const std::int64_t now = clock.load();
            if (auto latest = timeline.latest()) {
                if (latest->timestamp_domain != "stress" || latest->capabilities.enabled_extensions.size() != 2)
                    failures++;
                // Writers race each other, so only a bound holds, not monotony.
                if (latest->timestamp_ns > clock.load()) failures++;
            }
            if (auto e = timeline.submit_text("put it there", now)) {
                events++;
                if (e->timestamp_ns != now || e->spatial_context.timestamp_ns > now ||
                    e->spatial_age_ns != now - e->spatial_context.timestamp_ns || e->spatial_age_ns < 0 ||
                    e->spatial_age_ns > max_age || e->text != "put it there")
                    failures++;
            }
        }
    };

    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) threads.emplace_back(writer);
    for (int i = 0; i < 2; ++i) threads.emplace_back(reader);
    for (auto& t : threads) t.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(events.load(), 0);
    // After the storm the history still honours its bound. A writer descheduled between
    // taking a timestamp and pushing may restart it far in the past, so every stamp up
    // to the newest is probed for a stored frame.
    const auto latest = timeline.latest();
    ASSERT_TRUE(latest);
    int found = 0;
    for (std::int64_t ts = latest->timestamp_ns; ts >= 0; --ts) {
        if (auto e = timeline.submit_text("x", ts); e && e->spatial_age_ns == 0) found++;
    }
    EXPECT_LE(found, static_cast<int>(capacity));
    EXPECT_GE(found, 1);
}
