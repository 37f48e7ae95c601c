#include <pybind11/pybind11.h>
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/typing.h>

#include <cmath>
#include <array>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "bindings.hpp"
#include "laid_out_dict.hpp"
#include "record_reader.hpp"
#include "json_text.hpp"
#include "spatial/jsonl.hpp"
#include "spatial/timeline.hpp"

namespace py = pybind11;

namespace halberin::spatial::python {

namespace {

inline int any_object(PyObject*) noexcept { return 1; }

}  // namespace

// from_jsonl's argument: any object, taken as it is and read by the function itself
// (the library's union type would check it as adopt() says).
class LineArgument : public pybind11::object {
    PYBIND11_OBJECT_DEFAULT(LineArgument, object, any_object)
};

}  // namespace halberin::spatial::python

template <>
struct pybind11::detail::handle_type_name<halberin::spatial::python::LineArgument> {
    static constexpr auto name = const_name("str | collections.abc.Buffer");
};

namespace halberin::spatial::python {

namespace {

using reading::Path;

// A class's name, which a program may make as long as it likes, cut short.
std::string type_name(PyObject* v) {
    const std::string_view name = Py_TYPE(v)->tp_name;
    const std::string_view cut = reading::shortened(name);
    return std::string(cut) + (cut.size() < name.size() ? "..." : "");
}

// A record's dictionary (what to_dict or json.loads gives) as a source of values for
// the record walk. Nothing here runs Python code, so the borrowed references of a
// dictionary's items stay valid for the whole walk.
class DictInput {
public:
    using Value = PyObject*;

    std::string message;

    static std::size_t where() noexcept { return 0; }

    bool fail(const Path& path, const std::string& what) {
        message = what + " at " + reading::format_path(path);
        return false;
    }

    bool fail_at(std::size_t, const Path& path, const std::string& what) { return fail(path, what); }

    template <class Names, class Member>
    bool object(Value v, const Path& path, const Names& members, Member&& member) {
        if (!PyDict_Check(v)) {
            return mismatch(v, path, "expected an object (a dict)");
        }
        Py_ssize_t pos = 0;
        std::size_t hint = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(v, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                return mismatch(key, path, "expected a str member name");
            }
            std::string_view name;
            if (!utf8(key, name)) {
                return fail(path, "member name is not valid UTF-8");
            }
            const int i = members.find(name, hint);
            hint = static_cast<std::size_t>(i) + 1;
            if (!member(i, name, value)) {
                return false;
            }
        }
        return true;
    }

    template <class Element>
    bool array(Value v, const Path& path, Element&& element) {
        const bool list = PyList_Check(v);
        if (!list && !PyTuple_Check(v)) {
            return mismatch(v, path, "expected an array (a list)");
        }
        const Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!element(static_cast<std::size_t>(i), list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i))) {
                return false;
            }
        }
        return true;
    }

    bool numbers(Value v, const Path& path, std::span<double> out) {
        const bool list = PyList_Check(v);
        if (!list && !PyTuple_Check(v)) {
            return mismatch(v, path, "expected an array (a list)");
        }
        if (static_cast<std::size_t>(list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v)) != out.size()) {
            return fail(path, reading::expected_numbers(out.size()));
        }
        for (std::size_t i = 0; i < out.size(); ++i) {
            const auto k = static_cast<Py_ssize_t>(i);
            if (!number(list ? PyList_GET_ITEM(v, k) : PyTuple_GET_ITEM(v, k), Path{&path, {}, i}, out[i])) {
                return false;
            }
        }
        return true;
    }

    bool number(Value v, const Path& path, double& out) {
        if (PyFloat_Check(v)) {
            out = PyFloat_AS_DOUBLE(v);
            return std::isfinite(out) || fail(path, "expected a finite number or null, found " + non_finite(v));
        }
        if (v == Py_None) {
            out = std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        if (PyLong_Check(v) && !PyBool_Check(v)) {
            out = PyLong_AsDouble(v);  // correctly rounded
            if (out == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                return fail(path, "number beyond the double range");
            }
            return true;
        }
        return mismatch(v, path, "expected a number or null");
    }

    bool integer(Value v, const Path& path, std::int64_t& out) {
        if (!is_int(v)) {
            return mismatch(v, path, "expected an integer");
        }
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(v, &overflow);
        return overflow == 0 || fail(path, "integer beyond the signed 64-bit range");
    }

    bool integer(Value v, const Path& path, std::uint64_t& out) {
        if (!is_int(v)) {
            return mismatch(v, path, "expected an integer");
        }
        out = PyLong_AsUnsignedLongLong(v);
        if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return fail(path, "integer beyond the unsigned 64-bit range");
        }
        return true;
    }

    bool boolean(Value v, const Path& path, bool& out) {
        if (v != Py_True && v != Py_False) {
            return mismatch(v, path, "expected true or false");
        }
        out = v == Py_True;
        return true;
    }

    bool string(Value v, const Path& path, std::string& out) {
        std::string_view s;
        if (!name(v, path, s)) {
            return false;
        }
        out.assign(s);
        return true;
    }

    bool name(Value v, const Path& path, std::string_view& out) {
        if (!PyUnicode_Check(v)) {
            return mismatch(v, path, "expected a string");
        }
        return utf8(v, out) || fail(path, "string is not valid UTF-8 (it holds a lone surrogate)");
    }

