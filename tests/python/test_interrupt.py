"""Ctrl-C during long calls: a child interpreter starts each call, the test sends it SIGINT once the
call's work has visibly started (its progress lines), and checks that the call ends promptly with
KeyboardInterrupt, leaves no file behind, and that the next call gives the same result as before."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

# Generous: the calls poll for a stop request many times a second, but CI machines are slow and busy.
STOP_SECONDS = 3.0

CHILD = textwrap.dedent("""
    import os, signal, sys
    import numpy as np
    import morvane_reduce as mr
    from conftest import box_arrays, icosphere_arrays, write_obj

    # A process started in the background inherits an ignored SIGINT; Ctrl-C must count here.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    folder = sys.argv[1]
    box = mr.Mesh.from_numpy(*box_arrays())
    sphere = mr.Mesh.from_numpy(*icosphere_arrays(3))
    sphere_obj = write_obj(__import__("pathlib").Path(folder) / "sphere.obj", *icosphere_arrays(3))
    huge = 2 ** 64 - 1

    def rss():
        return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def big_obj():
        path = os.path.join(folder, "big.obj")
        with open(path, "wb") as f:
            f.write(b"v 0.5 0.25 0.125\\n" * 10_000_000 + b"f 1 2 3\\n")
        return path

    def beside_other_thread():
        # Another thread's pipeline, running while this thread's call is interrupted, is not disturbed.
        import threading
        results = []
        other = threading.Thread(target=lambda: results.append(mr.generate_proxy(sphere, voxel_res=20, smooth=20000)))
        other.start()
        try:
            mr.generate_proxy(box, voxel_res=16, smooth=huge)
        finally:
            other.join()
            assert np.array_equal(results[0].positions(), other_expected.positions())

    output = os.path.join(folder, "out.obj")
    CASES = {
        "taubin": lambda: mr.generate_proxy(box, voxel_res=16, smooth=huge),
        "bilateral": lambda: mr.generate_proxy(box, voxel_res=16, smooth=huge, bilateral=True),
        "remesh": lambda: mr.generate_proxy(box, voxel_res=16, remesh=10 ** 6),
        "adaptive_remesh": lambda: mr.generate_proxy(sphere, voxel_res=24, remesh=10 ** 6, adaptive_remesh=True),
        "voxel_remesh": lambda: mr.generate_proxy(box, voxel_res=16, remesh=10 ** 6, use_sdf=False),
        "chain_level": lambda: mr.generate_lod_chain(box, levels=3, base_res=16, smooth=huge),
        "chain_levels": lambda: mr.generate_lod_chain(box, levels=huge, base_res=8, smooth=0, remesh=0, project=0.0),
        "distance_band": lambda: mr.generate_proxy(sphere, voxel_res=400, smooth=0),
        "voxel_grid": lambda: mr.generate_proxy(sphere, voxel_res=600, use_sdf=False, offset=20, smooth=0),
        "beside_other_thread": lambda: beside_other_thread(),
        "file_pipeline": lambda: mr.proxy_from_path(sphere_obj, output, voxel_res=16, smooth=huge),
        "file_load": lambda: mr.proxy_from_path(path_to_load, output),
    }

    expected = mr.generate_proxy(sphere, voxel_res=20)
    other_expected = mr.generate_proxy(sphere, voxel_res=20, smooth=20000)
    for name in sys.argv[2:]:
        if name == "file_load":
            path_to_load = big_obj()
        before = rss()
        print(f"case {name}: begin", file=sys.stderr, flush=True)
        try:
            CASES[name]()
            print(f"case {name}: finished", file=sys.stderr, flush=True)
        except KeyboardInterrupt:
            print(f"case {name}: interrupted", file=sys.stderr, flush=True)
        after = mr.generate_proxy(sphere, voxel_res=20)
        same = np.array_equal(after.positions(), expected.positions()) and \\
            np.array_equal(after.indices(), expected.indices())
        grown_mib = (rss() - before) / 2 ** 20
        print(f"case {name}: after {'same' if same else 'different'} {grown_mib:.0f}", file=sys.stderr, flush=True)
""")

# Each case and the progress text after which the signal is sent.
CASES = {
    "taubin": "Taubin smooth: starting",
    "bilateral": "bilateral smooth: starting",
    "remesh": "Iter",
    "adaptive_remesh": "Iter",
    "voxel_remesh": "Iter",
    "chain_level": "Taubin smooth: starting",
    "chain_levels": "  proxy: ",
    "distance_band": "sdf band: starting",
    "voxel_grid": "dilate",
    "beside_other_thread": "Taubin smooth: starting (18446744073709551615",
    "file_pipeline": "Taubin smooth: starting",
    "file_load": "case file_load: begin",
}


def run_cases(tmp_path, names, flags=()):
    """Runs the cases in one child; returns {case: (outcome, seconds from SIGINT to the end, after-line)}."""
    child = subprocess.Popen([sys.executable, *flags, "-c", CHILD, str(tmp_path), *names],
                             cwd=os.path.dirname(__file__), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True)
    results, current, sent = {}, None, None
    watchdog = threading.Timer(120, child.kill)  # a call that never stops must not hang the suite
    watchdog.start()
    try:
        for line in child.stderr:
            if line.startswith("case ") and line.rstrip().endswith(": begin"):
                current, sent = line.split()[1].rstrip(":"), None
            if current and sent is None and CASES[current] in line:
                time.sleep(0.2)  # well inside the stage
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
            if line.startswith(f"case {current}: interrupted") or line.startswith(f"case {current}: finished"):
                results[current] = [line.split()[-1], time.monotonic() - (sent or time.monotonic())]
            if line.startswith(f"case {current}: after"):
                results[current].append(line.split()[3:])
        if child.wait(timeout=60) != 0:
            pytest.fail(f"the child ended with status {child.returncode} in case {current}; so far: {results}")
    finally:
        watchdog.cancel()
        child.kill()
    return results


class TestCtrlCStopsLongCalls:
    def test_every_stage_of_the_proxy_functions(self, tmp_path):
        names = [n for n in CASES if n not in ("file_pipeline", "file_load")]
        results = run_cases(tmp_path, names)
        for name in names:
            outcome, seconds, (after, grown_mib) = results[name]
            assert outcome == "interrupted", name
            assert seconds < STOP_SECONDS, (name, seconds)
            assert after == "same", name
            assert float(grown_mib) < 64, (name, grown_mib)  # the interrupted call's memory is released

    def test_proxy_from_path_leaves_the_output_as_it_was(self, tmp_path):
        output = tmp_path / "out.obj"
        output.write_bytes(b"# an earlier proxy\n")
        results = run_cases(tmp_path, ["file_pipeline", "file_load"], flags=("-X", "dev"))
        for name in ("file_pipeline", "file_load"):
            outcome, seconds, (after, _) = results[name]
            assert (outcome, after) == ("interrupted", "same"), name
            assert seconds < STOP_SECONDS, (name, seconds)
        assert output.read_bytes() == b"# an earlier proxy\n"
        assert sorted(p.name for p in tmp_path.iterdir()) == ["big.obj", "out.obj", "sphere.obj"]
