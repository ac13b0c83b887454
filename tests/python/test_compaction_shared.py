"""Compaction while other engines (handles in this process, or other processes) use the same directory."""

import collections

import numpy as np
import pytest

from quorvane_db import _native
from quorvane_db._native import Engine
from shared_dir_support import CTX, Remote, churn, exact, start, unit
from test_engine_admin import wait_for

LAYER = np.ones(64, np.float32)


@pytest.fixture(params=["handle", "process"])
def other(request):
    """Opens the second engine of a test: a handle in this process or an engine in a child process."""
    remotes = []

    def open_other(path, segment_size):
        if request.param == "handle":
            return Engine(path, segment_size=segment_size)
        remotes.append(Remote(path, segment_size=segment_size))
        return remotes[-1]

    yield open_other
    for r in remotes:
        r.close()


def test_compaction_keeps_view_keys_of_packs_it_has_not_seen(tmp_path, other):
    path = str(tmp_path)
    a, b = Engine(path, segment_size=1000), other(path, 1000)
    write = lambda n: [a.mem_write_pack(1, unit(1), [(0, LAYER)], 50.0) for _ in range(n)]  # noqa: E731
    mine = write(2)
    pack = b.mem_write_pack(2, unit(2), [(0, LAYER)], 50.0)
    mine += write(8)
    for i in range(6):
        # The refresh makes B append to the segment A writes to, far from the pack's head.
        b.refresh()
        b.add_view_keys(pack, [unit(3 + i)])
        mine += write(1)
    b.refresh()
    whole = b.mem_write_pack(2, unit(9), [(0, LAYER * 2), (1, LAYER * 3)], 50.0)
    mine += write(6)
    for p in mine:
        a.delete_pack(p)
    assert a.compact()["segments_compacted"] >= 3
    reopened = Engine(path)
    assert b.view_count(pack) == reopened.view_count(pack) == 6 and reopened.pack_count() == 2
    layers = reopened.load_pack_by_id(whole)["layers"]
    assert [x["layer_idx"] for x in layers] == [0, 1] and layers[1]["data"][0] == 3.0
    assert [h["pack_id"] for h in reopened.mem_read_pack(unit(5), 1, None)] == [pack]


def test_compaction_after_another_engines_compaction(tmp_path, other):
    path = str(tmp_path)
    a = Engine(path, segment_size=1000)
    packs = [a.mem_write_pack(1, unit(i), [(0, LAYER * i)], 50.0) for i in range(12)]
    b = other(path, 1000)
    for p in packs[:10]:
        b.delete_pack(p)
    assert b.compact()["segments_compacted"] >= 1
    # A still lists the removed segments; its compactions pick up what B did.
    assert [a.compact()["segments_compacted"] for _ in range(2)] == [0, 0]
    for i in (10, 11):
        np.testing.assert_array_equal(a.load_pack_by_id(packs[i])["layers"][0]["data"], LAYER * i)
    a.refresh()
    assert a.pack_count() == 2


@pytest.mark.parametrize("who", ["reopened", "open since before"])
def test_compaction_never_gives_ids_back(tmp_path, other, who):
    path = str(tmp_path)
    w = Engine(path, segment_size=1200)
    cell = lambda e, i: e.mem_write(1, 0, unit(i), np.ones(8, np.float32), 50.0, None)  # noqa: E731
    assert [cell(w, i) for i in range(3)] == [0, 1, 2]
    early = other(path, 1200)
    for _ in range(9):  # cells 3..20
        w.delete_pack(w.mem_write_pack(1, unit(1), [(0, LAYER)], 50.0))
    # The first compaction moves the three live cells to a new segment, the
    # next removes the segment that held the highest ids.
    assert sum(w.compact()["segments_compacted"] for _ in range(3)) == 2
    engine = Engine(path) if who == "reopened" else early
    assert cell(engine, 4) == 21 and engine.mem_write_pack(1, unit(5), [], 50.0) == 10
    assert cell(Engine(path), 6) == 23


def test_a_pack_compacted_away_keeps_its_id_from_an_engine_open_since_before(tmp_path, other):
    """The highest stored cell is no pack's, so only the deletion log still
    names the removed pack: reused, its id would hide an acknowledged pack."""
    path = str(tmp_path)
    a, b = Engine(path, segment_size=200), other(path, 200)
    assert [b.mem_write_pack(1, unit(1), [], 50.0), b.mem_write_pack(1, unit(2), [(0, LAYER)], 50.0)] == [1, 2]
    b.mem_write(1, 0, unit(3), np.ones(8, np.float32), 50.0, None)
    b.delete_pack(2)
    assert b.compact()["segments_compacted"] == 1
    assert a.mem_write_pack(1, unit(4), [], 50.0) == 3
    assert Engine(path).pack_exists(3)


def start_churn(path, owners, secs, segment_size=8192, rounds=150, refresh=True):
    out = CTX.Queue()
    return [start(churn, path, o, secs, out, segment_size, rounds, refresh) for o in owners], out


