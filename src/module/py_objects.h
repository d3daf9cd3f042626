// Small CPython helpers the bridge uses everywhere: interned strings, new
// dicts and lists, and reading dictionaries.
#pragma once

#include <cstddef>

#include <pybind11/pybind11.h>

namespace tk {

namespace py = pybind11;

// A str for a fixed key or word, made once by each caller and kept for the
// life of the process (interned, so its hash is cached). Throws
// "Could not allocate string object!".
PyObject* intern_string(const char* text);

// A str for UTF-8 text that recurs, such as property keys and type names: a
// small table hands out the same object for the same bytes, so a result of
// many rows holds one str per key instead of one per row (and its hash is
// computed once). New reference, or nullptr with the Python error set when
// the bytes are not valid UTF-8.
PyObject* shared_str(const char* data, std::size_t size);

// New empty dict / list of size null slots; throw "Could not allocate dict
// object!" / "Could not allocate list object!".
py::object new_dict();
py::object new_list(std::size_t size);

// Fills slot index of a list made by new_list, taking over item's reference.
inline void list_set(const py::object& list, std::size_t index, py::object&& item) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(index), item.release().ptr());
}

inline void dict_set(const py::object& dict, PyObject* key, const py::object& value) {
    if (PyDict_SetItem(dict.ptr(), key, value.ptr()) != 0) throw py::error_already_set();
}

// Reading a mapping. Plain dicts are read directly; any other mapping with
// `in` and item access, so subclasses and custom mappings behave as in
// Python.
//   dict_contains: `key in d`.
//   dict_find: d[key], or a null object when d does not contain key.
//   dict_get: d[key]; a missing key raises KeyError (a dict subclass's
//             __getitem__ and __missing__ apply).
bool dict_contains(py::handle d, PyObject* key);
py::object dict_find(py::handle d, PyObject* key);
py::object dict_get(py::handle d, PyObject* key);

}  // namespace tk
