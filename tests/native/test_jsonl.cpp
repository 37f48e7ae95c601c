#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "spatial/jsonl.hpp"

using namespace halberin::spatial;

namespace {

const std::string kDefaultFrame =
    R"({"schema":"halberin.spatial-intent","version":1,"timestamp_ns":0,"timestamp_domain":"","reference_space":{"type":"","id":"","generation":0},"head":{"position":[0,0,0],"orientation":[0,0,0,1]},"head_tracking":"unavailable","capabilities":{"head_pose":false,"action_input":false,"hand_tracking":false,"hand_interaction":false,"eye_gaze":false,"enabled_extensions":[]}})";

SpatialIntentFrame worked_example() {
    SpatialIntentFrame f;
    f.timestamp_ns = 123;
    f.timestamp_domain = "steady";
    f.reference_space = {"local", "room-1", 3};
    f.head_pose = {{0, 1.6, 0}, {0, 0.7071067811865476, 0, 0.7071067811865476}};
    f.head_tracking = TrackingConfidence::POSITION_AND_ORIENTATION;
    f.pointing = PointingIntent{{{0.1, 1.2, -0.3}, {0, 0, -1}}, PointingSource::CONTROLLER,
                                TrackingConfidence::ORIENTATION_ONLY};
    f.primary_select = SelectState{true, false, 100};
    f.left_hand_pose = Pose{{-0.2, 1.1, -0.4}, {}};
    f.gaze_ray = Ray{{0, 1.6, 0}, {0, -0.5, -0.8660254037844386}};
    f.target = SpatialHit{{0, 0.5, -2}, {0, 0, 1}, "panel \"A\""};
    f.capabilities.head_pose = true;
    f.capabilities.action_input = true;
    f.capabilities.eye_gaze = true;
    f.capabilities.enabled_extensions = {"ext.a", "ext.b"};
    return f;
}

std::string without_prefix(const std::string& line, const std::string& prefix) {
    return line.substr(0, prefix.size()) == prefix ? line.substr(prefix.size()) : "<prefix missing>";
}

}  // namespace

TEST(FrameLine, DefaultFrame) { EXPECT_EQ(to_jsonl(SpatialIntentFrame{}), kDefaultFrame); }

TEST(FrameLine, WorkedExample) {
    EXPECT_EQ(
        to_jsonl(worked_example()),
        R"({"schema":"halberin.spatial-intent","version":1,"timestamp_ns":123,"timestamp_domain":"steady","reference_space":{"type":"local","id":"room-1","generation":3},"head":{"position":[0,1.6,0],"orientation":[0,0.707106781,0,0.707106781]},"head_tracking":"position_and_orientation","pointing":{"source":"controller","confidence":"orientation_only","origin":[0.1,1.2,-0.3],"direction":[0,0,-1]},"primary_select":{"pressed":true,"changed":false,"last_change_time_ns":100},"left_hand":{"position":[-0.2,1.1,-0.4],"orientation":[0,0,0,1]},"gaze":{"origin":[0,1.6,0],"direction":[0,-0.5,-0.866025404]},"target":{"position":[0,0.5,-2],"normal":[0,0,1],"host_id":"panel \"A\""},"capabilities":{"head_pose":true,"action_input":true,"hand_tracking":false,"hand_interaction":false,"eye_gaze":true,"enabled_extensions":["ext.a","ext.b"]}})");
}

TEST(FrameLine, TargetWithoutAndWithEmptyHostId) {
    SpatialIntentFrame f;
    f.target = SpatialHit{};
    EXPECT_NE(to_jsonl(f).find(R"("target":{"position":[0,0,0],"normal":[0,0,0]},"capabilities")"), std::string::npos);
    f.target->host_id = "";
    EXPECT_NE(to_jsonl(f).find(R"("normal":[0,0,0],"host_id":""},)"), std::string::npos);
}

TEST(FrameLine, RightHandAloneAddsOneMember) {
    SpatialIntentFrame f;
    f.right_hand_pose = Pose{};
    std::string expected = kDefaultFrame;
    const std::string at = R"(,"capabilities")";
    expected.insert(expected.find(at), R"(,"right_hand":{"position":[0,0,0],"orientation":[0,0,0,1]})");
    EXPECT_EQ(to_jsonl(f), expected);
}

