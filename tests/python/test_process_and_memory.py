"""Process boundaries and exhausted memory: an engine copied by fork() refuses
every call in the child (and never hangs or writes there), calls that wait for
the directory's writer lock let other Python threads run, and a failed
allocation names its method and leaves a read or refresh with a usable engine."""

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

FORKED = r"^this Engine was opened in process {} and cannot be used in process {} \(a copy made by fork\(\)\); " \
         r"open a new Engine in this process$"


def run_script(script, *args, **env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)], capture_output=True,
                          text=True, timeout=180, env={**os.environ, **env})


def exact(n, shift):
    """n floats the 4-bit storage codec keeps exactly (-7..7, with a 7 or -7 in every group of 32)."""
    return np.array([((i + shift) % 15) - 7 for i in range(n)], np.float32)


def layers_of(owner, i):
    return [(0, exact(32, owner * 5 + i)), (1, exact(32, owner * 5 + i + 1))]


def check_pack(engine, pack_id, owner, i, text):
    hit = engine.load_pack_by_id(pack_id)
    assert (hit["owner"], hit["text"], len(hit["layers"])) == (owner, text, 2), pack_id
    for (layer, want), got in zip(layers_of(owner, i), hit["layers"]):
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


# --- waiting without the interpreter lock -----------------------------------------------------

K = np.eye(8, dtype=np.float32)[0]
ONE = [(0, np.ones(32, np.float32))]

# Every method that may wait for the directory's writer lock, as a call on
# `e` (packs 1 and 2 of owner 1, a pack of owner 5, a due eviction of owner
# 5) with scratch directory `d`.
WAITING_CALLS = [
    ("mem_write", lambda e, d: e.mem_write(1, 0, K, K, 1.0, None)),
    ("mem_write_batch", lambda e, d: e.mem_write_batch([(1, 0, K, K, 1.0, None)])),
    ("mem_write_pack", lambda e, d: e.mem_write_pack(1, K, ONE, 50.0)),
    ("mem_write_pack_with_auto_link", lambda e, d: e.mem_write_pack_with_auto_link(1, K, ONE, 50.0)),
    ("add_view_keys", lambda e, d: e.add_view_keys(1, [K])),
    ("set_pack_text", lambda e, d: e.set_pack_text(1, "t")),
    ("set_pack_texts", lambda e, d: e.set_pack_texts([(1, "t")])),
    ("store_synapsis", lambda e, d: e.store_synapsis(1, 1, np.ones(4, np.float32), np.ones(4, np.float32), 1.0, 1, 4)),
    ("load_synapsis", lambda e, d: e.load_synapsis(1)),
    ("add_pack_edge", lambda e, d: e.add_pack_edge(1, 2, 3)),
    ("add_pack_link", lambda e, d: e.add_pack_link(1, 2)),
    ("delete_pack", lambda e, d: e.delete_pack(2)),
    ("delete_owner", lambda e, d: e.delete_owner(5)),
    ("evict_draft_packs", lambda e, d: e.evict_draft_packs(100.0, 5)),
    ("sweep_now", lambda e, d: e.sweep_now(0.0, 0.0)),
    ("schedule_evict_draft", lambda e, d: e.schedule_evict_draft(4e9, 7, 0.0)),
    ("cancel_scheduled", lambda e, d: e.cancel_scheduled(12345)),
    ("list_scheduled", lambda e, d: e.list_scheduled()),
    ("fire_due_scheduled", lambda e, d: e.fire_due_scheduled()),
    ("compact", lambda e, d: e.compact()),
    ("snapshot", lambda e, d: e.snapshot(os.path.join(d, "snap.tar"))),
    ("CheckpointRepository.save", lambda e, d: CheckpointRepository(os.path.join(d, "repo")).save(e, "l")),
    ("refresh", lambda e, d: e.refresh()),
    ("flush", lambda e, d: e.flush()),
    ("flush_buffer", lambda e, d: e.flush_buffer()),
    ("Engine", lambda e, d: Engine(e_path(e))),
    ("pack_count behind a waiting writer", None),
]

