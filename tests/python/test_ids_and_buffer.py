"""Ids, the reserved layer index, the graph file and write buffers, with several writers on one directory."""

import multiprocessing as mp
import os
import struct

import numpy as np
import pytest

from quorvane_db._native import Engine

RESERVED = "storage I/O error: layer index 65534 is reserved for a pack's retrieval key and view keys"
TOP_ID = 2**64 - 1


def unit(dim, i):
    v = np.zeros(dim, np.float32)
    v[i % dim] = 1.0
    return v


def layer(value, n=8):
    return np.full(n, value, np.float32)


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "engine")


def records(segment):
    """(offset, cell id, pack id) of every record of a segment file."""
    data = open(segment, "rb").read()
    out, p = [], 8
    while p + 4 <= len(data):
        (n,) = struct.unpack_from("<I", data, p)
        out.append((p, *struct.unpack_from("<Q", data, p + 4), *struct.unpack_from("<Q", data, p + 34)))
        p += 4 + n
    return out


def patch_u64(segment, offset, value):
    with open(segment, "r+b") as f:
        f.seek(offset)
        f.write(struct.pack("<Q", value))


def graph_nodes(path):
    data = open(os.path.join(path, "vamana.idx"), "rb").read()
    (count,) = struct.unpack_from("<Q", data, 24)
    nodes, p = set(), 32
    for _ in range(count):
        cell, m = struct.unpack_from("<QI", data, p)
        nodes.add(cell)
        p += 12 + 8 * m
    return nodes


# ---------------------------------------------------------------------------
# Cell and pack ids


def test_parent_ids_allocate_no_ids(path):
    e = Engine(path)
    assert e.mem_write_pack(1, unit(16, 0), [(0, layer(10))], 50.0) == 1  # cells 0 and 1
    assert e.mem_write(2, 0, unit(16, 1), layer(20), 50.0, 1000000000) == 2
    assert e.mem_write(2, 0, unit(16, 2), layer(20), 50.0, TOP_ID) == 3
    assert e.trace_ancestors(3) == [TOP_ID]
    assert [e.mem_write(3, 0, unit(16, 3 + i), layer(30), 50.0, None) for i in range(2)] == [4, 5]

    def intact(engine):
        assert engine.load_pack_by_id(1)["layers"][0]["data"][0] == pytest.approx(10.0)
        for cell, owner in ((0, 1), (2, 2), (3, 2), (4, 3), (5, 3)):
            assert [h.cell_id for h in engine.mem_read(unit(16, cell - (cell > 0)), 1, owner)] == [cell]

    intact(e)
    del e
    e = Engine(path)
    assert e.mem_write(4, 0, unit(16, 7), layer(40), 50.0, None) == 6
    assert e.mem_write_pack(4, unit(16, 8), [(0, layer(50))], 50.0) == 2
    intact(e)


def test_ids_past_the_maximum_are_refused_and_store_nothing(path):
    e = Engine(path)
    e.mem_write_pack(1, unit(16, 0), [(0, layer(1))], 50.0)
    e.mem_write(1, 0, unit(16, 1), layer(1), 50.0, None)
    del e
    segment = os.path.join(path, "segment_000000.qvn")
    offset, _, _ = records(segment)[-1]
    patch_u64(segment, offset + 4, TOP_ID - 1)  # the highest id a counter can hand out

    cells_gone = f"storage I/O error: cell ids exhausted in {path}"
    e = Engine(path)
    for call in (lambda: e.mem_write(1, 0, unit(16, 2), layer(1), 50.0, None),
                 lambda: e.mem_write_batch([(1, 0, unit(16, 2), layer(1), 50.0, None)]),
                 lambda: e.mem_write_pack(1, unit(16, 2), [], 50.0),
                 lambda: e.add_view_keys(1, [unit(16, 3)])):
        with pytest.raises(RuntimeError) as err:
            call()
        assert str(err.value) == cells_gone
    buffered = Engine.open_with_write_buffer(path, 100)
    assert buffered.mem_write_pack(1, unit(16, 2), [], 50.0) == 2  # a pack id is still there
    with pytest.raises(RuntimeError) as err:
        buffered.flush_buffer()
    assert str(err.value) == cells_gone
    del buffered, e
    assert (Engine(path).cell_count(), Engine(path).pack_count()) == (3, 1)

    other = path + "-packs"
    Engine(other).mem_write_pack(1, unit(16, 0), [(0, layer(1))], 50.0)
    segment = os.path.join(other, "segment_000000.qvn")
    for offset, _, _ in records(segment):
        patch_u64(segment, offset + 34, TOP_ID)  # as a wrapping counter once stored it
    e, buffered = Engine(other), Engine.open_with_write_buffer(other, 100)
    for call in (lambda: e.mem_write_pack(1, unit(16, 2), [], 50.0),
                 lambda: buffered.mem_write_pack(1, unit(16, 2), [], 50.0)):
        with pytest.raises(RuntimeError) as err:
            call()
        assert str(err.value) == f"storage I/O error: pack ids exhausted in {other}"
    assert e.mem_write(1, 0, unit(16, 3), layer(1), 50.0, None) == 2  # cell ids are left
    assert e.pack_count() == 1 and e.load_pack_by_id(TOP_ID)["owner"] == 1


