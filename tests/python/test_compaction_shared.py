"""Compaction while other engines (handles in this process, or other processes) use the same directory."""

import collections
import multiprocessing as mp
import time

import numpy as np
import pytest

from quorvane_db._native import Engine

LAYER = np.ones(64, np.float32)


def unit(i, dim=16):
    v = np.zeros(dim, np.float32)
    v[i % dim] = 1.0
    return v


def _serve(path, segment_size, conn):
    engine = Engine(path, segment_size=segment_size)
    while (call := conn.recv()) is not None:
        name, args = call
        try:
            conn.send((True, getattr(engine, name)(*args)))
        except Exception as error:  # noqa: BLE001 - the caller re-raises it
            conn.send((False, f"{type(error).__name__}: {error}"))


class Remote:
    """An engine opened in another process; each call waits for its answer."""

    def __init__(self, path, segment_size):
        ctx = mp.get_context("spawn")
        self._conn, child = ctx.Pipe()
        self._proc = ctx.Process(target=_serve, args=(path, segment_size, child), daemon=True)
        self._proc.start()

    def __getattr__(self, name):
        def call(*args):
            self._conn.send((name, args))
            assert self._conn.poll(60), f"{name} got no answer"
            ok, value = self._conn.recv()
            if not ok:
                raise RuntimeError(value)
            return value

        return call

    def close(self):
        self._conn.send(None)
        self._proc.join(timeout=30)


@pytest.fixture(params=["handle", "process"])
def other(request):
    """Opens the second engine of a test: a handle in this process or an engine in a child process."""
    remotes = []

    def open_other(path, segment_size):
        if request.param == "handle":
            return Engine(path, segment_size=segment_size)
        remotes.append(Remote(path, segment_size))
        return remotes[-1]

    yield open_other
    for r in remotes:
        r.close()


def test_compaction_keeps_view_keys_of_packs_it_has_not_seen(tmp_path, other):
    path = str(tmp_path)
    a = Engine(path, segment_size=1000)
    b = other(path, 1000)
    mine = [a.mem_write_pack(1, unit(1), [(0, LAYER)], 50.0) for _ in range(2)]
    pack = b.mem_write_pack(2, unit(2), [(0, LAYER)], 50.0)
    mine += [a.mem_write_pack(1, unit(1), [(0, LAYER)], 50.0) for _ in range(8)]
    for i in range(6):
        # The refresh makes B append to the segment A writes to, far from the pack's head.
        b.refresh()
        assert b.add_view_keys(pack, [unit(3 + i)]) == 1
        mine.append(a.mem_write_pack(1, unit(1), [(0, LAYER)], 50.0))
    b.refresh()
    whole = b.mem_write_pack(2, unit(9), [(0, LAYER * 2), (1, LAYER * 3)], 50.0)
    mine += [a.mem_write_pack(1, unit(1), [(0, LAYER)], 50.0) for _ in range(6)]
    for p in mine:
        a.delete_pack(p)
    assert a.compact()["segments_compacted"] >= 3
    assert b.view_count(pack) == 6
    reopened = Engine(path)
    assert reopened.view_count(pack) == 6 and reopened.pack_count() == 2
    layers = reopened.load_pack_by_id(whole)["layers"]
    assert [x["layer_idx"] for x in layers] == [0, 1] and layers[1]["data"][0] == 3.0
    assert [h["pack_id"] for h in reopened.mem_read_pack(unit(5), 1, None)] == [pack]
    for p in mine:
        with pytest.raises(RuntimeError, match=f"pack not found: {p}"):
            reopened.load_pack_by_id(p)


def test_compaction_after_another_engines_compaction(tmp_path, other):
    path = str(tmp_path)
    a = Engine(path, segment_size=1000)
    packs = [a.mem_write_pack(1, unit(i), [(0, LAYER * i)], 50.0) for i in range(12)]
    b = other(path, 1000)
    for p in packs[:10]:
        b.delete_pack(p)
    assert b.compact()["segments_compacted"] >= 1
    # A still lists the removed segments; its compactions pick up what B did.
    for _ in range(2):
        assert a.compact()["segments_compacted"] == 0
    for i in (10, 11):
        np.testing.assert_array_equal(a.load_pack_by_id(packs[i])["layers"][0]["data"], LAYER * i)
    a.refresh()
    assert a.pack_count() == 2


