"""Ctrl-C on a pool that other calls keep busy: eight threads build proxies of 150k-250k-face tori at
voxel_res 160 over and over while the main thread builds its own, and a helper thread sends the
process SIGINT at random moments of the main thread's call. For each worker count (a child process
each, RAYON_NUM_THREADS set) it prints the stop latencies (signal sent to KeyboardInterrupt caught)
and whether every result of the other threads stayed the same. Then, without signals, the
throughput: the eight threads alone for a fixed time, proxies finished per second.

Usage: python bench/stop_latency_shared_pool.py [--stops 60] [--workers 1,2] [--seconds 20] [--others 8]
       [--size 194] [--voxel-res 160]
"""
import argparse
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import os, random, signal, sys, threading, time
    import numpy as np
    import morvane_reduce as mr

    signal.signal(signal.SIGINT, signal.default_int_handler)
    mode = sys.argv[1]
    count, other_count, size, res = (int(a) for a in sys.argv[2:6])

    def bumpy_torus(v):
        # 2 u v triangles with u = 2 v: a closed torus with ripples, so that every stage has work.
        u = 2 * v
        a, b = np.meshgrid(np.linspace(0, 2 * np.pi, u, endpoint=False), np.linspace(0, 2 * np.pi, v, endpoint=False),
                           indexing="ij")
        r = 0.35 + 0.02 * np.sin(9 * a) * np.cos(7 * b)
        positions = np.stack([(1 + r * np.cos(b)) * np.cos(a), (1 + r * np.cos(b)) * np.sin(a), r * np.sin(b)], -1)
        i, j = np.meshgrid(np.arange(u), np.arange(v), indexing="ij")
        p, q, s, t = i * v + j, ((i + 1) % u) * v + j, i * v + (j + 1) % v, ((i + 1) % u) * v + (j + 1) % v
        faces = np.concatenate([np.stack([p, q, t], -1).reshape(-1, 3), np.stack([p, t, s], -1).reshape(-1, 3)])
        return mr.Mesh.from_numpy(positions.reshape(-1, 3), faces.astype(np.uint32))

    others = [bumpy_torus(size + size * (k % 8) // 25) for k in range(other_count)]
    mine = bumpy_torus(size + size // 8)
    done = threading.Event()
    finished = [0] * other_count
    changed = []

    def keep_building(k):
        expected = mr.generate_proxy(others[k], voxel_res=res)
        started.wait()
        while not done.is_set():
            result = mr.generate_proxy(others[k], voxel_res=res)
            if not (np.array_equal(result.positions(), expected.positions()) and
                    np.array_equal(result.indices(), expected.indices())):
                changed.append(k)
            finished[k] += 1

    started = threading.Event()
    threads = [threading.Thread(target=keep_building, args=(k,)) for k in range(other_count)]
    for thread in threads:
        thread.start()
    started.set()

    if mode == "stops":
        latencies, in_call, sent, lock = [], False, [0.0], threading.Lock()
        rng = random.Random(1)

        def send_later(delay):
            time.sleep(delay)
            with lock:
                if in_call:
                    sent[0] = time.monotonic()
                    os.kill(os.getpid(), signal.SIGINT)

        calls = 0
        while len(latencies) < count:
            sender = threading.Thread(target=send_later, args=(rng.uniform(0.05, 1.0),))
            calls += 1
            try:
                in_call = True
                sender.start()
                mr.generate_proxy(mine, voxel_res=res)
                with lock:
                    in_call = False
            except KeyboardInterrupt:
                latencies.append(time.monotonic() - sent[0])
                in_call = False
            sender.join()
        done.set()
        for thread in threads:
            thread.join()
        latencies.sort()
        slow = [x for x in latencies if x >= 0.5]
        print(f"stops {len(latencies)}: median {latencies[len(latencies) // 2]:.3f} s, "
              f"90% {latencies[len(latencies) * 9 // 10]:.3f} s, worst {latencies[-1]:.3f} s, "
              f"{len(slow)} of {len(latencies)} at 0.5 s or more ({calls - len(latencies)} calls ended first); "
              f"other calls' results changed: {len(changed)}")
    else:
        start = time.monotonic()
        time.sleep(count)
        done.set()
        for thread in threads:
            thread.join()
        seconds = time.monotonic() - start
        print(f"throughput: {sum(finished)} proxies in {seconds:.1f} s, {sum(finished) / seconds:.2f} per second; "
              f"results changed: {len(changed)}")
""")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stops", type=int, default=60)
    parser.add_argument("--workers", default="1,2")
    parser.add_argument("--seconds", type=int, default=20)
    parser.add_argument("--others", type=int, default=8)
    parser.add_argument("--size", type=int, default=194, help="tori of about 4 size^2 triangles")
    parser.add_argument("--voxel-res", type=int, default=160)
    options = parser.parse_args()
    for workers in options.workers.split(","):
        env = dict(os.environ, RAYON_NUM_THREADS=workers)
        for mode, count in (("stops", options.stops), ("throughput", options.seconds)):
            if count <= 0:
                continue
            arguments = [mode, count, options.others, options.size, options.voxel_res]
            done = subprocess.run([sys.executable, "-c", CHILD, *map(str, arguments)], env=env, text=True,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
            print(f"{workers} worker(s), {options.others} other calls at voxel_res {options.voxel_res}, "
                  f"{done.stdout.strip()}", flush=True)


if __name__ == "__main__":
    main()
