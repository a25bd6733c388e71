"""Ctrl-C during long calls: a child interpreter starts each call, the test sends it SIGINT once the
call's work has visibly started (its progress lines), and checks that the call ends promptly with
KeyboardInterrupt, leaves no file behind, and that the next call gives the same result as before.
A call stopped by Ctrl-C replaces no file; one that has begun to replace its output finishes."""
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import write_obj

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

    checks_after_case = []  # run once the case's outcome is out, so that they do not delay it

    def beside_other_threads(count, smooth):
        # Other threads' pipelines, running while this thread's call is interrupted, are not disturbed.
        import threading
        results = []
        build = lambda: results.append(mr.generate_proxy(sphere, voxel_res=20, smooth=smooth))
        others = [threading.Thread(target=build) for _ in range(count)]
        for other in others:
            other.start()

        def check_others():
            for other in others:
                other.join()
            alone = mr.generate_proxy(sphere, voxel_res=20, smooth=smooth)
            assert len(results) == count
            assert all(np.array_equal(result.positions(), alone.positions()) for result in results)
        checks_after_case.append(check_others)
        mr.generate_proxy(box, voxel_res=16, smooth=huge)

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
        "beside_other_thread": lambda: beside_other_threads(1, smooth=4000),
        "among_other_threads": lambda: beside_other_threads(8, smooth=400),
        "file_pipeline": lambda: mr.proxy_from_path(sphere_obj, output, voxel_res=16, smooth=huge),
        "file_load": lambda: mr.proxy_from_path(path_to_load, output),
    }

    expected = mr.generate_proxy(sphere, voxel_res=20)
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
        while checks_after_case:
            checks_after_case.pop()()
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
    "among_other_threads": "Taubin smooth: starting (18446744073709551615",
    "file_pipeline": "Taubin smooth: starting",
    "file_load": "case file_load: begin",
}


def run_cases(tmp_path, names, flags=(), env=None):
    """Runs the cases in one child; returns {case: (outcome, seconds from SIGINT to the end, after-line)}."""
    child = subprocess.Popen([sys.executable, *flags, "-c", CHILD, str(tmp_path), *names],
                             cwd=os.path.dirname(__file__), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True, env=env)
    results, current, sent = {}, None, None
    watchdog = threading.Timer(120, child.kill)  # a call that never stops must not hang the suite
    watchdog.start()
    try:
        for line in child.stderr:
            # Progress updates of other threads' calls, which end in a carriage return, may come first.
            own = line[line.find("case "):]
            if own.startswith("case ") and own.rstrip().endswith(": begin"):
                current, sent = own.split()[1].rstrip(":"), None
            if current and sent is None and CASES[current] in line:
                time.sleep(0.2)  # well inside the stage
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
            if own.startswith(f"case {current}: interrupted") or own.startswith(f"case {current}: finished"):
                results[current] = [own.split()[-1], time.monotonic() - (sent or time.monotonic())]
            if own.startswith(f"case {current}: after"):
                results[current].append(own.split()[3:])
        if child.wait(timeout=60) != 0:
            pytest.fail(f"the child ended with status {child.returncode} in case {current}; so far: {results}")
    finally:
        watchdog.cancel()
        child.kill()
    return results


class TestCtrlCStopsLongCalls:
    def test_every_stage_of_the_proxy_functions(self, tmp_path):
        names = [n for n in CASES if n not in ("file_pipeline", "file_load", "among_other_threads")]
        results = run_cases(tmp_path, names)
        for name in names:
            outcome, seconds, (after, grown_mib) = results[name]
            assert outcome == "interrupted", name
            assert seconds < STOP_SECONDS, (name, seconds)
            assert after == "same", name
            assert float(grown_mib) < 64, (name, grown_mib)  # the interrupted call's memory is released

    def test_a_call_among_others_on_a_small_pool(self, tmp_path):
        # Eight other calls keep the one or two workers busy; the stopped call's thread runs none of their work.
        for workers in ("1", "2"):
            results = run_cases(tmp_path, ["among_other_threads"], env=dict(os.environ, RAYON_NUM_THREADS=workers))
            outcome, seconds, (after, _) = results["among_other_threads"]
            assert (outcome, after) == ("interrupted", "same"), workers
            assert seconds < STOP_SECONDS, (workers, seconds)

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


