"""Adapter and text, governance, link, scheduling, maintenance and checkpoint
methods of `_native`, exercised through Python."""

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
DIM = 8

BAD_EDGE = "Invalid edge_type {}. Valid: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports"
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
FAR = "fires_at_unix_secs must be below 2^64 nanoseconds since the Unix epoch (18446744073.709551616 seconds), got "
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"


def vec(seed):
    return np.random.default_rng(seed).standard_normal(DIM).astype(np.float32)


def write_pack(engine, owner, salience, seed=0, text=None):
    return engine.mem_write_pack(owner, vec(seed), [(0, vec(seed + 1000))], salience, text)


@pytest.fixture
def db(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def engine(db):
    return Engine(db)


def maintenance_threads():
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except FileNotFoundError:
            pass  # the thread ended while listing
    return names.count("qvn-maintenance")


needs_proc = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc thread names")


# --- text signatures and docs ----------------------------------------------------

# Each method's doc string as the class's method table carries it: the text
# signature line, "--", an empty line, then the documentation.
DOCS = {
    "store_synapsis": "store_synapsis($self, id, owner, lora_a, lora_b, scale, rank, d_model, last_used=None, "
    "quality=None)\n--\n\nStore a `LoRA` adapter entry. Arrays are f32 in Python, converted to f16 internally.",
    "pack_text": "pack_text($self, pack_id)\n--\n\nGet the stored text for a pack, if any.",
    "set_pack_text": "set_pack_text($self, pack_id, text)\n--\n\nSet or update the stored text for an existing pack.",
    "set_pack_texts": "set_pack_texts($self, entries)\n--\n\n"
    "Set or update text for many packs in a single batched fsync.",
    "cell_importance": "cell_importance($self, cell_id)\n--\n\nGet the current importance score of a cell.",
    "cell_tier": "cell_tier($self, cell_id)\n--\n\nGet the current tier of a cell (0=Draft, 1=Validated, 2=Core).",
    "pack_importance": "pack_importance($self, pack_id)\n--\n\nGet the importance score of a pack.",
    "pack_exists": "pack_exists($self, pack_id)\n--\n\n"
    "Whether a pack with the given ID exists (and has not been deleted).",
    "list_packs": "list_packs($self, owner=None)\n--\n\nEnumerate all packs, optionally filtered by owner.\n\n"
    "Returns a list of dicts with keys: `pack_id`, owner, tier, importance, text.\n"
    "Sorted by importance descending. Draft packs included (caller filters).",
    "delete_pack": "delete_pack($self, pack_id)\n--\n\nDelete a pack permanently. Irreversible.",
    "list_owners": "list_owners($self)\n--\n\nEnumerate every owner with at least one pack stored.\n\n"
    "Returns owners in ascending order.",
    "owner_exists": "owner_exists($self, owner)\n--\n\nReturn ``True`` iff the engine has at least one pack for ``owner``.",
    "delete_owner": "delete_owner($self, owner)\n--\n\nDelete every pack belonging to ``owner``; return the count\n"
    "deleted. Unlike :py:meth:`evict_draft_packs`, this is\nunconditional \u2014 validated and core-tier packs are "
    "removed\ntoo. Returns ``0`` when the owner has no packs.",
    "advance_days": "advance_days($self, days)\n--\n\nSimulate passage of time for governance decay (testing utility).",
    "evict_draft_packs": "evict_draft_packs($self, importance_threshold, owner=None)\n--\n\n"
    "Evict Draft-tier packs below the importance threshold.",
    "sweep_now": "sweep_now($self, hours=0.0, eviction_threshold=15.0)\n--\n\nRun a governance sweep synchronously.\n\n"
    "Advances importance decay by ``hours`` and evicts Draft-tier\npacks that fall below ``eviction_threshold``. "
    "Returns the\nnumber of packs evicted. Use after a known event when you\nwant tier transitions visible before "
    "the next read.",
    "add_pack_edge": "add_pack_edge($self, pack_id_1, pack_id_2, edge_type)\n--\n\n"
    "Create a durable typed trace edge between two packs.\n\n"
    "`edge_type`: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports.",
    "add_pack_link": "add_pack_link($self, pack_id_1, pack_id_2)\n--\n\nCreate a durable Follows link between two packs.",
    "pack_links": "pack_links($self, pack_id)\n--\n\nGet all packs linked to a given pack via trace edges (any type).",
    "pack_links_by_type": "pack_links_by_type($self, pack_id, edge_type)\n--\n\nGet packs linked via a specific edge type.",
    "pack_supports": "pack_supports($self, pack_id)\n--\n\nGet packs that support a given pack.",
    "pack_contradicts": "pack_contradicts($self, pack_id)\n--\n\nGet packs that contradict a given pack.",
    "trace_ancestors": "trace_ancestors($self, cell_id)\n--\n\nGet transitive ancestors of a cell following causal edges.",
    "schedule_evict_draft": "schedule_evict_draft($self, fires_at_unix_secs, owner, threshold)\n--\n\n"
    "Schedule an ``evict_draft`` action to fire at\n``fires_at_unix_secs`` (seconds since the Unix epoch).\n"
    "Returns the assigned schedule id.\n\nThe schedule is persisted to a JSON sidecar before this\n"
    "returns and survives engine restart. Built-in actions\nare idempotent; the at-least-once delivery model gives\n"
    "fire-once-in-effect across crashes.",
    "cancel_scheduled": "cancel_scheduled($self, id)\n--\n\nCancel a previously-scheduled action. Returns ``True`` if\n"
    "the entry was found and removed.",
    "fire_due_scheduled": "fire_due_scheduled($self)\n--\n\nFire any actions whose `fires_at <= now`. Returns the\n"
    "number of actions that fired successfully. Use after a\nknown event when you want scheduled work committed\n"
    "before the next tick of the background maintenance\nworker.",
    "start_maintenance": "start_maintenance($self, sweep_interval_secs=3600.0, compaction_interval_secs=21600.0, "
    "eviction_threshold=15.0, hours_per_tick=1.0)\n--\n\n"
    "Start background maintenance (governance sweep + auto-compaction).",
    "stop_maintenance": "stop_maintenance($self)\n--\n\nStop background maintenance.",
    "is_maintenance_running": "is_maintenance_running($self)\n--\n\n"
    "Whether background maintenance is currently running.",
    "maintenance_status": "maintenance_status($self)\n--\n\nGet maintenance statistics.",
}

REPO_DOCS = {
    "save": "save($self, engine, label)\n--\n\nSave ``engine``'s current state under ``label``. Returns a\n"
    "dict with ``label``, ``seq``, ``path``, and ``manifest``.",
    "list": "list($self, label=None)\n--\n\nReturn all checkpoints, optionally filtered by ``label``.",
    "latest": "latest($self, label)\n--\n\nLatest checkpoint for ``label`` or ``None`` if none exist.",
    "restore_latest": "restore_latest($self, label, target_dir)\n--\n\n"
    "Restore the latest checkpoint for ``label`` into ``target_dir``.",
}


def split_doc(name, doc):
    signature, body = doc.split("\n--\n\n", 1)
    assert signature.startswith(name + "(")
    return signature[len(name):], body


@pytest.mark.parametrize("cls, docs", [(Engine, DOCS), (_native.CheckpointRepository, REPO_DOCS)])
def test_method_text_signatures_and_docs(cls, docs):
    for name, doc in docs.items():
        signature, body = split_doc(name, doc)
        method = getattr(cls, name)
        assert (name, method.__text_signature__) == (name, signature)
        assert (name, method.__doc__) == (name, body)


def test_other_docs_say_what_the_methods_do():
    assert Engine.load_synapsis.__text_signature__ == "($self, owner)"
    first, rest = Engine.load_synapsis.__doc__.split("\n\n", 1)
    assert "LoRA" in first and "owner" in first
    assert "list of dicts" in rest and "f32" in rest
    assert Engine.list_scheduled.__text_signature__ == "($self)"
    lines = Engine.list_scheduled.__doc__.split("\n")
    assert lines[0] == "List pending scheduled entries as dicts:"
    assert lines[1] == '``{"id": int, "fires_at_unix_secs": float, "action": dict}``'
    assert lines[2:] == ["Entries are sorted by fire time ascending."]
    repo = _native.CheckpointRepository
    assert repo.__text_signature__ == "(root)"
    assert repo.__doc__ == (
        "Labeled checkpoint repository.\n\n"
        "Wraps `qvn_engine::checkpoint::CheckpointRepository` so consumers\n"
        "can save engine snapshots under string labels with a\n"
        "monotonically increasing sequence per label, list / find latest,\n"
        "and restore the latest into a fresh directory."
    )


# --- adapters and texts --------------------------------------------------------


def test_synapsis_round_trip_rounds_to_half(engine, db):
    a = np.linspace(-3.0, 3.0, 32, dtype=np.float32)
    b = (np.arange(32, dtype=np.float32) * np.float32(0.1)) + np.float32(1e-6)
    engine.store_synapsis(5, 7, a, b, 0.5, 4, 8, last_used=123, quality=0.25)
    engine.store_synapsis(6, 7, a, b, 1.0e6, 4, 8)  # defaults, scale beyond half range
    engine.store_synapsis(9, 8, np.empty(0, np.float32), np.empty(0, np.float32), 1.0, 0, 8)

    loaded = engine.load_synapsis(7)
    assert [list(d) for d in loaded] == [
        ["id", "owner", "rank", "d_model", "scale", "last_used", "quality", "lora_a", "lora_b"]
    ] * 2
    first, second = loaded
    assert (first["id"], first["owner"], first["rank"], first["d_model"]) == (5, 7, 4, 8)
    assert (first["scale"], first["last_used"], first["quality"]) == (0.5, 123, 0.25)
    for key, src in (("lora_a", a), ("lora_b", b)):
        got = first[key]
        assert got.dtype == np.float32 and got.shape == (32,)
        assert np.array_equal(got, src.astype(np.float16).astype(np.float32))
    assert not np.array_equal(first["lora_b"], b)  # really narrowed
    assert second["scale"] == float("inf")
    assert (second["last_used"], second["quality"]) == (0, 0.0)

    empty = engine.load_synapsis(8)[0]
    assert (empty["rank"], empty["lora_a"].size, empty["lora_b"].size) == (0, 0, 0)
    assert engine.load_synapsis(99) == []

    del engine
    gc.collect()
    assert [d["id"] for d in Engine(db).load_synapsis(7)] == [5, 6]


def test_half_conversion_rounds_like_ieee(engine):
    # Random bit patterns plus the awkward cases: ties at both ends of the
    # subnormal range, the largest half and the first value that overflows,
    # infinities, NaNs and signed zero. NumPy rounds to nearest, ties to even.
    rng = np.random.default_rng(3)
    special = np.array(
        [0x00000001, 0x33000000, 0x33000001, 0x33800000, 0x387FC000, 0x38800000, 0x3C001000, 0x3C003000,
         0x477FE000, 0x477FEFFF, 0x477FF000, 0x7F800000, 0xFF800000, 0x7FC00000, 0x7F800001, 0x80000000],
        dtype=np.uint32,
    )
    bits = np.concatenate([rng.integers(0, 2**32, 4096, dtype=np.uint64).astype(np.uint32), special])
    values = bits.view(np.float32)
    engine.store_synapsis(1, 1, values, values[::-1].copy(), 65520.0, 1, values.size)
    loaded = engine.load_synapsis(1)[0]
    with np.errstate(over="ignore", invalid="ignore"):
        want = values.astype(np.float16).astype(np.float32)
    for got, ref in ((loaded["lora_a"], want), (loaded["lora_b"], want[::-1])):
        nan = np.isnan(ref)
        assert np.array_equal(np.isnan(got), nan)
        assert np.array_equal(got[~nan].view(np.uint32), ref[~nan].view(np.uint32))  # -0.0 too
    assert loaded["scale"] == float("inf")


def test_synapsis_refusals_write_nothing(engine):
    good = np.zeros(32, np.float32)
    with pytest.raises(ValueError) as e:
        engine.store_synapsis(1, 1, np.zeros(31, np.float32), good, 1.0, 4, 8)
    assert str(e.value) == "lora_a length 31 != rank(4) * d_model(8) = 32"
    with pytest.raises(ValueError) as e:
        engine.store_synapsis(1, 1, good, np.zeros(33, np.float32), 1.0, 4, 8)
    assert str(e.value) == "lora_b length 33 != rank(4) * d_model(8) = 32"
    empty = np.empty(0, np.float32)
    with pytest.raises(ValueError) as e:
        engine.store_synapsis(1, 1, empty, empty, 1.0, 65536, 65536)
    assert str(e.value) == "lora_a length 0 != rank(65536) * d_model(65536) = 4294967296"
    strided = np.zeros(64, np.float32)[::2]
    with pytest.raises(RuntimeError, match="^The given array is not contiguous or is misaligned.$"):
        engine.store_synapsis(1, 1, strided, good, 1.0, 4, 8)
    with pytest.raises(OverflowError):
        engine.store_synapsis(1, 1, good, good, 1.0, -1, 8)
    assert engine.load_synapsis(1) == []


def test_pack_texts(engine, db):
    p1 = write_pack(engine, 1, 50.0, seed=1)
    p2 = write_pack(engine, 1, 50.0, seed=2, text="two")
    assert engine.pack_text(p1) is None
    assert engine.pack_text(123456) is None
    assert engine.pack_text(p2) == "two"

    engine.set_pack_text(p1, "")
    assert engine.pack_text(p1) == ""
    with pytest.raises(RuntimeError, match="^pack not found: 999$"):
        engine.set_pack_text(999, "x")

    assert engine.set_pack_texts([(p1, "a"), (p1, "b")]) is None
    assert engine.pack_text(p1) == "b"
    assert engine.set_pack_texts([]) is None
    with pytest.raises(RuntimeError, match="^pack not found: 777$"):
        engine.set_pack_texts([(p2, "changed"), (777, "x"), (888, "y")])
    assert engine.pack_text(p2) == "two"

    with pytest.raises(TypeError) as e:
        engine.set_pack_texts("abc")
    assert str(e.value) == "argument 'entries': Can't extract `str` to `Vec`"
    with pytest.raises(ValueError) as e:
        engine.set_pack_texts([(p1,)])
    assert str(e.value) == "expected tuple of length 2, but got tuple of length 1"
    with pytest.raises(TypeError, match="^argument 'entries': "):
        engine.set_pack_texts([[p1, "x"]])
    with pytest.raises(OverflowError):
        engine.set_pack_texts([(-1, "x")])

    del engine
    gc.collect()
    assert Engine(db).pack_text(p1) == "b"


# --- governance ----------------------------------------------------------------


def test_cell_governance_lookups(engine):
    draft = engine.mem_write(1, 0, vec(1), vec(2), 50.0, None)
    core = engine.mem_write(1, 0, vec(3), vec(4), 90.0, None)
    assert engine.cell_importance(draft) == 55.0
    assert engine.cell_tier(draft) == 0
    assert engine.cell_tier(core) == 2
    assert engine.cell_importance(10**6) is None
    assert engine.cell_tier(10**6) is None
    engine.advance_days(1.0)
    assert engine.cell_importance(draft) == float(np.float32(55.0) * np.float32(0.995))


def test_pack_listing_owners_and_deletion(engine):
    low = write_pack(engine, 3, 0.0, seed=1, text="low")
    high = write_pack(engine, 3, 90.0, seed=2)
    other = write_pack(engine, 1, 60.0, seed=3)

    packs = engine.list_packs()
    assert [p["pack_id"] for p in packs] == [high, other, low]
    assert list(packs[0]) == ["pack_id", "owner", "tier", "importance", "text"]
    assert packs[0] == {"pack_id": high, "owner": 3, "tier": 2, "importance": 95.0, "text": None}
    assert packs[2]["text"] == "low"
    assert [p["pack_id"] for p in engine.list_packs(owner=3)] == [high, low]
    assert engine.list_packs(42) == []

    assert engine.list_owners() == [1, 3]
    assert engine.owner_exists(3) and not engine.owner_exists(2)
    assert engine.pack_exists(low) and engine.pack_importance(low) == 5.0

    engine.delete_pack(low)
    assert not engine.pack_exists(low)
    assert engine.pack_importance(low) is None
    with pytest.raises(RuntimeError, match=f"^pack not found: {low}$"):
        engine.delete_pack(low)

    assert engine.delete_owner(2) == 0
    assert engine.delete_owner(3) == 1  # the Core pack goes too
    assert engine.list_owners() == [1]


def test_eviction_and_sweeps(engine):
    draft_a = write_pack(engine, 1, 0.0, seed=1)
    draft_b = write_pack(engine, 2, 0.0, seed=2)
    kept = write_pack(engine, 1, 50.0, seed=3)
    assert engine.evict_draft_packs(15.0, owner=2) == 1
    assert engine.pack_exists(draft_a) and not engine.pack_exists(draft_b)

    assert engine.sweep_now() == 1
    assert not engine.pack_exists(draft_a)
    assert engine.pack_importance(kept) == 55.0  # no decay with the defaults

    assert engine.sweep_now(hours=12.0) == 0
    assert engine.pack_importance(kept) == 55.0
    assert engine.sweep_now(hours=12.0) == 0
    assert engine.pack_importance(kept) == float(np.float32(55.0) * np.float32(0.995))
    assert engine.sweep_now(hours=float("nan"), eviction_threshold=60.0) == 1


# --- links and trace -------------------------------------------------------------


def test_pack_edges_and_queries(engine):
    a, b, c = (write_pack(engine, 1, 50.0, seed=s) for s in (1, 2, 3))
    edges = engine.status()["trace_edges"]

    with pytest.raises(RuntimeError) as e:
        engine.add_pack_edge(10**6, 10**6 + 1, 4)
    assert str(e.value) == BAD_EDGE.format(4)
    for bad in (256, -1):
        with pytest.raises(OverflowError):
            engine.add_pack_edge(a, b, bad)
    with pytest.raises(TypeError, match="^argument 'edge_type': "):
        engine.add_pack_edge(a, b, "3")
    with pytest.raises(RuntimeError, match="^pack not found: 999$"):
        engine.add_pack_link(a, 999)
    assert engine.status()["trace_edges"] == edges

    engine.add_pack_edge(a, b, 3)
    assert engine.pack_supports(a) == [b]
    assert engine.pack_supports(b) == [a]
    assert engine.pack_contradicts(a) == []
    assert engine.pack_links(a) == [b]
    assert engine.pack_links_by_type(a, 3) == engine.pack_supports(a)
    with pytest.raises(RuntimeError) as e:
        engine.pack_links_by_type(a, 4)
    assert str(e.value) == "Invalid edge_type 4"

    engine.add_pack_link(a, c)
    assert engine.pack_links_by_type(a, 1) == [c]
    assert engine.pack_links_by_type(c, 1) == [a]
    assert sorted(engine.pack_links(a)) == sorted([b, c])
    engine.add_pack_edge(c, b, 2)
    assert engine.pack_contradicts(b) == [c]
    assert engine.pack_links(123456) == []
    assert engine.status()["trace_edges"] == edges + 6


def test_trace_ancestors_follow_parents(engine):
    q = engine.mem_write(1, 0, vec(1), vec(2), 10.0, None)
    p = engine.mem_write(1, 0, vec(3), vec(4), 10.0, q)
    c = engine.mem_write(1, 0, vec(5), vec(6), 10.0, p)
    assert engine.trace_ancestors(c) == [p, q]
    assert engine.trace_ancestors(q) == []
    assert engine.trace_ancestors(10**9) == []


# --- scheduling ------------------------------------------------------------------


def test_schedule_list_cancel_and_persist(engine, db):
    assert engine.schedule_evict_draft(4102444800.25, 7, 15.0) == 1
    assert engine.schedule_evict_draft(1.5, 8, 0.1) == 2
    listed = engine.list_scheduled()
    assert listed == [
        {"id": 2, "fires_at_unix_secs": 1.5,
         "action": {"type": "evict_draft", "owner": 8, "threshold": float(np.float32(0.1))}},
        {"id": 1, "fires_at_unix_secs": 4102444800.25,
         "action": {"type": "evict_draft", "owner": 7, "threshold": 15.0}},
    ]
    assert list(listed[0]) == ["id", "fires_at_unix_secs", "action"]
    assert list(listed[0]["action"]) == ["type", "owner", "threshold"]

    path = os.path.join(db, "scheduled_actions.json")
    before = open(path, "rb").read()
    assert engine.cancel_scheduled(99) is False
    assert open(path, "rb").read() == before
    assert engine.cancel_scheduled(2) is True
    assert engine.cancel_scheduled(2) is False

    del engine
    gc.collect()
    reopened = Engine(db)
    assert [e["id"] for e in reopened.list_scheduled()] == [1]
    assert reopened.schedule_evict_draft(0.0, 1, 1.0) == 3


def test_fire_due_runs_each_action_once(engine):
    draft = write_pack(engine, 7, 0.0, seed=1)
    other_owner = write_pack(engine, 8, 0.0, seed=2)
    engine.schedule_evict_draft(0.0, 7, 15.0)
    engine.schedule_evict_draft(4102444800.0, 8, 15.0)
    assert engine.fire_due_scheduled() == 1
    assert not engine.pack_exists(draft) and engine.pack_exists(other_owner)
    assert engine.fire_due_scheduled() == 0
    assert [e["action"]["owner"] for e in engine.list_scheduled()] == [8]


def test_schedule_refusals_leave_nothing_behind(engine, db):
    refusals = [
        ((-1.0, 1, 10.0), NEGATIVE),
        ((float("-inf"), 1, 10.0), NEGATIVE),
        ((float("nan"), 1, 10.0), TOO_BIG),
        ((float("inf"), 1, 10.0), TOO_BIG),
        ((2.0**64, 1, 10.0), TOO_BIG),
        ((2.0**63, 1, 10.0), "overflow when adding duration to instant"),
        # Milliseconds passed as seconds: past 2^64 ns the file would read the
        # time back as the epoch and fire at once.
        ((1.7e12, 1, 10.0), FAR + "1700000000000.0"),
        ((18446744073.709553, 1, 10.0), FAR + "18446744073.709553"),
        ((0.0, 1, float("inf")), "threshold must be a finite number, got inf"),
        ((0.0, 1, float("nan")), "threshold must be a finite number, got NaN"),
        ((0.0, 1, 1e39), "threshold must be a finite number, got inf"),  # finite, but not in 32 bits
    ]
    for args, message in refusals:
        with pytest.raises(RuntimeError) as e:
            engine.schedule_evict_draft(*args)
        assert str(e.value) == message
    assert engine.list_scheduled() == []
    assert not os.path.exists(os.path.join(db, "scheduled_actions.json"))
    assert engine.schedule_evict_draft(-0.0, 1, 3.4e38) == 1  # ids untouched by the refusals
    assert engine.list_scheduled()[0]["fires_at_unix_secs"] == 0.0
    assert engine.schedule_evict_draft(18446744073.70955, 1, 10.0) == 2  # the last time that fits


def test_fire_time_matches_exact_rounding(engine):
    def exact(secs):
        frac = Fraction(secs)
        whole = int(frac)
        nanos = round((frac - whole) * 10**9)  # half to even
        if nanos == 10**9:
            whole, nanos = whole + 1, 0
        return whole + nanos / 1e9

    rng = random.Random(5)
    # Whole seconds plus the fraction rounded to nanoseconds, ties to even
    # (2**-10 s is 976562.5 ns).
    values = [1234.000000001, 2.0**-10, 3 * 2.0**-10, 1e-10]
    # Up to the last time below 2^64 ns, the latest that can be scheduled.
    values += [0.9999999999, 0.99999999995, 2.0**34 - 0.5, 2.0**34 - 2.0**-18, 18446744073.70955]
    values += [rng.uniform(0, 1) for _ in range(100)] + [rng.uniform(0, 2**33) for _ in range(100)]
    values += [2.0 ** rng.randint(-40, 34) * rng.random() for _ in range(100)]
    ids = [engine.schedule_evict_draft(v, 1, 1.0) for v in values]
    got = {e["id"]: e["fires_at_unix_secs"] for e in engine.list_scheduled()}
    assert [got[i] for i in ids] == [exact(v) for v in values]


# --- maintenance -----------------------------------------------------------------


ZERO_STATUS = {
    "sweep_count": 0,
    "compaction_count": 0,
    "total_packs_evicted": 0,
    "total_bytes_reclaimed": 0,
    "last_sweep_epoch_secs": None,
    "last_compaction_epoch_secs": None,
}


def test_maintenance_lifecycle(engine):
    assert engine.maintenance_status() == ZERO_STATUS
    assert list(engine.maintenance_status()) == list(ZERO_STATUS)
    assert engine.is_maintenance_running() is False
    assert engine.stop_maintenance() is None

    with pytest.raises(RuntimeError, match=f"^{NEGATIVE}$"):
        engine.start_maintenance(sweep_interval_secs=-5.0)
    with pytest.raises(RuntimeError, match="too big or NaN"):
        engine.start_maintenance(compaction_interval_secs=float("nan"))
    assert engine.is_maintenance_running() is False

    draft = write_pack(engine, 1, 0.0, seed=1)
    engine.schedule_evict_draft(0.0, 2, 1.0)
    engine.start_maintenance(sweep_interval_secs=0.2, compaction_interval_secs=3600.0)
    assert engine.is_maintenance_running() is True
    with pytest.raises(RuntimeError, match="^maintenance already running$"):
        engine.start_maintenance()
    with pytest.raises(RuntimeError, match="^maintenance already running$"):
        engine.start_maintenance(sweep_interval_secs=-1.0)  # the running test comes first

    deadline = time.monotonic() + 5.0
    while engine.maintenance_status()["sweep_count"] < 2 and time.monotonic() < deadline:
        time.sleep(0.05)
    engine.stop_maintenance()
    assert engine.is_maintenance_running() is False
    status = engine.maintenance_status()
    assert status["sweep_count"] >= 2
    assert status["total_packs_evicted"] == 1
    assert status["compaction_count"] == 0 and status["last_compaction_epoch_secs"] is None
    assert abs(status["last_sweep_epoch_secs"] - time.time()) < 10
    assert not engine.pack_exists(draft)
    assert engine.list_scheduled() == []  # the sweep fired the due action
    assert engine.maintenance_status() == status  # counters kept after the stop
    engine.stop_maintenance()

    engine.start_maintenance()
    assert engine.maintenance_status() == ZERO_STATUS  # a fresh handle
    assert engine.is_maintenance_running() is True
    engine.stop_maintenance()


def test_maintenance_compacts(engine):
    for seed in range(4):
        write_pack(engine, 1, 0.0, seed=seed)
    engine.start_maintenance(sweep_interval_secs=0.1, compaction_interval_secs=0.3)
    deadline = time.monotonic() + 5.0
    while engine.maintenance_status()["compaction_count"] < 1 and time.monotonic() < deadline:
        time.sleep(0.05)
    engine.stop_maintenance()
    status = engine.maintenance_status()
    assert status["compaction_count"] >= 1
    assert status["last_compaction_epoch_secs"] is not None
    assert engine.pack_count() == 0


def test_exclusive_borrow_of_maintenance_methods(engine):
    if not hasattr(engine, "mem_read_pack"):
        pytest.skip("needs the read methods")
    for seed in range(50):
        write_pack(engine, 1, 50.0, seed=seed)
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            engine.mem_read_pack(vec(1), 5, None)

    t = threading.Thread(target=reader)
    t.start()
    refused = 0
    try:
        deadline = time.monotonic() + 3.0
        while refused == 0 and time.monotonic() < deadline:
            try:
                engine.stop_maintenance()
            except RuntimeError as e:
                assert str(e) == "Already borrowed"
                refused += 1
    finally:
        stop.set()
        t.join()
    assert refused > 0


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
    assert answered_during_join
    assert slow.is_maintenance_running() is False
    other.stop_maintenance()


@needs_proc
def test_dealloc_stops_and_joins_the_thread(db):
    engine = Engine(db)
    engine.start_maintenance()  # the thread sleeps in one-second steps
    deadline = time.monotonic() + 2.0  # it names itself once running
    while maintenance_threads() == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert maintenance_threads() == 1
    del engine
    gc.collect()
    assert maintenance_threads() == 0


@needs_proc
def test_interpreter_exit_joins_threads_of_live_engines(tmp_path):
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


# --- checkpoints -----------------------------------------------------------------


def test_checkpoint_save_list_latest_restore(engine, tmp_path):
    root = tmp_path / "ckpt"
    repo = _native.CheckpointRepository(str(root))
    assert repo.list() == []
    assert repo.latest("daily") is None
    assert not root.exists()

    pack = write_pack(engine, 4, 50.0, seed=1, text="remember me")
    first = repo.save(engine, "daily")
    write_pack(engine, 4, 60.0, seed=2)
    second = repo.save(engine, label="daily")
    repo.save(engine, "another")

    assert list(first) == ["label", "seq", "path", "manifest"]
    assert (first["label"], first["seq"], second["seq"]) == ("daily", 1, 2)
    assert first["path"].endswith("0001.tar") and second["path"].endswith("0002.tar")
    snap = engine.snapshot(str(tmp_path / "plain.tar"))
    assert list(first["manifest"]) == list(snap)
    assert second["manifest"]["pack_count"] == 2

    assert [(e["label"], e["seq"]) for e in repo.list()] == [("another", 1), ("daily", 1), ("daily", 2)]
    assert repo.list("daily") == [first, second]
    assert repo.latest("daily") == second

    restored = repo.restore_latest("daily", str(tmp_path / "restored"))
    assert type(restored) is Engine
    assert restored.pack_count() == 2
    assert restored.pack_text(pack) == "remember me"
    assert restored.is_maintenance_running() is False

    with pytest.raises(RuntimeError) as e:
        repo.restore_latest("nope", str(tmp_path / "never"))
    assert str(e.value) == "snapshot integrity check failed: no checkpoint found for label nope"
    assert not (tmp_path / "never").exists()


def test_checkpoint_refusals(engine, tmp_path):
    root = tmp_path / "ckpt"
    repo = _native.CheckpointRepository(str(root))
    with pytest.raises(TypeError) as e:
        repo.save(object(), "x")
    assert str(e.value) == "argument 'engine': 'object' object is not an instance of 'Engine'"
    for label in ("../escape", "a/b", "..", ""):
        with pytest.raises(RuntimeError):
            repo.save(engine, label)
    assert not (tmp_path / "escape").exists()
    assert not root.exists() or os.listdir(root) == []

    (root / "broken").mkdir(parents=True)
    (root / "broken" / "0001.tar").write_bytes(b"not an archive")
    repo.save(engine, "good")
    with pytest.raises(RuntimeError):
        repo.list()
    assert [e["seq"] for e in repo.list("good")] == [1]
