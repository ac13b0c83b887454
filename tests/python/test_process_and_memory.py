"""Process boundaries and exhausted memory: an engine copied by fork() refuses
every call in the child (and never hangs or writes there), calls that wait for
the directory's writer lock let other Python threads run, and a failed
allocation names its method and leaves a read or refresh with a usable engine."""

import json
import os
import platform
import queue
import re
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from quorvane_db._native import CheckpointRepository, Engine
from shared_dir_support import exact, run_script, unit

FORKED = r"^this Engine was opened in process {} and cannot be used in process {} \(a copy made by fork\(\)\); " \
         r"open a new Engine in this process$"

FORK_SCRIPT = """
import json, os, select, sys, threading, time
import numpy as np
from quorvane_db._native import CheckpointRepository, Engine
from shared_dir_support import exact

path, buffered_path, repo_root = sys.argv[1:4]
e, buffered = Engine(path), Engine.open_with_write_buffer(buffered_path, 1000)
for _ in range(3):
    buffered.mem_write_pack(2, np.ones(16, np.float32), [(0, np.ones(8, np.float32))], 50.0)
e.start_maintenance(sweep_interval_secs=0.001, eviction_threshold=0.0)  # sweeps hold the engine mutex
key, big = np.ones(16, np.float32), [(layer, exact(1 << 18, layer)) for layer in range(4)]  # 4 MiB per pack
acked, stop = [], threading.Event()

def writer():  # the parent's writer is inside mem_write_pack at most forks
    while not stop.is_set():
        acked.append(e.mem_write_pack(1, key, big, 50.0, "w"))

calls = [e.pack_count, lambda: repr(e), lambda: e.mem_write_pack(1, key, big, 50.0),
         lambda: e.mem_read_pack(key, 1, None), e.refresh, lambda: e.delete_pack(1), e.flush,
         e.is_maintenance_running, e.stop_maintenance, buffered.flush_buffer,
         lambda: CheckpointRepository(repo_root).save(e, "x")]
writing = threading.Thread(target=writer)
writing.start()
children = []
for i in range(10):
    time.sleep(0.01 * (i % 5))
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        out = []
        for call in calls:
            try:
                call()
                out.append("no error")
            except RuntimeError as error:
                out.append(str(error))
        written = Engine(path).mem_write_pack(3, key, [(0, np.ones(8, np.float32))], 50.0, "child %d" % i)
        os.write(w, json.dumps([os.getppid(), os.getpid(), out, written]).encode())
        del e, buffered
        os._exit(0) if i % 2 else sys.exit(0)  # as multiprocessing's children end, or through atexit
    os.close(w)
    # A child that hangs never writes its report (the calls take milliseconds), nor exits.
    report = json.loads(os.read(r, 1 << 16)) if select.select([r], [], [], 10)[0] else None
    os.close(r)
    for _ in range(1000):
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.01)
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        status = None
    children.append([report, status])
    if report is None or status is None:
        break
stop.set()
writing.join()
e.stop_maintenance()
buffered.flush_buffer()
print(json.dumps({"acked": acked, "children": children}))
"""


def test_engine_copied_by_fork_refuses_every_call_and_never_hangs_or_writes(tmp_path):
    path, buffered_path = tmp_path / "db", tmp_path / "buffered"
    out = run_script(FORK_SCRIPT, path, buffered_path, tmp_path / "repo", PYTHONPATH=os.pathsep.join(sys.path))
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert len(result["children"]) == 10
    own = []
    for i, (report, status) in enumerate(result["children"]):
        assert report is not None and status == 0, (i, status)
        parent, child, messages, written = report
        assert all(re.match(FORKED.format(parent, child), m) for m in messages), messages
        own.append(written)
    # Every acknowledged pack, the parent's and the children's own, is there
    # once and whole; the children drained none of the buffered packs.
    e = Engine(str(path))
    assert len(set(result["acked"] + own)) == len(result["acked"]) + 10 == e.pack_count()
    for pid in result["acked"]:
        layers = e.load_pack_by_id(pid)["layers"]
        assert [layer["layer_idx"] for layer in layers] == [0, 1, 2, 3]
        assert all(np.array_equal(layer["data"], exact(1 << 18, i)) for i, layer in enumerate(layers))
    buffered = Engine(str(buffered_path))
    assert buffered.pack_count() == 3 and buffered.cell_count() == 6  # a head and a layer each, none twice


