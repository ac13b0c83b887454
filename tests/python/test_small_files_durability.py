"""The small append files ("text_store.bin", "deletion_log.bin", "synaptic.qvn",
"trace.wal") after a power loss, after a torn append and after a writer that
died inside its appends.

Power-loss images are copies of a directory written through the API whose
file is cut short or zero-filled from some offset of its last entry to the
end (what a power loss leaves when the size reached the disk before the
bytes did). Every image must open, show every earlier entry exactly, show
nothing of the torn one but what was written, and take a new write that a
second reopen still shows.
"""

import gc
import os
import shutil
import signal
import struct
import subprocess
import sys

import numpy as np
import pytest

from quorvane_db import _native

Engine = _native.Engine
PACKS = 300  # ids past 255, so that zeroing an id's high bytes names another pack


def vec(seed, n=8):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def close(engine):
    del engine
    gc.collect()


def image(base, dst, name, at, zero):
    """A copy of `base` whose file `name` is cut at `at`, or zero-filled from there to its end."""
    shutil.copytree(base, dst)
    path = os.path.join(dst, name)
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        if zero:
            f.seek(at)
            f.write(bytes(size - at))
        else:
            f.truncate(at)
    return dst


def adapter(i, n=16):
    return vec(100 + i, n), vec(200 + i, n)


def halves(x):
    return x.astype(np.float16).astype(np.float32)


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    """A directory holding every small file, with the size of each file before its last append."""
    path = str(tmp_path_factory.mktemp("base") / "db")
    e = Engine.open_with_write_buffer(path, 1000)
    for i in range(PACKS):
        e.mem_write_pack(1, vec(i), [(0, vec(i + 1000))], 50.0, None)
    e.flush_buffer()
    close(e)
    e = Engine(path)
    before = {}
    e.set_pack_texts([(p, f"orig-{p}") for p in range(1, PACKS + 1)])
    e.set_pack_text(7, "")  # an empty text ends in zero bytes and is whole
    before["text_store.bin"] = os.path.getsize(os.path.join(path, "text_store.bin"))
    e.set_pack_text(PACKS, "a new text")
    e.delete_pack(5)
    before["deletion_log.bin"] = os.path.getsize(os.path.join(path, "deletion_log.bin"))
    e.delete_pack(290)
    e.add_pack_link(1, 2)
    e.add_pack_link(3, 289)  # two records; the second (head 289 -> head 3) is the last
    before["trace.wal"] = os.path.getsize(os.path.join(path, "trace.wal")) - 26
    for i in (10, 11):
        e.store_synapsis(i, 7, *adapter(i), 0.5, 2, 8, last_used=5, quality=0.25)
    before["synaptic.qvn"] = os.path.getsize(os.path.join(path, "synaptic.qvn"))
    e.store_synapsis(12, 7, *adapter(12, 4), 0.5, 1, 4, last_used=5, quality=0.25)  # 58 bytes
    close(e)
    return path, before


def texts(e):
    return {p: e.pack_text(p) for p in range(1, PACKS + 1)}


def links(e):
    return {p: sorted(e.pack_links(p)) for p in range(1, PACKS + 1)}, e.status()["trace_edges"]


def damage_offsets(base, name, cuts=None):
    """Every zero-fill of the last entry, and its cuts (all, or those `cuts` bytes into it)."""
    path, before = base
    start, end = before[name], os.path.getsize(os.path.join(path, name))
    cut_at = range(start, end) if cuts is None else [start + c for c in cuts if start + c < end]
    return [(at, True) for at in range(start, end)] + [(at, False) for at in cut_at]


