#include "module/py_objects.h"

#include <stdexcept>

namespace tk {

PyObject* intern_string(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate string object!");
    }
    return s;
}

py::object new_dict() {
    PyObject* d = PyDict_New();
    if (!d) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate dict object!");
    }
    return py::reinterpret_steal<py::object>(d);
}

py::object new_list(std::size_t size) {
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(size));
    if (!l) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate list object!");
    }
    return py::reinterpret_steal<py::object>(l);
}

bool dict_contains(py::handle d, PyObject* key) {
    const int found = PySequence_Contains(d.ptr(), key);
    if (found < 0) throw py::error_already_set();
    return found == 1;
}

py::object dict_find(py::handle d, PyObject* key) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject* v = PyDict_GetItemWithError(d.ptr(), key);
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return py::object();
        }
        return py::reinterpret_borrow<py::object>(v);
    }
    if (!dict_contains(d, key)) return py::object();
    PyObject* v = PyObject_GetItem(d.ptr(), key);
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

py::object dict_get(py::handle d, PyObject* key) {
    if (PyDict_CheckExact(d.ptr())) {
        PyObject* v = PyDict_GetItemWithError(d.ptr(), key);
        if (v) return py::reinterpret_borrow<py::object>(v);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
        throw py::error_already_set();
    }
    PyObject* v = PyObject_GetItem(d.ptr(), key);
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

}  // namespace tk
