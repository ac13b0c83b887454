"""Eight threads call every Engine method on one engine while maintenance
sweeps and compacts at short intervals; afterwards the engine must be
consistent with itself and with a reopened copy.

QVN_TORTURE_SECONDS sets the run time (default 5)."""

import os
import random
import threading
import time

import numpy as np

from quorvane_db import _native
from quorvane_db._native import Engine

THREADS = 8
DIM = 16
SECONDS = float(os.environ.get("QVN_TORTURE_SECONDS", "5"))
# Owners 1..5 write protected Core packs that nothing deletes; owner 6 is the
# one whose packs get deleted, evicted and dropped wholesale.
PROTECTED_OWNERS = (1, 2, 3, 4, 5)
VICTIM = 6
# Refusals that a racing thread may legitimately meet.
EXPECTED_REFUSALS = ("pack not found: ", "Already borrowed", "Already mutably borrowed")


def rand_vec(rng, n=DIM):
    return rng.standard_normal(n).astype(np.float32)


def encoded(rng, n_tokens):
    header = np.zeros(_native.ENCODING_HEADER_SIZE, np.float32)
    header[0] = _native.ENCODING_SENTINEL
    header[_native.ENCODING_DIM_IDX] = DIM
    return np.concatenate([header, rand_vec(rng, n_tokens * DIM)])


class Shared:
    def __init__(self):
        self.lock = threading.Lock()
        self.protected = {}  # pack id -> text
        self.victims = []
        self.cells = []

    def pick(self, rng, seq):
        with self.lock:
            return rng.choice(seq) if seq else 10**6

    def any_pack(self, rng):
        with self.lock:
            pool = list(self.protected) + self.victims
        return rng.choice(pool) if pool else 10**6


