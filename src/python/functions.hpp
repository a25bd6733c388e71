// The five module functions, as the function table of module.cpp calls them.
#pragma once

#include <Python.h>

namespace morvane::py {

PyObject* load(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* save(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* generate_proxy(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* generate_lod_chain(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* proxy_from_path(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace morvane::py
