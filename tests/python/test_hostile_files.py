"""An engine directory, or a checkpoint repository, in which someone else can
create files: a link planted in place of one of the engine's files must not
let the engine append to, cut or overwrite the file it points at, and a FIFO
(or anything else that is not a regular file) must be refused at once instead
of blocking the call forever."""

import json
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvane_db._native import CheckpointRepository, Engine

DATA_FILES = ["text_store.bin", "deletion_log.bin", "trace.wal", "synaptic.qvn", "segment_000000.qvn",
              "scheduled_actions.json"]
TEMP_FILES = ["scheduled_actions.json.tmp", "vamana.idx.tmp"]
# Bytes the small files and the segment would take as the torn start of one
# more entry: the engine cuts such a tail before its next append.
TORN = b"\x05\x00\x00"


def vec(seed, n=8):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def fill(e, first, n=6):
    for i in range(first, first + n):
        e.mem_write_pack(1, vec(i), [(0, vec(i + 1000))], 50.0, f"text {i}")


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    """A directory holding every file the engine writes, the graph file included."""
    path = str(tmp_path_factory.mktemp("base") / "db")
    e = Engine(path)
    fill(e, 0)
    e.delete_pack(1)
    e.add_pack_link(2, 3)
    e.store_synapsis(1, 7, vec(1, 4), vec(2, 4), 0.5, 1, 4)
    e.schedule_evict_draft(4e9, 1, 10.0)
    del e
    Engine(path, vamana_threshold=4)
    assert set(DATA_FILES + ["vamana.idx"]) <= set(os.listdir(path))
    return path


def exercise(path):
    """Every write the engine makes, each allowed to fail; returns the errors."""
    errors = []

    def attempt(fn, *args):
        try:
            fn(*args)
        except RuntimeError as error:
            errors.append(str(error))

    e = Engine(path)
    attempt(fill, e, 100, 2)
    attempt(e.set_pack_text, 2, "again")
    attempt(e.delete_pack, 3)
    attempt(e.add_pack_link, 4, 5)
    attempt(e.store_synapsis, 2, 7, vec(3, 4), vec(4, 4), 0.5, 1, 4)
    attempt(e.schedule_evict_draft, 4e9, 2, 10.0)
    attempt(e.refresh)
    attempt(e.compact)
    del e
    # The graph file is written when an open finds it missing or stale.
    attempt(lambda: Engine(path, vamana_threshold=4))
    return errors


def plant(tmp_path, base, name, dangling):
    """A copy of `base` whose `name` is a link to a file outside it: a copy
    of the engine's own file followed by a torn entry, or nothing at all."""
    path = str(tmp_path / "db")
    shutil.copytree(base, path)
    decoy = str(tmp_path / ("missing" if dangling else "decoy"))
    inside = os.path.join(path, name)
    if not dangling:
        with open(decoy, "wb") as f:
            f.write((open(inside, "rb").read() + TORN) if os.path.exists(inside) else b"not the engine's")
    if os.path.exists(inside):
        os.unlink(inside)
    os.symlink(decoy, inside)
    return path, inside, decoy


def snapshot_of(decoy):
    return open(decoy, "rb").read() if os.path.exists(decoy) else None


@pytest.mark.parametrize("dangling", [False, True], ids=["to_a_file", "dangling"])
@pytest.mark.parametrize("name", DATA_FILES + TEMP_FILES + ["vamana.idx"])
def test_no_write_reaches_through_a_planted_link(tmp_path, base, name, dangling):
    path, inside, decoy = plant(tmp_path, base, name, dangling)
    before = snapshot_of(decoy)
    refusal = f"{inside} is a symbolic link; refusing to use it"
    # Files the engine only ever replaces by a rename (the link goes, not
    # its target), and a dangling link where the schedules file would be:
    # to the engine that is no file yet, and its first save replaces it.
    replaced = name in TEMP_FILES or name == "vamana.idx" or (dangling and name == "scheduled_actions.json")
    if name in DATA_FILES and not replaced and not (dangling and name in ("text_store.bin", "deletion_log.bin")):
        # A link there is found at open, before anything is read through it.
        with pytest.raises(RuntimeError, match="storage I/O error|WAL recovery failed") as raised:
            Engine(path)
        assert refusal in str(raised.value)
    else:
        errors = exercise(path)
        if replaced:
            assert errors == []
            # Written anew, in a file of the engine's own.
            final = inside.removesuffix(".tmp")
            if final != inside:
                assert not os.path.lexists(inside)
            assert not os.path.islink(final) and os.path.isfile(final)
            assert open(final, "rb").read() != open(os.path.join(base, os.path.basename(final)), "rb").read()
        else:
            # A store that has no file yet meets the link at its first append.
            assert errors and all(refusal in error for error in errors), errors
            assert os.path.islink(inside)
    assert snapshot_of(decoy) == before