# load keeps the interpreter lock, so no thread of the child could signal it: a real-time timer
# started as the call begins does, through the kernel, with SIGINT.
LOAD_CHILD = textwrap.dedent("""
    import os, signal, sys
    import numpy as np
    import morvane_reduce as mr

    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGALRM, lambda *_: os.kill(os.getpid(), signal.SIGINT))
    n = 1200
    i, j = np.meshgrid(np.arange(n + 1), np.arange(n + 1))
    positions = np.stack([i.ravel(), j.ravel(), np.sin(i.ravel())], axis=1).astype(np.float64)
    a = (np.arange(n)[None, :] + (n + 1) * np.arange(n)[:, None]).ravel().astype(np.uint32)
    indices = np.concatenate([np.stack([a, a + 1, a + n + 2], 1), np.stack([a, a + n + 2, a + n + 1], 1)])
    grid = mr.Mesh.from_numpy(positions, indices.astype(np.uint32))
    for extension in ("gltf", "glb", "usdc"):
        path = os.path.join(sys.argv[1], "grid." + extension)
        mr.save(grid, path)
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        try:
            mr.load(path)
            outcome = "finished"
        except KeyboardInterrupt:
            outcome = "interrupted"
        signal.setitimer(signal.ITIMER_REAL, 0)
        print(extension, outcome, mr.load(path).face_count == grid.face_count, flush=True)
""")


# Signals sent from the child itself, by a watcher thread, at the moments that decide a save: while
# the output is written to its temporary, just after it has replaced the target, and while a FIFO
# target (written in place) is being read. The handler raises only while the call runs; after the
# call has returned, the interpreter runs it at once, so a late signal still shows as a
# KeyboardInterrupt, with the output complete.
COMMIT_CHILD = textwrap.dedent("""
    import os, pathlib, signal, sys, threading, time
    import morvane_reduce as mr
    from conftest import icosphere_arrays, write_obj

    folder = pathlib.Path(sys.argv[1])
    source = write_obj(folder / "sphere.obj", *icosphere_arrays(3))
    in_call = False

    def handler(signum, frame):
        if in_call:
            raise KeyboardInterrupt
    signal.signal(signal.SIGINT, handler)

    def signal_when(ready, done):
        while not done.is_set():
            if ready():
                os.kill(os.getpid(), signal.SIGINT)
                return
            time.sleep(0.0002)

    def convert(target, ready, voxel_res):
        global in_call
        done = threading.Event()
        watcher = threading.Thread(target=signal_when, args=(ready, done))
        watcher.start()
        try:
            in_call = True
            mr.proxy_from_path(source, str(target), voxel_res=voxel_res, smooth=0)
            return "returned"
        except KeyboardInterrupt:
            return "interrupted"
        finally:
            in_call = False
            done.set()
            watcher.join()

    # A regular file, replaced by rename.
    target = folder / "out.obj"
    mr.proxy_from_path(source, str(target), voxel_res=48, smooth=0)
    complete = target.read_bytes()
    earlier = b"# an earlier proxy\\n"
    writing = lambda: any(p.suffix == ".tmp" for p in folder.iterdir())
    replaced = lambda: target.stat().st_size != len(earlier)
    for attempt in range(16):
        target.write_bytes(earlier)
        outcome = convert(target, writing if attempt % 2 else replaced, 48)
        after = target.read_bytes()
        state = "earlier" if after == earlier else "complete" if after == complete else "partial"
        print(f"rename {outcome} {state}", flush=True)

    # A FIFO, written in place, read slowly so that the write lasts.
    fifo = folder / "pipe.obj"
    os.mkfifo(fifo)
    received = []

    def read_slowly():
        with open(fifo, "rb", buffering=0) as f:
            while chunk := f.read(16384):
                received.append(chunk)
                time.sleep(0.001)

    reader = threading.Thread(target=read_slowly)
    reader.start()
    outcome = convert(fifo, lambda: len(received) > 0, 48)
    reader.join()
    got = b"".join(received)
    print(f"fifo {outcome} {'complete' if got == complete else f'partial {len(got)} of {len(complete)} bytes'}",
          flush=True)
""")


