"""Segment files after a power loss inside a write: every state the disk may
hold opens, keeps every acknowledged pack exactly, shows no torn pack, and
takes new writes that survive a reopen."""

import os

import numpy as np
import pytest

from power_loss_support import copy_of, crash_images, write_image
from quorvane_db._native import Engine
from shared_dir_support import exact

DIM = 32


def key(i):
    """A key the 4-bit codec keeps exactly, one for each of many packs."""
    k = np.zeros(DIM, np.float32)
    k[i % DIM] = 7.0
    k[(i * 7 + 3) % DIM] += 3.0
    return k


def layers(i):
    return [(layer, exact(256, i * 5 + layer)) for layer in (0, 1, 4)]


def write(e, i):
    return e.mem_write_pack(10 + i % 3, key(i), layers(i), 50.0)


def seen(e, pid, i):
    """What the engine serves of pack `pid` (written as pack `i`), bit for
    bit, or None."""
    if not e.pack_exists(pid):
        return None
    got = e.load_pack_by_id(pid)
    # Its key: the pack is what a read with that key finds first.
    top = e.mem_read_pack(key(i), 1, None)[0]["pack_id"]
    return got["owner"], [(x["layer_idx"], x["data"].tobytes()) for x in got["layers"]], top


def cell_seen(e, i):
    """The cell a read with key `i` finds first: its id, owner and value."""
    return [(r.cell_id, r.owner, np.asarray(r.value(), np.float32).tobytes()) for r in e.mem_read(key(i), 1, None)]


def check_images(tmp_path, before, after, acked, torn, segment_size, compact_after=False):
    """Opens every crash image of the write between `before` and `after`:
    `acked` maps pack ids to (pack number, what the engine served), `torn`
    is the pack of the write itself (or None)."""
    images = list(crash_images(before, after, lambda n: n.startswith("segment_")))
    for n, (label, files) in enumerate(images):
        path = write_image(files, str(tmp_path / f"img{n}"))
        e = Engine(path, segment_size=segment_size)
        mine = dict(acked)
        if torn and seen(e, torn[0], torn[1][0]) is not None:
            mine[torn[0]] = torn[1]
        for pid, (i, want) in mine.items():
            assert seen(e, pid, i) == want, (label, pid)
        fresh = write(e, 40 + n)
        mine[fresh] = (40 + n, seen(e, fresh, 40 + n))
        if compact_after:
            e.compact()
        del e
        e = Engine(path, segment_size=segment_size)
        for pid, (i, want) in mine.items():
            assert seen(e, pid, i) == want, (label, "after a write and a reopen", pid)
        del e
    return len(images)


@pytest.mark.parametrize("case", ["append", "rotation", "new directory"])
def test_a_torn_pack_write_costs_only_that_pack(tmp_path, case):
    # About 1 KB a pack: with a segment size of 2500 the fourth write starts
    # segment 1, else it lands behind the first three. In a new directory
    # the images also tear the first segment's header.
    size = 2500 if case == "rotation" else 1 << 20
    path = str(tmp_path / "db")
    before = copy_of(path, str(tmp_path / "before")) if case == "new directory" else None
    e = Engine(path, segment_size=size)
    acked = {pid: (i, seen(e, pid, i)) for i, pid in enumerate([write(e, i) for i in range(0 if before else 3)])}
    before = before or copy_of(path, str(tmp_path / "before"))
    pid = write(e, 3)
    torn = (pid, (3, seen(e, pid, 3)))
    del e
    after = copy_of(path, str(tmp_path / "after"))
    assert (len(os.listdir(after)) - len(os.listdir(before)) == 1) == (case == "rotation")
    assert check_images(tmp_path, before, after, acked, torn, size) > 25


def test_torn_copies_of_a_compaction_never_replace_their_originals(tmp_path):
    size = 3200
    path = str(tmp_path / "db")
    e = Engine(path, segment_size=size)
    pids = [write(e, i) for i in range(10)]
    # Four packs fill a segment. Three of each of the first two go: those
    # segments are compacted, their live packs copied behind the last one's.
    for i, pid in enumerate(pids[:8]):
        if i % 4:
            e.delete_pack(pid)
    acked = {pid: (i, seen(e, pid, i)) for i, pid in enumerate(pids) if e.pack_exists(pid)}
    before = copy_of(path, str(tmp_path / "before"))
    segments = e.status()["segment_count"]
    assert e.compact()["cells_moved"] > 0
    assert e.status()["segment_count"] < segments
    del e
    after = copy_of(path, str(tmp_path / "after"))
    # Each image is compacted again after its new write: the old segments
    # stay while a torn copy of their records is stored.
    assert check_images(tmp_path, before, after, acked, None, size, compact_after=True) > 40


def test_values_writers_store_survive_as_the_last_record(tmp_path):
    specials = [np.zeros(256, np.float32), np.full(256, np.inf, np.float32), np.full(256, np.nan, np.float32),
                np.where(np.arange(256) % 3, np.nan, 0.0).astype(np.float32)]
    for n, values in enumerate(specials):
        for as_pack in (True, False):
            path = str(tmp_path / f"db{n}{as_pack}")
            e = Engine(path)
            if as_pack:
                pid = e.mem_write_pack(1, key(n), [(0, values), (1, values)], 50.0)
            else:
                e.mem_write(1, 0, key(n), values, 50.0, None)

            def read(e):
                return seen(e, pid, n) if as_pack else cell_seen(e, n)

            want = read(e)
            del e
            # Its records end the segment: a reopen and another engine's write
            # judge that tail.
            e = Engine(path)
            assert read(e) == want, (n, as_pack)
            other = Engine(path)
            fresh = write(other, 60 + n)
            del other
            e.refresh()
            assert read(e) == want and e.pack_exists(fresh), (n, as_pack)
            # Judged whole: the other engine appended behind it.
            assert e.status()["segment_count"] == 1, (n, as_pack)
            del e
            assert read(Engine(path)) == want, (n, as_pack)
