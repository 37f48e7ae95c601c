// Emptying an optional record while Python views of it are alive.
//
// A view refers to storage inside its owner. Emptying the optional would destroy that
// storage under the view, so before the reset the value is moved into a new owning
// Python object and every live view of it (or of a record inside it) is re-pointed
// there and made to keep that object alive. Stale views go on showing the values the
// field held when it was emptied; writes through them reach only the detached copy,
// never the frame.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <typeinfo>
#include <vector>

#include "spatial/frame.hpp"

namespace halberin::spatial::python {

// Calls f on `value` and on every bound record held inside it, the places where a view
// may point.
template <class F> void for_each_record(Vec3& v, F&& f) { f(v); }
template <class F> void for_each_record(Quaternion& q, F&& f) { f(q); }
template <class F> void for_each_record(SelectState& s, F&& f) { f(s); }
template <class F> void for_each_record(Pose& p, F&& f) {
    f(p);
    f(p.position);
    f(p.orientation);
}
template <class F> void for_each_record(Ray& r, F&& f) {
    f(r);
    f(r.origin);
    f(r.direction);
}
template <class F> void for_each_record(PointingIntent& p, F&& f) {
    f(p);
    for_each_record(p.ray, f);
}
template <class F> void for_each_record(SpatialHit& h, F&& f) {
    f(h);
    f(h.position);
    f(h.normal);
}

struct LiveView {
    pybind11::detail::instance* inst;
    const pybind11::detail::type_info* type;
    char* ptr;
};

template <class R>
void collect_views(R& record, std::vector<LiveView>& out) {
    namespace d = pybind11::detail;
    const d::type_info* type = d::get_type_info(typeid(R));
    void* ptr = static_cast<void*>(std::addressof(record));
    d::with_instance_map(ptr, [&](d::instance_map& instances) {
        auto range = instances.equal_range(ptr);
        for (auto it = range.first; it != range.second; ++it) {
            for (const d::type_info* t : d::all_type_info(Py_TYPE(it->second))) {
                if (t == type) {
                    out.push_back({it->second, type, static_cast<char*>(ptr)});
                }
            }
        }
    });
}

template <class T>
void reset_detaching_views(std::optional<T>& field) {
    namespace d = pybind11::detail;
    if (!field) {
        return;
    }
    std::vector<LiveView> views;
    for_each_record(*field, [&](auto& record) { collect_views(record, views); });
    if (views.empty()) {
        field.reset();
        return;
    }
    char* const old_base = reinterpret_cast<char*>(std::addressof(*field));
    auto detached = std::make_unique<T>(std::move(*field));
    char* const new_base = reinterpret_cast<char*>(detached.get());
    pybind11::object owner;
    try {
        owner = pybind11::cast(std::move(detached));
    } catch (...) {
        if (detached) {
            *field = std::move(*detached);
        }
        throw;
    }
    for (const LiveView& v : views) {
        char* const moved_to = new_base + (v.ptr - old_base);
        d::deregister_instance(v.inst, v.ptr, v.type);
        v.inst->get_value_and_holder(v.type).value_ptr() = moved_to;
        d::register_instance(v.inst, moved_to, v.type);
        d::keep_alive_impl(pybind11::handle(reinterpret_cast<PyObject*>(v.inst)), owner);
    }
    field.reset();
}

}  // namespace halberin::spatial::python
