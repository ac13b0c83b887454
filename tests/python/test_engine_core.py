"""Writes, reads, durability and multi-process use of the engine, driven from Python."""

import multiprocessing as mp
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvane_db import _native
from quorvane_db._native import Engine

PACK_KEYS = ["pack_id", "owner", "score", "tier", "layers", "text"]


def exact(n, shift=0):
    """n floats the 4-bit storage codec keeps exactly (-7..7, with a 7 or -7 in every group of 32)."""
    return np.array([((i + shift) % 15) - 7 for i in range(n)], np.float32)


def unit(dim, i, scale=1.0):
    v = np.zeros(dim, np.float32)
    v[i] = scale
    return v


def encoded(rows):
    rows = np.asarray(rows, np.float32)
    header = np.zeros(_native.ENCODING_HEADER_SIZE, np.float32)
    header[0] = _native.ENCODING_SENTINEL
    header[_native.ENCODING_DIM_IDX] = rows.shape[1]
    return np.concatenate([header, rows.ravel()])


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "engine")


@pytest.fixture
def engine(path):
    return Engine(path)


def test_pack_and_cell_round_trip(engine):
    layers = [(5, exact(64, 3)), (0, exact(32)), (2, exact(96, 1))]
    pack = engine.mem_write_pack(9, unit(16, 4), layers, 50.0, text="caf\u00e9")
    bare = engine.mem_write_pack(9, unit(16, 5), [(1, exact(32))], 50.0)
    (hit,) = engine.mem_read_pack(unit(16, 4), 1, None)
    assert list(hit) == PACK_KEYS
    assert (hit["pack_id"], hit["owner"], hit["tier"], hit["text"]) == (pack, 9, 0, "caf\u00e9")
    assert [list(layer) for layer in hit["layers"]] == [["layer_idx", "data"]] * 3
    for got, (idx, want) in zip(hit["layers"], sorted(layers, key=lambda p: p[0])):
        assert got["layer_idx"] == idx and got["data"].dtype == np.float32
        assert got["data"].flags.owndata and got["data"].flags.writeable
        np.testing.assert_array_equal(got["data"], want)
    hit["layers"][0]["data"][:] = 0.0  # the caller's copy, not the engine's
    again = engine.load_pack_by_id(pack)
    assert again["score"] == 0.0
    np.testing.assert_array_equal(again["layers"][0]["data"], exact(32))
    assert engine.load_pack_by_id(bare)["text"] is None

    # Cell reads report the importance after the read's bump and the tier before it.
    cell = engine.mem_write(3, 7, unit(16, 9), exact(8), 58.0, None)  # importance 63, Draft
    (hit,) = engine.mem_read(unit(16, 9), 1, 3)
    assert (hit.cell_id, hit.owner, hit.layer, hit.tier, hit.importance) == (cell, 3, 7, 0, 66.0)
    assert hit.key() == unit(16, 9).tolist() and hit.value() == exact(8).tolist()
    (hit,) = engine.mem_read(unit(16, 9), 1, 3)
    assert (hit.tier, hit.importance) == (1, 69.0)


def test_ids_are_consecutive_and_refused_writes_use_none(engine):
    assert engine.mem_write(1, 0, unit(8, 0), exact(8), 50, None) == 0
    assert engine.mem_write(owner=1, layer=65535, key=unit(8, 1), value=exact(0), salience=1.5,
                            parent_cell_id=0) == 1
    with pytest.raises(TypeError):
        engine.mem_write_batch([(2, 1, unit(8, 2), exact(8), 10.0, None), (2, 1, "key")])
    batch = [(2, 1, unit(8, 2), exact(8), 10.0, None), (2, 1, unit(8, 3), exact(8), 10.0, 0, "extra")]
    assert engine.mem_write_batch([]) == [] and engine.mem_write_batch(batch) == [2, 3]
    assert engine.mem_write_pack(1, unit(8, 0), [], 50) == 1
    assert engine.mem_write_pack(1, exact(0), [(0, exact(0))], 50.0) == 2
    assert (engine.cell_count(), engine.pack_count()) == (7, 2)  # a pack is a head cell plus its layers


