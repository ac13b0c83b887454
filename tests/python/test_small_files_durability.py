"""The small append files ("text_store.bin", "deletion_log.bin", "synaptic.qvn",
"trace.wal") after a power loss, a torn append and a writer that died inside
its appends.

Power-loss images are copies of a directory whose file is cut short or
zero-filled from some offset of its last entry to the end (a power loss after
the size reached the disk but not the bytes). The text store and the adapter
file write an entry's leading field only after the rest is synced, so their
zero-filled images hold that field zero. Every image must open, show every
earlier entry exactly and nothing torn, and take a new write that a second
reopen still shows."""

import os
import shutil
import signal
import struct
import subprocess
import sys

import numpy as np
import pytest

from quorvane_db._native import Engine

PACKS = 300  # ids past 255, so that zeroing an id's high bytes names another pack


def vec(seed, n=8):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def adapter(i, n=16):
    return vec(100 + i, n), vec(200 + i, n)


def store_adapter(e, i, rank=2, d_model=8):
    e.store_synapsis(i, 7, *adapter(i, rank * d_model), 0.5, rank, d_model, last_used=5, quality=0.25)


def image(base, dst, name, at, zero, leading=(0, 0)):
    """A copy of `base` whose file `name` is cut at `at`, or zero-filled from there to its end
    and over the `leading` (offset, length) field."""
    shutil.copytree(base, dst)
    with open(os.path.join(dst, name), "r+b") as f:
        if zero:
            f.seek(leading[0])
            f.write(bytes(leading[1]))
            f.seek(at)
            f.write(bytes(os.path.getsize(f.name) - at))
        else:
            f.truncate(at)
    return dst


def size(path, name):
    return os.path.getsize(os.path.join(path, name))


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    """A directory holding every small file, with the size of each file before its last entry."""
    path = str(tmp_path_factory.mktemp("base") / "db")
    e = Engine.open_with_write_buffer(path, 1000)
    for i in range(PACKS):
        e.mem_write_pack(1, vec(i), [(0, vec(i + 1000))], 50.0, None)
    e.flush_buffer()
    del e
    e, before = Engine(path), {}
    e.set_pack_texts([(p, f"orig-{p}") for p in range(1, PACKS + 1)])
    e.set_pack_text(7, "")  # an empty text ends in zero bytes and is whole
    before["text_store.bin"] = size(path, "text_store.bin")
    e.set_pack_text(PACKS, "a new text")
    e.delete_pack(5)
    before["deletion_log.bin"] = size(path, "deletion_log.bin")
    e.delete_pack(290)
    e.add_pack_link(1, 2)
    e.add_pack_link(3, 289)  # two records; the second (head 289 -> head 3) is the last
    before["trace.wal"] = size(path, "trace.wal") - 26
    for i in (10, 11):
        store_adapter(e, i)
    before["synaptic.qvn"] = size(path, "synaptic.qvn")
    store_adapter(e, 12, 1, 4)  # 58 bytes
    return path, before


def adapters(e):
    return [(a["id"], a["owner"], a["rank"], a["d_model"], a["scale"], a["last_used"], a["quality"],
             a["lora_a"].tobytes(), a["lora_b"].tobytes()) for a in e.load_synapsis(7)]


# Per file: what an engine shows of it, a write to it, the offsets into the
# last entry to cut at (None: all), and the offset from which zeros may
# leave the entry whole (None: never).
FILES = {
    "text_store.bin": (lambda e: [e.pack_text(p) for p in range(1, PACKS + 1)],
                       lambda e: e.set_pack_text(1, "after"), None, None),
    # Ids are 8 bytes at multiples of 8, so a power loss zeroes a whole id.
    "deletion_log.bin": (lambda e: [p for p in range(1, PACKS + 1) if not e.pack_exists(p)],
                         lambda e: e.delete_pack(1), range(8), None),
    # Zeros inside the record's stamp leave its cells and kind as written.
    "trace.wal": (lambda e: ([e.pack_links(p) for p in range(1, PACKS + 1)], e.status()["trace_edges"]),
                  lambda e: e.add_pack_link(4, 6), None, 0),
    "synaptic.qvn": (adapters, lambda e: store_adapter(e, 99), (0, 1, 4, 27, 41, 42, 57), None),
}
# The leading field that an append writes last: a pack id, a length prefix.
LEADING = {"text_store.bin": 8, "synaptic.qvn": 4}


