"""Segment tails that several processes share: a writer killed inside an
append, a refresh that meets an append in progress, a hole that a power loss
leaves inside the last record, and engines creating one directory at once.
Writers run as real processes (this file, run as a script, is the writer)."""

import fcntl
import json
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
from shared_dir_support import CTX, exact, open_new_directories, start, unit


def pack(owner, i, big):
    if big:
        return [(l, exact(big // 2, owner + l)) for l in range(2)], None
    return [(0, exact(40, owner * 31 + i)), (3, exact(70, owner * 31 + i + 1))], f"owner {owner} pack {i}"


def write(e, owner, i, big=0):
    layers, text = pack(owner, i, big)
    return e.mem_write_pack(owner, unit(owner * 7 + i), layers, 50.0, text=text)


def writer(path, owner, stop, big, die_past):
    """Writes packs until `stop` exists, one line per acknowledged pack. With
    `die_past`, dies inside the write that takes a file more than `die_past`
    bytes past the size the last segment had at open."""
    e = Engine(path)
    if die_past:
        limit = os.path.getsize(segment_files(path)[-1]) + die_past
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)  # the write past the limit kills
    print("{}", flush=True)
    i = 0
    while not os.path.exists(stop):
        print(json.dumps({"owner": owner, "i": i, "pid": write(e, owner, i, big), "big": big}), flush=True)
        i += 1
        if not big:
            time.sleep(0.002)  # leaves other writers turns of their own


class Writer:
    def __init__(self, path, owner, stop, big=0, die_past=0):
        args = [path, *map(str, (owner, big, die_past)), stop]
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), *args], stdout=subprocess.PIPE)
        self.acks, self.ready = [], threading.Event()
        self.thread = threading.Thread(target=self._read)
        self.thread.start()
        assert self.ready.wait(60), "writer did not open the engine"

    def _read(self):
        for line in self.proc.stdout:
            if not line.endswith(b"\n"):
                break  # a line cut short was never acknowledged
            self.ready.set()
            self.acks += [json.loads(line)] if len(line) > 3 else []
        self.ready.set()

    def join(self, timeout=60):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(60)
        self.thread.join()
        return self.acks


def segment_files(path):
    return sorted(os.path.join(path, n) for n in os.listdir(path) if n.startswith("segment_"))


def whole_records(file):
    """(offset, length) of each record up to the first that is not whole, and the file's size."""
    data, out, p = open(file, "rb").read(), [], 8
    while len(data) - p >= 91:
        (length,) = struct.unpack_from("<I", data, p)
        if length < 87 or p + 4 + length > len(data):
            break
        out.append((p, 4 + length))
        p += 4 + length
    return out, len(data)


def check_pack(e, ack):
    got = e.load_pack_by_id(ack["pid"])
    layers, text = pack(ack["owner"], ack["i"], ack["big"])
    assert (got["owner"], got["text"], [l["layer_idx"] for l in got["layers"]]) == \
        (ack["owner"], text, [l for l, _ in layers]), ack
    for g, (_, want) in zip(got["layers"], layers):
        np.testing.assert_array_equal(g["data"], want)


def test_a_writer_killed_inside_its_append_costs_the_others_nothing(tmp_path):
    path, stop = str(tmp_path / "db"), str(tmp_path / "stop")
    rng = random.Random(20)
    smalls = [Writer(path, owner, stop) for owner in (1, 2)]
    acks, lives = [], 6
    # Each life of a writer of big packs (2 MB each) ends inside an append:
    # SIGKILL at a random moment, or death at a random byte of one of its
    # next appends.
    for life in range(lives):
        big = Writer(path, 10 + life, stop, 1 << 19, 0 if life % 2 else rng.randrange(1, 3 << 20))
        if life % 2:
            time.sleep(rng.uniform(0.0, 0.05))
            big.proc.kill()
        acks += big.join(timeout=20)
        assert big.proc.returncode in (-signal.SIGKILL, -signal.SIGXFSZ)
        time.sleep(0.05)  # the others write behind the dead writer
    open(stop, "w").close()
    for w in smalls:
        acks += w.join()
    # Bytes that are not whole records, counted under the writers' lock: a dead writer's.
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    assert any(sum(n for _, n in recs) + 8 < size for recs, size in map(whole_records, segment_files(path)))
    os.close(fd)
    assert sum(not a["big"] for a in acks) > 50
    e = Engine(path)
    for ack in acks:
        check_pack(e, ack)
    highest = max(a["pid"] for a in acks)
    fresh = e.mem_write_pack(1, unit(0), [], 50.0, text="after")
    assert highest < fresh <= highest + lives + 1  # a dead writer's pack in flight used an id
    assert Engine(path).load_pack_by_id(fresh)["text"] == "after"