K = np.eye(8, dtype=np.float32)[0]
ONE = [(0, np.ones(32, np.float32))]

# Every method that may wait for the directory's writer lock, as a call on
# `e` (packs 1 and 2 of owner 1, a pack of owner 5, a due eviction of owner
# 5) with scratch directory `d`; None: a light method queued behind a writer
# that waits for the lock.
WAITING_CALLS = {
    "mem_write": lambda e, d: e.mem_write(1, 0, K, K, 1.0, None),
    "mem_write_batch": lambda e, d: e.mem_write_batch([(1, 0, K, K, 1.0, None)]),
    "mem_write_pack": lambda e, d: e.mem_write_pack(1, K, ONE, 50.0),
    "mem_write_pack_with_auto_link": lambda e, d: e.mem_write_pack_with_auto_link(1, K, ONE, 50.0),
    "add_view_keys": lambda e, d: e.add_view_keys(1, [K]),
    "set_pack_text": lambda e, d: e.set_pack_text(1, "t"),
    "set_pack_texts": lambda e, d: e.set_pack_texts([(1, "t")]),
    "store_synapsis": lambda e, d: e.store_synapsis(1, 1, np.ones(4, np.float32), np.ones(4, np.float32), 1.0, 1, 4),
    "load_synapsis": lambda e, d: e.load_synapsis(1),
    "add_pack_edge": lambda e, d: e.add_pack_edge(1, 2, 3),
    "add_pack_link": lambda e, d: e.add_pack_link(1, 2),
    "delete_pack": lambda e, d: e.delete_pack(2),
    "delete_owner": lambda e, d: e.delete_owner(5),
    "evict_draft_packs": lambda e, d: e.evict_draft_packs(100.0, 5),
    "sweep_now": lambda e, d: e.sweep_now(0.0, 0.0),
    "schedule_evict_draft": lambda e, d: e.schedule_evict_draft(4e9, 7, 0.0),
    "cancel_scheduled": lambda e, d: e.cancel_scheduled(12345),
    "list_scheduled": lambda e, d: e.list_scheduled(),
    "fire_due_scheduled": lambda e, d: e.fire_due_scheduled(),
    "compact": lambda e, d: e.compact(),
    "snapshot": lambda e, d: e.snapshot(os.path.join(d, "snap.tar")),
    "CheckpointRepository.save": lambda e, d: CheckpointRepository(os.path.join(d, "repo")).save(e, "l"),
    "refresh": lambda e, d: e.refresh(),
    "flush": lambda e, d: e.flush(),
    "flush_buffer": lambda e, d: e.flush_buffer(),
    "Engine": lambda e, d: Engine(os.path.join(d, "db")),
    "pack_count behind a waiting writer": None,
}

HOLDER = """
import fcntl, os, select, sys
fcntl.flock(os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY), fcntl.LOCK_EX)
print("locked", flush=True)
asked = select.select([sys.stdin], [], [], 10)[0]  # a caller frozen by a held interpreter lock never asks
print("asked" if asked else "timed out", flush=True)
"""
FLOCK = {"x86_64": 73, "aarch64": 32}.get(platform.machine())


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
    for name, call in WAITING_CALLS.items():
        e.mem_write_pack(5, K, ONE, 50.0)  # for the deletions, and pending in the write buffer
        holder = subprocess.Popen([sys.executable, "-c", HOLDER, d], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True)
        assert holder.stdout.readline().strip() == "locked"
        outcome, writer = [], None
        if call is None:
            writer = threading.Thread(target=WAITING_CALLS["mem_write"], args=(e, d))
            writer.start()
            while not waits_in_flock(writer):
                time.sleep(0.001)
            call = lambda e, d: e.pack_count()  # noqa: E731

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
        for thread in (worker, writer or worker):
            thread.join()
        assert len(outcome) == 1 and not isinstance(outcome[0], RuntimeError), (name, outcome)
        waited += [name] if in_flock else []
    # Every kind of write met the lock (the test would be vacuous otherwise).
    kinds = {"mem_write", "set_pack_text", "store_synapsis", "add_pack_link", "compact",
             "pack_count behind a waiting writer"}
    kinds |= {"flush_buffer"} if buffered else {"mem_write_pack", "delete_owner", "fire_due_scheduled"}
    assert kinds <= set(waited), waited


