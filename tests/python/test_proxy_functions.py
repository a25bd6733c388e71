"""generate_proxy and generate_lod_chain: quality presets, target face counts, the chain's
levels, and the checks made before any pipeline runs."""
import os
import re
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import morvane_reduce as mr
from conftest import box_arrays, icosphere_arrays, run_python, same_mesh

EMPTY = mr.Mesh.from_numpy(np.zeros((0, 3)), np.zeros((0, 3), dtype=np.uint32))


def bad_box(index=99, face=1):
    positions, indices = box_arrays()
    indices[face, 2] = index
    return mr.Mesh.from_numpy(positions, indices)


class TestQualityPresets:
    @pytest.mark.parametrize("quality", ["fast", "FAST", "Fast"])
    def test_fast_in_any_case_sets_its_three_values(self, box, quality):
        assert same_mesh(mr.generate_proxy(box, quality=quality),
                         mr.generate_proxy(box, voxel_res=64, smooth=3, remesh=0))

    def test_preset_overrides_the_given_values(self, box):
        assert same_mesh(mr.generate_proxy(box, quality="fast", voxel_res=300, smooth=0, remesh=9),
                         mr.generate_proxy(box, voxel_res=64, smooth=3, remesh=0))

    @pytest.mark.parametrize("quality", ["high", "HIGH", "High", "balanced", "bAlAnCeD"])
    def test_every_spelling_of_a_preset_is_accepted(self, quality):
        assert EMPTY is not mr.generate_proxy(EMPTY, quality=quality)

    @pytest.mark.parametrize("quality, shown", [
        (" fast", '" fast"'),
        ("fast ", '"fast "'),
        ("Ultra", '"ultra"'),
        ("", '""'),
        ("fas", '"fas"'),
        ('say "hi" \\o/', r'"say \"hi\" \\o/"'),
        ("tab\tcr\rlf\nnul\0", r'"tab\tcr\rlf\nnul\0"'),
        ("it's", "\"it's\""),
        ("ÜBER", '"Über"'),
        ("e\u0301", r'"e\u{301}"'),
        ("\x07\x7f\u00a0\u200b\U000e0001", r'"\u{7}\u{7f}\u{a0}\u{200b}\u{e0001}"'),
        ("😀", '"😀"'),
    ])
    def test_unknown_preset_message(self, box, quality, shown):
        with pytest.raises(ValueError) as raised:
            mr.generate_proxy(box, quality=quality)
        assert str(raised.value) == f"unknown quality preset {shown}; expected fast/balanced/high"

    def test_preset_is_checked_before_the_faces(self):
        with pytest.raises(ValueError, match="^unknown quality preset"):
            mr.generate_proxy(bad_box(), quality="ultra")


class TestTargetFaces:
    def test_target_faces_with_a_preset_raises_remesh_to_three(self, box):
        # The voxel resolution comes from the face count, smooth from the preset, remesh from max(0, 3).
        assert same_mesh(mr.generate_proxy(box, quality="fast", target_faces=200),
                         mr.generate_proxy(box, target_faces=200, smooth=3, remesh=0))

    def test_target_faces_overrides_voxel_res(self, box):
        assert same_mesh(mr.generate_proxy(box, target_faces=200, voxel_res=5),
                         mr.generate_proxy(box, target_faces=200, voxel_res=500))

    def test_zero_faces_is_accepted(self, box):
        assert mr.generate_proxy(box, target_faces=0, smooth=0, project=0.0).face_count > 0

    @pytest.mark.parametrize("count", [2 ** 32, 2 ** 64 - 1])
    def test_counts_beyond_32_bits_are_accepted(self, count):
        assert mr.generate_proxy(EMPTY, target_faces=count).face_count == 0

    def test_count_beyond_64_bits_overflows(self, box):
        with pytest.raises(OverflowError):
            mr.generate_proxy(box, target_faces=2 ** 64)


class TestGenerateProxy:
    def test_input_is_unchanged_and_result_is_new(self, box):
        positions, indices = box.positions(), box.indices()
        proxy = mr.generate_proxy(box, voxel_res=16)
        assert proxy is not box and isinstance(proxy, mr.Mesh)
        assert np.array_equal(box.positions(), positions) and np.array_equal(box.indices(), indices)


