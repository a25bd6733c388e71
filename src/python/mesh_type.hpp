// The class Mesh: one triangle mesh (positions and triangle indices) owned by a Python object.
// An instance never changes after it is made; every conversion to and from NumPy copies.
#pragma once

#include <Python.h>

#include "core/mesh.hpp"
#include "py_ref.hpp"

namespace morvane::py {

// The class object, made on first use and kept for the life of the process (borrowed).
PyObject* mesh_type();

// A new Mesh object that takes over `mesh`.
PyRef new_mesh_object(Mesh mesh);

// The mesh held by `value`; TypeError "'{}' object cannot be converted to 'Mesh'" for any other object.
const Mesh& mesh_of(PyObject* value);

}  // namespace morvane::py
