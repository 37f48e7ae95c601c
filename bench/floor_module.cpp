// Bindings that do everything a to_jsonl call does but encode (the same argument
// conversion and a str of the same length built from a native string), and everything
// a from_jsonl call does but read (the line's UTF-8 and a new object owning a copy of a
// frame or event read beforehand).
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "spatial/frame.hpp"

namespace py = pybind11;
using halberin::spatial::ContextualIntentEvent;
using halberin::spatial::SpatialIntentFrame;

namespace {

std::string& line() {
    static std::string text;
    return text;
}

SpatialIntentFrame& frame() {
    static SpatialIntentFrame f;
    return f;
}

ContextualIntentEvent& event() {
    static ContextualIntentEvent e;
    return e;
}

std::string_view utf8(py::handle line) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(line.ptr(), &n);
    if (s == nullptr) {
        throw py::error_already_set();
    }
    return {s, static_cast<std::size_t>(n)};
}

}  // namespace

PYBIND11_MODULE(_spatial_floor, m) {
    m.def("set_line", [](std::string text) { line() = std::move(text); });
    m.def("prebuilt", [](const SpatialIntentFrame&) { return line(); });
    m.def("prebuilt_event", [](const ContextualIntentEvent&) { return line(); });
    m.def("set_record", [](const SpatialIntentFrame& f) { frame() = f; });
    m.def("set_record", [](const ContextualIntentEvent& e) { event() = e; });
    m.def("read_frame", [](py::handle line) { return utf8(line).empty() ? SpatialIntentFrame{} : frame(); });
    m.def("read_event", [](py::handle line) { return utf8(line).empty() ? ContextualIntentEvent{} : event(); });
}
