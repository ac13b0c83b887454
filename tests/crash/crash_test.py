#!/usr/bin/env python3
"""Kill-at-random-moments durability test.

A child writes packs (one in ten with layers of megabytes), cells, batches,
texts, links and deletions, announcing each call before it and acknowledging
it after, one flushed line each. The parent SIGKILLs it at a random moment,
reopens the directory and checks that every acknowledged write reads back as
written (layers as the 4-bit group code of what was written), that the write
in flight is wholly visible or not at all, and that the engine still works.
The parent's model spans iterations, so each child starts where the last one
stopped. In some rounds the child forks children that outlive it (the
parent's writes must not wait for them) and an engine opened before the
round, never refreshed, reads every pack it knows back afterwards.

    python3 tests/crash/crash_test.py --iterations 200
"""

import argparse
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import warnings

import numpy as np

SEGMENT_SIZE = 1 << 16  # small, so the children rotate segments often
KEY_DIM = 16
LINK_KINDS = (0, 1, 2, 3)
SLEEPER_SECS = 30  # how long a writer's forked child lives unless killed


# --- what a child writes, derived from a seed so the parent can recompute it --


def is_big(seed):
    return np.random.default_rng(seed).random() < 0.1


def pack_data(seed):
    big = is_big(seed)
    rng = np.random.default_rng(seed)
    owner = int(rng.integers(1, 5))
    key = rng.standard_normal(KEY_DIM).astype(np.float32)
    n_layers = int(rng.integers(2, 6)) if big else int(rng.integers(0, 4))
    layer_ids = sorted(int(x) for x in rng.choice(40, size=n_layers, replace=False))
    layers = []
    for idx in layer_ids:
        n = int(rng.integers(1 << 20, 3 << 20)) if big else int(rng.integers(1, 100))
        data = (rng.standard_normal(n) * rng.uniform(0.01, 50)).astype(np.float32)
        if rng.random() < 0.2:
            data[: min(n, 32)] = 0.0
        layers.append((idx, data))
    choice = rng.random()
    text = None if choice < 0.3 else ("" if choice < 0.4 else f"pack {seed} \u00e9\u4e2d " * int(rng.integers(1, 6)))
    return owner, key, layers, float(rng.uniform(-10, 110)), text


def cell_data(seed):
    rng = np.random.default_rng(seed)
    owner, layer = int(rng.integers(1, 5)), int(rng.integers(0, 65534))
    key = rng.standard_normal(KEY_DIM).astype(np.float32)
    value = rng.standard_normal(int(rng.integers(0, 70))).astype(np.float32)
    return owner, layer, key, value, float(rng.uniform(-10, 110))


def importance_of(salience):
    s = np.float32(salience)
    return float(min(np.float32(min(max(s, np.float32(0)), np.float32(100))) + np.float32(5), np.float32(100)))


