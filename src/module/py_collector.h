// Pausing the cyclic garbage collector for one call.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

namespace tk {

// Pauses the collector for one call that makes many containers (its passes
// over them would cost more than making them) and restores its previous
// state on every way out, exceptions included.
class CollectorPause {
public:
    CollectorPause() {
#if PY_VERSION_HEX >= 0x030A0000
        was_enabled_ = PyGC_Disable() == 1;
#else
        gc_ = pybind11::module_::import("gc");
        was_enabled_ = gc_.attr("isenabled")().cast<bool>();
        if (was_enabled_) gc_.attr("disable")();
#endif
    }
    ~CollectorPause() {
        if (!was_enabled_) return;
#if PY_VERSION_HEX >= 0x030A0000
        PyGC_Enable();
#else
        // Keeps a pending exception: enabling runs no Python code.
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyObject* r = PyObject_CallMethod(gc_.ptr(), "enable", nullptr);
        Py_XDECREF(r);
        PyErr_Restore(type, value, traceback);
#endif
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_ = false;
#if PY_VERSION_HEX < 0x030A0000
    pybind11::object gc_;
#endif
};

}  // namespace tk
