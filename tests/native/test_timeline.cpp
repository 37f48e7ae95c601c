#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>

#include "spatial/timeline.hpp"

using namespace halberin::spatial;

namespace {

SpatialIntentFrame frame_at(std::int64_t ts, std::string domain = "") {
    SpatialIntentFrame f;
    f.timestamp_ns = ts;
    f.timestamp_domain = std::move(domain);
    return f;
}

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

}  // namespace

TEST(Timeline, EmptyGivesNothing) {
    IntentTimeline t(240, 2'000'000'000);
    EXPECT_FALSE(t.latest());
    EXPECT_FALSE(t.submit_text("hello", 0));
}

TEST(Timeline, ZeroCapacityKeepsOneFrame) {
    IntentTimeline t(0, 1000);
    t.push(frame_at(10));
    t.push(frame_at(20));
    EXPECT_EQ(t.latest()->timestamp_ns, 20);
    EXPECT_FALSE(t.submit_text("x", 15));
}

TEST(Timeline, NegativeAgeLimitIsZero) {
    IntentTimeline t(4, -5);
    t.push(frame_at(100));
    ASSERT_TRUE(t.submit_text("x", 100));
    EXPECT_EQ(t.submit_text("x", 100)->spatial_age_ns, 0);
    EXPECT_FALSE(t.submit_text("x", 101));
}

TEST(Timeline, TrimsOldestBeyondCapacity) {
    IntentTimeline t(3, 1000);
    for (int ts = 1; ts <= 5; ++ts) t.push(frame_at(ts));
    EXPECT_EQ(t.latest()->timestamp_ns, 5);
    EXPECT_FALSE(t.submit_text("x", 2));
    auto e = t.submit_text("x", 4);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->spatial_context.timestamp_ns, 4);
    EXPECT_EQ(e->spatial_age_ns, 0);
    EXPECT_EQ(e->timestamp_ns, 4);
}

TEST(Timeline, ClockGoingBackRestartsHistory) {
    IntentTimeline t(10, 100);
    t.push(frame_at(10));
    t.push(frame_at(20));
    t.push(frame_at(15));
    EXPECT_EQ(t.latest()->timestamp_ns, 15);
    auto e = t.submit_text("x", 20);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->spatial_context.timestamp_ns, 15);
    EXPECT_EQ(e->spatial_age_ns, 5);
    EXPECT_FALSE(t.submit_text("x", 12));  // the frame at 10 is gone
}

TEST(Timeline, OneNanosecondBackRestartsHistory) {
    IntentTimeline t(8, 1000);
    t.push(frame_at(10));
    t.push(frame_at(20));
    t.push(frame_at(19));
    EXPECT_FALSE(t.submit_text("x", 18));
    EXPECT_EQ(t.submit_text("x", 20)->spatial_context.timestamp_ns, 19);
}

// The ring across several blocks of slots (64 a block), wrapped more than once, then
// restarted partway and wrapped again: every stored frame is found at its own time,
// with its own content, and nothing older than the window is.
class RingAcrossBlocks : public testing::TestWithParam<std::size_t> {};

TEST_P(RingAcrossBlocks, EveryFrameIsWhereItBelongs) {
    const std::size_t capacity = GetParam();
    const auto n = static_cast<std::int64_t>(capacity);
    IntentTimeline t(capacity, kMax);
    const auto holds_window = [&](std::int64_t first, std::int64_t last) {
        EXPECT_FALSE(t.submit_text("x", first - 1)) << capacity;
        for (std::int64_t ts = first; ts <= last; ++ts) {
            const auto e = t.submit_text("x", ts);
            ASSERT_TRUE(e) << capacity << " " << ts;
            EXPECT_EQ(e->spatial_context.timestamp_ns, ts);
            EXPECT_EQ(e->spatial_context.timestamp_domain, std::to_string(ts)) << capacity;
        }
        EXPECT_EQ(t.latest()->timestamp_domain, std::to_string(last));
    };
    std::int64_t ts = 1000;
    for (; ts < 1000 + 2 * n + n / 2 + 3; ++ts) {
        t.push(frame_at(ts, std::to_string(ts)));
    }
    holds_window(ts - n, ts - 1);
    const std::int64_t restart = 10;
    for (ts = restart; ts < restart + n / 3 + 1; ++ts) {
        t.push(frame_at(ts, std::to_string(ts)));
    }
    holds_window(restart, ts - 1);
    for (; ts < restart + 3 * n + 7; ++ts) {
        t.push(frame_at(ts, std::to_string(ts)));
    }
    holds_window(ts - n, ts - 1);
}

