// The NumPy side of the class Mesh: the arrays that Mesh.from_numpy accepts and copies, and the
// new arrays that positions() and indices() return. NumPy's C API is bound on the first array
// operation, not at import; when NumPy cannot be imported that operation fails as an internal
// failure ("Failed to access NumPy array API capsule: ...").
#pragma once

#include <Python.h>

#include <cstddef>
#include <span>
#include <vector>

#include "core/mesh.hpp"
#include "py_ref.hpp"

namespace morvane::py {

// `value` itself (borrowed) when it is a two-dimensional ndarray (or subclass) whose dtype NumPy
// holds equivalent to float64 (uint32); else TypeError "'{}' object cannot be converted to 'PyArray<T, D>'".
PyObject* as_float64_matrix(PyObject* value);
PyObject* as_uint32_matrix(PyObject* value);

std::size_t column_count(PyObject* matrix);

// Row-by-row copies of a matrix of three columns, through its strides (which may be negative or
// leave elements unaligned).
std::vector<Vec3> copy_positions(PyObject* matrix);
std::vector<Tri> copy_triangles(PyObject* matrix);

// New C-contiguous, writeable arrays of shape (N, 3) float64 and (M, 3) uint32.
PyRef positions_array(std::span<const Vec3> positions);
PyRef triangles_array(std::span<const Tri> triangles);

}  // namespace morvane::py