def test_torn_last_text_is_never_read(base, tmp_path):
    path, _ = base
    want = {p: f"orig-{p}" for p in range(1, PACKS + 1)}
    want[7], want[5], want[290] = "", None, None  # 5 and 290 are deleted
    for n, (at, zero) in enumerate(damage_offsets(base, "text_store.bin")):
        where = f"at {at}, {'zero-filled' if zero else 'cut'}"
        e = Engine(image(path, str(tmp_path / str(n)), "text_store.bin", at, zero))
        assert texts(e) == want, where
        e.set_pack_text(1, "after")
        close(e)
        e = Engine(str(tmp_path / str(n)))
        assert texts(e) == {**want, 1: "after"}, where
        close(e)


def test_torn_last_deletion_is_never_read(base, tmp_path):
    path, before = base
    # Ids are 8 bytes at multiples of 8, so a power loss zeroes a whole id.
    cases = [(at, False) for at in range(before["deletion_log.bin"], before["deletion_log.bin"] + 8)]
    cases.append((before["deletion_log.bin"], True))
    for n, (at, zero) in enumerate(cases):
        where = f"at {at}, {'zero-filled' if zero else 'cut'}"
        e = Engine(image(path, str(tmp_path / str(n)), "deletion_log.bin", at, zero))
        assert (e.pack_exists(5), e.pack_exists(290), e.pack_exists(34), e.pack_exists(1)) == (False, True, True, True), where
        e.delete_pack(1)
        close(e)
        with open(os.path.join(tmp_path / str(n), "deletion_log.bin"), "rb") as f:
            assert f.read() == struct.pack("<2Q", 5, 1), where  # nothing torn is left in front of it
        e = Engine(str(tmp_path / str(n)))
        assert (e.pack_exists(5), e.pack_exists(290), e.pack_exists(1)) == (False, True, False), where
        assert len(e.list_packs()) == PACKS - 2, where
        close(e)


def test_torn_last_link_never_joins_the_wrong_packs(base, tmp_path):
    path, before = base
    e = Engine(path)
    full = links(e)
    close(e)
    e = Engine(image(path, str(tmp_path / "without"), "trace.wal", before["trace.wal"], zero=False))
    without = links(e)
    close(e)
    assert without != full
    for n, (at, zero) in enumerate(damage_offsets(base, "trace.wal")):
        where = f"at {at}, {'zero-filled' if zero else 'cut'}"
        e = Engine(image(path, str(tmp_path / str(n)), "trace.wal", at, zero))
        got = links(e)
        # Zeros that begin inside the record's stamp leave its cells and kind
        # as written: the link may then stand whole.
        assert got == without or (zero and got == full), where
        e.add_pack_link(4, 6)
        close(e)
        e = Engine(str(tmp_path / str(n)))
        assert links(e) == ({**got[0], 4: [6], 6: [4]}, got[1] + 2), where
        close(e)


def check_adapters(got, ids):
    """`got` are the adapters `ids`, exactly as stored; a zero-filled 12 only by its id, owner and shape."""
    assert [a["id"] for a in got] == ids
    for a in got:
        assert (a["owner"], a["rank"], a["d_model"]) == ((7, 1, 4) if a["id"] == 12 else (7, 2, 8))
        if a["id"] == 12:
            continue  # zeros in its fixed fields or weights cannot be seen (no checksum)
        lora_a, lora_b = adapter(a["id"])
        assert (a["scale"], a["last_used"], a["quality"]) == (0.5, 5, 0.25)
        assert np.array_equal(a["lora_a"], halves(lora_a)) and np.array_equal(a["lora_b"], halves(lora_b))