HOLDER = """
import fcntl, os, select, sys
fd = os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)
fcntl.flock(fd, fcntl.LOCK_EX)
print("locked", flush=True)
asked = select.select([sys.stdin], [], [], 10)[0]  # a caller frozen by a held interpreter lock never asks
print("asked" if asked else "timed out", flush=True)
"""
FLOCK = {"x86_64": 73, "aarch64": 32}.get(platform.machine())


def e_path(e):
    return re.match(r"Engine\(path='(.*)', cells=\d+\)$", repr(e)).group(1)


def waits_in_flock(thread):
    try:
        with open(f"/proc/self/task/{thread.native_id}/syscall") as f:
            return f.read().split()[0] == str(FLOCK)
    except (OSError, IndexError):
        return False


@pytest.mark.skipif(FLOCK is None or not os.path.exists("/proc/self/task"), reason="needs Linux /proc")
@pytest.mark.parametrize("buffered", [False, True])
def test_calls_waiting_for_another_processes_writer_lock_let_other_threads_run(tmp_path, buffered):
    d = str(tmp_path / "db")
    e = Engine.open_with_write_buffer(d, 100) if buffered else Engine(d)
    for _ in range(2):
        e.mem_write_pack(1, K, ONE, 50.0)
    e.flush_buffer()
    e.schedule_evict_draft(1.0, 5, 100.0)
    waited = []
    for name, call in WAITING_CALLS:
        e.mem_write_pack(5, K, ONE, 50.0)  # for the deletions, and pending in the write buffer
        holder = subprocess.Popen([sys.executable, "-c", HOLDER, d], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True)
        assert holder.stdout.readline().strip() == "locked"
        outcome = []
        if call is None:  # a light method queued behind a writer that waits for the lock
            writer = threading.Thread(target=lambda: e.mem_write(1, 0, K, K, 1.0, None))
            writer.start()
            while not waits_in_flock(writer):
                time.sleep(0.001)
            call = lambda e, d: e.pack_count()  # noqa: E731
        else:
            writer = None

        def run(call=call):
            try:
                outcome.append(call(e, str(tmp_path)))
            except RuntimeError as error:
                outcome.append(error)

        worker = threading.Thread(target=run)
        worker.start()
        # Polls with the interpreter lock given up between looks: a worker
        # that waits while holding it freezes this thread until the holder
        # gives up on being asked.
        in_flock = False
        while worker.is_alive() and not in_flock:
            time.sleep(0.001)
            in_flock = waits_in_flock(worker) or writer is not None
        if writer:
            time.sleep(0.2)  # the light method waits for the engine mutex by now
        try:
            holder.stdin.write("go\n")
            holder.stdin.flush()
        except BrokenPipeError:
            pass  # it gave up on being asked
        assert holder.stdout.readline().strip() == "asked", name
        holder.wait()
        for thread in (worker, writer):
            if thread:
                thread.join()
        assert len(outcome) == 1 and not isinstance(outcome[0], RuntimeError), (name, outcome)
        if in_flock:
            waited.append(name)
    # Every kind of write met the lock (the test would be vacuous otherwise).
    kinds = {"mem_write", "set_pack_text", "store_synapsis", "add_pack_link", "compact",
             "pack_count behind a waiting writer"}
    kinds |= {"flush_buffer"} if buffered else {"mem_write_pack", "delete_owner", "fire_due_scheduled"}
    assert kinds <= set(waited), waited


# --- exhausted memory ------------------------------------------------------------------------