def check_churned(engine, results):
    for owner, kept, deleted, views, compactions, failures in results:
        assert compactions > 0 and failures == []
        for p, i in kept.items():
            hit = engine.load_pack_by_id(p)
            assert (hit["owner"], hit["layers"][0]["data"][0]) == (owner, pytest.approx(owner * 100 + i % 50))
            assert engine.view_count(p) == views.get(p, 0)
        assert not any(engine.pack_exists(p) for p in deleted)


def test_refresh_and_open_while_another_process_compacts(tmp_path):
    path = str(tmp_path)
    seed = Engine(path, segment_size=4096)
    for i in range(40):
        seed.mem_write_pack(1, unit(i), [(0, LAYER)], 50.0)
    reader = Engine(path, segment_size=4096)
    # Small segments: soon more of them than an engine keeps descriptors
    # for, so reads meet removed files too.
    procs, out = start_churn(path, [7], 2.5, 4096, 600, refresh=False)
    failures, calls = collections.Counter(), 0
    while procs[0].is_alive() or calls < 10:
        try:
            Engine(path, segment_size=4096) if calls % 2 else reader.refresh()
        except RuntimeError as error:
            failures[str(error)] += 1
        calls += 1
    result = out.get(timeout=60)
    procs[0].join(timeout=60)
    assert not failures, failures
    # Once the compactions are over, one refresh shows everything.
    reader.refresh()
    assert reader.pack_count() == Engine(path).pack_count() == 40 + len(result[1])
    check_churned(reader, [result])


def test_processes_compacting_and_writing_together(tmp_path):
    path = str(tmp_path)
    procs, out = start_churn(path, [1, 2, 3], 3.0)
    results = [out.get(timeout=120) for _ in procs]
    for p in procs:
        p.join(timeout=60)
    check_churned(Engine(path), results)


def write_packs(e, n, owner, layers):
    """Writes packs 0..n-1 of `owner(i)` and `layers(i)`: {pack: (owner, layers as lists)}."""
    return {e.mem_write_pack(owner(i), unit(i), layers(i), 50.0): (owner(i), [(x, v.tolist()) for x, v in layers(i)])
            for i in range(n)}


def as_written(hit, written):
    owner, layers = written[hit["pack_id"]]
    return hit["owner"] == owner and [(x["layer_idx"], x["data"].tolist()) for x in hit["layers"]] == layers


def read_as_written(engine, written, deleted, stale=False):
    """Checks every read of `engine` against the packs as written ({pack: (owner, layers)}, deleted ones
    included): each gives a pack with its owner and layers, or "pack not found"; only an engine that has not
    looked since (`stale`) may still give a deleted pack."""
    for p in deleted:
        try:
            got = engine.load_pack_by_id(p)
        except RuntimeError as error:
            assert str(error) == f"pack not found: {p}"
        else:
            assert stale and as_written(got, written)
        assert stale or not engine.pack_exists(p)
    for p in set(written) - set(deleted):
        assert as_written(engine.load_pack_by_id(p), written)
    for i in range(16):
        for owner in (None, 1, 2):
            hits = engine.mem_read_pack(unit(i), 8, owner)
            assert hits
            for h in hits:
                assert stale or h["pack_id"] not in deleted, h["pack_id"]
                assert as_written(h, written) and owner in (None, h["owner"])


