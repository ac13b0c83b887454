"""Process boundaries and exhausted memory: an engine copied by fork() refuses
every call in the child (and never hangs or writes there), calls that wait for
the directory's writer lock let other Python threads run, and a failed
allocation names its method and leaves a read or refresh with a usable engine."""

import fcntl
import json
import multiprocessing as mp
import os
import platform
import re
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from quorvane_db._native import CheckpointRepository, Engine

try:  # test-only extension, built with -DQVN_BUILD_FRAME_PROBE=ON
    import _frame_probe as probe
except ImportError:
    probe = None

FORKED = r"^this Engine was opened in process {} and cannot be used in process {} \(a copy made by fork\(\)\); " \
         r"open a new Engine in this process$"


def run_script(script, *args, **env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)], capture_output=True,
                          text=True, timeout=180, env={**os.environ, **env})


def exact(n, shift):
    """n floats the 4-bit storage codec keeps exactly (-7..7, with a 7 or -7 in every group of 32)."""
    return np.array([((i + shift) % 15) - 7 for i in range(n)], np.float32)


def layers_of(owner, i, size=32, n=1):
    return [(layer, exact(size, owner * 5 + i + layer)) for layer in range(n)]


def check_pack(engine, pack_id, owner, i, text, size=32, n=1):
    hit = engine.load_pack_by_id(pack_id)
    assert (hit["owner"], hit["text"], len(hit["layers"])) == (owner, text, n), pack_id
    for (layer, want), got in zip(layers_of(owner, i, size, n), hit["layers"]):
        assert got["layer_idx"] == layer and np.array_equal(got["data"], want), pack_id


# --- fork ------------------------------------------------------------------------------------

FORK_SCRIPT = """
import json, os, select, sys, threading, time
import numpy as np
from quorvane_db._native import CheckpointRepository, Engine

path, buffered_path, repo_root, forks = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
e = Engine(path)
buffered = Engine.open_with_write_buffer(buffered_path, 1000)
buffered_ids = [buffered.mem_write_pack(2, np.ones(16, np.float32), [(0, np.ones(8, np.float32))], 50.0)
                for _ in range(3)]
e.start_maintenance(sweep_interval_secs=0.001, eviction_threshold=0.0)  # sweeps hold the engine mutex
key = np.ones(16, np.float32)
# 4 MiB per pack, in values the storage codec keeps exactly
big = [(layer, np.array([((j + layer) % 15) - 7 for j in range(1 << 18)], np.float32)) for layer in range(4)]
acked, stop = [], threading.Event()

def writer():  # the parent's writer is inside mem_write_pack at most forks
    while not stop.is_set():
        acked.append(e.mem_write_pack(1, key, big, 50.0, "w"))

calls = [
    lambda: e.pack_count(), lambda: repr(e), lambda: e.mem_write_pack(1, key, big, 50.0),
    lambda: e.mem_read_pack(key, 1, None), lambda: e.refresh(), lambda: e.delete_pack(1),
    lambda: e.flush(), lambda: e.is_maintenance_running(), lambda: e.stop_maintenance(),
    lambda: buffered.flush_buffer(), lambda: CheckpointRepository(repo_root).save(e, "x"),
]
writing = threading.Thread(target=writer)
writing.start()
children = []
for i in range(forks):
    time.sleep(0.01 * (i % 5))
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        out = []
        for call in calls:
            try:
                call()
                out.append("no error")
            except RuntimeError as error:
                out.append(str(error))
        own = Engine(path)  # what the refusal asks for
        written = own.mem_write_pack(3, key, [(0, np.ones(8, np.float32))], 50.0, "child %d" % i)
        os.write(w, json.dumps([os.getppid(), os.getpid(), out, written]).encode())
        os.close(w)
        del e, buffered
        if i % 2:
            os._exit(0)  # as multiprocessing's children end
        sys.exit(0)  # through the interpreter's exit: atexit hooks, deallocation of every object
    os.close(w)
    # A child that hangs never writes its report (the calls take milliseconds).
    got = select.select([r], [], [], 10)[0]
    report = json.loads(os.read(r, 1 << 16)) if got else None
    os.close(r)
    status, deadline = None, time.monotonic() + 10  # the exit, too, must not hang
    while status is None and time.monotonic() < deadline:
        done, code = os.waitpid(pid, os.WNOHANG)
        if done:
            status = code
        else:
            time.sleep(0.01)
    if status is None:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    children.append([report, status])
    if report is None or status is None:
        break
stop.set()
writing.join()
e.stop_maintenance()
buffered.flush_buffer()
print(json.dumps({"acked": acked, "buffered": buffered_ids, "children": children}))
"""


