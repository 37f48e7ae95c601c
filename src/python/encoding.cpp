#include <pybind11/pybind11.h>

#include <string>

#include "bindings.hpp"
#include "spatial/jsonl.hpp"

namespace py = pybind11;

namespace halberin::spatial::python {

namespace {

// The record parsed by whatever module the interpreter's import gives for "json".
template <class Record>
py::object to_dict(const Record& record) {
    py::module_ json = py::module_::import("json");
    const std::string line = to_jsonl(record);
    py::str text(line);
    return json.attr("loads")(text);
}

}  // namespace

void register_encoding(py::module_& m) {
    m.def("to_jsonl", py::overload_cast<const SpatialIntentFrame&>(&to_jsonl));
    m.def("to_jsonl", py::overload_cast<const ContextualIntentEvent&>(&to_jsonl));
    m.def("to_dict", &to_dict<SpatialIntentFrame>, "Return a JSON-compatible realtime frame.");
    m.def("to_dict", &to_dict<ContextualIntentEvent>, "Return JSON-compatible agent/tool input.");
}

}  // namespace halberin::spatial::python
