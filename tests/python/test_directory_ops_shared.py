"""Engines in separate processes on one directory: snapshots taken while
another process writes, scheduled actions from two engines, writes that name
a pack another engine deleted, and owner deletion and eviction over packs
another engine wrote."""

import io
import json
import os
import signal
import tarfile

import numpy as np
import pytest

from quorvane_db._native import Engine
from shared_dir_support import CTX, TIMEOUT, Remote, schedule_many, start, unit, write_packs


@pytest.fixture
def db(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def remote():
    opened = []
    yield lambda path: opened.append(Remote(path)) or opened[-1]
    for r in opened:
        r.close()


def layer(value):
    return np.full(64, value, dtype=np.float32)


def check_snapshot(tmp_path, engine, n):
    """The archive restores, its manifest counts what the restored engine
    lists, and every pack in it is whole."""
    archive = str(tmp_path / f"snap{n}.tar")
    manifest = engine.snapshot(archive)
    with tarfile.open(archive) as tar:
        stored = json.load(io.TextIOWrapper(tar.extractfile("manifest.json"), encoding="utf-8"))
    restored = Engine.restore_from(archive, str(tmp_path / f"restored{n}"))
    packs = restored.list_packs()
    counts = {"pack_count": len(packs), "owner_count": len(restored.list_owners())}
    assert stored["stats"] == counts == {k: manifest[k] for k in counts}
    for summary in packs:
        hit = restored.load_pack_by_id(summary["pack_id"])
        i = int(hit["text"][1:])
        want = [i] if hit["text"][0] == "s" else [i, -i]
        assert [float(l["data"][0]) for l in hit["layers"]] == pytest.approx(want, rel=1e-3), hit["text"]
    return len(packs)


def test_snapshots_taken_while_another_process_writes_restore_whole_and_count_right(tmp_path, db):
    engine = Engine(db)
    for i in range(50):
        engine.mem_write_pack(1, unit(i), [(0, layer(i))], 50.0, f"s{i}")
    started, stop = CTX.Event(), CTX.Event()
    writer = start(write_packs, db, started, stop)
    try:
        assert started.wait(TIMEOUT)
        # This engine never refreshes: the counts must come from the directory.
        counts = [check_snapshot(tmp_path, engine, n) for n in range(3)]
        # A writer killed at any moment leaves at most a torn tail, which
        # the next snapshot carries and its restore ignores.
        os.kill(writer.pid, signal.SIGKILL)
        writer.join(TIMEOUT)
        counts.append(check_snapshot(tmp_path, engine, "after kill"))
    finally:
        stop.set()
        writer.join(TIMEOUT)
    assert counts[0] > 50 and counts == sorted(counts) and counts[-1] == Engine(db).pack_count()


def ids(entries):
    return [e["id"] for e in entries]


def test_two_engines_schedule_cancel_and_fire_over_the_files_current_actions(db, remote):
    a, b = Engine(db), remote(db)
    assert [a.schedule_evict_draft(4e9, 7, 1.0), a.schedule_evict_draft(4e9 + 1, 7, 1.0)] == [1, 2]
    assert b.schedule_evict_draft(4e9 + 2, 8, 1.0) == 3
    assert a.schedule_evict_draft(4e9 + 3, 7, 1.0) == 4
    assert (b.cancel_scheduled(1), a.cancel_scheduled(3), a.cancel_scheduled(1)) == (True, True, False)
    assert ids(a.list_scheduled()) == ids(b.list_scheduled()) == ids(Engine(db).list_scheduled()) == [2, 4]
    # Firing runs what the file holds now, over every pack the directory
    # holds: B's action, due at once, evicts B's Draft packs that A never saw.
    kept = a.mem_write_pack(5, unit(1), [], 90.0)
    drafts = [b.mem_write_pack(5, unit(i), [], 0.0) for i in range(3)]
    b.schedule_evict_draft(0.0, 5, 15.0)
    assert a.fire_due_scheduled() == 1
    assert ids(b.list_scheduled()) == ids(Engine(db).list_scheduled()) == [2, 4]
    assert [a.pack_exists(p) for p in drafts + [kept]] == [False] * 3 + [True]
    # Two processes racing: every id once, every action kept.
    barrier, out = CTX.Barrier(2), CTX.Queue()
    ps = [start(schedule_many, db, owner, 20, barrier, out) for owner in (11, 12)]
    got = [out.get(timeout=TIMEOUT) for _ in ps]
    for p in ps:
        p.join(TIMEOUT)
    new = got[0] + got[1]
    assert len(set(new)) == 40 and min(new) > 5, got
    assert sorted(ids(Engine(db).list_scheduled())) == sorted([2, 4] + new)


def test_writes_naming_a_pack_another_engine_deleted_fail_and_store_nothing(db, remote):
    a = Engine(db)
    p1, p2 = a.mem_write_pack(1, unit(1), [(0, layer(1))], 50.0, "one"), a.mem_write_pack(1, unit(2), [], 50.0, "two")
    b = remote(db)
    b.delete_pack(p1)
    cells = a.cell_count()
    for call in (lambda: a.set_pack_text(p1, "late"), lambda: a.set_pack_texts([(p2, "late"), (p1, "late")]),
                 lambda: a.add_pack_edge(p2, p1, 1), lambda: a.add_pack_edge(p1, p2, 1),
                 lambda: a.add_view_keys(p1, [unit(9)]), lambda: a.delete_pack(p1)):
        with pytest.raises(RuntimeError, match=f"^pack not found: {p1}$"):
            call()
    # The nearest pack in A's view is the deleted one: the write stands, unlinked.
    linked = a.mem_write_pack_with_auto_link(1, unit(1), [], 50.0, 0.0)
    assert linked["linked_pack_ids"] == []
    fresh = Engine(db)
    assert (a.cell_count(), fresh.pack_text(p2), fresh.pack_links(p2)) == (cells + 1, "two", [])
    assert fresh.pack_links(linked["pack_id"]) == []


def test_owner_deletion_and_eviction_reach_packs_another_engine_wrote(db, remote):
    a = Engine(db)
    mine = [a.mem_write_pack(2, unit(i), [(0, layer(i))], 50.0) for i in range(4)]
    kept = a.mem_write_pack(3, unit(10), [], 90.0)
    b = remote(db)
    theirs = [b.mem_write_pack(2, unit(20 + i), [(0, layer(i))], 50.0) for i in range(3)]
    assert a.delete_owner(2) == 7
    drafts = [b.mem_write_pack(3, unit(30 + i), [], 0.0) for i in range(3)]
    assert a.evict_draft_packs(15.0, None) == 3
    drafts.append(b.mem_write_pack(3, unit(40), [], 0.0))
    assert a.sweep_now(0.0, 15.0) == 1
    for engine in (a, Engine(db)):
        assert engine.owner_exists(2) is False
        assert [s["pack_id"] for s in engine.list_packs()] == [kept]