def test_a_hole_in_the_last_record_loses_that_pack_only(tmp_path):
    src = str(tmp_path / "src")
    e = Engine(src)
    acks = [{"pid": write(e, owner, i), "owner": owner, "i": i, "big": 0}
            for i, owner in enumerate([1, 2, 1, 3, 2, 1, 3, 2])]
    del e
    cells = Engine(src).cell_count()
    seg = segment_files(src)[-1]
    (start_, length), size = whole_records(seg)[0][-1], whole_records(seg)[1]
    pristine = open(seg, "rb").read()
    assert start_ + length == size  # the head of the last pack
    # Zero runs at every offset of the record, none reaching the end of the
    # file (that is a torn tail of another kind).
    for n, (hole, at) in enumerate((h, a) for h in (1, 4, 16) for a in range(start_, size - h)):
        damaged = bytearray(pristine)
        damaged[at:at + hole] = bytes(hole)
        dst = str(tmp_path / "img")
        shutil.copytree(src, dst)
        with open(os.path.join(dst, os.path.basename(seg)), "wb") as f:
            f.write(damaged)
        e = Engine(dst)
        for ack in acks[:-1]:
            check_pack(e, ack)
        if damaged != pristine:
            # Neither the pack nor any cell made of its head.
            assert (e.pack_exists(acks[-1]["pid"]), e.cell_count()) == (False, cells - 3), (hole, at - start_)
        if n % 16 == 0:
            # Appends after the damage stay readable at the next open.
            fresh = write(e, 3, 99)
            del e
            e = Engine(dst)
            check_pack(e, {"pid": fresh, "owner": 3, "i": 99, "big": 0})
        del e
        shutil.rmtree(dst)


def test_a_refresh_during_another_writers_append_starts_no_segment(tmp_path):
    path, stop = str(tmp_path / "db"), str(tmp_path / "stop")
    e = Engine(path)
    big = Writer(path, 9, stop, 1 << 19)
    # Refreshes meet the other writer's appends half done, again and again;
    # the writes between them share its segment, as one writer's would.
    acks, rng = [], random.Random(21)
    for i in range(60):
        time.sleep(rng.uniform(0, 0.004))
        e.refresh()
        acks.append({"pid": write(e, 1, i), "owner": 1, "i": i, "big": 0})
    open(stop, "w").close()
    acks += big.join()
    e.refresh()
    assert e.status()["segment_count"] == 1
    for ack in acks:
        check_pack(e, ack)


def test_engines_creating_one_directory_at_once_all_open(tmp_path):
    procs, rounds = 6, 20
    barrier, errors = CTX.Barrier(procs), CTX.Queue()
    # The directories exist: creating the first segment at once is the block pool's part.
    for r in range(rounds):
        os.mkdir(tmp_path / f"db{r}")
    ps = [start(open_new_directories, str(tmp_path), rounds, barrier, errors) for _ in range(procs)]
    for p in ps:
        p.join(120)
    assert errors.empty() and all(p.exitcode == 0 for p in ps)
    for r in range(rounds):
        assert Engine(str(tmp_path / f"db{r}")).pack_count() == procs


if __name__ == "__main__":
    path, owner, big, die_past, stop = sys.argv[1:]
    writer(path, int(owner), stop, int(big), int(die_past))
