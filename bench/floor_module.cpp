// A binding that does everything a to_jsonl call does but encode: the same argument
// conversion and a str of the same length built from a native string.
#include <pybind11/pybind11.h>

#include <string>

#include "spatial/frame.hpp"

namespace py = pybind11;
using halberin::spatial::ContextualIntentEvent;
using halberin::spatial::SpatialIntentFrame;

namespace {

std::string& line() {
    static std::string text;
    return text;
}

}  // namespace

PYBIND11_MODULE(_spatial_floor, m) {
    m.def("set_line", [](std::string text) { line() = std::move(text); });
    m.def("prebuilt", [](const SpatialIntentFrame&) { return line(); });
    m.def("prebuilt_event", [](const ContextualIntentEvent&) { return line(); });
}