def test_constructor_settings_take_effect(tmp_path):
    e = Engine(str(tmp_path / "a"), segment_size=1 << 20, vamana_threshold=3)
    for i in range(3):
        assert not e.has_vamana() and e.pipeline_stage_count() == 2
        e.mem_write(1, 0, unit(8, i), exact(8), 10.0, None)
    assert e.has_vamana() and e.status()["vamana_active"] is True and e.pipeline_stage_count() == 3
    for mode, name in (("zca", "whitened"), ("prf", "prf"), ("centered", "centered"), ("none", "none")):
        e.set_refinement_mode(mode, alpha=0.5, beta=0.5, k_prime=2)
        assert e.refinement_mode() == name
    e.set_token_reweighting(np.bool_(True))
    assert e.token_reweighting() is True
    assert Engine(str(tmp_path / "a")).token_reweighting() is False  # settings are not persisted


def test_owner_filter_holds_for_every_read(engine):
    rows = [[1, 2, 0, 0], [0, 0, 3, 1]]
    packs = {o: [engine.mem_write_pack(o, encoded(rows), [(0, exact(32, o))], 50.0) for _ in range(2)]
             for o in (1, 2)}
    for o in (1, 2):
        engine.mem_write(o, 0, encoded(rows), exact(8), 50.0, None)
        engine.store_synapsis(o, o, exact(8), exact(8), 1.0, 2, 4)
    engine.add_pack_link(packs[1][0], packs[2][0])  # following a link must not cross owners
    q = encoded(rows)
    reads = {
        "mem_read": lambda o: [h.owner for h in engine.mem_read(q, 10, o)],
        "mem_read_tokens": lambda o: [h.owner for h in engine.mem_read_tokens(np.float32(rows), 10, o)],
        "mem_read_pack": lambda o: [h["owner"] for h in engine.mem_read_pack(q, 10, o)],
        "trace_boost": lambda o: [h["owner"] for h in engine.mem_read_pack_with_trace_boost(q, 10, o, 2.0)],
        "follow": lambda o: [h["owner"] for h in engine.mem_read_pack_with_trace_boost_and_follow(q, 1, o, 2.0)],
        "list_packs": lambda o: [p["owner"] for p in engine.list_packs(o)],
        "load_synapsis": lambda o: [s["owner"] for s in engine.load_synapsis(o)],
    }
    for name, read in reads.items():
        for o in (1, 2):
            got = read(o)
            assert got and set(got) == {o}, (name, o, got)
        if name not in ("load_synapsis", "follow"):
            assert set(read(None)) == {1, 2}, name


def test_pack_reads_order_by_final_score(engine):
    # The closer key belongs to a Draft pack, the farther one to a Core pack:
    # the tier weight reverses the raw order, and results follow the final score.
    draft = engine.mem_write_pack(1, unit(8, 0, 1.1), [], 0.0)
    core = engine.mem_write_pack(1, unit(8, 0, 1.0), [], 90.0)
    for read in (lambda: engine.mem_read_pack(unit(8, 0), 2, None),
                 lambda: engine.mem_read_pack_with_trace_boost(unit(8, 0), 2, None, 0.0)):
        hits = read()
        assert [h["pack_id"] for h in hits] == [core, draft]
        assert hits[0]["score"] > hits[1]["score"]