def q4_round_trip(values):
    """What the 4-bit group codec gives back for finite float32 values."""
    x = np.asarray(values, dtype=np.float32)
    n = len(x)
    g = np.zeros(-(-n // 32) * 32, dtype=np.float32)
    g[:n] = x
    g = g.reshape(-1, 32)  # zero padding never raises a group's maximum
    a = np.max(np.abs(g), axis=1)
    s = np.where(a == 0, np.float32(1.0), a / np.float32(7)).astype(np.float32)[:, None]
    q = (g / s).astype(np.float64)  # the float32 quotient, rounded exactly below
    code = np.clip(np.sign(q) * np.floor(np.abs(q) + 0.5), -7, 7).astype(np.float32)
    # Adding zero turns -0.0 into the +0.0 that the decoder gives for code 8.
    return (s * code + np.float32(0)).astype(np.float32).ravel()[:n]


_expected_layers = {}


def expected_layers(seed):
    """(layer index, digest of the decoded values) of a pack, computed once per seed."""
    if seed not in _expected_layers:
        _expected_layers[seed] = [(idx, hashlib.sha256(q4_round_trip(data).tobytes()).hexdigest())
                                  for idx, data in pack_data(seed)[2]]
    return _expected_layers[seed]


# --- the child ---------------------------------------------------------------


def fork_sleeper(say):
    """Forks a child that touches nothing and outlives this process (the
    parent kills it); reports its pid."""
    pid = os.fork()
    if pid == 0:
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):  # the parent's reader waits for the end of this pipe
            os.dup2(null, fd)
        time.sleep(SLEEPER_SECS)
        os._exit(0)
    say(forked=pid)


def child(path, seed, forks=False):
    from quorvane_db import _native

    rng = random.Random(seed)
    lock = threading.Lock()

    def say(**msg):
        line = json.dumps(msg) + "\n"
        with lock:
            sys.stdout.write(line)
            sys.stdout.flush()

    e = _native.Engine(path, segment_size=SEGMENT_SIZE)
    live = [p["pack_id"] for p in e.list_packs()]
    cells = []
    if forks:
        # One child forked outside any write, one from another thread while
        # this one writes (most likely inside its writer turn).
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads running
        fork_sleeper(say)
        delay = rng.uniform(0, 0.1)
        threading.Thread(target=lambda: (time.sleep(delay), fork_sleeper(say)), daemon=True).start()
    say(ready=True)
    n = 0
    while True:
        n += 1
        op_seed = seed * 1_000_000 + n
        r = rng.random()
        if r < 0.35 or not live:
            owner, key, layers, salience, text = pack_data(op_seed)
            say(intent="pack", seed=op_seed)
            pid = e.mem_write_pack(owner, key, layers, salience, text)
            say(ack="pack", seed=op_seed, id=pid)
            live.append(pid)
        elif r < 0.55:
            owner, layer, key, value, salience = cell_data(op_seed)
            parent = rng.choice(cells) if cells and rng.random() < 0.5 else None
            say(intent="cell", seed=op_seed, parent=parent)
            cid = e.mem_write(owner, layer, key, value, salience, parent)
            say(ack="cell", seed=op_seed, id=cid, parent=parent)
            cells.append(cid)
        elif r < 0.62:
            seeds = [op_seed * 10 + i for i in range(rng.randint(1, 4))]
            say(intent="batch", seeds=seeds)
            ids = e.mem_write_batch([cell_data(s) + (None,) for s in seeds])
            say(ack="batch", seeds=seeds, ids=ids)
            cells.extend(ids)
        elif r < 0.75:
            pid = rng.choice(live)
            text = f"text {op_seed} \u00fc" if rng.random() < 0.8 else ""
            say(intent="text", id=pid, text=text)
            e.set_pack_text(pid, text)
            say(ack="text", id=pid, text=text)
        elif r < 0.88:
            a, b = rng.choice(live), rng.choice(live)
            kind = rng.choice(LINK_KINDS)
            say(intent="link", a=a, b=b, kind=kind)
            e.add_pack_edge(a, b, kind)
            say(ack="link", a=a, b=b, kind=kind)
        else:
            pid = live.pop(rng.randrange(len(live)))
            say(intent="delete", id=pid)
            e.delete_pack(pid)
            say(ack="delete", id=pid)


# --- the parent --------------------------------------------------------------


class Model:
    """What the directory must hold: every acknowledged write so far."""

    def __init__(self):
        self.packs, self.texts, self.cells = {}, {}, {}  # id -> seed; id -> text; id -> (seed, parent)
        self.deleted, self.links = set(), set()  # pack ids; (a, b, kind)
        self.written = {}  # id -> seed of every pack ever acknowledged, deleted ones too

    def add_pack(self, pid, seed):
        self.packs[pid] = seed
        self.written[pid] = seed
        self.texts[pid] = pack_data(seed)[4]


class Failure(AssertionError):
    pass


def check(cond, msg):
    if not cond:
        raise Failure(msg)


def run_child(path, seed, delay, before_ready, aim=None, forks=False):
    """Runs one child and kills it `delay` seconds after it opened the engine,
    or after it started when `before_ready`; with `aim`, `aim` seconds after
    it announces a big pack instead, if that comes first (the pack's layers
    are coded, then written in one append: the kill lands in either).
    Returns its whole lines."""
    proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--child", path, "--seed", str(seed)] +
                            (["--fork"] if forks else []), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    lines, ready, big_intent = [], threading.Event(), threading.Event()

    def read():
        # Only whole lines count: a line cut short was never acknowledged.
        for line in proc.stdout:
            if not line.endswith(b"\n"):
                break
            lines.append(json.loads(line))
            if lines[-1].get("ready"):
                ready.set()
            if lines[-1].get("intent") == "pack" and is_big(lines[-1]["seed"]):
                big_intent.set()
        ready.set()
        big_intent.set()

    reader = threading.Thread(target=read)
    reader.start()
    if not before_ready:
        ready.wait(60)
    if aim is not None and big_intent.wait(delay + 1.0):
        time.sleep(aim)
    else:
        time.sleep(delay)
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    reader.join()
    err = proc.stderr.read().decode(errors="replace")
    if err.strip():
        raise Failure(f"child wrote to stderr:\n{err}")
    return lines


def apply_acks(model, messages):
    """Adds every acknowledged write to the model; returns the write in flight."""
    pending = None
    for m in messages:
        if "intent" in m:
            pending = m
            continue
        if "ack" not in m:
            continue
        pending = None
        kind = m["ack"]
        if kind == "pack":
            model.add_pack(m["id"], m["seed"])
        elif kind == "cell":
            model.cells[m["id"]] = (m["seed"], m["parent"])
        elif kind == "batch":
            for cid, s in zip(m["ids"], m["seeds"]):
                model.cells[cid] = (s, None)
        elif kind == "text":
            model.texts[m["id"]] = m["text"]
        elif kind == "link":
            model.links.add((m["a"], m["b"], m["kind"]))
        elif kind == "delete":
            model.packs.pop(m["id"], None)
            model.deleted.add(m["id"])
    return pending


def expect_pack(e, pid, seed, text, hit=None):
    owner = pack_data(seed)[0]
    layers = expected_layers(seed)
    hit = hit or e.load_pack_by_id(pid)
    check(hit["pack_id"] == pid and hit["owner"] == owner, f"pack {pid}: wrong id/owner {hit['owner']}")
    got = [(l["layer_idx"], l["data"]) for l in hit["layers"]]
    # Every layer it was written with, or the pack is not found at all.
    check([g[0] for g in got] == [l[0] for l in layers], f"pack {pid}: layers {[g[0] for g in got]}")
    for (idx, data), (_, want) in zip(got, layers):
        got_digest = hashlib.sha256(np.asarray(data, np.float32).tobytes()).hexdigest()
        check(got_digest == want, f"pack {pid} layer {idx}: values differ")
    if text is not None or hit["text"] is not None:
        check(hit["text"] == text, f"pack {pid}: text {hit['text']!r} != {text!r}")
        check(e.pack_text(pid) == text, f"pack {pid}: pack_text differs")


def check_stale_reader(e, model, listed):
    """An engine that never refreshed while others wrote, deleted and
    compacted: every read gives a pack as written or "pack not found"."""
    for pid in listed:
        try:
            hit = e.load_pack_by_id(pid)
        except RuntimeError as err:
            check(str(err) == f"pack not found: {pid}", f"stale reader, pack {pid}: {err}")
            continue
        # Texts may have changed since; owner and layers never do.
        expect_pack(e, pid, model.written[pid], None, dict(hit, text=None))
    for pid in listed[:20]:
        owner, key = pack_data(model.written[pid])[:2]
        for hit in e.mem_read_pack(key, 5, owner):
            check(hit["pack_id"] in model.written, f"stale reader: pack {hit['pack_id']} nobody wrote")
            expect_pack(e, hit["pack_id"], model.written[hit["pack_id"]], None, dict(hit, text=None))


def resolve_pending(e, model, pending, listed):
    """The write in flight when the child died: whole or absent, never half."""
    unknown = sorted(set(listed) - set(model.packs))
    kind = pending["intent"] if pending else None
    if kind == "pack" and unknown:
        check(len(unknown) == 1, f"several unacknowledged packs visible: {unknown}")
        expect_pack(e, unknown[0], pending["seed"], pack_data(pending["seed"])[4])
        model.add_pack(unknown[0], pending["seed"])
        return
    check(not unknown, f"packs visible that nobody wrote: {unknown}")
    if kind == "delete":
        pid = pending["id"]
        if not e.pack_exists(pid):
            model.packs.pop(pid, None)
            model.deleted.add(pid)
    elif kind == "text":
        pid = pending["id"]
        got = e.pack_text(pid)
        check(got in (model.texts[pid], pending["text"]), f"pack {pid}: torn text {got!r}")
        model.texts[pid] = got
    elif kind == "link":
        a, b, k = pending["a"], pending["b"], pending["kind"]
        if b in e.pack_links_by_type(a, k):
            model.links.add((a, b, k))


def verify(e, model, pending):
    listed = [p["pack_id"] for p in e.list_packs()]
    check(len(listed) == len(set(listed)), "list_packs repeats a pack")
    check(e.pack_count() == len(listed), f"pack_count {e.pack_count()} != {len(listed)} listed")
    resolve_pending(e, model, pending, listed)
    check(sorted(model.packs) == sorted(set(listed)), "listed packs differ from the acknowledged ones")
    for pid, seed in model.packs.items():
        expect_pack(e, pid, seed, model.texts[pid])
    for pid in model.deleted:
        check(not e.pack_exists(pid), f"deleted pack {pid} is back")
        try:
            e.load_pack_by_id(pid)
        except RuntimeError as err:
            check(str(err) == f"pack not found: {pid}", f"deleted pack {pid}: {err}")
        else:
            raise Failure(f"deleted pack {pid} still loads")
    for a, b, k in model.links:
        # A pack never lists itself, and links to deleted packs vanish.
        if a != b and a in model.packs and b in model.packs:
            check(b in e.pack_links_by_type(a, k), f"link {a}->{b} kind {k} lost")
            check(a in e.pack_links_by_type(b, k), f"link {b}->{a} kind {k} lost")
    for cid, (seed, parent) in model.cells.items():
        _owner, _layer, _key, _value, salience = cell_data(seed)
        got = e.cell_importance(cid)
        check(got == importance_of(salience), f"cell {cid}: importance {got}, want {importance_of(salience)}")
        if parent is not None:
            check(parent in e.trace_ancestors(cid), f"cell {cid}: parent {parent} lost")
    # Cells found by a read must carry what was written.
    for cid, (seed, _parent) in list(model.cells.items())[-20:]:
        owner, layer, key, value, _salience = cell_data(seed)
        for hit in e.mem_read(key, 3, owner):
            if hit.cell_id == cid:
                check(hit.layer == layer, f"cell {cid}: layer {hit.layer}")
                check(np.array_equal(np.asarray(hit.value(), np.float32), q4_round_trip(value)),
                      f"cell {cid}: value differs")


def keep_working(e, model, seed):
    owner, key, layers, salience, text = pack_data(seed)
    pid = e.mem_write_pack(owner, key, layers, salience, text)
    check(pid not in model.packs and pid not in model.deleted, f"pack id {pid} reused")
    model.add_pack(pid, seed)
    # Scores weigh tier and recency, so only a read asking for every pack is
    # sure to return this one.
    hits = e.mem_read_pack(key, len(model.packs) + 1, owner)
    check(any(h["pack_id"] == pid for h in hits), f"new pack {pid} not found by a read")
    e.refresh()
    e.compact()
    expect_pack(e, pid, seed, text)
    check(e.pack_count() == len(model.packs), "pack_count after compaction")


def alive(pid):
    """Whether the process `pid` (not a child of this one) still runs: a
    zombie that nobody reaped yet has ended."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        if os.path.isdir("/proc/self"):
            return False
    try:  # no /proc
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def run(iterations, seed=None, reset_every=25, max_delay=0.25, log=print, fork_every=5):
    """Runs the kill loop; returns a summary dict. Raises Failure on a loss."""
    from quorvane_db import _native

    seed = seed if seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    root = tempfile.mkdtemp(prefix="qvn-crash-")
    totals = {"iterations": iterations, "verified": 0, "acknowledged": 0, "in_flight_landed": 0,
              "killed_before_ready": 0, "killed_in_big_pack": 0, "forked": 0, "stale_reads": 0}
    sleepers = []
    try:
        path, model = None, None
        for it in range(iterations):
            if it % reset_every == 0:
                path = os.path.join(root, f"db{it}")
                model = Model()
            # Every few rounds the writer leaves forked children alive behind
            # it, and an engine opened before the round never refreshes.
            forks = it % reset_every and it % fork_every == 0
            stale = _native.Engine(path, segment_size=SEGMENT_SIZE) if forks else None
            stale_listed = [p["pack_id"] for p in stale.list_packs()] if stale else []
            # Some kills land while the child is still importing or opening.
            before_ready = rng.random() < 0.1 and not forks
            delay = rng.uniform(0, 0.3) if before_ready else rng.uniform(0, max_delay)
            child_seed = rng.randrange(1, 1 << 20)
            aim = rng.uniform(0, 0.2) if rng.random() < 0.5 else None
            messages = run_child(path, child_seed, delay, before_ready, aim, forks)
            forked = [m["forked"] for m in messages if "forked" in m]
            sleepers += forked
            if not any(m.get("ready") for m in messages):
                totals["killed_before_ready"] += 1
            before = len(model.packs)
            pending = apply_acks(model, messages)
            if pending and pending.get("intent") == "pack" and is_big(pending["seed"]):
                totals["killed_in_big_pack"] += 1
            totals["acknowledged"] += sum(1 for m in messages if "ack" in m)
            if not os.path.isdir(path):
                check(not model.packs, "directory missing")
                continue
            try:
                e = _native.Engine(path, segment_size=SEGMENT_SIZE)
                acked_packs = len(model.packs)
                verify(e, model, pending)
                totals["in_flight_landed"] += len(model.packs) - acked_packs
                keep_working(e, model, child_seed * 1_000_003 + 7)
                del e
                # Its writes took the writer lock the killed writer held: had
                # a forked child kept that lock, they would have waited for
                # the child to end.
                for pid in forked:
                    check(alive(pid),
                          f"the writes waited for the killed writer's child {pid} to end")
                    os.kill(pid, signal.SIGKILL)
                totals["forked"] += bool(forked)
                if stale:
                    if totals["forked"] % 2:
                        stale.compact()  # its own compaction, with what others deleted in view only there
                    check_stale_reader(stale, model, stale_listed)
                    totals["stale_reads"] += len(stale_listed)
            except Failure as f:
                raise Failure(f"seed {seed}, iteration {it}, child seed {child_seed}: {f}") from None
            totals["verified"] += 1
            log(f"iteration {it}: {len(messages)} lines, packs {before} -> {len(model.packs)}, "
                f"cells {len(model.cells)}, deleted {len(model.deleted)}, links {len(model.links)}")
    finally:
        for pid in sleepers:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)
        shutil.rmtree(root, ignore_errors=True)
    totals["seed"] = seed
    return totals


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--iterations", type=int, default=100)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--child", metavar="DIR", help=argparse.SUPPRESS)
    ap.add_argument("--quiet", action="store_true")
    ap.add_argument("--fork", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child, args.seed, args.fork)
        return 0
    try:
        totals = run(args.iterations, args.seed, log=(lambda *_: None) if args.quiet else print)
    except Failure as f:
        print(f"FAILED: {f}", file=sys.stderr)
        return 1
    print(json.dumps(totals))
    return 0


if __name__ == "__main__":
    sys.exit(main())
