"""Calls that write several items, cut part-way: a batch of cells, a batch of
texts and the packs of a drained write buffer (one append each), and view
keys (one sync per key).

A writer process dies inside its write when it reaches a file size limit,
with the bytes before the limit on disk, as SIGKILL leaves them; a power
loss leaves one of the crash images. What comes back is always a leading run
of the items, each whole, and nothing else. This file, run as a script, is
the writer."""

import os
import resource
import shutil
import signal
import subprocess
import sys

import numpy as np

from power_loss_support import crash_images, write_image
from quorvane_db._native import Engine
from shared_dir_support import exact, unit
from test_segment_tails import segment_files, whole_records

CELLS = 5
TEXTS = [(p, f"new text {p} " * p) for p in range(1, 6)]
VIEWS = [unit(7), unit(8)]
DRAINED = [(8, unit(14 + i), [(0, exact(8, 20 + i))], 50.0, f"drained {i}") for i in range(4)]


def batch():
    return [(100 + i, 0, unit(i), exact(40, i), 50.0, None) for i in range(CELLS)]


CALLS = {"drain": lambda e: e.flush_buffer(), "batch": lambda e: e.mem_write_batch(batch()),
         "texts": lambda e: e.set_pack_texts(TEXTS), "views": lambda e: e.add_view_keys(1, VIEWS)}


def engine_for(path, what):
    if what != "drain":
        return Engine(path)
    e = Engine.open_with_write_buffer(path, 100)
    for request in DRAINED:
        e.mem_write_pack(*request)
    return e

def base(path):
    e = Engine(path)
    for p in range(1, 6):
        e.mem_write_pack(9, unit(p + 8), [(0, exact(8, p))], 50.0, f"old {p}")
    return path


def writer(path, what, limit):
    e = engine_for(path, what)
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
    signal.signal(signal.SIGXFSZ, signal.SIG_DFL)  # the write past the limit kills
    CALLS[what](e)
    print("returned", flush=True)


def appended(tmp_path, what):
    """A base directory, a copy of it after the call, the call's result, the
    segment's name, its size before the call and the ends of the records the
    call appended to it."""
    src = base(str(tmp_path / "base"))
    name = os.path.basename(segment_files(src)[-1])
    start = os.path.getsize(os.path.join(src, name))
    full = str(tmp_path / "full")
    shutil.copytree(src, full)
    got = CALLS[what](engine_for(full, what))
    records, _ = whole_records(os.path.join(full, name))
    return src, full, got, name, start, [o + n for o, n in records if o >= start]


def killed_at(src, dst, what, limit):
    shutil.copytree(src, dst)
    p = subprocess.run([sys.executable, os.path.abspath(__file__), dst, what, str(limit)],
                       capture_output=True, timeout=120)
    assert p.returncode == -signal.SIGXFSZ, (limit, p.returncode, p.stderr)
    return dst


def power_loss_images(tmp_path, src, full, name, ends):
    """Each crash image of the call's append to segment `name`, with the
    offset its torn bytes begin at; the files written before are synced."""
    images = crash_images(src, full, lambda n: n == name, synced=True, points=[e - 1 for e in ends])
    for n, (label, files) in enumerate(images):
        yield write_image(files, str(tmp_path / f"img{n}")), ends[-1] if label == "whole" else int(label.split()[-1])


def run_of(present):
    """How many items lead the list, present; asserts that none follows."""
    n = present.index(False) if False in present else len(present)
    assert not any(present[n:]), present
    return n


def stored_cells(path, first, cells_before):
    e = Engine(path)
    present = [e.cell_importance(first + i) is not None for i in range(CELLS)]
    n = run_of(present)
    for owner, _, key, value, _, _ in batch()[:n]:
        (hit,) = e.mem_read(key, 1, owner)
        np.testing.assert_array_equal(hit.value(), value)
    assert e.cell_count() == cells_before + n
    return n