def test_token_matrix_reads_match_encoded_reads(tmp_path):
    rows = np.array([[1, 2, 0, 0], [0, 0, 3, 1], [2, 0, 0, 1]], dtype=np.float32)
    engines = [Engine(str(tmp_path / name)) for name in ("a", "b")]
    for e in engines:
        for i, r in enumerate(rows):
            e.mem_write(1, 0, encoded([r, rows[(i + 1) % 3]]), exact(4), 10.0, None)
    query = rows[:2]
    by_key = [(h.cell_id, h.score) for h in engines[0].mem_read(encoded(query), 3, None)]
    for variant in (query, np.asfortranarray(query), rows[1::-1][::-1]):
        assert [(h.cell_id, h.score) for h in engines[1].mem_read_tokens(variant, 3, None)] == by_key
        engines[0].mem_read(encoded(query), 3, None)  # both engines bump importances alike
    assert engines[1].mem_read_tokens(np.zeros((0, 128), np.float32), 3, None) == []


def test_auto_link_and_view_keys(path):
    e = Engine.open_with_write_buffer(path, 10)
    first = e.mem_write_pack(1, unit(8, 0), [], 50.0)
    e.flush_buffer()
    out = e.mem_write_pack_with_auto_link(1, unit(8, 0), [], 50.0, 0.0)
    assert out == {"pack_id": first + 1, "linked_pack_ids": [first]}
    assert [e.pack_links_by_type(first + 1, kind) for kind in range(4)] == [[], [first], [], []]  # kind 1: follows
    assert e.mem_write_pack_with_auto_link(2, unit(8, 0), [], 50.0, 0.0)["linked_pack_ids"] == []
    # Unit keys score far below the default threshold.
    assert e.mem_write_pack_with_auto_link(1, unit(8, 0), [], 50.0)["linked_pack_ids"] == []
    assert e.add_view_keys(first, [unit(8, 1), unit(8, 2)]) == 2
    assert e.add_view_keys(pack_id=first, view_keys=(unit(8, 3), exact(0))) == 2
    assert e.view_count(first) == 4
    assert [h["pack_id"] for h in e.mem_read_pack(unit(8, 3), 1, None)] == [first]


def test_reopen_refresh_write_buffer_and_snapshot(tmp_path, path):
    writer = Engine.open_with_write_buffer(path, 3)
    ids = [writer.mem_write_pack(2, unit(8, i), [(3, exact(32, i))], 50.0, text=f"t{i}") for i in range(2)]
    reader = Engine(path)
    assert ids == [1, 2] and writer.pack_count() == reader.pack_count() == 0  # still buffered
    writer.mem_write_pack(2, unit(8, 2), [], 50.0)  # the third fills the buffer
    reader.refresh()
    assert reader.pack_count() == 3 and reader.load_pack_by_id(2)["text"] == "t1"
    writer.mem_write_pack(2, unit(8, 3), [], 50.0)
    writer.flush()
    reader.refresh()
    assert reader.pack_count() == 4

    manifest = writer.snapshot(str(tmp_path / "snap.tar"))
    assert (manifest["magic"], manifest["pack_count"], manifest["owner_count"]) == ("qvn!", 4, 1)
    restored = Engine.restore_from(str(tmp_path / "snap.tar"), str(tmp_path / "restored"))
    got = restored.load_pack_by_id(ids[1])
    assert got["text"] == "t1"
    np.testing.assert_array_equal(got["layers"][0]["data"], exact(32, 1))
    with pytest.raises(RuntimeError):  # the target is not empty
        Engine.restore_from(str(tmp_path / "snap.tar"), str(tmp_path / "restored"))


def run_child(script, **env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=120, env={**os.environ, **env})


