// Per-frame encoding, per-double number formatting against the standard conversions,
// and timeline traffic with and without contention.
#include <benchmark/benchmark.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <algorithm>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#ifdef SPATIAL_BENCH_SIMDJSON
#include <simdjson.h>
#endif

#include "json_text.hpp"
#include "spatial/jsonl.hpp"
#include "spatial/timeline.hpp"

using namespace halberin::spatial;

namespace {

// Tracking output: full-precision values within a few metres of the origin.
const std::vector<double>& tracking_doubles() {
    static const std::vector<double> values = [] {
        std::mt19937_64 rng(90);
        std::uniform_real_distribution<double> metres(-4.0, 4.0);
        std::vector<double> v(4096);  // a power of two: the loop wraps with a mask
        for (double& d : v) {
            d = metres(rng);
        }
        return v;
    }();
    return values;
}

Pose pose(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    return {{u(rng), 1.0 + u(rng), u(rng)}, {u(rng), u(rng), u(rng), u(rng)}};
}

SpatialIntentFrame full_frame(std::int64_t timestamp_ns = 1'000'000) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    SpatialIntentFrame f;
    f.timestamp_ns = timestamp_ns;
    f.timestamp_domain = "steady";
    f.reference_space = {"local", "room-1", 3};
    f.head_pose = pose(rng);
    f.head_tracking = TrackingConfidence::POSITION_AND_ORIENTATION;
    f.pointing = PointingIntent{{{u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}}, PointingSource::CONTROLLER,
                                TrackingConfidence::POSITION_AND_ORIENTATION};
    f.primary_select = SelectState{true, true, timestamp_ns - 5};
    f.left_hand_pose = pose(rng);
    f.right_hand_pose = pose(rng);
    f.gaze_ray = Ray{{u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}};
    f.target = SpatialHit{{u(rng), u(rng), u(rng)}, {u(rng), u(rng), u(rng)}, "panel:map"};
    f.capabilities = {true, true, true, false, true, {"ext.hand", "ext.gaze"}};
    return f;
}

void BM_EncodeFullFrame(benchmark::State& state) {
    const SpatialIntentFrame f = full_frame();
    for (auto _ : state) {
        benchmark::DoNotOptimize(to_jsonl(f));
    }
}
BENCHMARK(BM_EncodeFullFrame);

void BM_EncodeDefaultFrame(benchmark::State& state) {
    const SpatialIntentFrame f;
    for (auto _ : state) {
        benchmark::DoNotOptimize(to_jsonl(f));
    }
}
BENCHMARK(BM_EncodeDefaultFrame);