# ---------------------------------------------------------------------------
# The reserved layer index


def test_every_write_refuses_the_view_key_layer(path):
    e = Engine(path)
    buffered = Engine.open_with_write_buffer(path + "-buffered", 100)
    good = (1, 0, unit(16, 1), layer(1), 50.0, None)
    for call in (lambda: e.mem_write(1, 65534, unit(16, 0), layer(1), 50.0, None),
                 lambda: e.mem_write_batch([good, (1, 65534, unit(16, 0), layer(1), 50.0, None)]),
                 lambda: e.mem_write_pack(1, unit(16, 0), [(0, layer(1)), (65534, layer(2))], 50.0),
                 lambda: e.mem_write_pack_with_auto_link(1, unit(16, 0), [(65534, layer(2))], 50.0),
                 lambda: buffered.mem_write_pack(1, unit(16, 0), [(65534, layer(2))], 50.0)):
        with pytest.raises(RuntimeError) as err:
            call()
        assert str(err.value) == RESERVED
    # No id was taken, and the index above it is an ordinary layer.
    assert e.mem_write(1, 65535, unit(16, 2), layer(1), 50.0, None) == 0
    assert e.mem_write_pack(1, unit(16, 3), [(65535, layer(3))], 50.0) == 1
    assert buffered.mem_write_pack(1, unit(16, 3), [(7, layer(3))], 50.0) == 1
    buffered.flush_buffer()
    assert [l["layer_idx"] for l in buffered.load_pack_by_id(1)["layers"]] == [7]
    del e, buffered
    e = Engine(path)
    assert (e.cell_count(), e.pack_count()) == (3, 1)
    assert sorted(hit.cell_id for hit in e.mem_read(unit(16, 0), 5, None)) == [0, 1]
    assert Engine(path + "-buffered").cell_count() == 2


# ---------------------------------------------------------------------------
# The graph file


def test_graph_file_serves_only_when_its_nodes_are_those_of_a_build(path):
    e = Engine(path, vamana_threshold=1)
    packs = [e.mem_write_pack(1, unit(16, i), [(0, layer(i))], 50.0) for i in range(3)]  # heads 0, 2, 4
    e.refresh()
    assert e.has_vamana() and graph_nodes(path) == {0, 2, 4}
    del e
    e = Engine(path, vamana_threshold=1)
    e.delete_pack(packs[0])
    cell = e.mem_write(1, 0, unit(16, 5), layer(5), 50.0, None)  # as many nodes as before
    assert graph_nodes(path) == {0, 2, 4}  # the live graph took it, the file did not
    del e
    e = Engine(path, vamana_threshold=1)
    assert e.has_vamana() and e.status()["pipeline_stages"] == 3
    assert graph_nodes(path) == {2, 4, cell}
    assert [h.cell_id for h in e.mem_read(unit(16, 5), 1, None)] == [cell]
    assert not e.pack_exists(packs[0])
    # An unchanged directory reuses the file.
    inode = os.stat(os.path.join(path, "vamana.idx")).st_ino
    del e
    assert Engine(path, vamana_threshold=1).has_vamana()
    assert os.stat(os.path.join(path, "vamana.idx")).st_ino == inode


def _graph_refresher(path, owner, rounds, barrier, out):
    barrier.wait()
    failures = []
    e = None
    while e is None and len(failures) < rounds:  # the open builds the graph, too
        try:
            e = Engine(path, vamana_threshold=1)
        except RuntimeError as err:
            failures.append(str(err))
    for i in range(rounds if e else 0):
        e.mem_write(owner, 0, unit(16, owner * 7 + i), layer(i), 50.0, None)
        try:
            e.refresh()  # every refresh finds the file stale and rebuilds it
        except RuntimeError as err:
            failures.append(str(err))
    out.put((failures, e is not None and e.has_vamana()))


