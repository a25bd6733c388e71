"""Shared meshes and helpers of the Python tests: small closed meshes as NumPy arrays, Mesh
objects built from them, and a runner for code that must start in a fresh interpreter."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import morvane_reduce as mr


def box_arrays(size=(1.0, 1.0, 1.0), origin=(0.0, 0.0, 0.0)):
    """An axis-aligned box: 8 vertices, 12 outward-facing triangles."""
    corners = np.array([[x, y, z] for z in (0, 1) for y in (0, 1) for x in (0, 1)], dtype=np.float64)
    positions = np.asarray(origin, dtype=np.float64) + corners * np.asarray(size, dtype=np.float64)
    indices = np.array(
        [[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
         [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]],
        dtype=np.uint32,
    )
    return positions, indices


def icosphere_arrays(subdivisions=1, radius=1.0):
    """A unit icosahedron refined `subdivisions` times, projected onto the sphere."""
    t = (1.0 + 5.0 ** 0.5) / 2.0
    vertices = [[-1, t, 0], [1, t, 0], [-1, -t, 0], [1, -t, 0], [0, -1, t], [0, 1, t],
                [0, -1, -t], [0, 1, -t], [t, 0, -1], [t, 0, 1], [-t, 0, -1], [-t, 0, 1]]
    faces = [[0, 11, 5], [0, 5, 1], [0, 1, 7], [0, 7, 10], [0, 10, 11], [1, 5, 9], [5, 11, 4],
             [11, 10, 2], [10, 7, 6], [7, 1, 8], [3, 9, 4], [3, 4, 2], [3, 2, 6], [3, 6, 8],
             [3, 8, 9], [4, 9, 5], [2, 4, 11], [6, 2, 10], [8, 6, 7], [9, 8, 1]]
    for _ in range(subdivisions):
        midpoint = {}

        def middle(a, b):
            key = (min(a, b), max(a, b))
            if key not in midpoint:
                midpoint[key] = len(vertices)
                vertices.append([(vertices[a][k] + vertices[b][k]) / 2 for k in range(3)])
            return midpoint[key]

        refined = []
        for a, b, c in faces:
            ab, bc, ca = middle(a, b), middle(b, c), middle(c, a)
            refined += [[a, ab, ca], [b, bc, ab], [c, ca, bc], [ab, bc, ca]]
        faces = refined
    positions = np.array(vertices, dtype=np.float64)
    positions *= radius / np.linalg.norm(positions, axis=1, keepdims=True)
    return positions, np.array(faces, dtype=np.uint32)


@pytest.fixture
def box():
    return mr.Mesh.from_numpy(*box_arrays())


@pytest.fixture
def sphere():
    return mr.Mesh.from_numpy(*icosphere_arrays(2))


def same_mesh(a, b):
    return np.array_equal(a.positions(), b.positions()) and np.array_equal(a.indices(), b.indices())


def run_python(code, *flags):
    """Runs `code` in a new interpreter (this one's executable and path) in this folder, where it can import
    conftest's meshes; returns the completed process."""
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, cwd=os.path.dirname(os.path.abspath(__file__)))


def write_obj(path, positions, faces, with_uvs=False):
    """A plain OBJ file; with_uvs gives every vertex a texture coordinate of its own."""
    lines = [f"v {float(x)!r} {float(y)!r} {float(z)!r}" for x, y, z in positions]
    if with_uvs:
        lines += [f"vt {float(x)!r} {float(y)!r}" for x, y, _ in positions]
        lines += [f"f {a + 1}/{a + 1} {b + 1}/{b + 1} {c + 1}/{c + 1}" for a, b, c in faces]
    else:
        lines += [f"f {a + 1} {b + 1} {c + 1}" for a, b, c in faces]
    path.write_text("\n".join(lines) + "\n")
    return str(path)