def test_a_link_planted_while_the_engine_runs_is_refused_at_the_next_append(tmp_path, base):
    path = str(tmp_path / "db")
    shutil.copytree(base, path)
    e = Engine(path)
    calls = {
        "segment_000000.qvn": lambda: e.mem_write_pack(1, vec(50), [(0, vec(51))], 50.0, None),
        "text_store.bin": lambda: e.set_pack_text(2, "again"),
        "deletion_log.bin": lambda: e.delete_pack(4),
        "trace.wal": lambda: e.add_pack_link(4, 5),
        "synaptic.qvn": lambda: e.store_synapsis(2, 7, vec(3, 4), vec(4, 4), 0.5, 1, 4),
        "scheduled_actions.json": lambda: e.schedule_evict_draft(4e9, 3, 10.0),
    }
    for name, call in calls.items():
        inside, decoy = os.path.join(path, name), str(tmp_path / name)
        own = open(inside, "rb").read()
        with open(decoy, "wb") as f:
            f.write(own + TORN)
        os.unlink(inside)
        os.symlink(decoy, inside)
        with pytest.raises(RuntimeError) as raised:
            call()
        assert f"{inside} is a symbolic link; refusing to use it" in str(raised.value)
        assert open(decoy, "rb").read() == own + TORN
        os.unlink(inside)
        with open(inside, "wb") as f:
            f.write(own)


# Runs one call in a worker thread of a fresh interpreter while the main
# thread keeps counting: a call that blocks holding the interpreter lock
# stops the count and the whole process (the parent's timeout ends it); one
# that blocks without it is reported as still running.
PROBE = textwrap.dedent("""
    import json, os, sys, threading, time
    import numpy as np
    from quorvane_db._native import CheckpointRepository, Engine
    path, root, code = sys.argv[1:4]
    outcome = {}

    def run():
        started = time.monotonic()
        try:
            exec(code)
            outcome["error"] = None
        except RuntimeError as error:
            outcome["error"] = str(error)
        outcome["secs"] = time.monotonic() - started

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    ticks = 0
    deadline = time.monotonic() + 10
    while worker.is_alive() and time.monotonic() < deadline:
        time.sleep(0.005)
        ticks += 1
    outcome["finished"] = not worker.is_alive()
    outcome["ticks"] = ticks
    print(json.dumps(outcome), flush=True)
    os._exit(0)
""")


def probe(path, root, code):
    try:
        done = subprocess.run([sys.executable, "-c", PROBE, path, root, code], capture_output=True, text=True,
                              timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{code} blocked holding the interpreter lock")
    assert done.returncode == 0, done.stderr
    outcome = json.loads(done.stdout)
    assert outcome["finished"], f"{code} blocked (the interpreter lock released, {outcome['ticks']} ticks)"
    return outcome


ENGINE_CALLS = {
    "trace.wal": "Engine(path)",
    "synaptic.qvn": "Engine(path)",
    "scheduled_actions.json": "Engine(path)",
    "segment_000000.qvn": "Engine(path)",
    "text_store.bin": "Engine(path).set_pack_text(2, 'x')",
    "deletion_log.bin": "Engine(path).delete_pack(2)",
}


@pytest.mark.parametrize("name", sorted(ENGINE_CALLS))
def test_a_fifo_in_place_of_an_engine_file_is_refused_at_once(tmp_path, base, name):
    path = str(tmp_path / "db")
    shutil.copytree(base, path)
    os.unlink(os.path.join(path, name))
    os.mkfifo(os.path.join(path, name))
    outcome = probe(path, "", ENGINE_CALLS[name])
    assert outcome["error"] is not None and f"{os.path.join(path, name)} is not a regular file" in outcome["error"]


def test_a_fifo_in_place_of_the_graph_file_is_passed_over(tmp_path, base):
    path = str(tmp_path / "db")
    shutil.copytree(base, path)
    os.unlink(os.path.join(path, "vamana.idx"))
    os.mkfifo(os.path.join(path, "vamana.idx"))
    # An unusable graph file is built again and replaced.
    assert probe(path, "", "Engine(path, vamana_threshold=4)")["error"] is None
    assert not os.path.islink(os.path.join(path, "vamana.idx"))
    assert os.path.isfile(os.path.join(path, "vamana.idx"))


@pytest.mark.parametrize("call", ["repo.list()", "repo.list('daily')", "repo.latest('daily')",
                                  "repo.restore_latest('daily', path + '/restored')"])
def test_a_fifo_among_checkpoints_is_refused_at_once(tmp_path, base, call):
    root, path = str(tmp_path / "repo"), str(tmp_path / "db")
    shutil.copytree(base, path)
    saved = CheckpointRepository(root).save(Engine(path), "daily")
    fifo = os.path.join(os.path.dirname(saved["path"]), "0002.tar")
    os.mkfifo(fifo)
    outcome = probe(str(tmp_path), root, f"repo = CheckpointRepository(root)\n{call}")
    assert outcome["error"] == f"storage I/O error: {fifo} is not a regular file"
    assert not os.path.exists(tmp_path / "restored")
