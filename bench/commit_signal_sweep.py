"""Ctrl-C around the commit of proxy_from_path: a child converts a sphere over an existing output while
this process sends it SIGINT 0, 5, ... 195 ms after the call began, in several rounds. A thread here
watches the output's inode to time its replacement. Each run ends in one of three ways: stopped with
the old output, finished with the new one (a signal that came after the replacement raises after the
call), or wrong: the new output although the signal was sent before the file was replaced. The last
look for a signal comes just before the rename; a signal sent between the two (microseconds apart,
more on an overloaded machine) counts as wrong here too, so each wrong run is listed with its gap.

Usage: python bench/commit_signal_sweep.py [--rounds 3] [--voxel-res 64]
"""
import argparse
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

CHILD = textwrap.dedent("""
    import signal, sys, time
    import morvane_reduce as mr

    signal.signal(signal.SIGINT, signal.default_int_handler)
    source, target, voxel_res = sys.argv[1], sys.argv[2], int(sys.argv[3])
    outcome = "returned"
    try:
        print("calling", flush=True)
        mr.proxy_from_path(source, target, voxel_res=voxel_res)
        time.sleep(0.3)  # a signal after the call raises here
    except KeyboardInterrupt:
        outcome = "interrupted"
    print(outcome, flush=True)
""")


def sphere_obj(path, subdivisions=5):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))
    from conftest import icosphere_arrays, write_obj
    return write_obj(path, *icosphere_arrays(subdivisions))


def watch_replacement(target, old_inode, stop, seen):
    while not stop.is_set():
        try:
            if os.stat(target).st_ino != old_inode:
                seen.append(time.monotonic())
                return
        except FileNotFoundError:
            pass


def one_run(source, target, delay, voxel_res):
    target.write_bytes(b"# an earlier proxy\n")
    stop, seen = threading.Event(), []
    watcher = threading.Thread(target=watch_replacement, args=(target, os.stat(target).st_ino, stop, seen))
    child = subprocess.Popen([sys.executable, "-c", CHILD, source, str(target), str(voxel_res)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    assert child.stdout.readline().strip() == "calling"
    watcher.start()
    time.sleep(delay)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    outcome = child.stdout.readline().strip()
    child.wait()
    stop.set()
    watcher.join()
    replaced = target.read_bytes() != b"# an earlier proxy\n"
    return outcome, replaced, (seen[0] - sent) if seen else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--voxel-res", type=int, default=64)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        source = sphere_obj(pathlib.Path(folder) / "sphere.obj")
        target = pathlib.Path(folder) / "out.obj"
        counts = {"stopped, old output": 0, "finished, new output": 0, "wrong": 0}
        wrong = []
        for _ in range(options.rounds):
            for step in range(40):
                outcome, replaced, after = one_run(source, target, step * 0.005, options.voxel_res)
                if outcome == "interrupted" and not replaced:
                    counts["stopped, old output"] += 1
                elif replaced and after is not None and after <= 0:
                    counts["finished, new output"] += 1
                else:
                    counts["wrong"] += 1
                    wrong.append(f"{step * 5} ms: {outcome}, replaced {after * 1000:.2f} ms after the signal"
                                 if after is not None else f"{step * 5} ms: {outcome}, replaced {replaced}")
        runs = options.rounds * 40
        print(f"proxy_from_path (voxel_res {options.voxel_res}) with SIGINT at 0-195 ms, {runs} runs: " +
              ", ".join(f"{name} {n}" for name, n in counts.items()))
        for line in wrong:
            print("    " + line)


if __name__ == "__main__":
    main()