def test_two_processes_rebuilding_the_graph_file_never_fail(path):
    Engine(path).mem_write(9, 0, unit(16, 0), layer(0), 50.0, None)
    ctx = mp.get_context("spawn")
    barrier, out = ctx.Barrier(2), ctx.Queue()
    ps = [ctx.Process(target=_graph_refresher, args=(path, o, 150, barrier, out), daemon=True) for o in (1, 2)]
    for p in ps:
        p.start()
    results = [out.get(timeout=120) for _ in ps]
    for p in ps:
        p.join(timeout=60)
    assert results == [([], True), ([], True)]
    e = Engine(path, vamana_threshold=1)
    assert e.has_vamana() and len(graph_nodes(path)) == e.cell_count() == 301
    assert not [n for n in os.listdir(path) if n.startswith("vamana.idx.")]


# ---------------------------------------------------------------------------
# A write buffer and a plain writer on one directory

_held = []


def _buffered_writer(path, conn):
    e = Engine.open_with_write_buffer(path, 1000)
    _held.append(e)  # drained at interpreter exit unless flushed before
    while True:
        cmd, arg = conn.recv()
        if cmd == "exit":
            return
        try:
            if cmd == "write":
                res = [e.mem_write_pack(1, unit(16, i), [(1, layer(100 + i)), (2, layer(200 + i))], 50.0)
                       for i in range(arg)]
            else:
                res = e.flush_buffer()
            conn.send(("ok", res))
        except RuntimeError as err:
            conn.send(("error", str(err)))


@pytest.fixture
def start_buffered():
    """Starts a buffered writer process on a directory; returns the function that sends it a command."""
    started = []

    def start(path):
        ctx = mp.get_context("spawn")
        ours, theirs = ctx.Pipe()
        p = ctx.Process(target=_buffered_writer, args=(path, theirs), daemon=True)
        p.start()
        started.append(p)

        def ask(cmd, arg=None):
            ours.send((cmd, arg))
            if cmd == "exit":
                p.join(timeout=60)
                return p.exitcode
            assert ours.poll(60)
            return ours.recv()

        return ask

    yield start
    for p in started:
        if p.is_alive():
            p.kill()
            p.join(timeout=10)


def plain_writes(path, n):
    e = Engine(path)
    return [e.mem_write_pack(2, unit(16, 8 + i), [(7, layer(700 + i)), (8, layer(800 + i))], 50.0)
            for i in range(n)]


def check_tenants(path, owners):
    """Every pack holds exactly its own writer's layers, and no read leaks another owner's."""
    e = Engine(path)
    shape = lambda hit: (hit["owner"], [l["layer_idx"] for l in hit["layers"]])  # noqa: E731
    want = {1: (1, [1, 2]), 2: (2, [7, 8])}
    assert {p: shape(e.load_pack_by_id(p)) for p in range(1, e.pack_count() + 1)} == \
        {p: want[o] for p, o in owners.items()}
    for owner in (1, 2):
        hits = e.mem_read_pack(unit(16, 0), 16, owner)
        assert hits and all(shape(h) == want[owner] for h in hits)


def test_buffered_ids_another_writer_stored_are_refused_at_the_drain(path, start_buffered):
    Engine(path)
    ask = start_buffered(path)
    assert ask("write", 5) == ("ok", [1, 2, 3, 4, 5])
    assert plain_writes(path, 3) == [1, 2, 3]
    taken = "storage I/O error: pack ids 1, 2, 3 were stored by another writer before this engine's write " \
            "buffer stored them; those buffered packs were dropped"
    # A further buffered write reports them, queues nothing, and the drain it runs stores the rest.
    assert ask("write", 1) == ("error", taken)
    assert ask("flush") == ("ok", None)
    assert ask("exit") == 0
    check_tenants(path, {1: 2, 2: 2, 3: 2, 4: 1, 5: 1})

    other = path + "-flush"
    Engine(other)
    ask = start_buffered(other)
    assert ask("write", 2) == ("ok", [1, 2])
    assert plain_writes(other, 1) == [1]
    assert ask("flush") == ("error", taken.replace("pack ids 1, 2, 3 were", "pack id 1 was")
                            .replace("them; those buffered packs were", "it; that buffered pack was"))
    assert ask("exit") == 0
    check_tenants(other, {1: 2, 2: 1})


def test_the_drain_at_exit_never_mixes_two_writers_packs(path, start_buffered):
    Engine(path)
    ask = start_buffered(path)
    assert ask("write", 4) == ("ok", [1, 2, 3, 4])
    assert plain_writes(path, 2) == [1, 2]
    assert ask("exit") == 0  # acknowledged packs 3 and 4 are drained at exit
    check_tenants(path, {1: 2, 2: 2, 3: 1, 4: 1})