private:
    static bool is_int(Value v) noexcept { return PyLong_Check(v) && !PyBool_Check(v); }

    // A float's value that is not finite, and its class when that is not float itself;
    // said without calling the object's own methods, which may be anything.
    static std::string non_finite(Value v) {
        const double x = PyFloat_AS_DOUBLE(v);
        const std::string value = std::isnan(x) ? "nan" : x < 0 ? "-inf" : "inf";
        return PyFloat_CheckExact(v) ? value : value + " (a " + type_name(v) + ")";
    }

    bool mismatch(Value v, const Path& path, const char* expected) {
        return fail(path, std::string(expected) + ", found " + type_name(v));
    }

    static bool utf8(Value v, std::string_view& out) {
        if (PyUnicode_IS_COMPACT_ASCII(v)) {  // names and most text: the bytes are the str's own
            out = std::string_view(static_cast<const char*>(PyUnicode_DATA(v)),
                                   static_cast<std::size_t>(PyUnicode_GET_LENGTH(v)));
            return true;
        }
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(v, &n);
        if (s == nullptr) {
            PyErr_Clear();
            return false;
        }
        out = std::string_view(s, static_cast<std::size_t>(n));
        return true;
    }
};

using AnyRecord = py::typing::Union<SpatialIntentFrame, ContextualIntentEvent>;

// A new Python object that takes over the record where it was read. (Made as the union
// type by stealing, not converting: its conversion checks the object by taking a
// reference to the object's type that it never gives back.)
//
// The class's registration is looked up once: the library's lookup hashes the type's
// mangled name on every cast, a tenth of a read. The module lives in one interpreter,
// for the life of the process, as the registration does.
template <class T>
AnyRecord adopt(std::unique_ptr<T> record) {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<const py::detail::type_info*> registration;
    const auto* type = registration.call_once_and_store_result([] { return py::detail::get_type_info(typeid(T)); })
                           .get_stored();
    py::handle object = py::detail::type_caster_generic::cast(
        py::detail::cast_sources(record.get(), type), py::return_value_policy::take_ownership, {}, nullptr, nullptr);
    if (!object) {
        throw py::error_already_set();
    }
    record.release();
    return py::reinterpret_steal<AnyRecord>(object);
}

AnyRecord to_python(Record&& record) {
    return std::visit([](auto&& r) { return adopt(std::make_unique<std::decay_t<decltype(r)>>(std::move(r))); },
                      std::move(record));
}

// A new object whose record `read` fills in place (a line or a dictionary laid out as
// the module writes it), or nothing when `read` declines it.
template <class T, class Read>
std::optional<AnyRecord> read_into(Read&& read) {
    auto record = std::make_unique<T>();
    if (!read(*record)) {
        return std::nullopt;
    }
    return adopt(std::move(record));
}

// The bytes of a str (its UTF-8, which the str keeps) or of any bytes-like object.
class LineBytes {
public:
    explicit LineBytes(py::handle line) {
        if (PyUnicode_Check(line.ptr())) {
            Py_ssize_t n = 0;
            const char* s = PyUnicode_AsUTF8AndSize(line.ptr(), &n);
            if (s == nullptr) {
                throw py::error_already_set();
            }
            text = std::string_view(s, static_cast<std::size_t>(n));
        } else if (PyBytes_Check(line.ptr())) {
            text = std::string_view(PyBytes_AS_STRING(line.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(line.ptr())));
        } else if (PyObject_CheckBuffer(line.ptr())) {
            if (PyObject_GetBuffer(line.ptr(), &view, PyBUF_SIMPLE) != 0) {
                throw py::error_already_set();
            }
            held = true;
            text = std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
        } else {
            throw py::type_error("from_jsonl() argument must be str or a bytes-like object, not " +
                                 type_name(line.ptr()));
        }
    }
    LineBytes(const LineBytes&) = delete;
    LineBytes& operator=(const LineBytes&) = delete;
    ~LineBytes() {
        if (held) {
            PyBuffer_Release(&view);
        }
    }

    std::string_view text;

private:
    Py_buffer view{};
    bool held = false;
};

AnyRecord from_jsonl(const LineArgument& line) {
    std::expected<Record, ReadError> record;
    {
        const LineBytes bytes(line);
        const auto read = [&](auto& into) { return reading::read_laid_out(bytes.text, into); };
        if (auto laid_out = reading::laid_out_event(bytes.text) ? read_into<ContextualIntentEvent>(read)
                                                                : read_into<SpatialIntentFrame>(read)) {
            return *std::move(laid_out);
        }
        record = spatial::from_jsonl(bytes.text);
    }
    if (!record) {
        throw py::value_error(describe(record.error()));
    }
    return to_python(std::move(*record));
}

AnyRecord from_dict(const py::dict& d) {
    if (auto laid_out = LaidOutDict::names_event(d.ptr())
                            ? read_into<ContextualIntentEvent>([&](auto& e) { return LaidOutDict::event(d.ptr(), e); })
                            : read_into<SpatialIntentFrame>([&](auto& f) { return LaidOutDict::frame(d.ptr(), f); })) {
        return *std::move(laid_out);
    }
    DictInput in;
    Record record;
    if (!reading::RecordReader<DictInput>(in).record(d.ptr(), record)) {
        throw py::value_error(in.message);
    }
    return to_python(std::move(record));
}

}  // namespace

void register_reading(py::module_& m) {
    m.def("from_jsonl", &from_jsonl, py::arg("line"),
          "Read one record line (str or UTF-8 bytes) back into a frame or an event.");
    m.def("from_dict", &from_dict, py::arg("record"), "Read a record's dictionary back into a frame or an event.");
}

}  // namespace halberin::spatial::python
