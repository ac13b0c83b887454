"""Engines in separate processes on one directory: snapshots taken while
another process writes, scheduled actions from two engines, writes that name
a pack another engine deleted, and owner deletion and eviction over packs
another engine wrote."""

import gc
import io
import json
import multiprocessing as mp
import os
import signal
import tarfile

import numpy as np
import pytest

from quorvane_db import _native

Engine = _native.Engine
CTX = mp.get_context("spawn")
TIMEOUT = 60


def key(seed, n=16):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def layer(value, n=64):
    return np.full(n, value, dtype=np.float32)


def _serve(path, conn):
    engine = Engine(path)
    conn.send("open")
    while True:
        call = conn.recv()
        if call is None:
            return
        name, args = call
        try:
            conn.send((True, getattr(engine, name)(*args)))
        except Exception as error:  # sent back whole, raised there again
            conn.send((False, str(error)))


class Remote:
    """An engine opened in a process of its own; each method call runs there
    and returns its result, or raises RuntimeError with the engine's text."""

    def __init__(self, path):
        self._conn, child = CTX.Pipe()
        self._proc = CTX.Process(target=_serve, args=(path, child), daemon=True)
        self._proc.start()
        child.close()
        # Opened before the caller goes on: what it sees at open is fixed.
        assert self._conn.poll(TIMEOUT) and self._conn.recv() == "open"

    def __getattr__(self, name):
        def call(*args):
            self._conn.send((name, args))
            if not self._conn.poll(TIMEOUT):
                raise TimeoutError(name)
            ok, value = self._conn.recv()
            if not ok:
                raise RuntimeError(value)
            return value

        return call

    def close(self):
        self._conn.send(None)
        self._proc.join(TIMEOUT)


@pytest.fixture
def db(tmp_path):
    return str(tmp_path / "db")


@pytest.fixture
def remote():
    opened = []

    def open_remote(path):
        opened.append(Remote(path))
        return opened[-1]

    yield open_remote
    for r in opened:
        r.close()


def reopened(engine, path):
    del engine
    gc.collect()
    return Engine(path)


# ---------------------------------------------------------------------------
# Snapshots while another process writes


def _write_packs(path, started, stop):
    engine = Engine(path)
    for i in range(20000):
        if stop.is_set():
            return
        engine.mem_write_pack(2, key(i), [(0, layer(i)), (1, layer(-i))], 50.0, f"w{i}")
        started.set()


def check_snapshot(archive, target, manifest):
    """The archive restores, its manifest counts what the restored engine
    lists, and every pack in it is whole."""
    with tarfile.open(archive) as tar:
        stored = json.load(io.TextIOWrapper(tar.extractfile("manifest.json"), encoding="utf-8"))
    assert stored["stats"] == {"pack_count": manifest["pack_count"], "owner_count": manifest["owner_count"]}
    restored = Engine.restore_from(archive, target)
    packs = restored.list_packs()
    assert (len(packs), len(restored.list_owners())) == (manifest["pack_count"], manifest["owner_count"])
    for summary in packs:
        hit = restored.load_pack_by_id(summary["pack_id"])
        kind, i = hit["text"][0], int(hit["text"][1:])
        want = [i] if kind == "s" else [i, -i]
        assert [float(l["data"][0]) for l in hit["layers"]] == pytest.approx(want, rel=1e-3), hit["text"]
        assert all(l["data"].size == 64 for l in hit["layers"])
    return manifest["pack_count"]


def test_snapshots_taken_while_another_process_writes_restore_whole_and_count_right(tmp_path, db):
    engine = Engine(db)
    for i in range(50):
        engine.mem_write_pack(1, key(i), [(0, layer(i))], 50.0, f"s{i}")
    started, stop = CTX.Event(), CTX.Event()
    writer = CTX.Process(target=_write_packs, args=(db, started, stop))
    writer.start()
    try:
        assert started.wait(TIMEOUT)
        counts = []
        # This engine never refreshes: the counts must come from the directory.
        for n in range(5):
            out = str(tmp_path / f"snap{n}.tar")
            counts.append(check_snapshot(out, str(tmp_path / f"restored{n}"), engine.snapshot(out)))
        # A writer killed at any moment leaves at most a torn tail, which
        # the next snapshot carries and its restore ignores.
        os.kill(writer.pid, signal.SIGKILL)
        writer.join(TIMEOUT)
        out = str(tmp_path / "after_kill.tar")
        counts.append(check_snapshot(out, str(tmp_path / "restored_after_kill"), engine.snapshot(out)))
    finally:
        stop.set()
        writer.join(TIMEOUT)
    assert counts[0] > 50 and counts == sorted(counts)
    assert counts[-1] == len(Engine(db).list_packs())


# ---------------------------------------------------------------------------
# Scheduled actions from two engines


def _schedule_many(path, owner, n, barrier, out):
    engine = Engine(path)
    barrier.wait()
    try:
        out.put([engine.schedule_evict_draft(4e9 + i, owner, 1.0) for i in range(n)])
    except RuntimeError as error:
        out.put(str(error))


def ids(entries):
    return [e["id"] for e in entries]