def test_interpreter_exit_with_daemon_threads_in_native_work(tmp_path):
    # Daemon threads are inside the methods that release the interpreter lock
    # when the main thread ends; another engine holds acknowledged packs in
    # its write buffer.
    out = run_child(
        """
        import threading, time
        import numpy as np
        from quorvane_db._native import Engine

        busy = Engine(%r)
        buffered = Engine.open_with_write_buffer(%r, 1000)
        key = np.arange(1, 17, dtype=np.float32)
        layers = [(i, np.ones(4096, np.float32)) for i in range(4)]
        for _ in range(20):
            busy.mem_write_pack(1, key, layers, 50.0)

        def loop(call):
            while True:
                call()

        for call in (lambda: busy.mem_read_pack(key, 5, None), lambda: busy.mem_write_pack(1, key, layers, 50.0),
                     lambda: busy.compact(), lambda: buffered.mem_read_pack(key, 5, None),
                     lambda: buffered.mem_write_pack(3, key, layers, 50.0)):
            for _ in range(2):
                threading.Thread(target=loop, args=(call,), daemon=True).start()
        ids = [buffered.mem_write_pack(2, key, layers, 50.0) for _ in range(50)]
        print(*ids)
        time.sleep(0.2)
        """
        % (str(tmp_path / "busy"), str(tmp_path / "buffered"))
    )
    assert out.returncode == 0, out.stderr
    ids = [int(i) for i in out.stdout.split()]
    assert len(ids) == 50
    reopened = Engine(str(tmp_path / "buffered"))
    assert {reopened.load_pack_by_id(i)["owner"] for i in ids} == {2}


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc to size the memory limit")
def test_memory_exhaustion_in_a_read_leaves_the_engine_usable(tmp_path):
    out = run_child(
        """
        import resource
        import numpy as np
        from quorvane_db._native import Engine

        e = Engine(%r)
        key = np.zeros(64 + 4 * 16, np.float32)
        key[0], key[33] = -1e9, 16
        key[64:] = np.arange(64, dtype=np.float32)
        for _ in range(5):
            e.mem_write_pack(1, key, [(0, np.ones(8, np.float32))], 50.0)
        small = key[64:].reshape(4, 16).copy()
        before = len(e.mem_read_tokens(small, 2, None))
        huge = np.zeros((1 << 20, 16), np.float32)  # 64 MiB: the engine's own copy cannot fit
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size + 3 * huge.nbytes // 2, resource.RLIM_INFINITY))
        for call in (lambda: e.mem_read_tokens(huge, 2, None), lambda: e.mem_read(huge.reshape(-1), 2, None)):
            try:
                call()
                print("no error")
            except MemoryError as error:
                print(error)
        print(before, len(e.mem_read_tokens(small, 2, None)), len(e.mem_read_pack(key, 2, 1)))
        """
        % str(tmp_path / "db"),
        MALLOC_ARENA_MAX="1",
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["mem_read_tokens: out of memory", "mem_read: out of memory", "2 2 2"]


def _shared_dir_writer(path, owner, n, barrier, out):
    e = Engine(path)
    barrier.wait(timeout=60)
    acked = []
    for i in range(n):
        layer = np.full(8, owner * 1000.0 + i, dtype=np.float32)
        acked.append(e.mem_write_pack(owner, unit(16, (owner * 5 + i) % 16), [(0, layer)], 50.0, f"{owner} {i}"))
    cells = e.mem_write_batch([(owner, 1, np.ones(16, np.float32), np.ones(4, np.float32), 1.0, None)] * 5)
    out.put((owner, acked, cells))


def test_processes_sharing_a_directory_never_share_an_id(tmp_path):
    ctx = mp.get_context("spawn")
    barrier, out = ctx.Barrier(3), ctx.Queue()
    ps = [ctx.Process(target=_shared_dir_writer, args=(str(tmp_path), o, 40, barrier, out)) for o in (1, 2, 3)]
    for p in ps:
        p.start()
    try:
        results = [out.get(timeout=60) for _ in ps]
    finally:
        for p in ps:
            p.join(timeout=60)
            if p.is_alive():
                p.kill()
    e = Engine(str(tmp_path))
    packs = [pid for _, acked, _ in results for pid in acked]
    cells = [c for *_, cs in results for c in cs]
    assert len(set(packs)) == len(packs) and len(set(cells)) == len(cells)
    for owner, acked, _ in results:
        for i, pid in enumerate(acked):
            hit = e.load_pack_by_id(pid)
            want = (owner, f"{owner} {i}", pytest.approx(owner * 1000.0 + i))
            assert (hit["owner"], hit["text"], hit["layers"][0]["data"][0]) == want
