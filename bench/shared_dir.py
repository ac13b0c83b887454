"""Several processes writing to one engine directory at once.

    python bench/shared_dir.py                    # both scenarios, 2 processes
    python bench/shared_dir.py --procs 4 --packs 300 --edges 2000

Scenarios:
  packs   each process writes --packs packs (one layer, a text naming its
          owner); then one fresh engine checks every acknowledged pack: its
          layer, owner and text, and that owner-filtered reads return only
          that owner's packs.  Reports wrong/lost packs and packs/s.
  edges   each process adds --edges pack links between two packs of its own;
          then counts the records of "trace.wal".  Reports lost records and
          edges/s.
"""

import argparse
import multiprocessing as mp
import os
import sys
import tempfile
import time

import numpy as np

from quorvane_db._native import Engine

DIM = 16


def key_of(owner, i):
    v = np.zeros(DIM, dtype=np.float32)
    v[(owner * 7 + i) % DIM] = 1.0
    v[0] += owner * 0.001 + i * 1e-6
    return v


def layer_of(owner, i):
    return np.full(8, owner * 1000.0 + i, dtype=np.float32)


def write_packs(path, owner, n, barrier, out):
    e = Engine(path)
    barrier.wait()
    acked = []
    t0 = time.perf_counter()
    for i in range(n):
        pid = e.mem_write_pack(owner, key_of(owner, i), [(0, layer_of(owner, i))], 50.0,
                               text=f"tenant {owner} secret {i}")
        acked.append((pid, i))
    out.put((owner, acked, time.perf_counter() - t0))


def add_edges(path, owner, n, barrier, out):
    e = Engine(path)
    a = e.mem_write_pack(owner, key_of(owner, 0), [], 50.0)
    b = e.mem_write_pack(owner, key_of(owner, 1), [], 50.0)
    barrier.wait()
    t0 = time.perf_counter()
    for _ in range(n):
        e.add_pack_edge(a, b, 1)
    out.put((owner, n, time.perf_counter() - t0))


def run(target, procs, n, path):
    ctx = mp.get_context("spawn")
    barrier = ctx.Barrier(procs)
    out = ctx.Queue()
    ps = [ctx.Process(target=target, args=(path, o, n, barrier, out)) for o in range(1, procs + 1)]
    for p in ps:
        p.start()
    results = [out.get() for _ in ps]
    for p in ps:
        p.join()
    return results


def packs(procs, n, root):
    path = os.path.join(root, "packs")
    results = run(write_packs, procs, n, path)
    e = Engine(path)
    wrong = 0
    total = 0
    for owner, acked, _ in results:
        for pid, i in acked:
            total += 1
            try:
                hit = e.load_pack_by_id(pid)
            except RuntimeError:
                wrong += 1
                continue
            ok = (hit["owner"] == owner and hit["text"] == f"tenant {owner} secret {i}"
                  and len(hit["layers"]) == 1
                  and np.allclose(hit["layers"][0]["data"], layer_of(owner, i), rtol=1e-5))
            wrong += not ok
    leaks = 0
    for owner in range(1, procs + 1):
        for hit in e.mem_read_pack(key_of(owner, 3), 20, owner):
            leaks += hit["owner"] != owner or not (hit["text"] or "").startswith(f"tenant {owner} ")
    rate = sum(len(a) / t for _, a, t in results)
    print(f"packs: {procs} procs x {n}: wrong or lost {wrong}/{total}, "
          f"foreign hits in owner reads {leaks}, {rate:.0f} packs/s total")
    return wrong + leaks


def edges(procs, n, root):
    path = os.path.join(root, "edges")
    results = run(add_edges, procs, n, path)
    size = os.path.getsize(os.path.join(path, "trace.wal"))
    want = procs * n * 2
    got = size // 26
    rate = sum(k / t for _, k, t in results)
    print(f"edges: {procs} procs x {n} links: {got}/{want} records, "
          f"{size % 26} stray bytes, {rate:.0f} links/s total")
    return want - got


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--procs", type=int, default=2)
    ap.add_argument("--packs", type=int, default=300)
    ap.add_argument("--edges", type=int, default=2000)
    ap.add_argument("--dir", default=None)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as root:
        bad = packs(args.procs, args.packs, root)
        bad += edges(args.procs, args.edges, root)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