@pytest.mark.parametrize("name", FILES)
def test_a_torn_last_entry_is_never_read(base, tmp_path, name):
    path, before = base
    state, write, cuts, may_stand = FILES[name]
    start, end = before[name], size(path, name)

    def run(at, zero):
        dst = image(path, str(tmp_path / str(len(os.listdir(tmp_path)))), name, at, zero,
                    (start, LEADING.get(name, 0)))
        e = Engine(dst)
        got = state(e)
        write(e)
        del e
        return got, state(Engine(dst))

    without, full = run(start, False), run(end, False)
    assert without[0] != full[0]
    if name == "deletion_log.bin":  # nothing torn is left in front of the new id
        with open(os.path.join(tmp_path / "0", name), "rb") as f:
            assert f.read() == struct.pack("<2Q", 5, 1)
    cut_at = range(start, end) if cuts is None else [start + c for c in cuts if start + c < end]
    zero_at = range(start, end) if cuts is None or may_stand is not None or name in LEADING else [start]
    for at, zero in [(at, True) for at in zero_at] + [(at, False) for at in cut_at]:
        stands = zero and may_stand is not None and at - start >= may_stand
        assert run(at, zero) in ([without, full] if stands else [without]), (at, zero)


def decoys_adapter():
    # Halves 0x0030, 0x0000 side by side read as the length prefix 48 of a
    # 52-byte record: a torn copy holds such "records" at many cut points.
    a = np.tile(np.array([np.float32(0x30 * 2.0**-24), 0.0], np.float32), 8)
    return a, a.copy()


# Whole text-store entries (pack 5, 16 bytes of text) inside one text.
DECOY_TEXT = "head" + (struct.pack("<QI", 5, 16).decode("latin-1") + "y" * 16) * 4


def test_a_torn_append_is_cut_whatever_its_bytes_hold(tmp_path):
    path = str(tmp_path / "db")
    e = Engine(path)
    packs = [e.mem_write_pack(1, vec(i), [(0, vec(i + 1))], 50.0, None) for i in range(3)]
    e.set_pack_text(packs[0], "first")
    for i in (10, 11):
        store_adapter(e, i)
    sizes = {name: size(path, name) for name in ("text_store.bin", "synaptic.qvn")}
    e.set_pack_text(packs[1], DECOY_TEXT)
    e.store_synapsis(12, 7, *decoys_adapter(), 0.5, 2, 8)
    del e
    # Cuts at the decoys' ends, and a sample of the others, with the leading
    # field zero as a writer leaves it before its second step, and with it
    # written. A text cut right where an entry its bytes hold ends reads as a
    # damaged length in the middle of the file, which is kept: with its pack
    # id written, those cuts are left out.
    decoy_ends = {"text_store.bin": [12 + 4 + 28 * k for k in range(1, 4)], "synaptic.qvn": [94, 98, 102]}
    for name, start in sizes.items():
        ends = {start + c for c in decoy_ends[name]}
        sample = set(range(start + 1, size(path, name), 11))
        with open(os.path.join(path, name), "rb") as f:
            last = f.read()[start:]
        for leading in (LEADING[name], 0):
            cuts = sample | ends
            if name == "text_store.bin" and not leading:
                cuts = {at for at in cuts if not holds_entry_ending_at(last[:at - start])}
            for at in sorted(cuts):
                copy = image(path, str(tmp_path / f"{name}-{at}-{leading}"), name, at, zero=False)
                with open(os.path.join(copy, name), "r+b") as f:
                    f.seek(start)
                    f.write(bytes(min(leading, at - start)))
                e = Engine(copy)
                store_adapter(e, 99)
                e.set_pack_text(packs[2], "third")
                del e
                e = Engine(copy)
                torn_text = name == "text_store.bin"
                assert [a["id"] for a in e.load_synapsis(7)] == [10, 11] + [12] * torn_text + [99], (name, at)
                assert [e.pack_text(p) for p in packs] == ["first", None if torn_text else DECOY_TEXT, "third"], \
                    (name, at, leading)