def operations(e, shared, root, tid):
    """Every Engine method, each wrapped with a check of its own result."""
    rng = np.random.default_rng(tid)
    prng = random.Random(tid)
    counter = iter(range(10**9))

    def write_protected():
        owner = prng.choice(PROTECTED_OWNERS)
        text = f"t{tid}-{next(counter)}"
        pid = e.mem_write_pack(owner, rand_vec(rng), [(0, rand_vec(rng, 40)), (3, rand_vec(rng, 8))], 95.0, text)
        with shared.lock:
            shared.protected[pid] = text

    def write_victim():
        pid = e.mem_write_pack(VICTIM, rand_vec(rng), [(1, rand_vec(rng, 20))], prng.uniform(-5, 20), None)
        with shared.lock:
            shared.victims.append(pid)

    def auto_link():
        r = e.mem_write_pack_with_auto_link(VICTIM, rand_vec(rng), [(2, rand_vec(rng, 8))], 5.0,
                                            auto_link_threshold=0.5, text="auto")
        assert set(r) == {"pack_id", "linked_pack_ids"}
        with shared.lock:
            shared.victims.append(r["pack_id"])

    def cell():
        parent = shared.pick(prng, shared.cells) if prng.random() < 0.5 else None
        cid = e.mem_write(prng.randint(1, 6), 7, rand_vec(rng), rand_vec(rng, 12), 40.0,
                          parent if parent != 10**6 else None)
        with shared.lock:
            shared.cells.append(cid)

    def batch():
        ids = e.mem_write_batch([(VICTIM, 1, rand_vec(rng), rand_vec(rng, 4), 10.0, None) for _ in range(3)])
        assert len(ids) == 3 and ids == sorted(ids)

    def load():
        pid = shared.any_pack(prng)
        hit = e.load_pack_by_id(pid)
        assert hit["pack_id"] == pid
        with shared.lock:
            text = shared.protected.get(pid)
        if text is not None:
            assert hit["text"] == text and [l["layer_idx"] for l in hit["layers"]] == [0, 3]

    def read_pack():
        hits = e.mem_read_pack(rand_vec(rng), 5, prng.choice([None, 1, VICTIM]))
        assert len(hits) <= 5

    def reads():
        assert len(e.mem_read(rand_vec(rng), 4, None)) <= 4
        assert len(e.mem_read(encoded(rng, 3), 4, 1)) <= 4
        assert len(e.mem_read_tokens(rand_vec(rng, 3 * DIM).reshape(3, DIM), 4, None)) <= 4
        assert len(e.mem_read_pack_with_trace_boost(rand_vec(rng), 3, None, 0.5)) <= 3
        assert len(e.mem_read_pack_with_trace_boost_and_follow(rand_vec(rng), 3, None, 0.5)) >= 0

    def views():
        pid = shared.any_pack(prng)
        before = e.view_count(pid)
        e.add_view_keys(pid, [rand_vec(rng)])
        assert e.view_count(pid) >= before + 1 or not e.pack_exists(pid)

    def links():
        a, b = shared.any_pack(prng), shared.any_pack(prng)
        e.add_pack_edge(a, b, prng.randint(0, 3))
        e.add_pack_link(a, b)
        for found in (e.pack_links(a), e.pack_links_by_type(a, 1), e.pack_supports(a), e.pack_contradicts(a)):
            assert a not in found

    def texts():
        pid = shared.any_pack(prng)
        with shared.lock:
            if pid in shared.protected:
                return  # their texts are checked as written
        e.set_pack_text(pid, "x")
        e.set_pack_texts([(pid, "y")])
        assert e.pack_text(pid) in ("y", None, "x")

    def delete():
        with shared.lock:
            if not shared.victims:
                return
            pid = shared.victims.pop(prng.randrange(len(shared.victims)))
        e.delete_pack(pid)
        assert not e.pack_exists(pid)

    def governance():
        e.advance_days(0.001)
        e.evict_draft_packs(10.0, owner=VICTIM)
        e.sweep_now(hours=0.01, eviction_threshold=10.0)
        if prng.random() < 0.05:
            e.delete_owner(VICTIM)
        owners = e.list_owners()
        assert owners == sorted(set(owners))
        e.owner_exists(1)
        cid = shared.pick(prng, shared.cells)
        e.cell_importance(cid)
        e.cell_tier(cid)
        e.trace_ancestors(cid)
        pid = shared.any_pack(prng)
        e.pack_importance(pid)
        e.pack_exists(pid)

    def listing():
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

    def maintenance_and_storage():
        e.compact()
        e.refresh()
        e.flush()
        e.flush_buffer()

    def settings_and_status():
        e.set_refinement_mode(prng.choice(["none", "centered", "prf", "whitened"]))
        e.refinement_mode()
        e.set_token_reweighting(prng.random() < 0.5)
        e.token_reweighting()
        s = e.status()
        assert s["arena_bytes_per_cell"] == (s["arena_bytes"] // s["cell_count"] if s["cell_count"] else 0)
        assert s["pipeline_stages"] == (3 if s["vamana_active"] else 2)
        e.cell_count(), e.pack_count(), e.has_vamana(), e.pipeline_stage_count(), repr(e)
        e.is_maintenance_running()
        assert set(e.maintenance_status()) >= {"sweep_count", "compaction_count"}

    def synapsis():
        e.store_synapsis(prng.randint(0, 100), 9, rand_vec(rng, 8), rand_vec(rng, 8), 1.0, 2, 4)
        for entry in e.load_synapsis(9):
            assert len(entry["lora_a"]) == 8

    def restart_maintenance():
        e.stop_maintenance()
        e.start_maintenance(0.01, 0.02, 10.0, 0.01)

    weighted = [
        (write_protected, 6), (write_victim, 6), (auto_link, 2), (cell, 4), (batch, 2), (load, 6),
        (read_pack, 4), (reads, 3), (views, 2), (links, 3), (texts, 2), (delete, 3), (governance, 3),
        (listing, 2), (scheduling, 2), (snapshot, 1), (maintenance_and_storage, 1),
        (settings_and_status, 3), (synapsis, 1), (restart_maintenance, 1),
    ]
    return [f for f, w in weighted for _ in range(w)]


def test_threads_mixing_every_method_leave_a_consistent_engine(tmp_path):
    path = str(tmp_path / "engine")
    e = Engine(path, segment_size=1 << 15, vamana_threshold=400)
    e.start_maintenance(0.01, 0.02, 10.0, 0.01)
    shared = Shared()
    errors = []
    calls = [0] * THREADS
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
    assert errors == []
    assert sum(calls) > THREADS * 10, calls
    print(f"torture: {sum(calls)} calls in {SECONDS} s")

    e.stop_maintenance()
    assert not e.is_maintenance_running()

    listed = e.list_packs()
    ids = [p["pack_id"] for p in listed]
    assert len(ids) == len(set(ids)) == e.pack_count() == e.status()["pack_count"]
    status = e.status()
    assert status["cell_count"] == e.cell_count()
    assert status["pipeline_stages"] == e.pipeline_stage_count()
    assert status["vamana_active"] == e.has_vamana()
    assert set(shared.protected) <= set(ids)
    before = {}
    for p in listed:
        hit = e.load_pack_by_id(p["pack_id"])
        assert hit["owner"] == p["owner"]
        before[p["pack_id"]] = ([(l["layer_idx"], l["data"]) for l in hit["layers"]], hit["text"])
    for pid, text in shared.protected.items():
        assert before[pid][1] == text
    e.flush()
    del e

    again = Engine(path, segment_size=1 << 15, vamana_threshold=400)
    assert sorted(p["pack_id"] for p in again.list_packs()) == sorted(ids)
    for pid, (layers, text) in before.items():
        hit = again.load_pack_by_id(pid)
        assert hit["text"] == text
        got = [(l["layer_idx"], l["data"]) for l in hit["layers"]]
        assert [g[0] for g in got] == [l[0] for l in layers]
        for (_, a), (_, b) in zip(got, layers):
            assert np.array_equal(a, b)
