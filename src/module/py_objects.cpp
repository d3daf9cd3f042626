#include "module/py_objects.h"

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace tk {

PyObject* intern_string(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate string object!");
    }
    return s;
}

namespace {

struct SharedStr {
    std::string bytes;
    PyObject* str = nullptr;
};

// Direct-mapped: a new text replaces whatever shared its slot. Texts longer
// than kMaxSharedBytes are not kept, so the table stays small.
constexpr std::size_t kSharedSlots = 1024;
constexpr std::size_t kMaxSharedBytes = 64;

std::size_t slot_of(const char* data, std::size_t size) {
    uint64_t h = 1469598103934665603ULL;  // FNV-1a
    for (std::size_t i = 0; i < size; ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 1099511628211ULL;
    return static_cast<std::size_t>(h ^ (h >> 32)) % kSharedSlots;
}

}  // namespace

PyObject* shared_str(const char* data, std::size_t size) {
    if (size > kMaxSharedBytes) return PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict");
    static SharedStr* table = new SharedStr[kSharedSlots];  // written under the GIL, kept for the process
    SharedStr& entry = table[slot_of(data, size)];
    if (entry.str && entry.bytes.size() == size && std::memcmp(entry.bytes.data(), data, size) == 0) {
        Py_INCREF(entry.str);
        return entry.str;
    }
    PyObject* s = PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "strict");
    if (!s) return nullptr;
    PyObject* old = entry.str;
    entry.str = nullptr;
    Py_XDECREF(old);  // a str: no Python code runs
    try {
        entry.bytes.assign(data, size);
    } catch (...) {
        return s;  // not kept
    }
    Py_INCREF(s);
    entry.str = s;
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