def holds_entry_ending_at(rest):
    """Whether bytes inside `rest`, a text entry cut short, read as a whole entry ending at its end."""
    return any(12 + struct.unpack_from("<I", rest, q + 8)[0] == len(rest) - q for q in range(1, len(rest) - 11))


DEAD_WRITER = """
import fcntl, os, signal, sys
path, parts = sys.argv[1], eval(sys.argv[2])
fcntl.flock(os.open(path, os.O_RDONLY | os.O_DIRECTORY), fcntl.LOCK_EX)  # the writer lock every engine takes
for name, data in parts.items():
    with open(os.path.join(path, name), "ab") as f:
        f.write(data)
os.kill(os.getpid(), signal.SIGKILL)  # dies inside its appends, lock held
"""


def test_engines_cut_what_a_killed_writer_left_in_every_file(tmp_path):
    """An engine open before another process died inside its appends cuts
    the torn bytes under the writer lock: its own writes then read back."""
    path = str(tmp_path / "db")
    e = Engine(path)
    packs = [e.mem_write_pack(1, vec(i), [(0, vec(i + 1))], 50.0, None) for i in range(4)]
    e.set_pack_text(packs[0], "first")
    e.delete_pack(packs[3])
    store_adapter(e, 10)
    edges = e.status()["trace_edges"]
    body = struct.pack("<QQIIeQf", 12, 7, 2, 8, 0.5, 0, 0.0) + np.concatenate(decoys_adapter()).astype("<f2").tobytes()
    # Both inside their second decoy, the leading field not yet written.
    torn = {
        "text_store.bin": (struct.pack("<QI", 0, len(DECOY_TEXT)) + DECOY_TEXT.encode("latin-1"))[:49],
        "synaptic.qvn": (struct.pack("<I", 0) + body)[:94],
        "deletion_log.bin": struct.pack("<Q", packs[2])[:5],
        "trace.wal": bytes([1]) + struct.pack("<Q", 3)[:7],
    }
    dead = subprocess.run([sys.executable, "-c", DEAD_WRITER, path, repr(torn)], timeout=60)
    assert dead.returncode == -signal.SIGKILL
    e.set_pack_text(packs[1], "second")
    store_adapter(e, 11)
    e.delete_pack(packs[2])
    e.add_pack_link(packs[0], packs[1])
    del e
    e = Engine(path)
    assert [e.pack_text(p) for p in packs[:2]] == ["first", "second"]
    assert [e.pack_exists(p) for p in packs] == [True, True, False, False]
    assert e.pack_links(packs[0]) == [packs[1]] and e.status()["trace_edges"] == edges + 2
    assert [a["id"] for a in e.load_synapsis(7)] == [10, 11]
    assert (size(path, "deletion_log.bin"), size(path, "trace.wal")) == (16, 26 * (edges + 2))
    for name in ("text_store.bin", "synaptic.qvn"):
        with open(os.path.join(path, name), "rb") as f:
            assert torn[name] not in f.read(), name


def test_a_pack_written_after_a_writer_died_between_its_text_and_its_records_takes_a_new_id(tmp_path):
    """The dead writer's text names the id it took: an engine open since
    before that reused it would show that text as its own pack's."""
    path = str(tmp_path / "db")
    e = Engine(path)
    text = {"text_store.bin": struct.pack("<QI", 1, 4) + b"dead"}
    dead = subprocess.run([sys.executable, "-c", DEAD_WRITER, path, repr(text)], timeout=60)
    assert dead.returncode == -signal.SIGKILL
    assert e.mem_write_pack(1, vec(0), [(0, vec(1))], 50.0, None) == 2
    assert Engine(path).pack_text(2) is None