def test_two_engines_schedule_cancel_and_fire_over_the_files_current_actions(db, remote):
    a = Engine(db)
    b = remote(db)
    assert [a.schedule_evict_draft(4e9, 7, 1.0), a.schedule_evict_draft(4e9 + 1, 7, 1.0)] == [1, 2]
    assert b.schedule_evict_draft(4e9 + 2, 8, 1.0) == 3
    assert a.schedule_evict_draft(4e9 + 3, 7, 1.0) == 4
    assert b.cancel_scheduled(1) is True and a.cancel_scheduled(3) is True
    assert a.cancel_scheduled(1) is False
    assert ids(a.list_scheduled()) == ids(b.list_scheduled()) == [2, 4]
    a = reopened(a, db)
    assert ids(a.list_scheduled()) == [2, 4]

    # Firing runs what the file holds now, over every pack the directory
    # holds: B's action, due at once, evicts B's Draft packs that A never saw.
    kept = a.mem_write_pack(5, key(1), [], 90.0)
    drafts = [b.mem_write_pack(5, key(i), [], 0.0) for i in range(3)]
    b.schedule_evict_draft(0.0, 5, 15.0)
    assert a.fire_due_scheduled() == 1
    assert ids(b.list_scheduled()) == [2, 4]
    a = reopened(a, db)
    assert ids(a.list_scheduled()) == [2, 4]
    assert [a.pack_exists(p) for p in drafts] == [False] * 3 and a.pack_exists(kept)

    # Two processes racing: every id once, every action kept.
    barrier, out = CTX.Barrier(2), CTX.Queue()
    ps = [CTX.Process(target=_schedule_many, args=(db, owner, 20, barrier, out)) for owner in (11, 12)]
    for p in ps:
        p.start()
    got = [out.get(timeout=TIMEOUT) for _ in ps]
    for p in ps:
        p.join(TIMEOUT)
    assert all(isinstance(g, list) for g in got), got
    new = got[0] + got[1]
    assert len(set(new)) == 40 and min(new) > 5
    assert sorted(ids(reopened(a, db).list_scheduled())) == sorted([2, 4] + new)


# ---------------------------------------------------------------------------
# A stale engine and the packs another engine deleted or wrote


def test_writes_naming_a_pack_another_engine_deleted_fail_and_store_nothing(db, remote):
    a = Engine(db)
    p1, p2 = a.mem_write_pack(1, key(1), [(0, layer(1))], 50.0, "one"), a.mem_write_pack(1, key(2), [], 50.0, "two")
    b = remote(db)
    b.delete_pack(p1)
    cells = a.cell_count()
    refused = [
        lambda: a.set_pack_text(p1, "late"),
        lambda: a.set_pack_texts([(p2, "late"), (p1, "late")]),
        lambda: a.add_pack_edge(p2, p1, 1),
        lambda: a.add_pack_edge(p1, p2, 1),
        lambda: a.add_view_keys(p1, [key(9)]),
        lambda: a.delete_pack(p1),
    ]
    for call in refused:
        with pytest.raises(RuntimeError) as error:
            call()
        assert str(error.value) == f"pack not found: {p1}"
    assert (a.cell_count(), a.pack_links(p2), a.pack_text(p2)) == (cells, [], "two")
    # The nearest pack in A's view is the deleted one: the write stands, unlinked.
    linked = a.mem_write_pack_with_auto_link(1, key(1), [], 50.0, 0.0)
    assert linked["linked_pack_ids"] == [] and a.pack_links(linked["pack_id"]) == []
    a = reopened(a, db)
    assert (a.pack_exists(p1), a.pack_text(p2), a.pack_links(p2)) == (False, "two", [])
    # A pack that is still there takes such writes.
    a.set_pack_text(p2, "kept")
    assert a.add_view_keys(p2, [key(9)]) == 1 and b.pack_text(p2) == "two"  # until B refreshes
    b.refresh()
    assert (b.pack_text(p2), b.view_count(p2)) == ("kept", 1)


def test_owner_deletion_and_eviction_reach_packs_another_engine_wrote(db, remote):
    a = Engine(db)
    mine = [a.mem_write_pack(2, key(i), [(0, layer(i))], 50.0) for i in range(4)]
    kept = a.mem_write_pack(3, key(10), [], 90.0)
    b = remote(db)
    theirs = [b.mem_write_pack(2, key(20 + i), [(0, layer(i))], 50.0) for i in range(3)]
    assert a.delete_owner(2) == 7 and a.owner_exists(2) is False
    drafts = [b.mem_write_pack(3, key(30 + i), [], 0.0) for i in range(3)]
    assert a.evict_draft_packs(15.0, None) == 3
    drafts.append(b.mem_write_pack(3, key(40), [], 0.0))
    assert a.sweep_now(0.0, 15.0) == 1
    for engine in (reopened(a, db), Engine(db)):
        assert engine.owner_exists(2) is False
        assert [engine.pack_exists(p) for p in mine + theirs + drafts] == [False] * 11
        assert [s["pack_id"] for s in engine.list_packs()] == [kept]
