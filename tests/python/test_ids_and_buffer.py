"""Ids, the reserved layer index, the graph file and write buffers, with several writers on one directory."""

import os
import struct

import numpy as np
import pytest

from quorvane_db._native import Engine
from shared_dir_support import CTX, buffered_writer, graph_refresher, start, unit

TOP_ID = 2**64 - 1


def layer(value, n=8):
    return np.full(n, value, np.float32)


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "engine")


def patch_records(path, field, value, last_only):
    """Overwrites the cell id (field 4) or pack id (field 34) of the last or every record of segment 0."""
    segment = os.path.join(path, "segment_000000.qvn")
    data, p, offsets = open(segment, "rb").read(), 8, []
    while p + 4 <= len(data):
        offsets.append(p)
        p += 4 + struct.unpack_from("<I", data, p)[0]
    with open(segment, "r+b") as f:
        for offset in offsets[-1:] if last_only else offsets:
            f.seek(offset + field)
            f.write(struct.pack("<Q", value))


def graph_nodes(path):
    data = open(os.path.join(path, "vamana.idx"), "rb").read()
    nodes, p = set(), 32
    for _ in range(struct.unpack_from("<Q", data, 24)[0]):
        cell, m = struct.unpack_from("<QI", data, p)
        nodes.add(cell)
        p += 12 + 8 * m
    return nodes


def refused(calls, text):
    for call in calls:
        with pytest.raises(RuntimeError) as err:
            call()
        assert str(err.value) == text


def test_parent_ids_allocate_no_ids(path):
    e = Engine(path)
    assert e.mem_write_pack(1, unit(0), [(0, layer(10))], 50.0) == 1  # cells 0 and 1
    assert [e.mem_write(2, 0, unit(1), layer(20), 50.0, p) for p in (1000000000, TOP_ID, None)] == [2, 3, 4]
    del e
    e = Engine(path)
    assert e.mem_write(3, 0, unit(2), layer(30), 50.0, None) == 5
    assert e.mem_write_pack(3, unit(3), [(0, layer(40))], 50.0) == 2
    assert e.load_pack_by_id(1)["layers"][0]["data"][0] == pytest.approx(10.0)


def test_ids_past_the_maximum_are_refused_and_store_nothing(path):
    e = Engine(path)
    e.mem_write_pack(1, unit(0), [(0, layer(1))], 50.0)
    e.mem_write(1, 0, unit(1), layer(1), 50.0, None)
    del e
    patch_records(path, 4, TOP_ID - 1, last_only=True)  # the highest id a counter can hand out
    e, buffered = Engine(path), Engine.open_with_write_buffer(path, 100)
    refused([lambda: e.mem_write(1, 0, unit(2), layer(1), 50.0, None),
             lambda: e.mem_write_batch([(1, 0, unit(2), layer(1), 50.0, None)]),
             lambda: e.mem_write_pack(1, unit(2), [], 50.0), lambda: e.add_view_keys(1, [unit(3)]),
             lambda: buffered.mem_write_pack(1, unit(2), [], 50.0) and buffered.flush_buffer()],
            f"storage I/O error: cell ids exhausted in {path}")
    del buffered, e
    assert (Engine(path).cell_count(), Engine(path).pack_count()) == (3, 1)

    other = path + "-packs"
    Engine(other).mem_write_pack(1, unit(0), [(0, layer(1))], 50.0)
    patch_records(other, 34, TOP_ID, last_only=False)  # as a wrapping counter once stored it
    e, buffered = Engine(other), Engine.open_with_write_buffer(other, 100)
    refused([lambda: e.mem_write_pack(1, unit(2), [], 50.0), lambda: buffered.mem_write_pack(1, unit(2), [], 50.0)],
            f"storage I/O error: pack ids exhausted in {other}")
    assert e.mem_write(1, 0, unit(3), layer(1), 50.0, None) == 2  # cell ids are left
    assert e.pack_count() == 1


def test_every_write_refuses_the_view_key_layer(path):
    e, buffered = Engine(path), Engine.open_with_write_buffer(path + "-buffered", 100)
    refused([lambda: e.mem_write(1, 65534, unit(0), layer(1), 50.0, None),
             lambda: e.mem_write_batch([(1, 0, unit(1), layer(1), 50.0, None),
                                        (1, 65534, unit(0), layer(1), 50.0, None)]),
             lambda: e.mem_write_pack(1, unit(0), [(0, layer(1)), (65534, layer(2))], 50.0),
             lambda: e.mem_write_pack_with_auto_link(1, unit(0), [(65534, layer(2))], 50.0),
             lambda: buffered.mem_write_pack(1, unit(0), [(65534, layer(2))], 50.0)],
            "storage I/O error: layer index 65534 is reserved for a pack's retrieval key and view keys")
    # No id was taken, and the index above it is an ordinary layer.
    assert e.mem_write(1, 65535, unit(2), layer(1), 50.0, None) == 0
    assert buffered.mem_write_pack(1, unit(3), [(7, layer(3))], 50.0) == 1
    buffered.flush_buffer()
    assert Engine(path).cell_count() == 1 and Engine(path + "-buffered").cell_count() == 2


