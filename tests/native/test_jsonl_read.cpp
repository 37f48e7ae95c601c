#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "record_reader.hpp"
#include "spatial/jsonl.hpp"
#include "written_records.hpp"

using namespace halberin::spatial;

namespace {

const std::string kFrame =
    R"({"schema":"halberin.spatial-intent","version":1,"timestamp_ns":-5,"timestamp_domain":"a\u00e9\n","reference_space":{"type":"local","id":"r","generation":18446744073709551615},"head":{"position":[-0,1e-400,null],"orientation":[0,0,0,1]},"head_tracking":"orientation_only","target":{"position":[1,2,3],"normal":[0,0,1]},"capabilities":{"head_pose":true,"action_input":false,"hand_tracking":false,"hand_interaction":false,"eye_gaze":false,"enabled_extensions":["x"]}})";

SpatialIntentFrame frame_of(const std::string& line) {
    auto record = from_jsonl(line);
    EXPECT_TRUE(record) << (record ? "" : describe(record.error()));
    return record ? std::get<SpatialIntentFrame>(*record) : SpatialIntentFrame{};
}

double number_of(const std::string& text) {
    std::string line = kFrame;
    line.replace(line.find("[1,2,3]") + 1, 1, text);
    return frame_of(line).target->position.x;
}

}  // namespace

TEST(Read, FrameValues) {
    const SpatialIntentFrame f = frame_of(kFrame);
    EXPECT_EQ(f.timestamp_ns, -5);
    EXPECT_EQ(f.timestamp_domain, "a\xc3\xa9\n");
    EXPECT_EQ(f.reference_space.generation, UINT64_MAX);
    EXPECT_TRUE(std::signbit(f.head_pose.position.x));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(f.head_pose.position.y), 0u);
    EXPECT_TRUE(std::isnan(f.head_pose.position.z));
    EXPECT_EQ(f.head_tracking, TrackingConfidence::ORIENTATION_ONLY);
    EXPECT_FALSE(f.pointing || f.primary_select || f.left_hand_pose || f.right_hand_pose || f.gaze_ray);
    ASSERT_TRUE(f.target);
    EXPECT_FALSE(f.target->host_id);
    EXPECT_EQ(f.capabilities.enabled_extensions, std::vector<std::string>{"x"});
}

TEST(Read, EventReadsBackByteForByte) {
    SpatialIntentFrame f = frame_of(kFrame);
    f.head_pose.position.z = 0.25;
    const std::string line = to_jsonl(ContextualIntentEvent{995, "here", f, 1000});
    auto record = from_jsonl(line);
    ASSERT_TRUE(record) << describe(record.error());
    const auto& e = std::get<ContextualIntentEvent>(*record);
    EXPECT_EQ(e.text, "here");
    EXPECT_EQ(to_jsonl(e), line);
}

// Halfway and boundary cases, long mantissas and far exponents, against strtod (glibc's
// is correctly rounded).
TEST(Read, NumbersAreCorrectlyRounded) {
    for (const char* text : {"9007199254740993", "9007199254740995", "1e23", "8.41e21", "2.2250738585072011e-308",
                             "2.2250738585072012e-308", "4.9406564584124654e-324", "2.4703282292062327e-324",
                             "2.4703282292062328e-324", "1.7976931348623158e308", "0.1000000000000000055511151231257827",
                             "123456789012345678901234567890e-10", "7.0e-10", "3.0000000000000000001"}) {
        EXPECT_EQ(std::bit_cast<std::uint64_t>(number_of(text)), std::bit_cast<std::uint64_t>(std::strtod(text, nullptr)))
            << text;
    }
}

TEST(Read, RefusalSaysWhatWhereAndWhichByte) {
    std::string line = kFrame;
    line.replace(line.find("[1,2,3]") + 3, 1, "\"2\"");
    const auto record = from_jsonl(line);
    ASSERT_FALSE(record);
    EXPECT_EQ(record.error().what, "expected a number or null");
    EXPECT_EQ(record.error().path, "$.target.position[1]");
    EXPECT_EQ(record.error().offset, line.find("[1,\"2\"") + 3);
}

TEST(Read, NamesInMessagesAreCutBetweenCharacters) {
    const auto record = from_jsonl(R"({")" + std::string(39, 'a') + "\xc3\xa9" + R"(":1})");
    ASSERT_FALSE(record);
    EXPECT_EQ(record.error().what, "unknown member \"" + std::string(39, 'a') + "...\"");
}

TEST(Read, NestingIsNeverTheInputs) {
    const auto record = from_jsonl(R"({"schema":)" + std::string(1'000'000, '['));
    ASSERT_FALSE(record);
    EXPECT_EQ(describe(record.error()), "expected a string at $.schema, byte 10");
}

// Every prefix of a whole event line, and the line with each byte replaced by a few others:
// each is read or refused, and every refusal names its place in the record and the input.
TEST(Read, EveryTruncationAndMutationIsAnswered) {
    SpatialIntentFrame f = frame_of(kFrame);
    f.head_pose.position.z = 0.5;
    f.pointing = PointingIntent{{{1, 2, 3}, {0, 0, -1}}, PointingSource::HAND, TrackingConfidence::ORIENTATION_ONLY};
    f.primary_select = SelectState{true, false, -5};
    f.left_hand_pose = f.right_hand_pose = f.head_pose;
    f.gaze_ray = Ray{{0, 1, 0}, {0, 0, -1}};
    f.target->host_id = "panel";
    const std::string line = to_jsonl(ContextualIntentEvent{0, "here", f, 5});
    const auto answered = [&](std::string_view input) {
        const auto record = from_jsonl(input);
        return record || (record.error().path.starts_with("$") && record.error().offset <= input.size());
    };
    for (std::size_t n = 0; n < line.size(); ++n) {
        EXPECT_FALSE(from_jsonl(std::string_view(line).substr(0, n))) << n;
        EXPECT_TRUE(answered(std::string_view(line).substr(0, n))) << n;
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
        for (const char c : {'x', '"', ']', '}', ',', '0', '-', ' ', '\\', '\x01'}) {
            std::string mutated = line;
            mutated[i] = c;
            EXPECT_TRUE(answered(mutated)) << mutated;
        }
    }
}

// Every line the module writes is read straight through, not by the general walk (which
// would give the same record, only slower, so nothing else would notice the difference).
TEST(Read, LinesTheModuleWritesTakeTheLaidOutPath) {
    for (const SpatialIntentFrame& f : written_frames()) {
        const std::string line = to_jsonl(f);
        SpatialIntentFrame read;
        ASSERT_FALSE(reading::laid_out_event(line));
        EXPECT_TRUE(reading::read_laid_out(line, read)) << line;
        EXPECT_EQ(to_jsonl(read), line);
        const std::string event_line = to_jsonl(ContextualIntentEvent{f.timestamp_ns + 7, "put \"it\" \u00e9", f, 7});
        ContextualIntentEvent event;
        ASSERT_TRUE(reading::laid_out_event(event_line));
        EXPECT_TRUE(reading::read_laid_out(event_line, event)) << event_line;
        EXPECT_EQ(to_jsonl(event), event_line);
    }
}
