"""Compaction while other processes use the same engine directory.

    python bench/shared_compaction.py                       # every scenario
    python bench/shared_compaction.py --procs 4 --secs 10 compact

Scenarios:
  compact  --procs processes loop for --secs seconds: write packs, add view
           keys to a kept pack, delete most new packs, refresh, compact.
           Reports failed compactions (with their messages), then checks in a
           fresh engine every kept pack (owner, layer, view count) and every
           deleted one.
  refresh  one process writes, deletes and compacts for --secs seconds while
           this one refreshes in a loop.  Reports failed refreshes, then packs
           a fresh engine sees that this engine cannot load after one more
           refresh.
  open     one process compacts as above while this one opens engines in a
           loop.  Reports failed opens.
"""

import argparse
import collections
import multiprocessing as mp
import os
import sys
import tempfile
import time

import numpy as np

from quorvane_db._native import Engine

DIM = 16
SEGMENT = 8192


def key_of(owner, i):
    v = np.zeros(DIM, dtype=np.float32)
    v[(owner * 7 + i) % DIM] = 1.0
    return v


def layer_of(owner, i):
    return np.full(64, owner * 1000.0 + i % 1000, dtype=np.float32)


def churn(path, owner, secs, out, refresh=True):
    """Writes, view keys, deletions and compactions; returns what must hold."""
    e = Engine(path, segment_size=SEGMENT)
    kept, deleted, views = {}, [], collections.Counter()
    failures = collections.Counter()

    def attempt(name, call):
        try:
            return call()
        except RuntimeError as error:
            failures[f"{name}: {error}"] += 1
            return None

    done = i = 0
    end = time.monotonic() + secs
    while time.monotonic() < end:
        new = []
        for _ in range(6):
            pid = attempt("write", lambda: e.mem_write_pack(owner, key_of(owner, i), [(0, layer_of(owner, i))], 50.0))
            if pid is not None:
                new.append((pid, i))
            i += 1
        for pid, _ in new[:4]:
            if attempt("delete", lambda: e.delete_pack(pid) or True):
                deleted.append(pid)
        kept.update(new[4:])
        if len(new) > 4 and attempt("view keys", lambda: e.add_view_keys(new[4][0], [key_of(owner, i + 1)])):
            views[new[4][0]] += 1
        if refresh:
            attempt("refresh", e.refresh)
        if attempt("compact", e.compact) is not None:
            done += 1
    out.put((owner, kept, deleted, dict(views), done, dict(failures)))


def check(path, results):
    e = Engine(path)
    wrong = 0
    for owner, kept, deleted, views, *_ in results:
        for pid, i in kept.items():
            try:
                hit = e.load_pack_by_id(pid)
                ok = hit["owner"] == owner and np.allclose(hit["layers"][0]["data"], layer_of(owner, i))
                ok = ok and e.view_count(pid) == views.get(pid, 0)
            except RuntimeError:
                ok = False
            wrong += not ok
        for pid in deleted:
            try:
                e.load_pack_by_id(pid)
                wrong += 1
            except RuntimeError:
                pass
    return wrong


def compact(procs, secs, root):
    path = os.path.join(root, "compact")
    ctx = mp.get_context("spawn")
    out = ctx.Queue()
    ps = [ctx.Process(target=churn, args=(path, o, secs, out)) for o in range(1, procs + 1)]
    for p in ps:
        p.start()
    results = [out.get(timeout=secs + 120) for _ in ps]
    for p in ps:
        p.join()
    done = sum(r[4] for r in results)
    failures = collections.Counter()
    for r in results:
        failures.update(r[5])
    failed = sum(n for what, n in failures.items() if what.startswith("compact"))
    kept = sum(len(r[1]) for r in results)
    wrong = check(path, results)
    print(f"compact: {procs} procs x {secs}s: {failed} of {done + failed} compactions failed; "
          f"failed calls {dict(failures)}; {wrong} of {kept} kept packs wrong or lost, or deleted packs back")
    return sum(failures.values()) + wrong


def one_compactor(path, secs):
    ctx = mp.get_context("spawn")
    out = ctx.Queue()
    p = ctx.Process(target=churn, args=(path, 99, secs, out, False))
    p.start()
    return p, out


def refresh(secs, root):
    path = os.path.join(root, "refresh")
    seed = Engine(path, segment_size=SEGMENT)
    for i in range(40):
        seed.mem_write_pack(1, key_of(1, i), [(0, layer_of(1, i))], 50.0)
    reader = Engine(path, segment_size=SEGMENT)
    p, out = one_compactor(path, secs)
    done, failures = 0, collections.Counter()
    while p.is_alive():
        try:
            reader.refresh()
            done += 1
        except RuntimeError as error:
            failures[str(error)] += 1
    result = out.get(timeout=60)
    p.join()
    reader.refresh()
    fresh = Engine(path)
    missing = 0
    for s in fresh.list_packs(None):
        try:
            reader.load_pack_by_id(s["pack_id"])
        except RuntimeError:
            missing += 1
    failed = sum(failures.values())
    print(f"refresh: {failed} of {done + failed} refreshes failed {dict(failures)} during "
          f"{result[4]} compactions; afterwards {missing} of {len(fresh.list_packs(None))} packs "
          f"not found by the refreshed engine")
    return failed + missing


def opens(secs, root):
    path = os.path.join(root, "open")
    Engine(path, segment_size=SEGMENT).mem_write_pack(1, key_of(1, 0), [], 50.0)
    p, out = one_compactor(path, secs)
    done, failures = 0, collections.Counter()
    while p.is_alive():
        try:
            Engine(path, segment_size=SEGMENT)
            done += 1
        except RuntimeError as error:
            failures[str(error)] += 1
    result = out.get(timeout=60)
    p.join()
    failed = sum(failures.values())
    print(f"open: {failed} of {done + failed} opens failed {dict(failures)} during {result[4]} compactions")
    return failed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--procs", type=int, default=4)
    ap.add_argument("--secs", type=float, default=10.0)
    ap.add_argument("--dir", default=None)
    ap.add_argument("scenarios", nargs="*", default=["compact", "refresh", "open"])
    args = ap.parse_args()
    bad = 0
    with tempfile.TemporaryDirectory(dir=args.dir) as root:
        if "compact" in args.scenarios:
            bad += compact(args.procs, args.secs, root)
        if "refresh" in args.scenarios:
            bad += refresh(args.secs, root)
        if "open" in args.scenarios:
            bad += opens(args.secs, root)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