void BM_EncodeEvent(benchmark::State& state) {
    const ContextualIntentEvent e{1'040'000, "put the map there", full_frame(), 40'000};
    for (auto _ : state) {
        benchmark::DoNotOptimize(to_jsonl(e));
    }
}
BENCHMARK(BM_EncodeEvent);

void BM_DecodeFullFrame(benchmark::State& state) {
    const std::string line = to_jsonl(full_frame());
    for (auto _ : state) {
        benchmark::DoNotOptimize(from_jsonl(line));
    }
}
BENCHMARK(BM_DecodeFullFrame);

void BM_DecodeEvent(benchmark::State& state) {
    const std::string line = to_jsonl(ContextualIntentEvent{1'040'000, "put the map there", full_frame(), 40'000});
    for (auto _ : state) {
        benchmark::DoNotOptimize(from_jsonl(line));
    }
}
BENCHMARK(BM_DecodeEvent);

#ifdef SPATIAL_BENCH_SIMDJSON
// Every value of the record visited once, as a reader must, but nothing built: the
// least a general parser's front end spends on the same line.
double walk(simdjson::ondemand::value v) {
    double sum = 0;
    switch (v.type()) {
        case simdjson::ondemand::json_type::object:
            for (auto field : v.get_object()) {
                sum += static_cast<double>(field.unescaped_key().value().size()) + walk(field.value());
            }
            return sum;
        case simdjson::ondemand::json_type::array:
            for (auto item : v.get_array()) {
                sum += walk(item.value());
            }
            return sum;
        case simdjson::ondemand::json_type::string:
            return static_cast<double>(v.get_string().value().size());
        case simdjson::ondemand::json_type::boolean:
            return v.get_bool() ? 1 : 0;
        case simdjson::ondemand::json_type::null:
            return 0;
        default:
            return v.get_double();
    }
}

void BM_SimdjsonWalkFullFrame(benchmark::State& state) {
    const simdjson::padded_string line(to_jsonl(full_frame()));
    simdjson::ondemand::parser parser;
    for (auto _ : state) {
        auto doc = parser.iterate(line);
        benchmark::DoNotOptimize(walk(doc.get_value()));
    }
}
BENCHMARK(BM_SimdjsonWalkFullFrame);
#endif

template <class Format>
void per_double(benchmark::State& state, Format format) {
    // Held in locals, so that the memory clobber does not reload the vector each time.
    const double* values = tracking_doubles().data();
    const std::size_t mask = tracking_doubles().size() - 1;
    char buf[64];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(format(buf, values[i]));
        benchmark::ClobberMemory();
        i = (i + 1) & mask;
    }
}

void BM_FormatDouble(benchmark::State& state) {
    per_double(state, [](char* buf, double v) { return json::format_double(buf, v); });
}
BENCHMARK(BM_FormatDouble);

void BM_ToCharsGeneral9(benchmark::State& state) {
    per_double(state, [](char* buf, double v) {
        return std::to_chars(buf, buf + 64, v, std::chars_format::general, 9).ptr - buf;
    });
}
BENCHMARK(BM_ToCharsGeneral9);

void BM_SnprintfG9(benchmark::State& state) {
    per_double(state, [](char* buf, double v) { return std::snprintf(buf, 64, "%.9g", v); });
}
BENCHMARK(BM_SnprintfG9);

IntentTimeline& shared_timeline() {
    static IntentTimeline timeline(240, 2'000'000'000);
    return timeline;
}

void BM_TimelinePush(benchmark::State& state) {
    IntentTimeline& timeline = shared_timeline();
    SpatialIntentFrame f = full_frame();
    for (auto _ : state) {
        // Every thread pushes the same timestamp so no thread's frame restarts the history.
        timeline.push(f);
    }
}
BENCHMARK(BM_TimelinePush)->Threads(1)->Threads(4)->UseRealTime();

void BM_TimelineSubmitText(benchmark::State& state) {
    IntentTimeline& timeline = shared_timeline();
    if (state.thread_index() == 0) {
        for (int i = 0; i < 240; ++i) {
            timeline.push(full_frame(1'000'000));
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(timeline.submit_text("put it there", 1'000'050));
    }
}
BENCHMARK(BM_TimelineSubmitText)->Threads(1)->Threads(4)->UseRealTime();

// One thread pushes into a ten-minute history while another keeps pairing text with the
// oldest stored frame, the longest search there is. Each push is timed: its high
// percentiles say how long pairing holds the pushing thread back. The same thread timing
// an empty region gives the machine's own stalls (preemption, interrupts), which bound
// what any maximum here can show.
void BM_PushWhilePairingOldest(benchmark::State& state) {
    using clock = std::chrono::steady_clock;
    constexpr std::int64_t stored = 240'000;
    constexpr std::int64_t step = 11'111'111;
    IntentTimeline timeline(stored, std::numeric_limits<std::int64_t>::max());
    SpatialIntentFrame f = full_frame(0);
    for (std::int64_t i = 0; i < stored; ++i) {
        f.timestamp_ns = i * step;
        timeline.push(f);
    }
    std::atomic<std::int64_t> oldest{0};
    std::atomic<bool> stop{false};
    std::thread pairing([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            benchmark::DoNotOptimize(timeline.submit_text("put it there", oldest.load(std::memory_order_relaxed)));
        }
    });
    std::vector<std::int64_t> waits;
    waits.reserve(static_cast<std::size_t>(state.max_iterations));
    std::int64_t next = stored;
    for (auto _ : state) {
        SpatialIntentFrame copy = f;
        copy.timestamp_ns = next * step;
        const auto start = clock::now();
        timeline.push(std::move(copy));
        waits.push_back((clock::now() - start).count());
        ++next;
        oldest.store((next - stored) * step, std::memory_order_relaxed);
    }
    // A clock that steps back restarts the whole history under the lock: the push
    // that does it, timed, a few times over a full history.
    std::vector<std::int64_t> restarts;
    for (int r = 0; r < 5; ++r) {
        SpatialIntentFrame back = f;
        back.timestamp_ns = 0;
        const auto start = clock::now();
        timeline.push(std::move(back));
        restarts.push_back((clock::now() - start).count());
        for (std::int64_t i = 1; i < stored; ++i) {
            f.timestamp_ns = i * step;
            timeline.push(f);
        }
        oldest.store(0, std::memory_order_relaxed);
    }
    stop = true;
    pairing.join();
    std::ranges::sort(restarts);
    state.counters["restart_p50_ns"] = static_cast<double>(restarts[restarts.size() / 2]);
    state.counters["restart_max_ns"] = static_cast<double>(restarts.back());
    std::int64_t noise = 0;
    for (std::size_t i = 0; i < waits.size(); ++i) {
        const auto start = clock::now();
        benchmark::ClobberMemory();
        noise = std::max<std::int64_t>(noise, (clock::now() - start).count());
    }
    std::ranges::sort(waits);
    const auto at = [&](double q) { return static_cast<double>(waits[static_cast<std::size_t>(q * static_cast<double>(waits.size() - 1))]); };
    state.counters["wait_p50_ns"] = at(0.5);
    state.counters["wait_p999_ns"] = at(0.999);
    state.counters["wait_max_ns"] = at(1.0);
    state.counters["empty_max_ns"] = static_cast<double>(noise);
}
BENCHMARK(BM_PushWhilePairingOldest)->Iterations(500'000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