TEST(FrameLine, IntegersAndStrings) {
    SpatialIntentFrame f;
    f.timestamp_ns = -5;
    f.timestamp_domain = "a\nb";
    f.reference_space.generation = std::numeric_limits<std::uint64_t>::max();
    f.capabilities.enabled_extensions = {"only"};
    const std::string line = to_jsonl(f);
    EXPECT_NE(line.find(R"("timestamp_ns":-5,"timestamp_domain":"a\nb")"), std::string::npos);
    EXPECT_NE(line.find(R"("generation":18446744073709551615})"), std::string::npos);
    EXPECT_NE(line.find(R"("enabled_extensions":["only"]}})"), std::string::npos);
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST(FrameLine, NonFiniteComponentsAreNull) {
    SpatialIntentFrame f;
    f.head_pose.position = {std::nan(""), std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity()};
    EXPECT_NE(to_jsonl(f).find(R"("head":{"position":[null,null,null],)"), std::string::npos);
}

TEST(FrameLine, EnumerationsOutsideTheirMembers) {
    SpatialIntentFrame f;
    f.head_tracking = static_cast<TrackingConfidence>(99);
    f.pointing = PointingIntent{};
    f.pointing->source = static_cast<PointingSource>(-3);
    const std::string line = to_jsonl(f);
    EXPECT_NE(line.find(R"("head_tracking":"unavailable","pointing":{"source":"head","confidence":"unavailable")"),
              std::string::npos);
}

TEST(EventLine, WorkedExample) {
    ContextualIntentEvent e;
    e.timestamp_ns = 150;
    e.text = "put it \"there\"\n";
    e.spatial_age_ns = 50;
    e.spatial_context.timestamp_ns = 100;
    EXPECT_EQ(
        to_jsonl(e),
        R"({"schema":"halberin.contextual-intent","version":1,"timestamp_ns":150,"text":"put it \"there\"\n","spatial_age_ns":50,"spatial_context":{"schema":"halberin.spatial-intent","version":1,"timestamp_ns":100,"timestamp_domain":"","reference_space":{"type":"","id":"","generation":0},"head":{"position":[0,0,0],"orientation":[0,0,0,1]},"head_tracking":"unavailable","capabilities":{"head_pose":false,"action_input":false,"hand_tracking":false,"hand_interaction":false,"eye_gaze":false,"enabled_extensions":[]}}})");
}

TEST(EventLine, NestsTheFrameLineByteForByte) {
    ContextualIntentEvent e;
    e.text = "";
    e.spatial_age_ns = -7;
    e.spatial_context = worked_example();
    const std::string line = to_jsonl(e);
    const std::string head =
        R"({"schema":"halberin.contextual-intent","version":1,"timestamp_ns":0,"text":"","spatial_age_ns":-7,"spatial_context":)";
    EXPECT_EQ(without_prefix(line, head), to_jsonl(e.spatial_context) + "}");
}

TEST(Lines, WrittenIntoAReusedStringReplaceWhatItHeld) {
    ContextualIntentEvent e;
    e.text = std::string(5000, 'x');
    std::string out;
    write_jsonl(e, out);
    write_jsonl(SpatialIntentFrame{}, out);
    EXPECT_EQ(out, kDefaultFrame);
    write_jsonl(worked_example(), out);
    EXPECT_EQ(out, to_jsonl(worked_example()));
}

// Every member present at its longest, and strings whose every byte needs a six-character
// escape: the line is written into storage sized in advance, so these must fit it whole
// (under AddressSanitizer, a byte past it fails the test).
TEST(Lines, LongestRecordsFitTheirStorage) {
    constexpr double longest = -2.2250738585072014e-308;  // "-2.22507386e-308"
    const Vec3 v{longest, longest, longest};
    const Pose pose{v, {longest, longest, longest, longest}};
    const std::string controls(40, '\x01');
    SpatialIntentFrame f;
    f.timestamp_ns = std::numeric_limits<std::int64_t>::min();
    f.timestamp_domain = controls;
    f.reference_space = {controls, controls, std::numeric_limits<std::uint64_t>::max()};
    f.head_pose = pose;
    f.head_tracking = TrackingConfidence::POSITION_AND_ORIENTATION;
    f.pointing = PointingIntent{{v, v}, PointingSource::CONTROLLER, TrackingConfidence::POSITION_AND_ORIENTATION};
    f.primary_select = SelectState{false, false, std::numeric_limits<std::int64_t>::min()};
    f.left_hand_pose = pose;
    f.right_hand_pose = pose;
    f.gaze_ray = Ray{v, v};
    f.target = SpatialHit{v, v, controls};
    f.capabilities.enabled_extensions = {controls, controls, ""};
    const std::string line = to_jsonl(f);
    EXPECT_EQ(line.substr(line.size() - 3), "]}}");
    const ContextualIntentEvent e{std::numeric_limits<std::int64_t>::min(), controls, f,
                                  std::numeric_limits<std::int64_t>::min()};
    EXPECT_EQ(to_jsonl(e), R"({"schema":"halberin.contextual-intent","version":1,"timestamp_ns":-9223372036854775808,"text":")" +
                               std::string(line.substr(line.find(R"("timestamp_domain":")") + 20, 6 * 40)) +
                               R"(","spatial_age_ns":-9223372036854775808,"spatial_context":)" + line + "}");
}