# A Ctrl-C that has come when the call reaches its commit, though after every earlier look for one:
# the main thread's SIGINT is raised while another thread holds the interpreter lock, which the
# waiting thread needs to look, and keeps it until the pipeline has ended. So that the signal is
# raised before the commit, standard error is a full pipe that this other thread drains only once
# it has raised it: the call's first progress line waits for that. Its reads go through ctypes'
# PyDLL, whose calls keep the lock.
PENDING_AT_COMMIT_CHILD = textwrap.dedent("""
    import ctypes, os, pathlib, signal, sys, threading, time
    import morvane_reduce as mr
    from conftest import icosphere_arrays, write_obj

    signal.signal(signal.SIGINT, signal.default_int_handler)
    folder = pathlib.Path(sys.argv[1])
    source = write_obj(folder / "sphere.obj", *icosphere_arrays(3))
    target = folder / "out.obj"
    earlier = b"# an earlier proxy\\n"
    target.write_bytes(earlier)

    read_end, write_end = os.pipe()
    for fd in (read_end, write_end):
        os.set_blocking(fd, False)
    for size in (4096, 1):
        try:
            while True:
                os.write(write_end, b"." * size)
        except BlockingIOError:
            pass
    os.set_blocking(write_end, True)
    saved_stderr = os.dup(2)
    os.dup2(write_end, 2)

    libc = ctypes.PyDLL(None)
    buffer = ctypes.create_string_buffer(1 << 16)
    call_began = threading.Event()
    progress = []

    def hold_the_lock():
        call_began.wait()
        # Running again: the main thread has released the lock, inside the call.
        ctypes.pythonapi.PyErr_SetInterrupt()
        until = time.monotonic() + 60
        while time.monotonic() < until:
            n = libc.read(read_end, buffer, len(buffer))
            if n > 0:
                progress.append(buffer.raw[:n])
                if b"proxy:" in b"".join(progress[-2:]):
                    until = min(until, time.monotonic() + 0.5)  # time enough to replace the output

    sys.setswitchinterval(1000)  # no thread asks another for the lock meanwhile
    holder = threading.Thread(target=hold_the_lock)
    holder.start()
    try:
        call_began.set()
        mr.proxy_from_path(source, str(target), voxel_res=16, smooth=0)
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    holder.join()
    sys.setswitchinterval(0.005)
    os.dup2(saved_stderr, 2)
    state = "earlier" if target.read_bytes() == earlier else "replaced"
    print(outcome, state, *sorted(p.name for p in folder.iterdir()), flush=True)
""")


class TestCtrlCDuringALoad:
    def test_every_reader_is_stopped_and_reads_whole_afterwards(self, tmp_path):
        done = subprocess.run([sys.executable, "-c", LOAD_CHILD, str(tmp_path)], capture_output=True, text=True,
                              timeout=120)
        assert done.stdout.splitlines() == ["gltf interrupted True", "glb interrupted True", "usdc interrupted True"], \
            done.stderr


class TestCtrlCAtTheCommit:
    def test_a_stopped_save_replaces_nothing_and_a_begun_one_finishes(self, tmp_path):
        done = subprocess.run([sys.executable, "-c", COMMIT_CHILD, str(tmp_path)], cwd=os.path.dirname(__file__),
                              capture_output=True, text=True, timeout=120)
        lines = done.stdout.splitlines()
        renames = [line.split()[1:] for line in lines if line.startswith("rename ")]
        assert len(renames) == 16, done.stderr
        for outcome, state in renames:
            # Stopped: the earlier file stays; returned or interrupted once replaced: the whole proxy.
            assert state != "partial", renames
            assert outcome == "interrupted" or state == "complete", renames
        assert ["interrupted", "earlier"] in renames and ["interrupted", "complete"] in renames, renames
        # The signal came while the FIFO was being written: the write is not cut half-way.
        assert [line for line in lines if line.startswith("fifo ")] == ["fifo interrupted complete"], done.stderr

    def test_a_signal_pending_at_the_commit_leaves_the_earlier_file(self, tmp_path):
        done = subprocess.run([sys.executable, "-c", PENDING_AT_COMMIT_CHILD, str(tmp_path)],
                              cwd=os.path.dirname(__file__), capture_output=True, text=True, timeout=120)
        assert done.stdout.split() == ["interrupted", "earlier", "out.obj", "sphere.obj"], done.stderr


class TestCtrlCDuringTheFirstNumpyImport:
    def test_the_import_is_not_broken_and_the_interrupt_is_raised(self, tmp_path):
        # The signal is sent from inside NumPy's own import (a module that its array module imports
        # while it initialises itself), so that it is pending while the import runs.
        path = write_obj(tmp_path / "triangle.obj", [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])
        done = subprocess.run([sys.executable, "-c", textwrap.dedent("""
            import os, signal, sys, time
            import morvane_reduce as mr

            signal.signal(signal.SIGINT, signal.default_int_handler)
            mesh = mr.load(sys.argv[1])

            class SignalDuringImport:
                def find_spec(self, name, path=None, target=None):
                    if name.startswith("numpy.") and name.endswith("._exceptions"):
                        os.kill(os.getpid(), signal.SIGINT)
                        time.sleep(0.2)
                    return None

            sys.meta_path.insert(0, SignalDuringImport())
            for attempt in range(2):
                try:
                    print(mesh.positions().tolist())
                except BaseException as e:
                    print(type(e).__name__, e)
        """), path], capture_output=True, text=True, timeout=60)
        assert done.stdout.splitlines() == ["KeyboardInterrupt ", "[[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]]"], \
            done.stderr
