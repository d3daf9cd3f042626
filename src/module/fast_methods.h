// Methods called once per row or per edit skip pybind11's general dispatch
// when called plainly on the class itself: a vectorcall method takes the
// bound one's place and hands every other call (keywords, other argument
// counts, subclasses) to the bound function, whose docstring it carries.
#pragma once

#include <pybind11/pybind11.h>

namespace tk {

namespace py = pybind11;

// Puts fn in place of the bound method `name` of type; returns the bound
// function (a new reference, kept for the life of the process).
PyObject* install_fast_method(PyTypeObject* type, const char* name, _PyCFunctionFastWithKeywords fn);

// Calls the bound function with self before the arguments.
PyObject* call_bound(PyObject* fn, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The C++ object of an instance of exactly this bound type (not of a
// subclass), held in pybind11's simple layout; nullptr otherwise.
template <class T>
T* exact_instance(PyObject* self, PyTypeObject* type) {
    if (Py_TYPE(self) != type) return nullptr;
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    if (!inst->simple_layout || !inst->simple_holder_constructed) return nullptr;
    return static_cast<T*>(inst->simple_value_holder[0]);
}

// f() as a C-level result: a new reference, or nullptr with the exception
// set as pybind11 would translate it.
template <class F>
PyObject* run_fast(F&& f) {
    try {
        return f().release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        py::detail::try_translate_exceptions();
    }
    return nullptr;
}

}  // namespace tk