INSTANTIATE_TEST_SUITE_P(Timeline, RingAcrossBlocks, testing::Values(1, 63, 64, 65, 150, 200, 256));

TEST(Timeline, EqualTimestampsPickTheLastPushed) {
    IntentTimeline t(10, 100);
    t.push(frame_at(10, "first"));
    t.push(frame_at(10, "second"));
    EXPECT_EQ(t.submit_text("x", 10)->spatial_context.timestamp_domain, "second");
}

TEST(Timeline, OnlyTheNewestFrameNotLaterIsConsidered) {
    IntentTimeline t(10, 150);
    t.push(frame_at(100));
    t.push(frame_at(300));
    auto at_max = t.submit_text("x", 250);
    ASSERT_TRUE(at_max);
    EXPECT_EQ(at_max->spatial_context.timestamp_ns, 100);
    EXPECT_EQ(at_max->spatial_age_ns, 150);
    EXPECT_FALSE(t.submit_text("x", 251));
    EXPECT_EQ(t.submit_text("x", 300)->spatial_age_ns, 0);
}

TEST(Timeline, PairsAnywhereInALargeHistory) {
    // Timestamps 0, 0, 0, 10, 10, 10, 20, ...: three frames share each, told apart by
    // their domain; every submission must pair with the last pushed frame not after it.
    constexpr int count = 30'000;
    IntentTimeline t(count, kMax);
    for (int i = 0; i < count; ++i) t.push(frame_at(i / 3 * 10, std::to_string(i)));
    constexpr std::int64_t newest = (count - 1) / 3 * 10;
    for (std::int64_t at : {std::int64_t{0}, std::int64_t{5}, newest / 2, newest / 2 + 1, newest - 1, newest, kMax}) {
        const std::int64_t in_force = std::min(at, newest) / 10 * 10;
        auto e = t.submit_text("x", at);
        ASSERT_TRUE(e) << at;
        EXPECT_EQ(e->spatial_context.timestamp_ns, in_force) << at;
        EXPECT_EQ(e->spatial_context.timestamp_domain, std::to_string(in_force / 10 * 3 + 2)) << at;
        EXPECT_EQ(e->spatial_age_ns, at - in_force) << at;
    }
    EXPECT_FALSE(t.submit_text("x", -1));
}

TEST(Timeline, EmptyTextNeverPairs) {
    IntentTimeline t(10, 150);
    t.push(frame_at(300));
    EXPECT_FALSE(t.submit_text("", 300));
    EXPECT_TRUE(t.submit_text(" ", 300));
}

TEST(Timeline, TextBytesAreKeptExactly) {
    IntentTimeline t(10, 150);
    t.push(frame_at(0));
    const std::string text("a\0b\xc3\xa9", 5);
    EXPECT_EQ(t.submit_text(text, 1)->text, text);
}

TEST(Timeline, NegativeTimestampsAreOrdinary) {
    IntentTimeline t(10, 150);
    t.push(frame_at(-20));
    t.push(frame_at(-10));
    auto e = t.submit_text("x", -15);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->spatial_context.timestamp_ns, -20);
    EXPECT_EQ(e->spatial_age_ns, 5);
}

TEST(Timeline, AgeThatDoesNotFitIsTooOld) {
    IntentTimeline t(10, kMax);
    t.push(frame_at(kMin));
    EXPECT_FALSE(t.submit_text("x", kMax));
    EXPECT_FALSE(t.submit_text("x", 0));  // 2^63 does not fit either
    auto e = t.submit_text("x", -1);      // 2^63 - 1 does
    ASSERT_TRUE(e);
    EXPECT_EQ(e->spatial_age_ns, kMax);
}

TEST(ContextAge, Bounds) {
    EXPECT_EQ(context_age(kMin, kMin), 0);
    EXPECT_EQ(context_age(-1, kMax), std::nullopt);
    EXPECT_EQ(context_age(0, kMax), kMax);
    EXPECT_EQ(context_age(kMin, -1), kMax);
    EXPECT_EQ(context_age(1, 0), std::nullopt);
}
