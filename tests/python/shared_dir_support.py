"""Helpers for the tests of several engines on one directory. Functions that
child processes run live here: a spawned child imports them by module name."""

import multiprocessing as mp
import os
import subprocess
import sys
import textwrap

import numpy as np

from quorvane_db._native import Engine

CTX = mp.get_context("spawn")
TIMEOUT = 60


def unit(i, dim=16):
    v = np.zeros(dim, np.float32)
    v[i % dim] = 1.0
    return v


def exact(n, shift):
    """n floats the 4-bit storage codec keeps exactly (-7..7, a 7 first in every group of 32)."""
    v = ((np.arange(n) + shift) % 15 - 7).astype(np.float32)
    v[::32] = 7.0
    return v


def run_script(script, *args, **env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)], capture_output=True,
                          text=True, timeout=180, env={**os.environ, **env})


def start(target, *args):
    p = CTX.Process(target=target, args=args, daemon=True)
    p.start()
    return p


def _serve(path, kwargs, conn):
    engine = Engine(path, **kwargs)
    conn.send("open")
    while (call := conn.recv()) is not None:
        try:
            conn.send((True, getattr(engine, call[0])(*call[1])))
        except Exception as error:  # noqa: BLE001 - raised again by the caller
            conn.send((False, str(error)))


class Remote:
    """An engine opened (before the constructor returns) in a process of its
    own; a method call runs there, an error comes back as RuntimeError."""

    def __init__(self, path, **kwargs):
        self._conn, child = CTX.Pipe()
        self._proc = start(_serve, path, kwargs, child)
        assert self._conn.poll(TIMEOUT) and self._conn.recv() == "open"

    def __getattr__(self, name):
        def call(*args):
            self._conn.send((name, args))
            assert self._conn.poll(TIMEOUT), f"{name} got no answer"
            ok, value = self._conn.recv()
            if not ok:
                raise RuntimeError(value)
            return value

        return call

    def close(self):
        self._conn.send(None)
        self._proc.join(TIMEOUT)


# --- targets of child processes -----------------------------------------------------------


def open_new_directories(root, rounds, barrier, errors):
    for r in range(rounds):
        barrier.wait()
        try:
            Engine(os.path.join(root, f"db{r}")).mem_write_pack(1, unit(r), [], 50.0)
        except RuntimeError as err:
            errors.put(f"round {r}: {err}")


def churn(path, owner, secs, out, segment_size, rounds, refresh):
    """Writes packs, view keys and deletions and compacts until the time or
    the rounds are up (the rounds keep the cells below the graph threshold)."""
    import time
    e = Engine(path, segment_size=segment_size)
    kept, deleted, views, failures, i, compactions = {}, [], {}, [], 0, 0
    end = time.monotonic() + secs
    while time.monotonic() < end and compactions + len(failures) < rounds:
        try:
            new = [(e.mem_write_pack(owner, unit(i + j), [(0, np.full(64, owner * 100 + (i + j) % 50, np.float32))],
                                     50.0), i + j) for j in range(6)]
            i += 6
            for p, _ in new[:4]:
                e.delete_pack(p)
                deleted.append(p)
            kept.update(new[4:])
            e.add_view_keys(new[4][0], [unit(i + 1)])
            views[new[4][0]] = views.get(new[4][0], 0) + 1
            if refresh:
                e.refresh()
            e.compact()
            compactions += 1
        except RuntimeError as error:
            failures.append(str(error))
    out.put((owner, kept, deleted, views, compactions, failures))


def graph_refresher(path, owner, rounds, barrier, out):
    barrier.wait()
    failures, e = [], None
    while e is None and len(failures) < rounds:  # the open builds the graph, too
        try:
            e = Engine(path, vamana_threshold=1)
        except RuntimeError as err:
            failures.append(str(err))
    for i in range(rounds if e else 0):
        e.mem_write(owner, 0, unit(owner * 7 + i), np.full(8, i, np.float32), 50.0, None)
        try:
            e.refresh()  # every refresh finds the file stale and rebuilds it
        except RuntimeError as err:
            failures.append(str(err))
    out.put((failures, e is not None and e.has_vamana()))


_held = []


def buffered_writer(path, conn):
    e = Engine.open_with_write_buffer(path, 1000)
    _held.append(e)  # drained at interpreter exit unless flushed before
    while (cmd := conn.recv())[0] != "exit":
        try:
            res = e.flush_buffer() if cmd[0] == "flush" else [
                e.mem_write_pack(1, unit(i), [(1, np.full(8, 100 + i, np.float32)),
                                              (2, np.full(8, 200 + i, np.float32))], 50.0) for i in range(cmd[1])]
            conn.send(("ok", res))
        except RuntimeError as err:
            conn.send(("error", str(err)))


def write_packs(path, started, stop):
    engine = Engine(path)
    for i in range(20000):
        if stop.is_set():
            return
        engine.mem_write_pack(2, unit(i), [(0, np.full(64, i, np.float32)), (1, np.full(64, -i, np.float32))], 50.0,
                              f"w{i}")
        started.set()


def schedule_many(path, owner, n, barrier, out):
    engine = Engine(path)
    barrier.wait()
    try:
        out.put([engine.schedule_evict_draft(4e9 + i, owner, 1.0) for i in range(n)])
    except RuntimeError as error:
        out.put(str(error))