@pytest.mark.parametrize("how", ["compact", "maintenance"])
def test_own_compaction_after_anothers_deletions_serves_no_deleted_pack(tmp_path, other, how):
    path = str(tmp_path)
    a = Engine(path, segment_size=2000)
    written = write_packs(a, 48, lambda i: 1 + i // 4 % 2, lambda i: [(0, np.full(64, i % 7 + 1, np.float32)),
                                                                     (3, np.full(64, -(i % 5 + 1), np.float32))])
    b = other(path, 2000)
    deleted = [p for p in written if p % 4 != 0]
    for p in deleted[: len(deleted) // 2]:
        b.delete_pack(p)
    b.compact()  # some of the deleted packs leave the directory now, the others with A's compaction
    for p in deleted[len(deleted) // 2:]:
        b.delete_pack(p)
    if how == "compact":
        assert a.compact()["segments_compacted"] > 0
    else:
        a.start_maintenance(sweep_interval_secs=3600.0, compaction_interval_secs=1.0, eviction_threshold=0.0)
        wait_for(lambda: a.maintenance_status()["compaction_count"] > 0, 30.0)
        a.stop_maintenance()
        assert a.maintenance_status()["compaction_count"] > 0
    read_as_written(a, written, deleted)
    a.refresh()
    read_as_written(a, written, deleted)


def test_reopen_indexes_what_the_compacting_engine_holds(tmp_path):
    path = str(tmp_path)
    e = Engine(path, segment_size=1500)
    packs = [e.mem_write_pack(1, unit(i), [(0, LAYER)], 50.0) for i in range(6)]
    b = Engine(path, segment_size=1500)
    for i in range(3):
        b.delete_pack(b.mem_write_pack(2, unit(i), [(0, LAYER)], 50.0))
    packs += [e.mem_write_pack(1, unit(i), [(0, LAYER)], 50.0) for i in range(6, 12)]
    # The view keys land in the newest segment, which compaction never rewrites, far from their pack's head.
    e.add_view_keys(packs[0], [unit(13), unit(14)])
    e.add_view_keys(packs[11], [unit(15)])
    e.refresh()  # gives the view keys, and the cells of the packs B deleted, governance entries
    for p in packs[:10]:
        e.delete_pack(p)
    assert e.compact()["segments_compacted"] > 0
    reopened = Engine(path)
    keys = ["cell_count", "pack_count", "segment_count", "governance_entries", "arena_bytes"]
    assert {k: e.status()[k] for k in keys} == {k: reopened.status()[k] for k in keys}
    assert e.cell_count() == reopened.cell_count() == 2 * 2 + 1  # the live packs and pack 12's view key
    for cell in range(50):
        assert e.cell_importance(cell) == reopened.cell_importance(cell), cell
    assert e.view_count(packs[11]) == reopened.view_count(packs[11]) == 1


def test_reads_find_live_records_another_process_moved_out_of_segments_this_engine_never_opened(tmp_path):
    path = str(tmp_path)
    a = Engine(path, segment_size=1000)
    written = write_packs(a, 440, lambda i: 1 + i % 3, lambda i: [(0, exact(64, i))])
    keys = np.random.default_rng(5).standard_normal((50, 16)).astype(np.float32)
    cells = [a.mem_write(1, 0, keys[i], exact(32, i), 50.0, None) for i in range(50)]
    assert a.status()["segment_count"] > 100
    for p in list(written)[::7]:
        a.load_pack_by_id(p)  # some segments read, so some descriptors kept
    b = Remote(path, segment_size=1000)
    try:
        deleted = [p for p in written if p % 5 < 3]
        for p in deleted:
            b.delete_pack(p)
        assert b.compact()["segments_compacted"] > 30
    finally:
        b.close()
    # No refresh: every live record sits where the other process moved it, every deleted one is gone or
    # still where it was.
    for i, cell in enumerate(cells):
        (hit,) = a.mem_read(keys[i], 1, None)
        assert hit.cell_id == cell and hit.value() == exact(32, i).tolist()
    read_as_written(a, written, deleted, stale=True)


def encoded(rows):
    header = np.zeros(_native.ENCODING_HEADER_SIZE, np.float32)
    header[0], header[_native.ENCODING_DIM_IDX] = _native.ENCODING_SENTINEL, rows.shape[1]
    return np.concatenate([header, rows.ravel()])


@pytest.mark.parametrize("read", [
    lambda e, q: [h["pack_id"] for h in e.mem_read_pack(q, 1, 1)],
    lambda e, q: [h.cell_id for h in e.mem_read(q, 1, 1)],
    lambda e, q: e.set_refinement_mode("centered") or [h.cell_id for h in e.mem_read(q, 1, 1)],
    lambda e, q: [h["pack_id"] for h in e.mem_read_pack_with_trace_boost(q, 1, 1, 2.0)],
], ids=["pack", "cell", "cell centered", "trace boost"])
def test_multi_token_reads_fetch_the_keys_another_process_moved(tmp_path, monkeypatch, read):
    # Only the newest key stays in memory: the reads take every other one from its segment.
    monkeypatch.setenv("QVN_INT8_TIER_CAPACITY", "1")
    path = str(tmp_path)
    rng = np.random.default_rng(11)
    best = rng.standard_normal((4, 8)).astype(np.float32)
    faint = [np.float32(0.1) * rng.standard_normal((4, 8)).astype(np.float32) for _ in range(300)]
    w = Engine(path, segment_size=1000)
    packs = [w.mem_write_pack(1, encoded(k), [(0, LAYER)], 50.0) for k in [best, *faint, np.float32(0.9) * best]]
    assert w.status()["segment_count"] > 64  # more than an engine keeps descriptors for
    best_head = w.mem_read(encoded(best), 1, 1)[0].cell_id
    want = read(w, encoded(best))
    assert want in ([packs[0]], [best_head])
    reader = Engine(path, segment_size=1000)
    b = Remote(path, segment_size=1000)
    try:
        for p in packs[1:-1]:
            b.delete_pack(p)
        # The best pack's segment goes; the runner-up's, the newest, stays where the reader reads it.
        assert b.compact()["segments_compacted"] > 64
    finally:
        b.close()
    fresh = Engine(path)
    assert read(reader, encoded(best)) == read(fresh, encoded(best)) == want
    # Bumped once, after the pass that served: the pass that met the removed segment bumped nothing, not
    # even the runner-up it would have served.
    watched = (packs[0], packs[-1])
    assert [reader.pack_importance(p) for p in watched] == [fresh.pack_importance(p) for p in watched]