def test_a_cell_batch_cut_part_way_keeps_a_leading_run_of_whole_cells(tmp_path):
    src, full, ids, name, start, ends = appended(tmp_path, "batch")
    first, cells_before = ids[0], Engine(src).cell_count()
    assert len(ends) == CELLS and ends[-1] == os.path.getsize(os.path.join(full, name))

    # Killed writers one byte short of each record's end; the crash images
    # cut the file at the other points a kill may leave it.
    for j, end in enumerate(ends):
        dst = killed_at(src, str(tmp_path / f"k{end}"), "batch", end - 1)
        assert stored_cells(dst, first, cells_before) == j, end
    for dst, at in power_loss_images(tmp_path, src, full, name, ends):
        assert stored_cells(dst, first, cells_before) == sum(e <= at for e in ends), at


def texts_of(path):
    e = Engine(path)
    got = [e.pack_text(p) for p, _ in TEXTS]
    for (p, new), text in zip(TEXTS, got):
        assert text in (f"old {p}", new), (p, text)
    return run_of([text == new for (_, new), text in zip(TEXTS, got)])


def test_a_text_batch_cut_part_way_keeps_whole_texts_only(tmp_path):
    src = base(str(tmp_path / "base"))
    start = os.path.getsize(os.path.join(src, "text_store.bin"))
    ends = np.cumsum([start] + [12 + len(t.encode()) for _, t in TEXTS])[1:]
    # Inside ids, lengths and texts, and at an entry's end. How many lead
    # depends on how the store orders its writes; that each is whole does not.
    for limit in (start + 5, start + 10, start + 13, int(ends[1]), int(ends[2]) + 5, int(ends[-1]) - 1):
        dst = killed_at(src, str(tmp_path / f"k{limit}"), "texts", limit)
        assert texts_of(dst) <= sum(e <= limit for e in ends), limit


def stored_packs(path, first):
    e = Engine(path)
    n = run_of([e.pack_exists(first + i) for i in range(len(DRAINED))])
    for i, (owner, _, layers, _, text) in enumerate(DRAINED[:n]):
        hit = e.load_pack_by_id(first + i)
        assert (hit["owner"], hit["text"], [l["layer_idx"] for l in hit["layers"]]) == (owner, text, [0])
        np.testing.assert_array_equal(hit["layers"][0]["data"], layers[0][1])
    assert [e.pack_text(first + i) for i in range(n, len(DRAINED))] == [None] * (len(DRAINED) - n)
    return n


def test_a_drained_write_buffer_cut_part_way_keeps_its_first_packs_whole(tmp_path):
    src, full, _, name, start, ends = appended(tmp_path, "drain")
    first, pack_ends = Engine(src).pack_count() + 1, ends[1::2]  # a layer, then its head
    assert len(ends) == 2 * len(DRAINED)
    # The texts are stored before any cell: a pack cut off leaves its text unseen.
    for limit in (start, pack_ends[0] + 3, ends[-1] - 1):
        dst = killed_at(src, str(tmp_path / f"k{limit}"), "drain", limit)
        assert stored_packs(dst, first) == sum(e <= limit for e in pack_ends), limit
    for dst, at in power_loss_images(tmp_path, src, full, name, ends):
        assert stored_packs(dst, first) == sum(e <= at for e in pack_ends), at


def test_view_keys_cut_part_way_keep_the_first_keys(tmp_path):
    src, _, _, _, start, ends = appended(tmp_path, "views")
    assert len(ends) == len(VIEWS)
    for limit, kept in ((start + 1, 0), (ends[0] + 1, 1)):
        e = Engine(killed_at(src, str(tmp_path / f"k{limit}"), "views", limit))
        # Only a stored view key scores above 0: every other key is orthogonal to it.
        assert run_of([e.mem_read(k, 1, 9)[0].score > 0 for k in VIEWS]) == e.view_count(1) == kept


if __name__ == "__main__":
    writer(sys.argv[1], sys.argv[2], int(sys.argv[3]))