def test_torn_last_adapter_never_fails_a_load_or_hides_later_ones(base, tmp_path):
    path, before = base
    first_whole = None
    for n, (at, zero) in enumerate(damage_offsets(base, "synaptic.qvn", cuts=(0, 1, 4, 27, 41, 42, 57))):
        where = f"at {at}, {'zero-filled' if zero else 'cut'}"
        e = Engine(image(path, str(tmp_path / str(n)), "synaptic.qvn", at, zero))
        got = e.load_synapsis(7)
        kept = len(got) == 3
        assert zero or not kept, where  # a cut record is never read
        if kept and first_whole is None:
            first_whole = at - before["synaptic.qvn"]
        check_adapters(got, [10, 11, 12][: len(got)])
        e.store_synapsis(99, 7, *adapter(99), 0.5, 2, 8, last_used=5, quality=0.25)
        close(e)
        e = Engine(str(tmp_path / str(n)))
        check_adapters(e.load_synapsis(7), [10, 11, 12, 99] if kept else [10, 11, 99])
        close(e)
    # Zeros from anywhere up to the last element of its lora_a (4 halves
    # after the 42-byte head) make the record not whole.
    assert first_whole > 42 + 2 * 3


def decoys_adapter():
    # Halves 0x0030, 0x0000 side by side read as the length prefix 48 of a
    # 52-byte record: a torn copy holds such "records" at many cut points.
    decoy = np.float32(0x30 * 2.0**-24)
    a = np.tile(np.array([decoy, 0.0], np.float32), 8)
    return a, a.copy()


def decoy_text():
    # Whole text-store entries (pack 5, 16 bytes of text) inside one text.
    one = struct.pack("<QI", 5, 16).decode("latin-1") + "y" * 16
    return "head" + one * 4


def test_a_torn_append_is_cut_whatever_its_bytes_hold(tmp_path):
    """A store behind a torn append of any length reads back after a reopen."""
    path = str(tmp_path / "db")
    e = Engine(path)
    packs = [e.mem_write_pack(1, vec(i), [(0, vec(i + 1))], 50.0, None) for i in range(3)]
    e.set_pack_text(packs[0], "first")
    for i in (10, 11):
        e.store_synapsis(i, 7, *adapter(i), 0.5, 2, 8)
    sizes = {name: os.path.getsize(os.path.join(path, name)) for name in ("text_store.bin", "synaptic.qvn")}
    e.set_pack_text(packs[1], decoy_text())
    e.store_synapsis(12, 7, *decoys_adapter(), 0.5, 2, 8)
    close(e)
    # Cuts at the decoys' ends, and a sample of the others. A text cut right
    # where an entry its bytes hold ends reads as a damaged length in the
    # middle of the file, which is kept: those cuts are left out.
    decoy_ends = {"text_store.bin": [12 + 4 + 28 * k for k in range(1, 4)], "synaptic.qvn": [94, 98, 102]}
    for name, start in sizes.items():
        end = os.path.getsize(os.path.join(path, name))
        ends = {start + c for c in decoy_ends[name] if start + c < end}
        sample = set(range(start + 1, end, 11))
        cuts = sample - ends if name == "text_store.bin" else sample | ends
        for at in sorted(cuts):
            copy = image(path, str(tmp_path / f"{name}-{at}"), name, at, zero=False)
            e = Engine(copy)
            e.store_synapsis(99, 7, *adapter(99), 0.5, 2, 8)
            e.set_pack_text(packs[2], "third")
            close(e)
            e = Engine(copy)
            where = f"{name} cut at {at}"
            want_ids = [10, 11, 12, 99] if name == "text_store.bin" else [10, 11, 99]
            assert [a["id"] for a in e.load_synapsis(7)] == want_ids, where
            want_text = decoy_text() if name == "synaptic.qvn" else None
            assert [e.pack_text(p) for p in packs] == ["first", want_text, "third"], where
            close(e)


