// Reading a record's dictionary laid out as to_dict gives it, straight through.
#pragma once

#include <Python.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "json_text.hpp"
#include "record_members.hpp"
#include "record_reader.hpp"
#include "spatial/timeline.hpp"

namespace halberin::spatial::python {

namespace key = members;

// A record's dictionary with its members in the order to_dict gives them, read straight
// through: each member is compared with the one expected next, and no value is looked
// up. Any other order, a member it does not expect or a value of another kind (a
// subclass included) returns false, and the general walk reads the dictionary again; it
// accepts the same records with the same values, and says what was wrong.
class LaidOutDict {
    using R = key::record_key::Member;
    using Space = key::space_key::Member;
    using Pointing = key::pointing_key::Member;
    using Select = key::select_key::Member;
    using Target = key::target_key::Member;
    using Caps = key::capabilities_key::Member;
    using PoseKey = key::pose_key::Member;
    using RayKey = key::ray_key::Member;

public:
    static bool frame(PyObject* d, SpatialIntentFrame& f) {
        Members m(d);
        auto& rs = f.reference_space;
        auto& c = f.capabilities;
        if (!(m.valid() && named(m.take(R::schema), reading::frame_schema) && version(m.take(R::version)) &&
              integer(m.take(R::timestamp_ns), f.timestamp_ns) &&
              text(m.take(R::timestamp_domain), f.timestamp_domain))) {
            return false;
        }
        Members space(m.take(R::reference_space));
        if (!(space.valid() && text(space.take(Space::type), rs.type) && text(space.take(Space::id), rs.id) &&
              integer(space.take(Space::generation), rs.generation) && space.done() &&
              pose(m.take(R::head), f.head_pose) &&
              name_of(m.take(R::head_tracking), json::tracking_confidence_names, f.head_tracking))) {
            return false;
        }
        if (PyObject* v = m.take(R::pointing)) {
            Members p(v);
            auto& pi = f.pointing.emplace();
            if (!(p.valid() && name_of(p.take(Pointing::source), json::pointing_source_names, pi.source) &&
                  name_of(p.take(Pointing::confidence), json::tracking_confidence_names, pi.confidence) &&
                  vec3(p.take(Pointing::origin), pi.ray.origin) &&
                  vec3(p.take(Pointing::direction), pi.ray.direction) && p.done())) {
                return false;
            }
        }
        if (PyObject* v = m.take(R::primary_select)) {
            Members p(v);
            auto& sel = f.primary_select.emplace();
            if (!(p.valid() && boolean(p.take(Select::pressed), sel.pressed) &&
                  boolean(p.take(Select::changed), sel.changed) &&
                  integer(p.take(Select::last_change_time_ns), sel.last_change_time_ns) && p.done())) {
                return false;
            }
        }
        PyObject* v = nullptr;
        if (((v = m.take(R::left_hand)) && !pose(v, f.left_hand_pose.emplace())) ||
            ((v = m.take(R::right_hand)) && !pose(v, f.right_hand_pose.emplace())) ||
            ((v = m.take(R::gaze)) && !ray(v, f.gaze_ray.emplace()))) {
            return false;
        }
        if (PyObject* t = m.take(R::target)) {
            Members p(t);
            auto& hit = f.target.emplace();
            if (!(p.valid() && vec3(p.take(Target::position), hit.position) &&
                  vec3(p.take(Target::normal), hit.normal))) {
                return false;
            }
            if (PyObject* id = p.take(Target::host_id); (id && !text(id, hit.host_id.emplace())) || !p.done()) {
                return false;
            }
        }
        Members caps(m.take(R::capabilities));
        PyObject* names = nullptr;
        if (!(caps.valid() && boolean(caps.take(Caps::head_pose), c.head_pose) &&
              boolean(caps.take(Caps::action_input), c.action_input) &&
              boolean(caps.take(Caps::hand_tracking), c.hand_tracking) &&
              boolean(caps.take(Caps::hand_interaction), c.hand_interaction) &&
              boolean(caps.take(Caps::eye_gaze), c.eye_gaze) && (names = caps.take(Caps::enabled_extensions)) &&
              PyList_CheckExact(names) && caps.done() && m.done())) {
            return false;
        }
        c.enabled_extensions.resize(static_cast<std::size_t>(PyList_GET_SIZE(names)));
        for (std::size_t i = 0; i < c.enabled_extensions.size(); ++i) {
            if (!text(PyList_GET_ITEM(names, static_cast<Py_ssize_t>(i)), c.enabled_extensions[i])) {
                return false;
            }
        }
        return true;
    }

    static bool event(PyObject* d, ContextualIntentEvent& e) {
        Members m(d);
        return m.valid() && named(m.take(R::schema), reading::event_schema) && version(m.take(R::version)) &&
               integer(m.take(R::timestamp_ns), e.timestamp_ns) && text(m.take(R::text), e.text) && !e.text.empty() &&
               integer(m.take(R::spatial_age_ns), e.spatial_age_ns) &&
               frame(m.take(R::spatial_context), e.spatial_context) && m.done() &&
               context_age(e.spatial_context.timestamp_ns, e.timestamp_ns) == e.spatial_age_ns;
    }