@pytest.mark.parametrize("who", ["reopened", "open since before"])
def test_compaction_never_gives_ids_back(tmp_path, other, who):
    path = str(tmp_path)
    w = Engine(path, segment_size=1200)
    assert [w.mem_write(1, 0, unit(i), np.ones(8, np.float32), 50.0, None) for i in range(3)] == [0, 1, 2]
    early = other(path, 1200)
    packs = [w.mem_write_pack(1, unit(1), [(0, LAYER)], 50.0) for _ in range(9)]  # cells 3..20
    for p in packs:
        w.delete_pack(p)
    # The first compaction moves the three live cells to a new segment, the
    # next removes the segment that held the highest ids.
    removed = sum(w.compact()["segments_compacted"] for _ in range(3))
    assert removed == 2
    engine = Engine(path) if who == "reopened" else early
    assert engine.mem_write(1, 0, unit(4), np.ones(8, np.float32), 50.0, None) == 21
    assert engine.mem_write_pack(1, unit(5), [], 50.0) == 10
    reopened = Engine(path)
    assert reopened.mem_write(1, 0, unit(6), np.ones(8, np.float32), 50.0, None) == 23
    assert reopened.list_packs(None)[0]["pack_id"] == 10 and reopened.pack_count() == 1


def _churn(path, owner, secs, refresh, out, segment_size=8192, rounds=150):
    """Writes packs, view keys and deletions and compacts until the time or the rounds are up.

    The rounds keep the cells below the graph threshold (10,000) on a fast disk."""
    e = Engine(path, segment_size=segment_size)
    kept, deleted, views, failures = {}, [], collections.Counter(), []
    i = compactions = 0
    end = time.monotonic() + secs
    while time.monotonic() < end and compactions + len(failures) < rounds:
        try:
            new = []
            for _ in range(6):
                new.append((e.mem_write_pack(owner, unit(i), [(0, np.full(64, owner * 100 + i % 50, np.float32))],
                                             50.0), i))
                i += 1
            for p, _ in new[:4]:
                e.delete_pack(p)
                deleted.append(p)
            kept.update(new[4:])
            e.add_view_keys(new[4][0], [unit(i + 1)])
            views[new[4][0]] += 1
            if refresh:
                e.refresh()
            e.compact()
            compactions += 1
        except RuntimeError as error:
            failures.append(str(error))
    out.put((owner, kept, deleted, dict(views), compactions, failures))


def _start_churn(ctx, path, owners, secs, refresh, segment_size=8192, rounds=150):
    out = ctx.Queue()
    procs = [ctx.Process(target=_churn, args=(path, o, secs, refresh, out, segment_size, rounds)) for o in owners]
    for p in procs:
        p.start()
    return procs, out


def _check_churned(engine, results):
    for owner, kept, deleted, views, *_ in results:
        for p, i in kept.items():
            hit = engine.load_pack_by_id(p)
            assert (hit["owner"], hit["layers"][0]["data"][0]) == (owner, pytest.approx(owner * 100 + i % 50))
            assert engine.view_count(p) == views.get(p, 0)
        for p in deleted:
            with pytest.raises(RuntimeError, match="pack not found"):
                engine.load_pack_by_id(p)


def test_refresh_and_open_while_another_process_compacts(tmp_path):
    path = str(tmp_path)
    seed = Engine(path, segment_size=4096)
    for i in range(40):
        seed.mem_write_pack(1, unit(i), [(0, LAYER)], 50.0)
    reader = Engine(path, segment_size=4096)
    # Small segments: soon more of them than an engine keeps descriptors
    # for, so reads meet removed files too.
    procs, out = _start_churn(mp.get_context("spawn"), path, [7], 2.5, False, 4096, 600)
    failures, calls = collections.Counter(), 0
    while procs[0].is_alive() or calls < 10:
        try:
            if calls % 2:
                Engine(path, segment_size=4096)
            else:
                reader.refresh()
        except RuntimeError as error:
            failures[str(error)] += 1
        calls += 1
    (result,) = [out.get(timeout=60)]
    procs[0].join(timeout=60)
    assert result[4] > 0 and result[5] == []
    assert not failures, failures
    # Once the compactions are over, one refresh shows everything a fresh engine shows.
    reader.refresh()
    fresh = Engine(path)
    assert reader.pack_count() == fresh.pack_count() == 40 + len(result[1])
    for s in fresh.list_packs(None):
        assert reader.load_pack_by_id(s["pack_id"])["owner"] == s["owner"]
    _check_churned(reader, [result])


def test_processes_compacting_and_writing_together(tmp_path):
    path = str(tmp_path)
    procs, out = _start_churn(mp.get_context("spawn"), path, [1, 2, 3], 3.0, True)
    results = [out.get(timeout=120) for _ in procs]
    for p in procs:
        p.join(timeout=60)
    assert all(r[4] > 0 for r in results)
    assert [f for r in results for f in r[5]] == []
    _check_churned(Engine(path), results)
