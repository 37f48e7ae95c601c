// Attribute helpers for the conventions that pybind11's def_readwrite does not give:
// enumerations read as fresh values, and optional records that stay safe to view.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>

#include "detached_views.hpp"

namespace halberin::spatial::python {

// Reading yields a new enumeration object; a read value never follows later writes.
template <class C, class E>
void def_enum_field(pybind11::class_<C>& cls, const char* name, E C::*field) {
    namespace py = pybind11;
    cls.def_property(name, py::cpp_function([field](const C& self) { return self.*field; }, py::is_method(cls)),
                     py::cpp_function([field](C& self, E value) { self.*field = value; }, py::is_method(cls)));
}

// Reading yields None or a view of the contained record; None empties the field, and
// views of the old value are detached first (see detached_views.hpp).
template <class C, class T>
void def_optional_record(pybind11::class_<C>& cls, const char* name, std::optional<T> C::*field) {
    namespace py = pybind11;
    py::cpp_function getter([field](C& self) -> std::optional<T>& { return self.*field; },
                            py::is_method(cls), py::return_value_policy::reference_internal);
    py::cpp_function setter(
        [field](C& self, std::optional<T> value) {
            if (value) {
                self.*field = std::move(value);
            } else {
                reset_detaching_views(self.*field);
            }
        },
        py::is_method(cls));
    cls.def_property(name, getter, setter);
}

}  // namespace halberin::spatial::python
