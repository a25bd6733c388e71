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

// A Mesh argument with a reference of its own, taken and dropped with the interpreter lock. While
// it lives the mesh's lists may be read without the lock: a Mesh never changes, and the reference
// keeps it from being freed.
struct HeldMesh {
  PyRef object;
  const Mesh* mesh;

  const Mesh& operator*() const { return *mesh; }
  const Mesh* operator->() const { return mesh; }
};

// mesh_of, with the reference taken.
HeldMesh hold_mesh(PyObject* value);

}  // namespace morvane::py
