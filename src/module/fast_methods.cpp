#include "module/fast_methods.h"

#include <deque>
#include <string>
#include <vector>

namespace tk {

PyObject* call_bound(PyObject* fn, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t n = PyVectorcall_NARGS(nargs);
    const Py_ssize_t total = n + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    std::vector<PyObject*> stack(static_cast<std::size_t>(1 + total));
    stack[0] = self;
    for (Py_ssize_t i = 0; i < total; ++i) stack[static_cast<std::size_t>(1 + i)] = args[i];
    return PyObject_Vectorcall(fn, stack.data(), static_cast<std::size_t>(1 + n), kwnames);
}

PyObject* install_fast_method(PyTypeObject* type, const char* name, _PyCFunctionFastWithKeywords fn) {
    PyObject* bound = PyDict_GetItemString(type->tp_dict, name);
    if (!bound) throw py::error_already_set();
    Py_INCREF(bound);
    const py::object doc = py::reinterpret_borrow<py::object>(bound).attr("__doc__");
    // The descriptors point at these for the life of the process (the
    // module is initialised once; it has no per-interpreter state). A deque
    // never moves what it holds.
    static std::deque<PyMethodDef> defs;
    static std::deque<std::string> docs;
    defs.push_back(PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)),
                               METH_FASTCALL | METH_KEYWORDS, nullptr});
    PyMethodDef* def = &defs.back();
    if (!doc.is_none()) {
        docs.push_back(doc.cast<std::string>());
        def->ml_doc = docs.back().c_str();
    }
    PyObject* descr = PyDescr_NewMethod(type, def);
    if (!descr || PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name, descr) != 0) {
        Py_XDECREF(descr);
        throw py::error_already_set();
    }
    Py_DECREF(descr);
    PyType_Modified(type);
    return bound;
}

}  // namespace tk