    // Whether a dictionary names the event schema (so is read as an event).
    static bool names_event(PyObject* d) {
        Members m(d);
        std::string_view s;
        return m.valid() && view(m.take(R::schema), s) && s == reading::event_schema;
    }

private:
    // The members of one dictionary (an exact dict, else none), in their order.
    class Members {
    public:
        explicit Members(PyObject* d) noexcept : dict(d != nullptr && PyDict_CheckExact(d) ? d : nullptr) {
            advance();
        }

        bool valid() const noexcept { return dict != nullptr; }
        bool done() const noexcept { return !more; }

        // The value of the current member when it is `member` (moving on), else null.
        template <class Member>
        PyObject* take(Member member) noexcept {
            const std::string_view name = members::name(member);
            if (!more || !PyUnicode_Check(key) || !PyUnicode_IS_COMPACT_ASCII(key) ||
                static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)) != name.size() ||
                !reading::same_bytes(static_cast<const char*>(PyUnicode_DATA(key)), name)) {
                return nullptr;
            }
            PyObject* v = value;
            advance();
            return v;
        }

    private:
        PyObject* dict;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        bool more = false;

        void advance() noexcept { more = dict != nullptr && PyDict_Next(dict, &pos, &key, &value); }
    };

    static bool view(PyObject* v, std::string_view& out) {
        if (v == nullptr || !PyUnicode_CheckExact(v)) {
            return false;
        }
        Py_ssize_t n = 0;
        const char* s = PyUnicode_IS_COMPACT_ASCII(v) ? static_cast<const char*>(PyUnicode_DATA(v))
                                                      : PyUnicode_AsUTF8AndSize(v, &n);
        if (s == nullptr) {
            PyErr_Clear();
            return false;
        }
        out = std::string_view(s, PyUnicode_IS_COMPACT_ASCII(v) ? static_cast<std::size_t>(PyUnicode_GET_LENGTH(v))
                                                                : static_cast<std::size_t>(n));
        return true;
    }

    static bool text(PyObject* v, std::string& out) {
        std::string_view s;
        if (!view(v, s)) {
            return false;
        }
        out.assign(s);
        return true;
    }

    static bool named(PyObject* v, std::string_view expected) {
        std::string_view s;
        return view(v, s) && s == expected;
    }

    template <class Enum, std::size_t N>
    static bool name_of(PyObject* v, const std::array<std::string_view, N>& names, Enum& out) {
        std::string_view s;
        return view(v, s) && reading::named_value(names, s, out);
    }

    static bool integer(PyObject* v, std::int64_t& out) {
        if (v == nullptr || !PyLong_CheckExact(v)) {
            return false;
        }
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(v, &overflow);
        return overflow == 0;
    }

    static bool integer(PyObject* v, std::uint64_t& out) {
        if (v == nullptr || !PyLong_CheckExact(v)) {
            return false;
        }
        out = PyLong_AsUnsignedLongLong(v);
        if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }

    static bool version(PyObject* v) {
        std::int64_t n = 0;
        return integer(v, n) && n == 1;
    }

    static bool boolean(PyObject* v, bool& out) {
        out = v == Py_True;
        return v == Py_True || v == Py_False;
    }

    static bool number(PyObject* v, double& out) {
        if (PyFloat_CheckExact(v)) {
            out = PyFloat_AS_DOUBLE(v);
            return std::isfinite(out);
        }
        if (v == Py_None) {
            out = std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        if (!PyLong_CheckExact(v)) {
            return false;
        }
        out = PyLong_AsDouble(v);
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }

    template <std::size_t N>
    static bool numbers(PyObject* v, std::array<double, N>& out) {
        if (v == nullptr || !PyList_CheckExact(v) || PyList_GET_SIZE(v) != static_cast<Py_ssize_t>(N)) {
            return false;
        }
        for (std::size_t i = 0; i < N; ++i) {
            if (!number(PyList_GET_ITEM(v, static_cast<Py_ssize_t>(i)), out[i])) {
                return false;
            }
        }
        return true;
    }

    static bool vec3(PyObject* v, Vec3& out) {
        std::array<double, 3> a;
        if (!numbers(v, a)) {
            return false;
        }
        out = {a[0], a[1], a[2]};
        return true;
    }

    static bool pose(PyObject* v, Pose& out) {
        Members m(v);
        std::array<double, 4> q;
        if (!(m.valid() && vec3(m.take(PoseKey::position), out.position) &&
              numbers(m.take(PoseKey::orientation), q) && m.done())) {
            return false;
        }
        out.orientation = {q[0], q[1], q[2], q[3]};
        return true;
    }

    static bool ray(PyObject* v, Ray& out) {
        Members m(v);
        return m.valid() && vec3(m.take(RayKey::origin), out.origin) &&
               vec3(m.take(RayKey::direction), out.direction) &&
               m.done();
    }
};

}  // namespace halberin::spatial::python