# A writer that leaves children alive: forked with os.fork before it writes
# (no writer turn held), or forked by multiprocessing from another thread
# while the main thread writes (mostly inside a turn), or started as another
# program from such a thread. It prints each child's pid, and "writing"
# after each pack it stored.
FORKING_WRITER = """
import multiprocessing as mp, os, subprocess, sys, threading, time
import numpy as np
from quorvane_db._native import Engine
from shared_dir_support import exact

path, how = sys.argv[1:3]
e = Engine(path)
key, big = np.ones(16, np.float32), [(layer, exact(1 << 18, layer)) for layer in range(4)]
e.mem_write_pack(1, key, big, 50.0)
say = lambda line: os.write(1, b"%s\\n" % str(line).encode())  # one write: lines of two threads never mix
if how == "fork":
    pid = os.fork()
    if pid == 0:
        time.sleep(120)
        os._exit(0)
    say(pid)
else:
    def forker():
        for i in range(6):
            if how == "exec":  # through vfork or posix_spawn, which run no fork handlers
                pid = subprocess.Popen(["sleep", "120"], close_fds=False).pid
            else:
                child = mp.get_context("fork").Process(target=time.sleep, args=(120,))
                child.start()
                pid = child.pid
            say(pid)
            time.sleep(0.03)
    threading.Thread(target=forker, daemon=True).start()
while True:
    e.mem_write_pack(1, key, big, 50.0)
    say("writing")
"""


def holds_writer_lock(pid, path):
    """Whether /proc/locks shows process `pid` holding the flock of directory `path`."""
    inode = f":{os.stat(path).st_ino} "
    with open("/proc/locks") as f:
        return any(line.split()[1:5] == ["FLOCK", "ADVISORY", "WRITE", str(pid)] and inode in line for line in f)


@pytest.mark.skipif(not os.path.exists("/proc/locks"), reason="needs Linux /proc")
@pytest.mark.parametrize("how", ["fork", "thread", "exec"])
def test_writer_lock_dies_with_a_killed_writer_whose_forked_children_live_on(tmp_path, how):
    path = str(tmp_path / "db")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    writer = subprocess.Popen([sys.executable, "-c", FORKING_WRITER, path, how], stdout=subprocess.PIPE, text=True,
                              env=env)
    lines, children = queue.Queue(), []
    threading.Thread(target=lambda: [lines.put(line.strip()) for line in writer.stdout], daemon=True).start()
    try:
        writes, want = 0, 1 if how == "fork" else 6
        while writes < want or len(children) < want:
            # A child that kept a copy of a turn's lock makes the writer's next turn wait for the child.
            line = lines.get(timeout=30)
            writes += line == "writing"
            children += [] if line == "writing" else [int(line)]
        while not holds_writer_lock(writer.pid, path):
            assert writer.poll() is None, "the writer ended"
            time.sleep(0.0005)
        writer.kill()  # inside a write, holding the writer lock
        writer.wait()
        for pid in children:
            os.kill(pid, 0)  # alive, holding whatever the writer left them
        done = []
        other = threading.Thread(target=lambda: done.append(Engine(path).mem_write_pack(
            2, unit(1), [(0, np.ones(8, np.float32))], 50.0)), daemon=True)
        other.start()
        other.join(3.0)
        assert done, "another writer still waits after 3 s"
    finally:
        writer.kill()
        for pid in children:
            try:
                os.kill(pid, 9)
            except ProcessLookupError:
                pass
        writer.wait()

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

def limited(call, margin):
    gc.collect()
    with open("/proc/self/status") as f:
        size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (size + margin, resource.RLIM_INFINITY))
    try:
        call()
    except (MemoryError, RuntimeError) as error:
        return "%s: %s" % (type(error).__name__, error)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

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

out, archives = {}, itertools.count()
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
state = lambda x: [x.cell_count(), x.pack_count(), x.status()["governance_entries"],
                   sorted(p["pack_id"] for p in x.list_packs(None))]
out["refreshed"] = [after(e.refresh), state(e), state(Engine(path))]

layers, w = [(0, np.ones(1 << 20, np.float32))], None
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
    poisoned = "MemoryError: mem_write_pack: out of memory; the engine must be reopened"
    outcomes = {(m, after) for m, after in result["mem_write_pack"]}
    # Refused before the engine, poisoned inside it, and through.
    assert outcomes == {(None, "usable"), ("MemoryError: mem_write_pack: out of memory", "usable"),
                        (poisoned, "engine lock poisoned")}, outcomes
