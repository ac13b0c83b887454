"""Eight threads call every Engine method on one engine while maintenance
sweeps and compacts at short intervals; afterwards the engine must agree
with itself and with a reopened copy. QVN_TORTURE_SECONDS sets the run time."""

import os
import random
import threading
import time

import numpy as np

from quorvane_db import _native
from quorvane_db._native import Engine

THREADS, DIM = 8, 16
SECONDS = float(os.environ.get("QVN_TORTURE_SECONDS", "3"))
# Owners 1..5 write Core packs that nothing deletes; owner 6's packs get
# deleted, evicted and dropped wholesale.
PROTECTED, VICTIM = (1, 2, 3, 4, 5), 6
# Refusals that a racing thread may legitimately meet.
EXPECTED_REFUSALS = ("pack not found: ", "Already borrowed", "Already mutably borrowed")


def operations(e, shared, root, tid):
    """Every Engine method, each with a check of its own result."""
    rng, prng, counter = np.random.default_rng(tid), random.Random(tid), iter(range(10**9))
    lock, protected, victims, cells = shared["lock"], shared["protected"], shared["victims"], shared["cells"]

    def vec(n=DIM):
        return rng.standard_normal(n).astype(np.float32)

    def any_pack():
        with lock:
            pool = list(protected) + victims
        return prng.choice(pool) if pool else 10**6

    def any_cell():
        with lock:
            return prng.choice(cells) if cells else 10**6

    def write_protected():
        text = f"t{tid}-{next(counter)}"
        pid = e.mem_write_pack(prng.choice(PROTECTED), vec(), [(0, vec(40)), (3, vec(8))], 95.0, text)
        with lock:
            protected[pid] = text

    def write_victim():
        pid = e.mem_write_pack(VICTIM, vec(), [(1, vec(20))], prng.uniform(-5, 20), None)
        r = e.mem_write_pack_with_auto_link(VICTIM, vec(), [(2, vec(8))], 5.0, auto_link_threshold=0.5, text="a")
        with lock:
            victims.extend([pid, r["pack_id"]])

    def write_cells():
        parent = any_cell() if prng.random() < 0.5 else None
        cid = e.mem_write(prng.randint(1, 6), 7, vec(), vec(12), 40.0, parent if parent != 10**6 else None)
        ids = e.mem_write_batch([(VICTIM, 1, vec(), vec(4), 10.0, None) for _ in range(3)])
        assert len(ids) == 3 and ids == sorted(ids)
        with lock:
            cells.append(cid)

    def load():
        pid = any_pack()
        hit = e.load_pack_by_id(pid)
        with lock:
            text = protected.get(pid)
        assert hit["pack_id"] == pid
        if text is not None:
            assert hit["text"] == text and [l["layer_idx"] for l in hit["layers"]] == [0, 3]

    def reads():
        owner = prng.choice([None, 1, VICTIM])
        for hits in (e.mem_read_pack(vec(), 5, owner), e.mem_read_pack_with_trace_boost(vec(), 5, owner, 0.5),
                     e.mem_read_pack_with_trace_boost_and_follow(vec(), 5, owner, 0.5)[:5]):
            assert len(hits) <= 5 and (owner is None or {h["owner"] for h in hits} <= {owner})
        header = np.zeros(_native.ENCODING_HEADER_SIZE, np.float32)
        header[0], header[_native.ENCODING_DIM_IDX] = _native.ENCODING_SENTINEL, DIM
        for hits in (e.mem_read(vec(), 4, owner), e.mem_read(np.concatenate([header, vec(3 * DIM)]), 4, owner),
                     e.mem_read_tokens(vec(3 * DIM).reshape(3, DIM), 4, owner)):
            assert len(hits) <= 4 and (owner is None or {h.owner for h in hits} <= {owner})

    def views_links_texts():
        a, b = any_pack(), any_pack()
        before = e.view_count(a)
        e.add_view_keys(a, [vec()])
        assert e.view_count(a) >= before + 1 or not e.pack_exists(a)
        e.add_pack_edge(a, b, prng.randint(0, 3))
        e.add_pack_link(a, b)
        for found in (e.pack_links(a), e.pack_links_by_type(a, 1), e.pack_supports(a), e.pack_contradicts(a)):
            assert a not in found
        with lock:
            if a in protected:
                return  # their texts are checked as written
        e.set_pack_text(a, "x")
        e.set_pack_texts([(a, "y")])
        assert e.pack_text(a) in ("y", None, "x")

    def delete():
        with lock:
            pid = victims.pop(prng.randrange(len(victims))) if victims else None
        if pid is not None:
            e.delete_pack(pid)
            assert not e.pack_exists(pid)

    def governance():
        e.advance_days(0.001)
        e.evict_draft_packs(10.0, owner=VICTIM)
        e.sweep_now(hours=0.01, eviction_threshold=10.0)
        if prng.random() < 0.05:
            e.delete_owner(VICTIM)
        owners = e.list_owners()
        assert owners == sorted(set(owners)) and e.owner_exists(1) in (True, False)
        cid, pid = any_cell(), any_pack()
        e.cell_importance(cid), e.cell_tier(cid), e.trace_ancestors(cid), e.pack_importance(pid), e.pack_exists(pid)
        packs = e.list_packs(prng.choice([None, 1, VICTIM]))
        assert len({p["pack_id"] for p in packs}) == len(packs)

    def scheduling():
        sid = e.schedule_evict_draft(time.time() + prng.uniform(-1, 1), VICTIM, 10.0)
        assert all(s["id"] != 0 for s in e.list_scheduled())
        e.fire_due_scheduled()
        if prng.random() < 0.5:
            e.cancel_scheduled(sid)

    def snapshot():
        out = os.path.join(root, f"snap-{tid}-{next(counter)}.tar")
        manifest = e.snapshot(out)
        if prng.random() < 0.3:
            restored = Engine.restore_from(out, os.path.join(root, f"restored-{tid}-{next(counter)}"))
            assert restored.pack_count() == manifest["pack_count"]
        os.unlink(out)

    def storage_settings_status():
        e.compact(), e.refresh(), e.flush(), e.flush_buffer()
        e.set_refinement_mode(prng.choice(["none", "centered", "prf", "whitened"]))
        e.set_token_reweighting(prng.random() < 0.5)
        e.refinement_mode(), e.token_reweighting(), repr(e)
        s = e.status()
        assert s["arena_bytes_per_cell"] == (s["arena_bytes"] // s["cell_count"] if s["cell_count"] else 0)
        assert s["pipeline_stages"] == (3 if s["vamana_active"] else 2)
        e.cell_count(), e.pack_count(), e.has_vamana(), e.pipeline_stage_count(), e.is_maintenance_running()
        assert set(e.maintenance_status()) >= {"sweep_count", "compaction_count"}

    def synapsis_and_maintenance():
        e.store_synapsis(prng.randint(0, 100), 9, vec(8), vec(8), 1.0, 2, 4)
        assert all(len(entry["lora_a"]) == 8 and entry["owner"] == 9 for entry in e.load_synapsis(9))
        if prng.random() < 0.3:
            e.stop_maintenance()
            e.start_maintenance(0.01, 0.02, 10.0, 0.01)

    weighted = [(write_protected, 6), (write_victim, 5), (write_cells, 4), (load, 6), (reads, 5),
                (views_links_texts, 4), (delete, 3), (governance, 3), (scheduling, 2), (snapshot, 1),
                (storage_settings_status, 2), (synapsis_and_maintenance, 2)]
    return [f for f, w in weighted for _ in range(w)]


def test_threads_mixing_every_method_leave_a_consistent_engine(tmp_path):
    path = str(tmp_path / "engine")
    e = Engine(path, segment_size=1 << 15, vamana_threshold=400)
    e.start_maintenance(0.01, 0.02, 10.0, 0.01)
    shared = {"lock": threading.Lock(), "protected": {}, "victims": [], "cells": []}
    errors, calls = [], [0] * THREADS
    deadline = time.monotonic() + SECONDS

    def worker(tid):
        ops = operations(e, shared, str(tmp_path), tid)
        prng = random.Random(1000 + tid)
        while time.monotonic() < deadline:
            op = prng.choice(ops)
            try:
                op()
            except RuntimeError as err:
                if not str(err).startswith(EXPECTED_REFUSALS):
                    errors.append((op.__name__, repr(err)))
            except Exception as err:  # noqa: BLE001 - every other failure is a finding
                errors.append((op.__name__, repr(err)))
            calls[tid] += 1

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and sum(calls) > THREADS * 10, (errors, calls)
    e.stop_maintenance()
    assert not e.is_maintenance_running()

    listed = e.list_packs()
    ids = [p["pack_id"] for p in listed]
    status = e.status()
    assert len(ids) == len(set(ids)) == e.pack_count() == status["pack_count"]
    assert (status["cell_count"], status["vamana_active"]) == (e.cell_count(), e.has_vamana())
    assert set(shared["protected"]) <= set(ids)
    before = {}
    for p in listed:
        hit = e.load_pack_by_id(p["pack_id"])
        assert hit["owner"] == p["owner"]
        before[p["pack_id"]] = ([(l["layer_idx"], l["data"].tolist()) for l in hit["layers"]], hit["text"])
    assert all(before[pid][1] == text for pid, text in shared["protected"].items())
    e.flush()
    del e

    again = Engine(path, segment_size=1 << 15, vamana_threshold=400)
    assert sorted(p["pack_id"] for p in again.list_packs()) == sorted(ids)
    for pid, want in before.items():
        hit = again.load_pack_by_id(pid)
        assert ([(l["layer_idx"], l["data"].tolist()) for l in hit["layers"]], hit["text"]) == want
