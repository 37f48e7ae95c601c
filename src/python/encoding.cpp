#include <pybind11/pybind11.h>

#include <string>

#include "bindings.hpp"
#include "spatial/jsonl.hpp"

namespace py = pybind11;

namespace halberin::spatial::python {

namespace {

// The frame argument of the overloads that are tried before the event's. The library's
// own caster, finding no frame, probes the argument's class for a module-local binding of
// the frame from another extension, an attribute lookup that raises and clears an
// AttributeError: most of the cost of every event call. This module binds the frame
// globally, so only an instance of its class (or of a subclass) can be a frame here.
struct FrameArgument {
    const SpatialIntentFrame* frame = nullptr;
};

}  // namespace

}  // namespace halberin::spatial::python

namespace pybind11::detail {

template <>
struct type_caster<halberin::spatial::python::FrameArgument> {
    using Frame = halberin::spatial::SpatialIntentFrame;
    // Named as the frame itself, so signatures and docstrings read as before.
    PYBIND11_TYPE_CASTER(halberin::spatial::python::FrameArgument, const_name<Frame>());

    bool load(handle src, bool convert) {
        // The library's caster looks the frame's registration up as it is made; the
        // check uses that one lookup.
        type_caster_base<Frame> base;
        if (base.typeinfo == nullptr || !PyType_IsSubtype(Py_TYPE(src.ptr()), base.typeinfo->type)) {
            return false;
        }
        if (!base.load(src, convert)) {
            return false;
        }
        value.frame = &static_cast<Frame&>(base);
        return true;
    }

    static handle cast(const halberin::spatial::python::FrameArgument&, return_value_policy, handle) = delete;
};

}  // namespace pybind11::detail

namespace halberin::spatial::python {

namespace {

// The line as a str, encoded into a per-thread buffer that keeps its storage between
// calls (no allocation but the str's own); one grown by a long text is given back.
template <class Record>
py::str line_of(const Record& record) {
    thread_local std::string buffer;
    write_jsonl(record, buffer);
    py::str line(buffer);
    if (buffer.capacity() > 64 * 1024) {
        std::string().swap(buffer);
    }
    return line;
}

// The record parsed by whatever module the interpreter's import gives for "json".
template <class Record>
py::object to_dict(const Record& record) {
    py::module_ json = py::module_::import("json");
    return json.attr("loads")(line_of(record));
}

}  // namespace

void register_encoding(py::module_& m) {
    m.def("to_jsonl", [](FrameArgument frame) { return line_of(*frame.frame); });
    m.def("to_jsonl", [](const ContextualIntentEvent& event) { return line_of(event); });
    m.def("to_dict", [](FrameArgument frame) { return to_dict(*frame.frame); },
          "Return a JSON-compatible realtime frame.");
    m.def("to_dict", &to_dict<ContextualIntentEvent>, "Return JSON-compatible agent/tool input.");
}

}  // namespace halberin::spatial::python
