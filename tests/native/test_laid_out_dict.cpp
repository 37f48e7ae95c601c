// The dictionary reader's straight path, with an interpreter embedded: every dictionary
// to_dict gives for a record the module wrote is read by it, not by the general walk.
#include <pybind11/embed.h>

#include <gtest/gtest.h>

#include <string>

#include "laid_out_dict.hpp"
#include "spatial/jsonl.hpp"
#include "written_records.hpp"

namespace py = pybind11;
using namespace halberin::spatial;

TEST(LaidOutDict, DictionariesOfWrittenRecordsTakeTheLaidOutPath) {
    const py::scoped_interpreter interpreter;
    const py::object loads = py::module_::import("json").attr("loads");  // what to_dict gives
    for (const SpatialIntentFrame& f : written_frames()) {
        const std::string line = to_jsonl(f);
        SpatialIntentFrame frame;
        EXPECT_TRUE(python::LaidOutDict::frame(loads(line).ptr(), frame)) << line;
        EXPECT_EQ(to_jsonl(frame), line);
        const std::string event_line = to_jsonl(ContextualIntentEvent{f.timestamp_ns + 7, "put it \u00e9", f, 7});
        const py::object d = loads(event_line);
        ContextualIntentEvent event;
        EXPECT_TRUE(python::LaidOutDict::names_event(d.ptr()));
        EXPECT_TRUE(python::LaidOutDict::event(d.ptr(), event)) << event_line;
        EXPECT_EQ(to_jsonl(event), event_line);
    }
}
