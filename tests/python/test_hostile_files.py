"""A directory in which someone else can create files: a link planted in place
of one of the engine's files must not let the engine append to, cut or
overwrite the file it points at, and a FIFO in place of a file must be refused
at once instead of blocking the call forever."""

import json
import os
import shutil
import socket
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from quorvane_db._native import CheckpointRepository, Engine

# The files the engine appends to or reads whole, and those it only replaces
# by a rename (which replaces a link, not its target).
DATA = ["text_store.bin", "deletion_log.bin", "trace.wal", "synaptic.qvn", "segment_000000.qvn",
        "scheduled_actions.json"]
REPLACED = ["scheduled_actions.json.tmp", "vamana.idx.tmp", "vamana.idx"]
# The torn start of one more entry, which an append to a small file cuts
# first (a segment rotates past it instead).
TORN = {name: b"\x05\x00\x00" for name in DATA[:4]}


def vec(seed, n=8):
    return np.random.default_rng(seed).standard_normal(n).astype(np.float32)


def writes(e, victim):
    """One write per file of DATA, in its order; `victim` is a pack to delete."""
    return [lambda: e.set_pack_text(1, "again"), lambda: e.delete_pack(victim), lambda: e.add_pack_link(1, 2),
            lambda: e.store_synapsis(2, 7, vec(3, 4), vec(4, 4), 0.5, 1, 4),
            lambda: e.mem_write_pack(1, vec(victim), [(0, vec(victim + 1))], 50.0, None),
            lambda: e.schedule_evict_draft(4e9, 3, 10.0)]


@pytest.fixture(scope="module")
def base(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("base") / "db")
    e = Engine(path)
    for i in range(8):
        e.mem_write_pack(1, vec(i), [(0, vec(i + 100))], 50.0, f"text {i}")
    [call() for call in writes(e, 8)]
    del e
    Engine(path, vamana_threshold=4)  # writes the graph file
    return path


def copy(base, tmp_path):
    path = str(tmp_path / "db")
    shutil.copytree(base, path)
    return path


def plant_link(path, name, decoy, dangling):
    inside = os.path.join(path, name)
    if not dangling:
        with open(decoy, "wb") as f:
            f.write(open(inside, "rb").read() + TORN.get(name, b"") if os.path.exists(inside) else b"someone's")
    if os.path.exists(inside):
        os.unlink(inside)
    os.symlink(decoy, inside)
    return inside, open(decoy, "rb").read() if not dangling else None


@pytest.mark.parametrize("dangling", [False, True], ids=["to_a_file", "dangling"])
@pytest.mark.parametrize("name", DATA + REPLACED)
def test_no_write_reaches_through_a_planted_link(tmp_path, base, name, dangling):
    path = copy(base, tmp_path)
    decoy = str(tmp_path / "decoy")
    inside, before = plant_link(path, name, decoy, dangling)
    errors = []
    try:
        e = Engine(path)
        for call in writes(e, 7):
            try:
                call()
            except RuntimeError as error:
                errors.append(str(error))
        del e
        Engine(path, vamana_threshold=4)  # the graph is stale: written again
    except RuntimeError as error:
        errors.append(str(error))
    if name in REPLACED:
        assert errors == []
        final = inside.removesuffix(".tmp")
        assert os.path.isfile(final) and not os.path.islink(final)
        assert final == inside or not os.path.lexists(inside)  # the link removed by the save
    else:
        assert errors and all(f"{inside} is a symbolic link; refusing to use it" in e for e in errors), errors
    assert (open(decoy, "rb").read() if os.path.exists(decoy) else None) == before


def test_a_link_planted_while_the_engine_runs_is_refused_at_the_next_write(tmp_path, base):
    path = copy(base, tmp_path)
    e = Engine(path)
    for name, call in zip(DATA, writes(e, 6)):
        inside = os.path.join(path, name)
        own = open(inside, "rb").read()
        plant_link(path, name, str(tmp_path / name), False)
        try:
            call()  # a segment that changed under the engine may be left for a new one instead
            assert name == "segment_000000.qvn"
        except RuntimeError as error:
            assert f"{inside} is a symbolic link; refusing to use it" in str(error)
        assert open(tmp_path / name, "rb").read() == own + TORN.get(name, b"")
        os.unlink(inside)
        open(inside, "wb").write(own)


def plant(path, kind, target):
    """Puts `kind` in place of the file at `path`; returns the error every
    load of that name must give."""
    own = open(path, "rb").read()
    os.unlink(path)
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        with socket.socket(socket.AF_UNIX) as s:
            s.bind(path)  # the name stays after the close
    elif kind == "directory":
        os.mkdir(path)
        return "Is a directory (os error 21)"
    else:
        if kind == "live link":
            open(target, "wb").write(own)
        os.symlink(target, path)
        return f"{path} is a symbolic link; refusing to use it"
    return f"{path} is not a regular file"