FORK_LAYERS = [(layer, np.array([((j + layer) % 15) - 7 for j in range(1 << 18)], np.float32)) for layer in range(4)]


def test_engine_copied_by_fork_refuses_every_call_and_never_hangs_or_writes(tmp_path):
    path, buffered_path = tmp_path / "db", tmp_path / "buffered"
    out = run_script(FORK_SCRIPT, path, buffered_path, tmp_path / "repo", 12)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert len(result["children"]) == 12
    own = []
    for i, (report, status) in enumerate(result["children"]):
        assert report is not None, f"child {i} hung"
        parent, child, messages, written = report
        assert all(re.match(FORKED.format(parent, child), m) for m in messages), messages
        assert status == 0, (i, status)
        own.append((written, i))
    # Every acknowledged pack, the parent's and the children's own, is there
    # once and whole; the children drained none of the buffered packs.
    e = Engine(str(path))
    ids = result["acked"] + [pid for pid, _ in own]
    assert len(set(ids)) == len(ids) == e.pack_count()
    for pid in result["acked"]:
        hit = e.load_pack_by_id(pid)
        assert (hit["owner"], hit["text"], [layer["layer_idx"] for layer in hit["layers"]]) == (1, "w", [0, 1, 2, 3])
        assert all(np.array_equal(layer["data"], data) for layer, (_, data) in zip(hit["layers"], FORK_LAYERS))
    for pid, i in own:
        hit = e.load_pack_by_id(pid)
        assert (hit["owner"], hit["text"]) == (3, f"child {i}")
    buffered = Engine(str(buffered_path))
    assert buffered.pack_count() == 3 and buffered.cell_count() == 6  # a head and a layer each, none twice
    assert [buffered.load_pack_by_id(p)["owner"] for p in result["buffered"]] == [2, 2, 2]


def _forked_writer(inherited, path, owner, n, out):
    try:
        inherited.mem_write_pack(owner, np.ones(16, np.float32), layers_of(owner, 0), 50.0)
        refusal = None
    except RuntimeError as error:
        refusal = str(error)
    own = Engine(path)
    ids = [own.mem_write_pack(owner, np.ones(16, np.float32), layers_of(owner, i), 50.0, f"{owner} {i}")
           for i in range(n)]
    out.put((owner, os.getppid(), os.getpid(), refusal, ids))


def test_multiprocessing_fork_children_are_refused_and_no_pack_is_lost(tmp_path):
    # Parent and two children of multiprocessing's fork start method write 100
    # packs each to one directory; the children were handed the parent's engine.
    path = str(tmp_path / "db")
    e = Engine(path)
    ctx = mp.get_context("fork")
    out = ctx.Queue()
    children = [ctx.Process(target=_forked_writer, args=(e, path, owner, 100, out)) for owner in (2, 3)]
    for c in children:
        c.start()
    acked = [e.mem_write_pack(1, np.ones(16, np.float32), layers_of(1, i), 50.0, f"1 {i}") for i in range(100)]
    results = [out.get(timeout=120) for _ in children]
    for c in children:
        c.join(timeout=60)
        assert c.exitcode == 0
    reopened = Engine(path)
    written = {1: acked}
    for owner, parent, child, refusal, ids in results:
        assert refusal is not None and re.match(FORKED.format(parent, child), refusal), refusal
        written[owner] = ids
    ids = [pid for owner_ids in written.values() for pid in owner_ids]
    assert len(set(ids)) == len(ids) == reopened.pack_count() == 300
    for owner, owner_ids in written.items():
        for i, pid in enumerate(owner_ids):
            check_pack(reopened, pid, owner, i, f"{owner} {i}")
