"""Segment tails that several processes share: a writer killed inside an
append, a refresh that meets an append in progress, a hole that a power loss
leaves inside the last record, and engines creating one directory at once.

Writers run as real processes (this file, run as a script, is the writer).
"""

import fcntl
import json
import multiprocessing as mp
import os
import random
import resource
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time

import numpy as np

from quorvane_db._native import Engine

DIM = 16
HEADER = 8
FIXED_END = 91


def key_of(owner, i):
    v = np.zeros(DIM, dtype=np.float32)
    v[(owner * 7 + i) % DIM] = 1.0
    v[1] = owner + i * 1e-3
    return v


def layer_of(owner, i, n):
    # Integers with a group maximum of 7 come back exactly from the 4-bit code.
    v = ((np.arange(n, dtype=np.int64) + owner * 31 + i) % 15 - 7).astype(np.float32)
    v[::32] = 7.0
    return v


def small_pack(owner, i):
    return [(0, layer_of(owner, i, 40)), (3, layer_of(owner, i + 1, 70))], f"owner {owner} pack {i}"


def big_pack(owner, floats):
    return [(l, layer_of(owner, l, floats // 2)) for l in range(2)], None


def writer(path, owner, stop, big_floats, die_past):
    """Writes packs until `stop` exists: small ones with texts, or, with
    `big_floats`, big ones without. One line per acknowledged pack. With
    `die_past`, the process dies inside the write that takes a file more
    than `die_past` bytes past the size the last segment had at open."""
    e = Engine(path)
    big = big_pack(owner, big_floats) if big_floats else None
    if die_past:
        limit = os.path.getsize(segment_files(path)[-1]) + die_past
        # The write is cut at the limit and the next one raises SIGXFSZ,
        # which Python ignores unless told otherwise.
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
    print(json.dumps({"ready": True}), flush=True)
    i = 0
    while not os.path.exists(stop):
        layers, text = big or small_pack(owner, i)
        pid = e.mem_write_pack(owner, key_of(owner, i), layers, 50.0, text=text)
        print(json.dumps({"owner": owner, "i": i, "pid": pid, "big": big_floats}), flush=True)
        i += 1
        if not big:
            time.sleep(0.002)  # leaves other writers turns of their own


class Writer:
    def __init__(self, path, owner, stop, big_floats=0, die_past=0):
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), path, str(owner), stop, str(big_floats), str(die_past)],
            stdout=subprocess.PIPE)
        self.acks, self.ready = [], threading.Event()
        self.thread = threading.Thread(target=self._read)
        self.thread.start()
        assert self.ready.wait(60), "writer did not open the engine"

    def _read(self):
        # Only whole lines count: a line cut short was never acknowledged.
        for line in self.proc.stdout:
            if not line.endswith(b"\n"):
                break
            msg = json.loads(line)
            if msg.get("ready"):
                self.ready.set()
            else:
                self.acks.append(msg)
        self.ready.set()

    def join(self, timeout=60):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(60)
        self.thread.join()
        return self.acks


def segment_files(path):
    return sorted(os.path.join(path, n) for n in os.listdir(path) if n.startswith("segment_"))


def records(file):
    """(offset, length) of each record up to the first that is not whole."""
    data = open(file, "rb").read()
    out, p = [], HEADER
    while len(data) - p >= FIXED_END:
        (length,) = struct.unpack_from("<I", data, p)
        if length < FIXED_END - 4 or p + 4 + length > len(data):
            break
        out.append((p, 4 + length))
        p += 4 + length
    return out, p, len(data)