@pytest.mark.parametrize("kind", ["fifo", "socket", "dangling link", "live link", "directory"])
@pytest.mark.parametrize("name", ["deletion_log.bin", "text_store.bin", "scheduled_actions.json"])
def test_a_file_the_engine_only_reads_is_missing_only_when_its_name_is(tmp_path, base, name, kind):
    path = copy(base, tmp_path)
    running = Engine(path)
    inside = os.path.join(path, name)
    own = open(inside, "rb").read()
    expected = plant(inside, kind, str(tmp_path / "target"))
    out = str(tmp_path / "out.tar")
    reads = [lambda: Engine(path), lambda: running.snapshot(out),
             running.list_scheduled if name == "scheduled_actions.json" else running.refresh]
    for read in reads:
        with pytest.raises(RuntimeError) as error:
            read()
        assert expected in str(error.value)
    assert not os.path.exists(out)
    # Nothing was served from what was not read: pack 8 stays deleted and
    # pack 1 keeps its text, before and after the file is back.
    assert not running.pack_exists(8) and running.pack_text(1) == "again"
    os.rmdir(inside) if kind == "directory" else os.unlink(inside)
    open(inside, "wb").write(own)
    running.refresh()
    assert not running.pack_exists(8) and running.pack_text(1) == "again"
    assert [e["action"]["owner"] for e in running.list_scheduled()] == [3]


@pytest.mark.parametrize("name", ["synaptic.qvn", "trace.wal", "vamana.idx", "segment_000000.qvn"])
def test_a_snapshot_holds_every_file_of_the_engine_or_fails(tmp_path, base, name):
    path = copy(base, tmp_path)
    running = Engine(path)
    expected = plant(os.path.join(path, name), "socket", None)
    with pytest.raises(RuntimeError) as error:
        running.snapshot(str(tmp_path / "out.tar"))
    assert expected in str(error.value)


# Runs the call in a worker thread of a new interpreter while the main thread
# counts: a call blocked holding the interpreter lock stalls the whole process
# (the parent's timeout ends it), one blocked without it is still running.
PROBE = textwrap.dedent("""
    import json, os, sys, threading, time
    from quorvane_db._native import CheckpointRepository, Engine
    path, root, code = sys.argv[1:4]
    out = {"error": None}
    def run():
        try:
            exec(code)
        except RuntimeError as error:
            out["error"] = str(error)
    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    deadline = time.monotonic() + 10
    while worker.is_alive() and time.monotonic() < deadline:
        time.sleep(0.005)
    out["finished"] = not worker.is_alive()
    print(json.dumps(out), flush=True)
    os._exit(0)
""")


def probe(path, root, code):
    try:
        done = subprocess.run([sys.executable, "-c", PROBE, path, root, code], capture_output=True, text=True,
                              timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{code} blocked holding the interpreter lock")
    out = json.loads(done.stdout)
    assert out["finished"], f"{code} blocked"
    return out["error"]


@pytest.mark.parametrize("name, call", [
    ("trace.wal", "Engine(path)"), ("synaptic.qvn", "Engine(path)"), ("scheduled_actions.json", "Engine(path)"),
    ("segment_000000.qvn", "Engine(path)"), ("text_store.bin", "Engine(path).set_pack_text(2, 'x')"),
    ("deletion_log.bin", "Engine(path).delete_pack(2)"), ("vamana.idx", "Engine(path, vamana_threshold=4)"),
    *[("0002.tar", f"repo = CheckpointRepository(root)\n{call}") for call in [
        "repo.list()", "repo.list('daily')", "repo.latest('daily')", "repo.restore_latest('daily', path + '/r')"]]])
def test_a_fifo_in_place_of_a_file_is_refused_at_once(tmp_path, base, name, call):
    path, root = copy(base, tmp_path), str(tmp_path / "repo")
    if name == "0002.tar":  # among a repository's checkpoints
        fifo = os.path.join(os.path.dirname(CheckpointRepository(root).save(Engine(path), "daily")["path"]), name)
    else:
        fifo = os.path.join(path, name)
        os.unlink(fifo)
    os.mkfifo(fifo)
    error = probe(path, root, call)
    if name == "vamana.idx":
        assert error is None  # an unusable graph file is built again and replaced
        assert os.path.isfile(fifo)
    elif name == "0002.tar":
        assert error == f"storage I/O error: {fifo} is not a regular file"
    else:
        assert f"{fifo} is not a regular file" in error
    assert not os.path.exists(os.path.join(path, "r"))