MEMORY_SCRIPT = """
import gc, itertools, json, resource, sys
import numpy as np
from quorvane_db._native import Engine

path = sys.argv[1]
e = Engine(path, segment_size=1 << 16)
key = np.ones(16, np.float32)
for i in range(300):
    e.mem_write_pack(i % 7, key, [(0, np.ones(64, np.float32))], 50.0, ("text %d " % i) * 20)
big = e.mem_write_pack(1, key, [(0, np.ones(8, np.float32))], 50.0)
e.set_pack_text(big, "x" * (4 << 20))
for a in range(3):
    e.store_synapsis(a, 1, np.ones(1 << 18, np.float32), np.ones(1 << 18, np.float32), 1.0, 64, 4096)

def vm_size():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))

def limited(call, margin):
    gc.collect()
    error = None
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + margin, resource.RLIM_INFINITY))
    try:
        call()
    except (MemoryError, RuntimeError) as caught:
        error = caught
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    return None if error is None else "%s: %s" % (type(error).__name__, error)

def after(call):
    try:
        call()
        return "usable"
    except Exception as error:
        return str(error)

def margins(call, fresh=lambda: None):
    # 24 margins below the smallest that lets the call through: failures at
    # every stage of it, from its first allocation to its last.
    coarse = [int(2 ** (12 + i / 2)) for i in range(32)]
    enough = next((m for m in coarse if fresh() or limited(call, m) is None), coarse[-1])
    return [enough // 4 + i * (enough - enough // 4) // 23 for i in range(24)]

out = {}
archives = itertools.count()
reads = {"list_packs": lambda: e.list_packs(None), "pack_text": lambda: e.pack_text(big),
         "load_synapsis": lambda: e.load_synapsis(1),
         "snapshot": lambda: e.snapshot(path + "-%d.tar" % next(archives))}
for name, call in reads.items():
    out[name] = [(limited(call, m), after(call)) for m in margins(call)]

# Another engine stores 9,000 records at once; refresh fails at every stage
# of taking them in until a margin lets it through.
other = Engine(path, segment_size=1 << 16)
for i in range(3):
    other.mem_write_pack(9, key, [(l, np.ones(8, np.float32)) for l in range(3000)], 50.0, "other %d" % i)
out["refresh"] = []
for m in [int(2 ** (11 + i / 16)) for i in range(16 * 14)]:
    out["refresh"].append((limited(e.refresh, m), after(e.pack_count)))
    if out["refresh"][-1][0] is None:
        break
def state(x):
    try:
        return [x.cell_count(), x.pack_count(), x.status()["governance_entries"],
                sorted(p["pack_id"] for p in x.list_packs(None))]
    except RuntimeError as error:
        return str(error)
out["refreshed"] = [after(e.refresh), state(e), state(Engine(path))]

layers = [(0, np.ones(1 << 20, np.float32))]
w = None
def reopen():
    global w
    w = Engine(path + "-w")
write = lambda: w.mem_write_pack(1, key, layers, 50.0, "t")
out["mem_write_pack"] = []
for m in margins(write, reopen):
    reopen()
    out["mem_write_pack"].append((limited(write, m), after(w.pack_count)))
print(json.dumps(out))
"""
# Every large allocation maps memory of its own and gives it back when freed,
# so the limit bites wherever the call needs more.
MALLOC = {"MALLOC_ARENA_MAX": "1", "MALLOC_MMAP_THRESHOLD_": "65536", "MALLOC_TRIM_THRESHOLD_": "0",
          "MALLOC_TOP_PAD_": "0"}


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc to size the memory limit")
def test_out_of_memory_names_the_method_and_only_a_write_poisons_the_engine(tmp_path):
    out = run_script(MEMORY_SCRIPT, tmp_path / "db", **MALLOC)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    for name in ("list_packs", "pack_text", "load_synapsis", "snapshot", "refresh"):
        messages = [m for m, _ in result[name]]
        # A failed read, snapshot or refresh leaves the engine usable; every
        # MemoryError names its method (a snapshot may also meet the system's
        # own ENOMEM as a storage error).
        assert {after for _, after in result[name]} == {"usable"}, (name, result[name])
        assert all(m is None or m.startswith(f"MemoryError: {name}: ") or
                   (name == "snapshot" and m.startswith("RuntimeError: storage I/O error: ")) for m in messages), \
            (name, messages)
        assert sum(m is not None for m in messages) >= 3 and messages[-1] is None, (name, messages)
    # Records taken in by a refresh that failed half-way are taken in by the next one.
    refreshed, mine, reopened = result["refreshed"]
    assert refreshed == "usable" and mine == reopened
    kinds = set()
    for message, after in result["mem_write_pack"]:
        kind = {None: "usable", "MemoryError: mem_write_pack: out of memory": "usable",
                "MemoryError: mem_write_pack: out of memory; the engine must be reopened": "engine lock poisoned"}[message]
        assert after == kind, (message, after)
        kinds.add(message)
    assert len(kinds) == 3, kinds  # refused before the engine, poisoned inside it, and through