def test_damage_in_the_middle_stays_on_disk(base, tmp_path):
    """A damaged adapter length or trace tag ends what a reopen reads, but the
    next write neither cuts it nor what lies behind it: it goes to the end."""
    path, _ = base
    copy = str(tmp_path / "db")
    shutil.copytree(path, copy)
    damage = {"synaptic.qvn": 106 + 3, "trace.wal": 26}  # adapter 11's length, the second record's tag
    kept = {}
    for name, at in damage.items():
        with open(os.path.join(copy, name), "r+b") as f:
            f.seek(at)
            f.write(b"\x7f")
            f.seek(0)
            kept[name] = f.read()
    e = Engine(copy)
    assert [a["id"] for a in e.load_synapsis(7)] == [10]
    assert e.status()["trace_edges"] == 1
    e.store_synapsis(99, 7, *adapter(99), 0.5, 2, 8)
    e.add_pack_link(4, 6)
    close(e)
    for name, old in kept.items():
        with open(os.path.join(copy, name), "rb") as f:
            now = f.read()
        assert now[: len(old)] == old and len(now) > len(old), name
    e = Engine(copy)
    assert [a["id"] for a in e.load_synapsis(7)] == [10]
    assert e.status()["trace_edges"] == 1
    close(e)


DEAD_WRITER = """
import fcntl, os, signal, sys
path, parts = sys.argv[1], eval(sys.argv[2])
fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
fcntl.flock(fd, fcntl.LOCK_EX)  # the writer lock every engine takes
for name, data in parts.items():
    with open(os.path.join(path, name), "ab") as f:
        f.write(data)
os.kill(os.getpid(), signal.SIGKILL)  # dies inside its appends, lock held
"""


def record(adapter_id, owner, lora_a, lora_b, scale, rank, d_model):
    body = struct.pack("<QQIIeQf", adapter_id, owner, rank, d_model, scale, 0, 0.0)
    halves_ = np.concatenate([lora_a, lora_b]).astype("<f2").tobytes()
    return struct.pack("<I", len(body) + len(halves_)) + body + halves_


def test_engines_cut_what_a_killed_writer_left_in_every_file(tmp_path):
    """An engine open before another process died inside its appends cuts
    the torn bytes under the writer lock: its own writes then read back."""
    path = str(tmp_path / "db")
    e = Engine(path)
    packs = [e.mem_write_pack(1, vec(i), [(0, vec(i + 1))], 50.0, None) for i in range(4)]
    e.set_pack_text(packs[0], "first")
    e.delete_pack(packs[3])
    e.store_synapsis(10, 7, *adapter(10), 0.5, 2, 8)
    edges = e.status()["trace_edges"]
    text = struct.pack("<QI", packs[1], len(decoy_text().encode())) + decoy_text().encode()
    torn = {
        "text_store.bin": text[:12 + 4 + 28 + 5],  # inside the second decoy entry
        "synaptic.qvn": record(12, 7, *decoys_adapter(), 0.5, 2, 8)[:94],  # likewise
        "deletion_log.bin": struct.pack("<Q", packs[2])[:5],
        "trace.wal": bytes([1]) + struct.pack("<Q", 3)[:7],
    }
    dead = subprocess.run([sys.executable, "-c", DEAD_WRITER, path, repr(torn)], timeout=60)
    assert dead.returncode == -signal.SIGKILL
    e.set_pack_text(packs[1], "second")
    e.store_synapsis(11, 7, *adapter(11), 0.5, 2, 8)
    e.delete_pack(packs[2])
    e.add_pack_link(packs[0], packs[1])
    close(e)
    e = Engine(path)
    assert [e.pack_text(p) for p in packs[:2]] == ["first", "second"]
    assert [e.pack_exists(p) for p in packs] == [True, True, False, False]
    assert e.pack_links(packs[0]) == [packs[1]] and e.status()["trace_edges"] == edges + 2
    check = [(a["id"], np.array_equal(a["lora_a"], halves(adapter(a["id"])[0]))) for a in e.load_synapsis(7)]
    assert check == [(10, True), (11, True)]
    size = {name: os.path.getsize(os.path.join(path, name)) for name in torn}
    assert (size["deletion_log.bin"], size["trace.wal"]) == (16, 26 * (edges + 2))
    for name in ("text_store.bin", "synaptic.qvn"):
        with open(os.path.join(path, name), "rb") as f:
            assert torn[name] not in f.read(), name