def torn_segments(path):
    """Segments holding bytes that are not whole records, counted while
    holding the writers' lock (on the directory itself), so that no append
    is in progress: such bytes are a dead writer's."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        return sum(1 for f in segment_files(path) if records(f)[1] < records(f)[2])
    finally:
        os.close(fd)


def check_pack(e, ack):
    got = e.load_pack_by_id(ack["pid"])
    layers, text = big_pack(ack["owner"], ack["big"]) if ack["big"] else small_pack(ack["owner"], ack["i"])
    assert (got["owner"], got["text"], [l["layer_idx"] for l in got["layers"]]) == \
        (ack["owner"], text, [l for l, _ in layers]), ack
    for g, (_, want) in zip(got["layers"], layers):
        np.testing.assert_array_equal(g["data"], want)


def test_a_writer_killed_inside_its_append_costs_the_others_nothing(tmp_path):
    path, stop = str(tmp_path / "db"), str(tmp_path / "stop")
    rng = random.Random(20)
    smalls = [Writer(path, owner, stop) for owner in (1, 2)]
    acks = []
    # Each life of a writer of big packs (2 MB each) ends inside an append:
    # SIGKILL at a random moment (that lands in a write now and then), or
    # death at a random byte of one of its next appends (every time).
    lives = 6
    for life in range(lives):
        if life % 2:
            big = Writer(path, 10 + life, stop, big_floats=1 << 19)
            time.sleep(rng.uniform(0.0, 0.05))
            big.proc.send_signal(signal.SIGKILL)
        else:
            big = Writer(path, 10 + life, stop, big_floats=1 << 19, die_past=rng.randrange(1, 3 << 20))
        acks += big.join(timeout=20)
        assert big.proc.returncode in (-signal.SIGKILL, -signal.SIGXFSZ)
        time.sleep(0.05)  # the others write behind the dead writer
    open(stop, "w").close()
    for w in smalls:
        acks += w.join()
    assert torn_segments(path) >= 1
    assert sum(not a["big"] for a in acks) > 50

    e = Engine(path)
    for ack in acks:
        check_pack(e, ack)
    highest = max(a["pid"] for a in acks)
    fresh = e.mem_write_pack(1, key_of(1, 0), small_pack(1, 0)[0], 50.0, text="after")
    assert highest < fresh <= highest + lives + 1  # a dead writer's pack in flight used an id
    assert Engine(path).load_pack_by_id(fresh)["text"] == "after"
    shutil.rmtree(path)


def last_record(path):
    """Path and (offset, length) of the last whole record of the last segment."""
    last = segment_files(path)[-1]
    return last, records(last)[0][-1]


def test_a_hole_in_the_last_record_loses_that_pack_only(tmp_path):
    src = str(tmp_path / "src")
    e = Engine(src)
    acks = []
    for i, owner in enumerate([1, 2, 1, 3, 2, 1, 3, 2]):
        layers, text = small_pack(owner, i)
        pid = e.mem_write_pack(owner, key_of(owner, i), layers, 50.0, text=text)
        acks.append({"pid": pid, "owner": owner, "i": i, "big": 0})
    del e
    cells = Engine(src).status()["cell_count"]
    seg, (start, length) = last_record(src)
    pristine = open(seg, "rb").read()
    assert start + length == len(pristine)  # the head of the last pack
    images = 0
    # Zero runs of several lengths at every offset of the record, none
    # reaching the end of the file (that is a torn tail of another kind).
    for hole in (1, 4, 16):
        for at in range(start, start + length - hole):
            damaged = bytearray(pristine)
            damaged[at:at + hole] = bytes(hole)
            dst = str(tmp_path / f"img{images}")
            shutil.copytree(src, dst)
            with open(os.path.join(dst, os.path.basename(seg)), "wb") as f:
                f.write(damaged)
            e = Engine(dst)
            for ack in acks[:-1]:
                check_pack(e, ack)
            if bytes(damaged) == pristine:
                check_pack(e, acks[-1])
            else:
                # Neither the pack nor any cell made of its head.
                assert not e.pack_exists(acks[-1]["pid"]), (hole, at - start)
                assert e.status()["cell_count"] == cells - 3, (hole, at - start)
            if images % 16 == 0:
                # Appends after the damage stay readable at the next open.
                layers, text = small_pack(3, 99)
                fresh = e.mem_write_pack(3, key_of(3, 99), layers, 50.0, text=text)
                del e
                e = Engine(dst)
                check_pack(e, {"pid": fresh, "owner": 3, "i": 99, "big": 0})
                for ack in acks[:-1]:
                    check_pack(e, ack)
            del e
            shutil.rmtree(dst)
            images += 1
    assert images > 250, images


def test_a_refresh_during_another_writers_append_starts_no_segment(tmp_path):
    path, stop = str(tmp_path / "db"), str(tmp_path / "stop")
    e = Engine(path)
    big = Writer(path, 9, stop, big_floats=1 << 19)
    # Refreshes meet the other writer's appends half done, again and again;
    # the writes between them share its segment, as one writer's would.
    acks, rng = [], random.Random(21)
    for i in range(60):
        time.sleep(rng.uniform(0, 0.004))  # not always while it codes its next pack
        e.refresh()
        layers, text = small_pack(1, i)
        acks.append({"pid": e.mem_write_pack(1, key_of(1, i), layers, 50.0, text=text), "owner": 1, "i": i, "big": 0})
    open(stop, "w").close()
    acks += big.join()
    assert len(acks) > 70
    e.refresh()
    assert e.status()["segment_count"] == 1
    for ack in acks:
        check_pack(e, ack)
    shutil.rmtree(path)


def open_new_directories(root, rounds, barrier, errors):
    for r in range(rounds):
        barrier.wait()
        try:
            Engine(os.path.join(root, f"db{r}")).mem_write_pack(1, key_of(1, r), [], 50.0)
        except RuntimeError as err:
            errors.put(f"round {r}: {err}")


def test_engines_creating_one_directory_at_once_all_open(tmp_path):
    ctx = mp.get_context("spawn")
    procs, rounds = 6, 20
    barrier, errors = ctx.Barrier(procs), ctx.Queue()
    # The directories exist: creating them at once is the platform layer's
    # part; creating the first segment at once is the block pool's.
    for r in range(rounds):
        os.mkdir(tmp_path / f"db{r}")
    ps = [ctx.Process(target=open_new_directories, args=(str(tmp_path), rounds, barrier, errors)) for _ in range(procs)]
    for p in ps:
        p.start()
    for p in ps:
        p.join(120)
    found = []
    while not errors.empty():
        found.append(errors.get())
    assert found == [] and all(p.exitcode == 0 for p in ps)
    for r in range(rounds):
        assert Engine(str(tmp_path / f"db{r}")).pack_count() == procs


if __name__ == "__main__":
    path, owner, stop, big, die_past = sys.argv[1:]
    writer(path, int(owner), stop, int(big), int(die_past))
