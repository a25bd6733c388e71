"""Mesh.from_numpy, positions() and indices(): what is accepted, what is refused, and that every
conversion copies exactly."""
import numpy as np
import pytest

import morvane_reduce as mr
from conftest import box_arrays


class TestRefusals:
    @pytest.mark.parametrize("positions", [
        np.zeros((4, 3), dtype=np.float32),
        np.zeros((4, 3), dtype=np.int64),
        np.zeros(12),
        np.zeros((1, 4, 3)),
        np.zeros((4, 3), dtype=">f8"),
        [[0.0, 0.0, 0.0]],
    ])
    def test_positions_of_the_wrong_kind(self, positions):
        with pytest.raises(TypeError, match=r"^argument 'positions': '\w+' object cannot be converted to "
                                            r"'PyArray<T, D>'$"):
            mr.Mesh.from_numpy(positions, np.zeros((1, 3), dtype=np.uint32))

    @pytest.mark.parametrize("dtype", [np.int64, np.int32, np.uint64, np.float64])
    def test_indices_of_another_dtype(self, dtype):
        with pytest.raises(TypeError, match=r"^argument 'indices': 'ndarray' object cannot be converted"):
            mr.Mesh.from_numpy(np.zeros((3, 3)), np.zeros((1, 3), dtype=dtype))

    def test_a_mesh_is_not_an_array(self, box):
        with pytest.raises(TypeError, match=r"^argument 'positions': 'Mesh' object cannot be converted"):
            mr.Mesh.from_numpy(box, box)

    def test_column_counts(self):
        four_columns = np.zeros((3, 4))
        with pytest.raises(ValueError, match="^positions must have 3 columns$"):
            mr.Mesh.from_numpy(four_columns, np.zeros((1, 3), dtype=np.uint32))
        with pytest.raises(ValueError, match="^indices must have 3 columns$"):
            mr.Mesh.from_numpy(np.zeros((3, 3)), np.zeros((1, 4), dtype=np.uint32))
        with pytest.raises(ValueError, match="^positions must have 3 columns$"):
            mr.Mesh.from_numpy(four_columns, np.zeros((1, 4), dtype=np.uint32))

    def test_both_dtypes_are_checked_before_columns(self):
        with pytest.raises(TypeError, match=r"^argument 'indices': "):
            mr.Mesh.from_numpy(np.zeros((3, 4)), np.zeros((1, 3), dtype=np.int64))

    def test_broadcast_view_beyond_memory_raises_memory_error(self):
        huge = np.broadcast_to(np.zeros(3), (2 ** 50, 3))
        with pytest.raises(MemoryError):
            mr.Mesh.from_numpy(huge, np.zeros((0, 3), dtype=np.uint32))


def strided_views():
    """Views of one (20, 3) float64 matrix in every memory layout from_numpy must read."""
    base = np.arange(60, dtype=np.float64).reshape(20, 3) * 0.5
    read_only = base.copy()
    read_only.flags.writeable = False
    wide = np.arange(120, dtype=np.float64).reshape(20, 6)
    return {
        "column-major": np.asfortranarray(base),
        "transposed": np.ascontiguousarray(base.T).T,
        "every second row": base[::2],
        "reversed rows": base[::-1],
        "reversed both": base[::-1, ::-1],
        "every second column": wide[:, ::2],
        "unaligned": np.frombuffer(b"\0" + base.tobytes(), dtype=np.float64, offset=1).reshape(20, 3),
        "read-only": read_only,
    }


class TestStridedInput:
    @pytest.mark.parametrize("name", list(strided_views()))
    def test_positions_are_copied_through_strides(self, name):
        view = strided_views()[name]
        assert name != "unaligned" or not view.flags.aligned
        mesh = mr.Mesh.from_numpy(view, np.zeros((0, 3), dtype=np.uint32))
        assert np.array_equal(mesh.positions(), np.ascontiguousarray(view))

    def test_indices_through_strides(self):
        indices = np.arange(36, dtype=np.uint32).reshape(12, 3)
        for view in (indices[::-1], indices.T.copy().T, indices[::3], np.asfortranarray(indices)):
            mesh = mr.Mesh.from_numpy(np.zeros((1, 3)), view)
            assert np.array_equal(mesh.indices(), np.ascontiguousarray(view))

    def test_ndarray_subclass_is_accepted(self):
        class Tagged(np.ndarray):
            pass

        positions, indices = box_arrays()
        mesh = mr.Mesh.from_numpy(positions.view(Tagged), indices.view(Tagged))
        assert np.array_equal(mesh.positions(), positions)


class TestRoundTrip:
    def test_empty_mesh(self):
        mesh = mr.Mesh.from_numpy(np.zeros((0, 3)), np.zeros((0, 3), dtype=np.uint32))
        assert (mesh.vertex_count, mesh.face_count) == (0, 0)
        assert mesh.positions().shape == (0, 3) and mesh.positions().dtype == np.float64
        assert mesh.indices().shape == (0, 3) and mesh.indices().dtype == np.uint32

    def test_values_are_kept_bit_for_bit(self):
        positions = np.array([[np.nan, np.inf, -0.0], [5e-324, -np.inf, 1e308]])
        indices = np.array([[0, 1, 7], [4294967295, 1, 1]], dtype=np.uint32)
        mesh = mr.Mesh.from_numpy(positions, indices)
        assert mesh.positions().tobytes() == positions.tobytes()
        assert np.array_equal(mesh.indices(), indices)
        assert (mesh.vertex_count, mesh.face_count) == (2, 2)

    def test_results_are_new_writeable_contiguous_arrays(self):
        positions, indices = box_arrays()
        mesh = mr.Mesh.from_numpy(positions, indices)
        first = mesh.positions()
        assert first.flags.c_contiguous and first.flags.writeable and first.strides == (24, 8)
        assert mesh.indices().strides == (12, 4)
        first[:] = 7.0
        assert np.array_equal(mesh.positions(), positions)
        assert not np.shares_memory(mesh.positions(), mesh.positions())

    def test_input_arrays_are_not_kept(self):
        positions, indices = box_arrays()
        mesh = mr.Mesh.from_numpy(positions, indices)
        positions[:] = -1.0
        indices[:] = 0
        assert np.array_equal(mesh.positions(), box_arrays()[0])
        assert np.array_equal(mesh.indices(), box_arrays()[1])