def test_graph_file_serves_only_when_its_nodes_are_those_of_a_build(path):
    e = Engine(path, vamana_threshold=1)
    packs = [e.mem_write_pack(1, unit(i), [(0, layer(i))], 50.0) for i in range(3)]  # heads 0, 2, 4
    e.refresh()
    assert graph_nodes(path) == {0, 2, 4}
    del e
    e = Engine(path, vamana_threshold=1)
    e.delete_pack(packs[0])
    cell = e.mem_write(1, 0, unit(5), layer(5), 50.0, None)  # as many nodes as before
    del e
    e = Engine(path, vamana_threshold=1)
    assert e.has_vamana() and graph_nodes(path) == {2, 4, cell}
    assert [h.cell_id for h in e.mem_read(unit(5), 1, None)] == [cell]
    # An unchanged directory reuses the file.
    inode = os.stat(os.path.join(path, "vamana.idx")).st_ino
    del e
    assert Engine(path, vamana_threshold=1).has_vamana()
    assert os.stat(os.path.join(path, "vamana.idx")).st_ino == inode


def test_two_processes_rebuilding_the_graph_file_never_fail(path):
    Engine(path).mem_write(9, 0, unit(0), layer(0), 50.0, None)
    barrier, out = CTX.Barrier(2), CTX.Queue()
    ps = [start(graph_refresher, path, o, 100, barrier, out) for o in (1, 2)]
    assert [out.get(timeout=120) for _ in ps] == [([], True), ([], True)]
    for p in ps:
        p.join(timeout=60)
    e = Engine(path, vamana_threshold=1)
    assert e.has_vamana() and len(graph_nodes(path)) == e.cell_count() == 201
    assert not [n for n in os.listdir(path) if n.startswith("vamana.idx.")]


@pytest.fixture
def start_buffered():
    """Starts a buffered writer process on a directory; returns the function that sends it a command."""
    started = []

    def begin(path):
        Engine(path)
        ours, theirs = CTX.Pipe()
        started.append(start(buffered_writer, path, theirs))

        def ask(cmd, arg=None):
            ours.send((cmd, arg))
            if cmd == "exit":
                started[-1].join(timeout=60)
                return started[-1].exitcode
            assert ours.poll(60)
            return ours.recv()

        return ask

    yield begin
    for p in started:
        if p.is_alive():
            p.kill()


def plain_writes(path, n):
    e = Engine(path)
    return [e.mem_write_pack(2, unit(8 + i), [(7, layer(700 + i)), (8, layer(800 + i))], 50.0) for i in range(n)]


def check_tenants(path, owners):
    """Every pack holds exactly its own writer's layers."""
    e = Engine(path)
    want = {1: (1, [1, 2]), 2: (2, [7, 8])}
    got = {p: e.load_pack_by_id(p) for p in range(1, e.pack_count() + 1)}
    assert {p: (h["owner"], [l["layer_idx"] for l in h["layers"]]) for p, h in got.items()} == \
        {p: want[o] for p, o in owners.items()}


def test_buffered_ids_another_writer_stored_are_refused(path, start_buffered):
    ask = start_buffered(path)
    assert ask("write", 5) == ("ok", [1, 2, 3, 4, 5])
    assert plain_writes(path, 3) == [1, 2, 3]
    # A further buffered write reports them, queues nothing, and the drain it runs stores the rest.
    assert ask("write", 1) == ("error", "storage I/O error: pack ids 1, 2, 3 were stored by another writer before "
                               "this engine's write buffer stored them; those buffered packs were dropped")
    assert ask("flush") == ("ok", None)
    assert ask("exit") == 0
    check_tenants(path, {1: 2, 2: 2, 3: 2, 4: 1, 5: 1})

    ask = start_buffered(path + "-flush")
    assert ask("write", 2) == ("ok", [1, 2])
    assert plain_writes(path + "-flush", 1) == [1]
    assert ask("flush") == ("error", "storage I/O error: pack id 1 was stored by another writer before this "
                            "engine's write buffer stored it; that buffered pack was dropped")
    assert ask("exit") == 0
    # ... and at the drain at exit.
    ask = start_buffered(path + "-exit")
    assert ask("write", 4) == ("ok", [1, 2, 3, 4])
    assert plain_writes(path + "-exit", 2) == [1, 2]
    assert ask("exit") == 0
    check_tenants(path + "-exit", {1: 2, 2: 2, 3: 1, 4: 1})
