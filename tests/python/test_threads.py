"""The interpreter lock: released while pipelines run, so other threads go on, and several
threads may build proxies at once with the same results as one after the other."""
import os
import pathlib
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import morvane_reduce as mr
from conftest import box_arrays, icosphere_arrays, same_mesh, write_obj


def ran_python_during_pipeline(call):
    """Runs `call` on a second thread and tells whether this thread ran Python code while that
    call was inside a proxy pipeline. The pipeline's progress lines on file descriptor 2 show where
    it is: this thread waits (without the lock) for the first "starting" line, runs a little Python,
    then looks whether the pipeline's closing "proxy:" line has been written meanwhile. Had the
    call kept the interpreter lock, this thread could only go on after the pipeline had ended."""
    read_end, write_end = os.pipe()
    saved_stderr = os.dup(2)
    os.dup2(write_end, 2)
    os.close(write_end)
    failures = []

    def work():
        try:
            call()
        except BaseException as e:
            failures.append(e)

    worker = threading.Thread(target=work)
    try:
        worker.start()
        seen = b""
        while b"starting" not in seen:
            chunk = os.read(read_end, 4096)
            assert chunk, "the pipeline wrote no progress line"
            seen += chunk
        total = sum(range(1000))  # a little Python while the pipeline runs
        os.set_blocking(read_end, False)
        try:
            seen += os.read(read_end, 1 << 16)
        except BlockingIOError:
            pass
        pipeline_ended_first = b"proxy:" in seen
    finally:
        os.dup2(saved_stderr, 2)
        os.close(saved_stderr)
        worker.join()
        os.close(read_end)
    assert total == 499500 and not failures, failures
    return not pipeline_ended_first


class TestLockReleased:
    def test_during_generate_proxy(self):
        sphere = mr.Mesh.from_numpy(*icosphere_arrays(3))
        assert ran_python_during_pipeline(lambda: mr.generate_proxy(sphere, voxel_res=64, remesh=1))

    def test_during_generate_lod_chain(self):
        sphere = mr.Mesh.from_numpy(*icosphere_arrays(3))
        assert ran_python_during_pipeline(lambda: mr.generate_lod_chain(sphere, levels=2, base_res=64))

    def test_during_proxy_from_path(self, tmp_path):
        source = write_obj(tmp_path / "sphere.obj", *icosphere_arrays(3))
        target = str(tmp_path / "proxy.obj")
        assert ran_python_during_pipeline(lambda: mr.proxy_from_path(source, target, voxel_res=64, remesh=1))

    def test_failures_of_the_unlocked_work_take_the_lock_back(self, tmp_path):
        missing = str(tmp_path / "missing.obj")
        for _ in range(3):
            with pytest.raises(ValueError, match="^load "):
                mr.proxy_from_path(missing, str(tmp_path / "out.obj"))
        with ThreadPoolExecutor(max_workers=2) as pool:
            sizes = list(pool.map(lambda res: mr.generate_proxy(mr.Mesh.from_numpy(*box_arrays()), voxel_res=res)
                                  .face_count, [8, 8]))
        assert sizes[0] == sizes[1] > 0


class TestParallelBuilds:
    def test_generate_proxy_on_several_threads_matches_sequential_runs(self):
        sphere = mr.Mesh.from_numpy(*icosphere_arrays(2))
        box = mr.Mesh.from_numpy(*box_arrays((2.0, 1.0, 0.5)))
        jobs = [
            (sphere, dict(voxel_res=24)),
            (sphere, dict(voxel_res=32, use_sdf=False, offset=1.5)),
            (box, dict(voxel_res=20, remesh=2)),
            (sphere, dict(voxel_res=28, bilateral=True)),
            (box, dict(target_faces=300)),
        ] * 2
        expected = [mr.generate_proxy(mesh, **options) for mesh, options in jobs]
        with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
            results = list(pool.map(lambda job: mr.generate_proxy(job[0], **job[1]), jobs))
        assert all(same_mesh(a, b) for a, b in zip(results, expected))

    def test_proxy_from_path_on_several_threads(self, tmp_path):
        sources = [write_obj(tmp_path / f"in{i}.obj", *icosphere_arrays(i % 3, 1.0 + i)) for i in range(6)]

        def convert(i, folder):
            out = str(folder / f"out{i}.obj")
            result = mr.proxy_from_path(sources[i], out, voxel_res=16 + 4 * i)
            return result["output_vertices"], result["output_faces"], pathlib.Path(out).read_bytes()

        sequential_dir = tmp_path / "one"
        parallel_dir = tmp_path / "many"
        sequential_dir.mkdir()
        parallel_dir.mkdir()
        expected = [convert(i, sequential_dir) for i in range(6)]
        with ThreadPoolExecutor(max_workers=6) as pool:
            results = list(pool.map(lambda i: convert(i, parallel_dir), range(6)))
        assert results == expected
