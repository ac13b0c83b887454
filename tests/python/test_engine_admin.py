"""Adapters, texts, governance, links, schedules, maintenance and checkpoints, driven from Python."""

import gc
import os
import random
import subprocess
import sys
import textwrap
import threading
import time
from fractions import Fraction

import numpy as np
import pytest

from quorvane_db import _native

Engine = _native.Engine
needs_proc = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc thread names")


def vec(seed, n=8):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def write_pack(engine, owner, salience, seed=0, text=None):
    return engine.mem_write_pack(owner, vec(seed), [(0, vec(seed + 1000))], salience, text)


@pytest.fixture
def db(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def engine(db):
    return Engine(db)


def reopen(engine, db):
    del engine
    gc.collect()
    return Engine(db)


def test_adapters_round_to_half_like_ieee_and_persist(engine, db):
    # Random bit patterns plus ties at both ends of the subnormal range, the
    # largest half and the first value that overflows, infinities, NaNs and
    # signed zero; NumPy rounds to nearest, ties to even.
    rng = np.random.default_rng(3)
    special = np.array([0x00000001, 0x33000000, 0x33000001, 0x33800000, 0x387FC000, 0x38800000, 0x3C001000,
                        0x3C003000, 0x477FE000, 0x477FEFFF, 0x477FF000, 0x7F800000, 0xFF800000, 0x7FC00000,
                        0x7F800001, 0x80000000], dtype=np.uint32)
    values = np.concatenate([rng.integers(0, 2**32, 4096, dtype=np.uint64).astype(np.uint32), special]).view(np.float32)
    engine.store_synapsis(5, 7, values, values[::-1].copy(), 0.5, 1, values.size, last_used=123, quality=0.25)
    engine.store_synapsis(6, 7, values[:8], values[:8], 65520.0, 2, 4)  # scale beyond the half range
    engine.store_synapsis(9, 8, values[:0], values[:0], 1.0, 0, 8)
    with np.errstate(over="ignore", invalid="ignore"):
        want = values.astype(np.float16).astype(np.float32)
    engine = reopen(engine, db)
    first, second = engine.load_synapsis(7)
    assert list(first) == ["id", "owner", "rank", "d_model", "scale", "last_used", "quality", "lora_a", "lora_b"]
    assert [first[k] for k in ("id", "owner", "rank", "d_model", "scale", "last_used", "quality")] == \
        [5, 7, 1, values.size, 0.5, 123, 0.25]
    for got, ref in ((first["lora_a"], want), (first["lora_b"], want[::-1])):
        nan = np.isnan(ref)
        assert got.dtype == np.float32 and np.array_equal(np.isnan(got), nan)
        assert np.array_equal(got[~nan].view(np.uint32), ref[~nan].view(np.uint32))  # -0.0 too
    assert (second["id"], second["scale"], second["last_used"], second["quality"]) == (6, float("inf"), 0, 0.0)
    assert engine.load_synapsis(8)[0]["lora_a"].size == 0 and engine.load_synapsis(99) == []


def test_pack_texts_persist_and_batches_apply_in_order(engine, db):
    p1, p2 = write_pack(engine, 1, 50.0, seed=1), write_pack(engine, 1, 50.0, seed=2, text="two")
    assert (engine.pack_text(p1), engine.pack_text(p2), engine.pack_text(123456)) == (None, "two", None)
    engine.set_pack_text(p1, "")
    assert engine.pack_text(p1) == ""
    assert engine.set_pack_texts([(p1, "a"), (p1, "b")]) is None and engine.set_pack_texts([]) is None
    assert reopen(engine, db).pack_text(p1) == "b"


def test_governance_listing_eviction_and_deletion(engine):
    draft = engine.mem_write(1, 0, vec(1), vec(2), 50.0, None)
    assert (engine.cell_importance(draft), engine.cell_tier(draft), engine.cell_tier(10**6)) == (55.0, 0, None)
    engine.advance_days(1.0)
    assert engine.cell_importance(draft) == float(np.float32(55.0) * np.float32(0.995))

    low = write_pack(engine, 3, 0.0, seed=1, text="low")  # importance 5, Draft
    high = write_pack(engine, 3, 90.0, seed=2)  # 95, Core
    ties = [write_pack(engine, 1, 60.0, seed=s) for s in (3, 4, 5)]
    packs = engine.list_packs()
    assert [p["pack_id"] for p in packs] == [high, *ties, low]  # importance down, then id up
    assert packs[0] == {"pack_id": high, "owner": 3, "tier": 2, "importance": 95.0, "text": None}
    assert [p["pack_id"] for p in engine.list_packs(owner=3)] == [high, low]
    assert engine.list_owners() == [1, 3] and engine.owner_exists(3) and not engine.owner_exists(2)

    assert engine.evict_draft_packs(5.0) == 0  # the threshold itself is kept
    assert engine.evict_draft_packs(15.0, owner=1) == 0 and engine.pack_exists(low)
    assert engine.sweep_now() == 1 and not engine.pack_exists(low)
    assert engine.pack_importance(low) is None and engine.pack_importance(ties[0]) == 65.0
    assert engine.sweep_now(hours=12.0) == 0 and engine.pack_importance(ties[0]) == 65.0
    assert engine.sweep_now(hours=12.0) == 0  # a whole day has passed now
    assert engine.pack_importance(ties[0]) == float(np.float32(65.0) * np.float32(0.995))
    engine.delete_pack(ties[0])
    assert not engine.pack_exists(ties[0])
    assert engine.delete_owner(2) == 0 and engine.delete_owner(3) == 1  # the Core pack goes too
    assert engine.list_owners() == [1]


def test_pack_edges_and_trace_ancestors(engine):
    a, b, c = (write_pack(engine, 1, 50.0, seed=s) for s in (1, 2, 3))
    edges = engine.status()["trace_edges"]
    engine.add_pack_edge(a, b, 3)
    assert (engine.pack_supports(a), engine.pack_supports(b), engine.pack_contradicts(a)) == ([b], [a], [])
    engine.add_pack_link(a, c)
    assert (engine.pack_links_by_type(a, 1), engine.pack_links_by_type(c, 1)) == ([c], [a])
    assert sorted(engine.pack_links(a)) == sorted([b, c]) and engine.pack_links(123456) == []
    engine.add_pack_edge(c, b, 2)
    assert engine.pack_contradicts(b) == [c] and engine.status()["trace_edges"] == edges + 6

    q = engine.mem_write(1, 0, vec(1), vec(2), 10.0, None)
    p = engine.mem_write(1, 0, vec(3), vec(4), 10.0, q)
    child = engine.mem_write(1, 0, vec(5), vec(6), 10.0, p)
    assert (engine.trace_ancestors(child), engine.trace_ancestors(q), engine.trace_ancestors(10**9)) == ([p, q], [], [])


def test_schedules_list_cancel_fire_and_persist(engine, db):
    kept = write_pack(engine, 8, 0.0, seed=2)
    draft = write_pack(engine, 7, 0.0, seed=1)
    assert engine.schedule_evict_draft(4102444800.25, 8, 15.0) == 1
    assert engine.schedule_evict_draft(1.5, 7, 0.1) == 2
    assert engine.schedule_evict_draft(3.0, 7, 1.0) == 3
    assert engine.list_scheduled()[:2] == [
        {"id": 2, "fires_at_unix_secs": 1.5,
         "action": {"type": "evict_draft", "owner": 7, "threshold": float(np.float32(0.1))}},
        {"id": 3, "fires_at_unix_secs": 3.0, "action": {"type": "evict_draft", "owner": 7, "threshold": 1.0}},
    ]
    path = os.path.join(db, "scheduled_actions.json")
    before = open(path, "rb").read()
    assert engine.cancel_scheduled(99) is False and open(path, "rb").read() == before
    assert engine.cancel_scheduled(3) is True and engine.cancel_scheduled(3) is False
    engine = reopen(engine, db)
    assert [e["id"] for e in engine.list_scheduled()] == [2, 1]
    assert engine.fire_due_scheduled() == 1 and engine.pack_exists(draft)  # importance 5 is not below 0.1
    assert engine.schedule_evict_draft(0.0, 7, 15.0) == 4
    assert engine.fire_due_scheduled() == 1 and engine.fire_due_scheduled() == 0
    assert not engine.pack_exists(draft) and engine.pack_exists(kept)
    assert [e["id"] for e in engine.list_scheduled()] == [1]
    assert engine.schedule_evict_draft(18446744073.70955, 1, 3.4e38) == 5  # the last time that fits
    del engine
    gc.collect()
    damaged = open(path).read().replace('"id":', '"id"', 1)
    open(path, "w").write(damaged)
    with pytest.raises(RuntimeError) as e:
        Engine(db)
    assert str(e.value) == ("snapshot integrity check failed: scheduled_actions.json parse error: "
                            "expected `:` at line 5 column 12")


def test_fire_time_matches_exact_rounding(engine):
    def exact(secs):
        frac = Fraction(secs)
        whole = int(frac)
        nanos = round((frac - whole) * 10**9)  # half to even
        if nanos == 10**9:
            whole, nanos = whole + 1, 0
        return whole + nanos / 1e9

    rng = random.Random(5)
    # Ties to even (2**-10 s is 976562.5 ns), up to the last time below 2^64 ns.
    values = [1234.000000001, 2.0**-10, 3 * 2.0**-10, 1e-10, -0.0, 0.9999999999, 0.99999999995, 2.0**34 - 0.5,
              2.0**34 - 2.0**-18, 18446744073.70955]
    values += [rng.uniform(0, 1) for _ in range(100)] + [rng.uniform(0, 2**33) for _ in range(100)]
    values += [2.0 ** rng.randint(-40, 34) * rng.random() for _ in range(100)]
    ids = [engine.schedule_evict_draft(v, 1, 1.0) for v in values]
    got = {e["id"]: e["fires_at_unix_secs"] for e in engine.list_scheduled()}
    assert [got[i] for i in ids] == [exact(v) for v in values]


def wait_for(cond, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not cond() and time.monotonic() < deadline:
        time.sleep(0.02)


def test_maintenance_sweeps_compacts_and_restarts_fresh(engine):
    zero = {"sweep_count": 0, "compaction_count": 0, "total_packs_evicted": 0, "total_bytes_reclaimed": 0,
            "last_sweep_epoch_secs": None, "last_compaction_epoch_secs": None}
    assert engine.maintenance_status() == zero and engine.stop_maintenance() is None
    drafts = [write_pack(engine, 1, 0.0, seed=s) for s in range(4)]
    engine.schedule_evict_draft(0.0, 2, 1.0)
    engine.start_maintenance(sweep_interval_secs=0.1, compaction_interval_secs=0.3)
    assert engine.is_maintenance_running() is True
    with pytest.raises(RuntimeError, match="^maintenance already running$"):
        engine.start_maintenance(sweep_interval_secs=-1.0)  # the running test comes first
    wait_for(lambda: engine.maintenance_status()["compaction_count"] >= 1)
    engine.stop_maintenance()
    status = engine.maintenance_status()
    assert engine.is_maintenance_running() is False and status["sweep_count"] >= 1
    assert status["total_packs_evicted"] == 4 and status["compaction_count"] >= 1
    assert abs(status["last_sweep_epoch_secs"] - time.time()) < 10
    assert not any(engine.pack_exists(p) for p in drafts) and engine.pack_count() == 0
    assert engine.list_scheduled() == []  # the sweep fired the due action
    assert engine.maintenance_status() == status  # counters outlive the stop
    engine.start_maintenance()
    assert engine.maintenance_status() == zero  # a fresh handle
    engine.stop_maintenance()


def test_stopping_one_engines_thread_does_not_block_another_engine(tmp_path):
    probe = pytest.importorskip("_frame_probe")
    slow, other = probe.Engine(str(tmp_path / "slow")), probe.Engine(str(tmp_path / "other"))
    other.start_maintenance()
    slow.start_maintenance(sweep_interval_secs=0.01)
    probe.hold(slow)  # the next sweep waits for the engine mutex
    time.sleep(0.1)
    stopper = threading.Thread(target=probe.stop_maintenance_released, args=(slow,))
    stopper.start()  # joins the sweeping thread
    time.sleep(0.1)
    assert other.is_maintenance_running() is True
    answered_during_join = stopper.is_alive()
    assert probe.release() is False
    stopper.join()
    assert answered_during_join and slow.is_maintenance_running() is False
    other.stop_maintenance()


def maintenance_threads():
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass  # the thread ended while listing
    return names.count("qvn-maintenance")


@needs_proc
def test_dealloc_and_interpreter_exit_join_maintenance_threads(tmp_path):
    engine = Engine(str(tmp_path / "x"))
    engine.start_maintenance()  # the thread sleeps in one-second steps and names itself once running
    wait_for(lambda: maintenance_threads() == 1, 2.0)
    assert maintenance_threads() == 1
    del engine
    gc.collect()
    assert maintenance_threads() == 0

    script = textwrap.dedent(
        """
        import atexit, os

        def count():
            # Registered before the module: atexit runs it after the module's hook.
            names = []
            for tid in os.listdir("/proc/self/task"):
                with open(f"/proc/self/task/{tid}/comm") as f:
                    names.append(f.read().strip())
            print("threads", names.count("qvn-maintenance"), flush=True)

        atexit.register(count)
        from quorvane_db import _native
        ENGINE = _native.Engine(%r)
        ENGINE.start_maintenance(sweep_interval_secs=0.01)
        OTHER = _native.Engine(%r)
        OTHER.start_maintenance()
        """
        % (str(tmp_path / "a"), str(tmp_path / "b"))
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "threads 0"


def test_checkpoints_save_list_latest_restore(engine, tmp_path):
    root = tmp_path / "ckpt"
    repo = _native.CheckpointRepository(str(root))
    assert repo.list() == [] and repo.latest("daily") is None and not root.exists()
    pack = write_pack(engine, 4, 50.0, seed=1, text="remember me")
    first = repo.save(engine, "daily")
    write_pack(engine, 4, 60.0, seed=2)
    second = repo.save(engine, label="daily")
    repo.save(engine, "another")
    assert list(first) == ["label", "seq", "path", "manifest"]
    assert (first["label"], first["seq"], second["seq"], second["manifest"]["pack_count"]) == ("daily", 1, 2, 2)
    assert first["path"].endswith("0001.tar") and second["path"].endswith("0002.tar")
    assert [(e["label"], e["seq"]) for e in repo.list()] == [("another", 1), ("daily", 1), ("daily", 2)]
    assert repo.list("daily") == [first, second] and repo.latest("daily") == second
    restored = repo.restore_latest("daily", str(tmp_path / "restored"))
    assert restored.pack_count() == 2 and restored.pack_text(pack) == "remember me"

    (root / "broken").mkdir()
    (root / "broken" / "0001.tar").write_bytes(b"not an archive")
    with pytest.raises(RuntimeError):
        repo.list()
    assert [e["seq"] for e in repo.list("daily")] == [1, 2]
    # Only a root that is not there holds no checkpoints.
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    with pytest.raises(RuntimeError, match=r"\(os error 40\)"):
        _native.CheckpointRepository(str(tmp_path / "loop")).list()
