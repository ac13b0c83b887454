"""The small files ("text_store.bin", "deletion_log.bin", "trace.wal",
"synaptic.qvn") after a power loss in their last write, with legitimate
values that end in zeros, and adapters read after their file changed. The
text store and the adapter file write an entry's leading field (pack id,
length prefix) only after the rest is synced. Every crash image opens, shows
every acknowledged entry exactly and nothing of the torn one, and takes a new
write that a reopen keeps."""

import os
import shutil

import numpy as np
import pytest

from quorvane_db._native import Engine
from power_loss_support import copy_of, crash_images, files_of, write_image
from shared_dir_support import Remote

OWNERS = (1, 2)
LEADING = {"text_store.bin": 8, "synaptic.qvn": 4}


def vec(seed, n=8):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def zero_adapter(rank=4, d_model=64, zero_rows=1):
    """An adapter as training starts it: lora_b all zeros, and lora_a here
    ending in `zero_rows` rows of zeros."""
    a = vec(rank * d_model, rank * d_model)
    a[(rank - zero_rows) * d_model:] = 0.0
    return a, np.zeros(rank * d_model, np.float32), rank, d_model


def store(e, id, owner, adapter):
    a, b, rank, d_model = adapter
    e.store_synapsis(id, owner, a, b, 0.5, rank, d_model, last_used=id, quality=0.25)


def view(e, packs, cells):
    """Everything an engine shows of the small files."""
    adapters = [[(a["id"], a["owner"], a["rank"], a["d_model"], a["scale"], a["last_used"], a["quality"],
                  a["lora_a"].tobytes(), a["lora_b"].tobytes()) for a in e.load_synapsis(o)] for o in OWNERS]
    return ([e.pack_text(p) for p in packs], [e.pack_exists(p) for p in packs],
            e.status()["trace_edges"], [sorted(e.trace_ancestors(c)) for c in cells], adapters)


def populate(path):
    """A directory with entries in every small file; returns its packs and cells."""
    e = Engine(path)
    packs = [e.mem_write_pack(1, vec(i), [(0, vec(i + 50))], 50.0, None) for i in range(8)]
    e.set_pack_texts([(p, f"text-{p}\0") for p in packs[:4]])
    e.delete_pack(packs[7])
    cells = [e.mem_write(1, 0, vec(60), vec(61), 50.0, None)]
    cells.append(e.mem_write(1, 0, vec(62), vec(63), 50.0, cells[0]))
    e.add_pack_link(packs[0], packs[1])
    store(e, 1, 1, zero_adapter())
    store(e, 2, 2, zero_adapter(2, 8, zero_rows=2))
    return e, packs, cells


LONG_TEXT = "".join(f"line {i}\0" for i in range(150))  # about 1,100 bytes, across two 512-byte boundaries