class TestLodChain:
    LEVEL_OPTIONS = dict(smooth=2, remesh=0, offset=0.1, close=1, project=2.0)

    def proxy_at(self, mesh, voxel_res):
        return mr.generate_proxy(mesh, voxel_res=voxel_res, **self.LEVEL_OPTIONS)

    def test_no_levels(self, box):
        assert mr.generate_lod_chain(box, levels=0) == []

    def test_one_level_is_a_copy(self, box):
        (copy,) = mr.generate_lod_chain(box, levels=1)
        assert copy is not box and same_mesh(copy, box)

    def test_levels_halve_the_resolution_down_to_eight(self, box):
        chain = mr.generate_lod_chain(box, levels=5, base_res=20, **self.LEVEL_OPTIONS)
        assert len(chain) == 5 and same_mesh(chain[0], box)
        for level, voxel_res in zip(chain[1:], [20, 10, 8, 8]):
            assert same_mesh(level, self.proxy_at(box, voxel_res))

    def test_defaults_build_four_levels(self, box):
        chain = mr.generate_lod_chain(box, base_res=32)
        assert len(chain) == 4
        for level, voxel_res in zip(chain[1:], [32, 16, 8]):
            assert same_mesh(level, mr.generate_proxy(box, voxel_res=voxel_res, remesh=3))

    def test_halving_past_64_bits_stays_at_eight(self, box):
        # Level 65 halves 64 times; a 64-bit shift by 64 would give base_res back on x86.
        chain = mr.generate_lod_chain(box, levels=67, base_res=20, smooth=0, remesh=0, project=0.0)
        assert len(chain) == 67
        assert all(same_mesh(level, chain[4]) for level in chain[4:])
        assert not same_mesh(chain[1], chain[4])

    def test_huge_level_count_builds_lazily_and_can_be_interrupted(self):
        # Ctrl-C from outside, once the chain is visibly building levels (their summary lines).
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
            import signal
            import numpy as np
            import morvane_reduce as mr
            from conftest import box_arrays

            # A process started in the background inherits an ignored SIGINT; Ctrl-C must count here.
            signal.signal(signal.SIGINT, signal.default_int_handler)
            box = mr.Mesh.from_numpy(*box_arrays())
            try:
                mr.generate_lod_chain(box, levels=2 ** 64 - 1, base_res=8, smooth=0, remesh=0, project=0.0)
            except KeyboardInterrupt:
                print("interrupted")
        """)], cwd=os.path.dirname(__file__), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            for line in child.stderr:
                if "  proxy: " in line:
                    child.send_signal(signal.SIGINT)
                    break
            stdout, _ = child.communicate(timeout=60)
        finally:
            child.kill()
        assert stdout.strip() == "interrupted"

    def test_input_faces_are_checked_only_when_proxies_are_built(self):
        (copy,) = mr.generate_lod_chain(bad_box(), levels=1)
        assert copy.indices()[1, 2] == 99
        with pytest.raises(ValueError, match=r"^invalid index 99 in face 1 \(vertex count: 8\)$"):
            mr.generate_lod_chain(bad_box(), levels=2)


class TestFacesCheckedBeforeThePipeline:
    @pytest.mark.parametrize("face, index", [(0, 8), (11, 4294967295)])
    def test_generate_proxy_refuses_faces_naming_missing_vertices(self, face, index):
        with pytest.raises(ValueError, match=rf"^invalid index {index} in face {face} \(vertex count: 8\)$"):
            mr.generate_proxy(bad_box(index, face), voxel_res=8)

    def test_first_bad_corner_in_face_order_is_reported(self):
        positions, indices = box_arrays()
        indices[3] = [20, 2, 30]
        indices[2, 0] = 40
        with pytest.raises(ValueError, match=r"^invalid index 40 in face 2 \(vertex count: 8\)$"):
            mr.generate_proxy(mr.Mesh.from_numpy(positions, indices))

    def test_faces_without_vertices(self):
        mesh = mr.Mesh.from_numpy(np.zeros((0, 3)), np.zeros((1, 3), dtype=np.uint32))
        with pytest.raises(ValueError, match=r"^invalid index 0 in face 0 \(vertex count: 0\)$"):
            mr.generate_proxy(mesh, voxel_res=8)

    @pytest.mark.parametrize("value, shown", [(np.nan, "nan"), (np.inf, "inf"), (-np.inf, "-inf")])
    def test_non_finite_vertex_of_a_face_is_refused_by_name(self, value, shown):
        # Its faces could not be placed in the grid, and the flood fill would leak through the hole.
        positions, indices = box_arrays()
        positions[3, 2] = value
        mesh = mr.Mesh.from_numpy(positions, indices)
        message = rf"^vertex 3 of face 1 has a non-finite coordinate \(1, 1, {shown}\)$"
        with pytest.raises(ValueError, match=message):
            mr.generate_proxy(mesh, voxel_res=8)
        with pytest.raises(ValueError, match=message):
            mr.generate_lod_chain(mesh, levels=2)
        assert mr.generate_lod_chain(mesh, levels=1)[0].vertex_count == 8  # no proxy, no check

    def test_non_finite_vertex_outside_every_face_is_ignored(self):
        positions, indices = box_arrays()
        positions = np.vstack([positions, [[np.nan, 0, 0]]])
        assert mr.generate_proxy(mr.Mesh.from_numpy(positions, indices), voxel_res=8).face_count > 0

    def test_index_check_comes_first(self):
        positions, indices = box_arrays()
        positions[0, 0] = np.nan
        indices[5, 1] = 50
        with pytest.raises(ValueError, match=r"^invalid index 50 in face 5"):
            mr.generate_proxy(mr.Mesh.from_numpy(positions, indices), voxel_res=8)


class TestCoordinateRange:
    @pytest.mark.parametrize("scale", [1e-25, 1e25, 1e300])
    def test_extents_beyond_the_distance_fields_floats_are_refused(self, scale):
        positions, indices = icosphere_arrays(1)
        mesh = mr.Mesh.from_numpy(positions * scale, indices)
        with pytest.raises(ValueError, match=r"^the input spans .* units; the distance field holds extents from"):
            mr.generate_proxy(mesh, voxel_res=16)
        assert mr.generate_proxy(mesh, voxel_res=16, use_sdf=False).face_count > 0

    def test_extent_wider_than_a_double_is_refused_on_both_paths(self):
        corners, indices = box_arrays()
        mesh = mr.Mesh.from_numpy(np.where(corners > 0, 1e308, -1e308), indices)
        for use_sdf in (True, False):
            with pytest.raises(ValueError, match=r"^the input's coordinates span from .* wider than a double"):
                mr.generate_proxy(mesh, voxel_res=16, use_sdf=use_sdf)

    @pytest.mark.parametrize("use_sdf", [True, False])
    def test_all_vertices_at_one_point_give_a_small_proxy_for_any_target(self, use_sdf):
        mesh = mr.Mesh.from_numpy(np.full((9, 3), 0.25), np.arange(9, dtype=np.uint32).reshape(3, 3))
        for target in (16, 10000, 2 ** 32 - 1):
            assert mr.generate_proxy(mesh, target_faces=target, use_sdf=use_sdf).face_count < 1000


class TestSmoothingStrength:
    @pytest.mark.parametrize("strength", [float("nan"), float("inf"), float("-inf"), 10.0])
    def test_unusable_strength_leaves_positions_unsmoothed(self, box, strength):
        options = dict(voxel_res=12, project=0.0)
        assert same_mesh(mr.generate_proxy(box, smooth=5, smooth_lambda=strength, **options),
                         mr.generate_proxy(box, smooth=0, **options))

    def test_ordinary_strength_smooths(self, box):
        options = dict(voxel_res=12, project=0.0)
        assert not same_mesh(mr.generate_proxy(box, smooth=5, smooth_lambda=0.5, **options),
                             mr.generate_proxy(box, smooth=0, **options))


class TestMemory:
    def test_grid_beyond_memory_raises_memory_error(self):
        # The address space is limited so that the grid of voxel_res 1000 (about 17 GB) cannot be
        # allocated whatever this machine's memory; the call must fail cleanly and leave the module usable.
        done = run_python("""
            import resource
            import morvane_reduce as mr
            from conftest import box_arrays

            box = mr.Mesh.from_numpy(*box_arrays())
            mr.generate_proxy(box, voxel_res=8)  # starts the worker pool before the limit
            status = open("/proc/self/status").read()
            in_use = int(status.split("VmSize:")[1].split()[0]) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 30), resource.RLIM_INFINITY))
            for options in (dict(voxel_res=1000), dict(voxel_res=1000, use_sdf=False)):
                try:
                    mr.generate_proxy(box, **options)
                except MemoryError as e:
                    print("MemoryError:", e)
            print(mr.generate_proxy(box, voxel_res=8).face_count > 0)
        """)
        lines = done.stdout.splitlines()
        assert len(lines) == 3 and lines[-1] == "True", done.stderr[-2000:]
        # Each says what could not be allocated and how much.
        assert all(re.match(r"MemoryError: could not allocate \S+ \S+ \(\d+ bytes\)", line) for line in lines[:2]), lines

    def test_thread_that_cannot_start_raises_memory_error(self):
        # Each call runs on a thread of its own; with no address space left for that thread's stack
        # the call fails cleanly, naming the thread. Joined threads leave their stacks to a cache that
        # a new thread would reuse, so parked threads take those first.
        done = run_python("""
            import resource, threading
            import morvane_reduce as mr
            from conftest import box_arrays

            box = mr.Mesh.from_numpy(*box_arrays())
            release = threading.Event()
            parked = [threading.Thread(target=release.wait) for _ in range(8)]
            for thread in parked:
                thread.start()
            in_use = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
            resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 20), resource.RLIM_INFINITY))
            try:
                mr.generate_proxy(box, voxel_res=8)
            except MemoryError as e:
                print("MemoryError:", e)
            resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            release.set()
            for thread in parked:
                thread.join()
            print(mr.generate_proxy(box, voxel_res=8).face_count > 0)
        """)
        assert done.stdout.splitlines() == [
            "MemoryError: could not start a thread to run the call: Resource temporarily unavailable", "True"], \
            done.stderr[-2000:]