# Per scenario: the file, the last write (engine, packs, cells -> new cells),
# whether the other files hold what that write left in them (written before
# the torn file), and a new write to the same file on an image.
SCENARIOS = {
    # A replaced text must stay, never become "" or vanish.
    "texts": ("text_store.bin", lambda e, p, c: e.set_pack_texts([(p[4], "x" * 300), (p[1], LONG_TEXT)]), True,
              lambda e, p, c: e.set_pack_text(p[2], "after")),
    # A pack write stores its text before its cells: the images hold no
    # pack, and the next pack written must not take the torn text for its own.
    "pack with text": ("text_store.bin",
                       lambda e, p, c: e.mem_write_pack(2, vec(70), [(0, vec(71))], 50.0, LONG_TEXT), False,
                       lambda e, p, c: e.mem_write_pack(2, vec(72), [(0, vec(73))], 50.0, None)),
    "deletion": ("deletion_log.bin", lambda e, p, c: e.delete_pack(p[6]), True,
                 lambda e, p, c: e.delete_pack(p[5])),
    # The edge is appended after the cell it starts at.
    "edge": ("trace.wal", lambda e, p, c: c.append(e.mem_write(1, 0, vec(64), vec(65), 50.0, c[1])), True,
             lambda e, p, c: e.mem_write(1, 0, vec(66), vec(67), 50.0, c[0])),
    "adapter": ("synaptic.qvn", lambda e, p, c: store(e, 3, 1, zero_adapter(4, 64, zero_rows=2)), True,
                lambda e, p, c: store(e, 4, 1, zero_adapter(1, 8))),
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_every_crash_image_of_the_last_write_keeps_what_was_acknowledged(tmp_path, scenario):
    name, last_write, synced, new_write = SCENARIOS[scenario]
    path = str(tmp_path / "db")
    e, packs, cells = populate(path)
    del e
    before = copy_of(path, str(tmp_path / "before"))
    e = Engine(path)
    last_write(e, packs, cells)
    packs = sorted(set(packs + [p["pack_id"] for p in e.list_packs()]))
    del e
    images = list(crash_images(before, path, lambda n: n == name, synced=synced,
                               lead=LEADING.get(name, 0)))

    def run(files):
        """What the image shows, then what it shows after a new write and a reopen."""
        dst = write_image(files, str(tmp_path / f"image{len(os.listdir(tmp_path))}"))
        e = Engine(dst)
        shown = view(e, packs, cells)
        new_write(e, packs, list(cells))
        del e
        return shown, view(Engine(dst), packs, cells)

    start = os.path.getsize(os.path.join(before, name))
    acknowledged, written = run({**images[-1][1], name: files_of(before)[name]}), run(images[-1][1])
    assert acknowledged != written
    for what, files in images[:-1]:
        got = run(files)
        # Zeros that begin inside an edge's stamp leave its cells and kind
        # as written (the stamp is read by no one); zeros over a small id's
        # high bytes leave the id as written.
        at = int(what.split()[-1]) if "zeros" in what else start
        whole = {"trace.wal": at >= start + 18, "deletion_log.bin": at > start}.get(name, False)
        assert got == acknowledged or (whole and got == written), what


def halves(a):
    return a.astype(np.float16).astype(np.float32).tobytes()


def adapter_shown(e, owner):
    return [(a["id"], halves(a["lora_a"]), halves(a["lora_b"])) for a in e.load_synapsis(owner)]


# Per file: last entries whose bytes end in zeros; how one is written (engine,
# value, i); what an engine then shows of every one written so far (engine,
# values); and another process's append after it (remote, i) with what an
# engine shows of all of those.
LAST_ENTRIES = {
    "text": (["C string\0", "\0\0\0", "", "a\0" * 300],
             lambda e, v, i: (e.set_pack_text(10 + i, "before"), e.set_pack_text(10 + i, v)),
             lambda e, vs: [e.pack_text(10 + i) for i in range(len(vs))] == vs,
             lambda r, i: r.set_pack_text(100 + i, "theirs"),
             lambda e, n: [e.pack_text(100 + i) for i in range(n)] == ["theirs"] * n),
    "adapter": ([zero_adapter(2, 8, zero_rows=0), zero_adapter(2, 8, zero_rows=1), zero_adapter(2, 8, zero_rows=2),
                 (np.zeros(0, np.float32), np.zeros(0, np.float32), 0, 8)],
                lambda e, v, i: store(e, 10 + i, 1, v),
                lambda e, vs: adapter_shown(e, 1) == [(10 + i, halves(v[0]), halves(v[1])) for i, v in enumerate(vs)],
                lambda r, i: r.store_synapsis(50 + i, 2, *ordinary_adapter(i)[:2], 0.5, 2, 8),
                lambda e, n: [a[0] for a in adapter_shown(e, 2)] == list(range(50, 50 + n))),
    # Small ids end in zero bytes.
    "deletion": ([256, 1, 2],
                 lambda e, v, i: e.delete_pack(v),
                 lambda e, vs: not any(e.pack_exists(v) for v in vs),
                 lambda r, i: r.delete_pack(200 + i),
                 lambda e, n: not any(e.pack_exists(200 + i) for i in range(n))),
    # An edge from cell 600 (the first after the packs') to cell 0, of kind
    # 0: zeros up to its stamp.
    "edge": ([0],
             lambda e, v, i: e.mem_write(1, 0, vec(5), vec(6), 50.0, v),
             lambda e, vs: e.trace_ancestors(600) == vs,
             lambda r, i: r.mem_write(1, 0, vec(7), vec(8), 50.0, 1),
             lambda e, n: e.status()["trace_edges"] == 1 + n),
}


@pytest.fixture(scope="module")
def many_packs(tmp_path_factory):
    """A directory whose packs take ids 1 to 300."""
    path = str(tmp_path_factory.mktemp("packs") / "db")
    e = Engine.open_with_write_buffer(path, 1000)
    for i in range(300):
        e.mem_write_pack(1, vec(i % 50), [(0, vec(1))], 50.0, None)
    e.flush_buffer()
    del e
    return path


@pytest.mark.parametrize("kind", LAST_ENTRIES)
def test_last_entries_that_end_in_zeros_are_kept(many_packs, tmp_path, kind):
    """Each as the last entry of its file: read back by the engine that wrote
    it, after a reopen, and after another process appended behind it."""
    values, write, shown, theirs, theirs_shown = LAST_ENTRIES[kind]
    path = str(tmp_path / "db")
    shutil.copytree(many_packs, path)
    remote = Remote(path)
    try:
        for i, value in enumerate(values):
            e = Engine(path)
            write(e, value, i)
            assert shown(e, values[:i + 1]), (i, "as written")
            del e
            assert shown(Engine(path), values[:i + 1]), (i, "after a reopen")
            remote.refresh()
            theirs(remote, i)
            e = Engine(path)
            assert shown(e, values[:i + 1]) and theirs_shown(e, i + 1), (i, "after another writer")
    finally:
        remote.close()


def ordinary_adapter(seed, rank=2, d_model=8):
    return vec(seed, rank * d_model), vec(seed + 1, rank * d_model), rank, d_model


def cut_behind(tmp_path, name, write, later, packs=0):
    """An engine that wrote `packs` packs, its entry 1 to the file `name` with
    write(e, i), then those of `later`, and the file cut back to entry 1
    behind it."""
    path = str(tmp_path / "db")
    e = Engine(path)
    for i in range(packs):
        e.mem_write_pack(1, vec(i), [], 50.0, None)
    write(e, 1)
    cut = os.path.getsize(os.path.join(path, name))
    for i in later:
        write(e, i)
    os.truncate(os.path.join(path, name), cut)
    return e, path


def store_ordinary(e, id):
    store(e, id, 1, ordinary_adapter(id))


def store_elsewhere(path, id, owner, adapter):
    remote = Remote(path)
    remote.store_synapsis(id, owner, *adapter[:2], 0.5, *adapter[2:])
    remote.close()


@pytest.mark.parametrize("writer", ["this engine", "another process"])
def test_an_owner_never_reads_a_record_that_took_the_place_of_its_own(tmp_path, writer):
    """Another owner's record, with the same id and shape, stored where one
    of the first owner's lay."""
    e, path = cut_behind(tmp_path, "synaptic.qvn", store_ordinary, [2])
    if writer == "this engine":
        store(e, 2, 2, ordinary_adapter(3))
    else:
        store_elsewhere(path, 2, 2, ordinary_adapter(3))
    theirs = ordinary_adapter(3)
    assert [a[0] for a in adapter_shown(e, 1)] == [1]
    assert adapter_shown(e, 2) == [(2, halves(theirs[0]), halves(theirs[1]))]


def attempt(write, e):
    """None, or the text of the write's refusal."""
    try:
        return write(e)
    except RuntimeError as error:
        return str(error)


# Per file, over packs 1 to 6: this engine's entry i (its walk ends behind
# entry 2, the file is cut back to entry 1); another process's entries,
# past that end; this engine's next write, with its refusal (None: none);
# and what a reopen shows.
CUT_BEHIND = {
    # Adapters and texts: where the walk ended lies the middle of their
    # entry, zeros there, which read from there begin an unfinished append.
    "synaptic.qvn": (store_ordinary,
                     lambda r: r.store_synapsis(5, 2, *zero_adapter(4, 64, zero_rows=4)[:2], 0.5, 4, 64),
                     lambda e: store_ordinary(e, 4), None,
                     lambda e: [[a["id"] for a in e.load_synapsis(o)] for o in (2, 1)], [[5], [1, 4]]),
    "text_store.bin": (lambda e, i: e.set_pack_text(i, "x" * 20 * i),
                       lambda r: r.set_pack_text(2, "\0" * 60),
                       lambda e: e.set_pack_text(3, "mine"), None,
                       lambda e: [e.pack_text(p) for p in (1, 2, 3)], ["x" * 20, "\0" * 60, "mine"]),
    # Their ids are whole there: read from there, the log misses their deletion of pack 4.
    "deletion_log.bin": (lambda e, i: e.delete_pack(i),
                         lambda r: [r.delete_pack(p) for p in (4, 5)],
                         lambda e: e.delete_pack(4), "pack not found: 4",
                         lambda e: [e.pack_exists(p) for p in range(1, 7)], [False, True, True, False, False, True]),
    # Records of one size, which every writer cuts back to whole ones: read
    # from there, they are whole records still.
    "trace.wal": (lambda e, i: e.add_pack_link(i, 6),
                  lambda r: r.add_pack_link(4, 5),
                  lambda e: e.add_pack_link(2, 5), None,
                  lambda e: [e.pack_links(p) for p in range(1, 6)], [[6], [5], [], [5], [4, 2]]),
}


@pytest.mark.parametrize("name", CUT_BEHIND)
def test_an_append_after_the_file_was_cut_behind_the_engine_misses_and_cuts_nothing_of_others(tmp_path, name):
    """The engine must walk the file again from its start, not resume where
    its last walk ended."""
    write, theirs, ours, refusal, shown, expected = CUT_BEHIND[name]
    e, path = cut_behind(tmp_path, name, write, [2, 3], packs=6)
    remote = Remote(path)
    theirs(remote)
    remote.close()
    assert attempt(ours, e) == refusal
    del e
    assert shown(Engine(path)) == expected


def test_a_file_cut_behind_the_engine_and_grown_back_to_the_size_it_saw_is_read_again(tmp_path):
    """The size alone does not tell that nothing is new."""
    e, path = cut_behind(tmp_path, "deletion_log.bin", lambda e, i: e.delete_pack(i), [2, 3], packs=6)
    remote = Remote(path)
    remote.delete_pack(4)  # the log ends where this engine's walk ended
    remote.close()
    assert attempt(lambda e: e.add_pack_link(4, 6), e) == "pack not found: 4"
