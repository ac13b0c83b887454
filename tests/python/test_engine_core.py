"""Engine construction, persistence, settings, writes and reads, driven from Python."""

import inspect
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from quorvane_db import _native
from quorvane_db._native import Engine

NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."

STATUS_KEYS = [
    "cell_count",
    "pack_count",
    "segment_count",
    "slb_occupancy",
    "slb_capacity",
    "vamana_active",
    "pipeline_stages",
    "governance_entries",
    "trace_edges",
    "arena_bytes",
    "arena_bytes_per_cell",
]
MANIFEST_KEYS = [
    "magic",
    "format_version",
    "created_at",
    "pack_count",
    "owner_count",
    "sha256",
    "quantization_codec",
    "key_codec",
]
PACK_KEYS = ["pack_id", "owner", "score", "tier", "layers", "text"]


def f32(values):
    return np.asarray(values, dtype=np.float32)


def exact(n, shift=0):
    """n floats that the 4-bit storage codec keeps exactly (integers within
    -7..7, with 7 or -7 present in every group of 32)."""
    return f32([((i + shift) % 15) - 7 for i in range(n)])


def unit(dim, i):
    v = np.zeros(dim, np.float32)
    v[i] = 1.0
    return v


def encoded(rows):
    rows = f32(rows)
    n, d = rows.shape
    header = np.zeros(_native.ENCODING_HEADER_SIZE, np.float32)
    header[0] = _native.ENCODING_SENTINEL
    header[_native.ENCODING_DIM_IDX] = d
    return np.concatenate([header, rows.ravel()])


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "engine")


@pytest.fixture
def engine(path):
    return Engine(path)


def test_fresh_engine_reports_empty_state(path):
    e = Engine(path)
    assert os.path.isdir(path)
    assert (e.cell_count(), e.pack_count(), e.has_vamana(), e.pipeline_stage_count()) == (0, 0, False, 2)
    assert e.refinement_mode() == "none" and e.token_reweighting() is False
    status = e.status()
    assert list(status) == STATUS_KEYS
    assert status["arena_bytes_per_cell"] == 0 and status["cell_count"] == 0
    assert status["vamana_active"] is False and status["slb_capacity"] == 4096
    assert repr(e) == f"Engine(path='{path}', cells=0)"


def test_constructor_arguments(tmp_path):
    e = Engine(str(tmp_path / "a"), segment_size=1 << 20, vamana_threshold=3)
    e.mem_write(1, 0, unit(8, 0), exact(8), 10.0, None)
    e.mem_write(1, 0, unit(8, 1), exact(8), 10.0, None)
    assert not e.has_vamana() and e.pipeline_stage_count() == 2
    e.mem_write(1, 0, unit(8, 2), exact(8), 10.0, None)
    assert e.has_vamana() and e.pipeline_stage_count() == 3
    assert e.status()["vamana_active"] is True

    with pytest.raises(OverflowError) as info:
        Engine(str(tmp_path / "b"), vamana_threshold=-1)
    assert not str(info.value).startswith("argument")
    with pytest.raises(TypeError) as info:
        Engine(str(tmp_path / "b"), segment_size="x")
    assert str(info.value).startswith("argument 'segment_size': ")
    with pytest.raises(TypeError) as info:
        Engine(tmp_path / "b")
    assert str(info.value) == "argument 'path': 'PosixPath' object is not an instance of 'str'"
    with pytest.raises(TypeError) as info:
        Engine()
    assert str(info.value) == "Engine.__new__() missing 1 required positional argument: 'path'"
    with pytest.raises(RuntimeError) as info:
        Engine(str(tmp_path / "b\x00c"))
    assert str(info.value) == "storage I/O error: file name contained an unexpected NUL byte"
    assert not os.path.exists(tmp_path / "b")


def test_open_failure_raises_runtime_error(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_bytes(b"x")
    with pytest.raises(RuntimeError) as info:
        Engine(str(blocker / "engine"))
    assert str(info.value).startswith("storage I/O error: ")


def test_inspect_signatures():
    sig = {name: str(inspect.signature(getattr(Engine, name))) for name in (
        "restore_from", "open_with_write_buffer", "set_refinement_mode", "mem_write",
        "mem_write_pack_with_auto_link", "mem_read_pack_with_trace_boost", "status")}
    assert sig == {
        "restore_from": "(in_path, target_dir)",
        "open_with_write_buffer": "(path, max_batch_size, max_idle_ms=0)",
        "set_refinement_mode": "(self, /, mode, alpha=None, beta=None, k_prime=None)",
        "mem_write": "(self, /, owner, layer, key, value, salience, parent_cell_id)",
        "mem_write_pack_with_auto_link":
            "(self, /, owner, retrieval_key, layer_payloads, salience, auto_link_threshold=None, text=None)",
        "mem_read_pack_with_trace_boost": "(self, /, query_key, k, owner, boost_factor)",
        "status": "(self, /)",
    }


# Every doc string whose text callers and tools read back, byte for byte:
# the signature line, the "--" line, the blank line, then the body.
FULL_DOCS = {
    "restore_from": "restore_from(in_path, target_dir)\n--\n\n"
    "Restore a snapshot archive at ``in_path`` into ``target_dir``\n"
    "and return a freshly opened :class:`Engine`.\n\n"
    "``target_dir`` must be empty or non-existent. Raises\n"
    ":py:exc:`RuntimeError` with a typed message on integrity,\n"
    "magic, version, or codec mismatch.",
    "open_with_write_buffer": "open_with_write_buffer(path, max_batch_size, max_idle_ms=0)\n--\n\n"
    "Open an engine at ``path`` with a streaming-ingest write\n"
    "buffer enabled. Buffered writes return their pack id\n"
    "synchronously and defer the fsync until the buffer reaches\n"
    "``max_batch_size`` or :py:meth:`flush_buffer` is called.\n\n"
    "``max_idle_ms`` is reserved for a future idle-timer flush\n"
    "(currently has no effect); pass ``0``.",
    "flush": "flush($self)\n--\n\nExplicit durability checkpoint \u2014 ensures all components have fsynced.",
    "flush_buffer": "flush_buffer($self)\n--\n\nDrain the streaming write buffer. No-op when the\n"
    "engine was opened without a buffer or when the buffer is\nalready empty.",
    "refresh": "refresh($self)\n--\n\nRe-sync in-memory state from disk.\n\n"
    "Use when another process or `Engine` handle has written to the same\n"
    "directory and this handle needs to see those writes. Re-applies the\n"
    "Memento pattern from `open()`: rescans segments, replays the WAL,\n"
    "refreshes governance / `pack_directory` / `text_store` / `deletion_log`.\n"
    "Idempotent and cheap when nothing changed on disk.",
    "snapshot": "snapshot($self, out_path)\n--\n\n"
    "Snapshot the engine state to a portable tar archive at\n"
    "``out_path``. Returns the manifest as a dict with keys\n"
    "``magic``, ``format_version``, ``created_at``, ``pack_count``,\n"
    "``owner_count``, ``sha256``.\n\n"
    "``out_path`` must be outside the engine's working directory \u2014\n"
    "otherwise the tar walker would read its own output.",
    "compact": "compact($self)\n--\n\nCompact storage by rewriting segments with dead cells.\n\n"
    "Returns a dict with `segments_compacted`, `cells_moved`, `bytes_reclaimed`.",
    "status": "status($self)\n--\n\nSnapshot of engine state for monitoring and diagnostics.\n\n"
    "Returns a dict with keys: `cell_count`, `pack_count`, `segment_count`,\n"
    "`slb_occupancy`, `slb_capacity`, `vamana_active`, `pipeline_stages`,\n"
    "`governance_entries`, `trace_edges`, `arena_bytes`, `arena_bytes_per_cell`.",
    "cell_count": "cell_count($self)\n--\n\nTotal number of cells in the engine.",
    "pack_count": "pack_count($self)\n--\n\nNumber of KV Packs stored.",
    "has_vamana": "has_vamana($self)\n--\n\nWhether the Vamana ANN index is active.",
    "pipeline_stage_count": "pipeline_stage_count($self)\n--\n\nNumber of stages in the retrieval pipeline.",
    "set_token_reweighting": "set_token_reweighting($self, enabled)\n--\n\n"
    "Enable or disable corpus-mean distance token importance reweighting.\n\n"
    "When enabled, each per-token score is scaled by\n"
    "`1 - cosine(token, corpus_mean)` before aggregation \u2014 distinctive tokens\n"
    "carry more retrieval signal than tokens aligned with the mean activation.",
    "token_reweighting": "token_reweighting($self)\n--\n\n"
    "Whether corpus-mean distance token importance reweighting is enabled.",
    "mem_write": "mem_write($self, owner, layer, key, value, salience, parent_cell_id)\n--\n\n"
    "Write key/value vectors to the engine (cell-level API).\n\n"
    "**Deprecated:** Use `mem_write_pack` for new code. The Pack API is\n"
    "the canonical interface for storing multi-layer KV caches.",
    "mem_write_batch": "mem_write_batch($self, requests)\n--\n\n"
    "Write multiple cells in a single batch with one fsync (Batch Command).\n\n"
    "Each item is a tuple of (owner, layer, key, value, salience, parent).\n"
    "Returns a list of assigned cell IDs.",
    "mem_write_pack": "mem_write_pack($self, owner, retrieval_key, layer_payloads, salience, text=None)\n--\n\n"
    "Store a complete multi-layer KV cache as a single atomic pack.\n\nReturns the assigned pack ID.",
    "mem_write_pack_with_auto_link": "mem_write_pack_with_auto_link($self, owner, retrieval_key, "
    "layer_payloads, salience, auto_link_threshold=None, text=None)\n--\n\n"
    "Store a pack with automatic discovery and linking of similar existing packs.\n\n"
    "Returns a dict with `pack_id` and `linked_pack_ids`.\n"
    "Threshold defaults to [`DEFAULT_AUTO_LINK_THRESHOLD`] (250.0) when omitted.",
    "add_view_keys": "add_view_keys($self, pack_id, view_keys)\n--\n\n"
    "Register one or more view keys for an existing pack.\n\n"
    "View keys are additional retrieval keys \u2014 queries matching any view key\n"
    "will surface this pack during `mem_read_pack`. Returns the total number\n"
    "of view keys registered for this pack after the call.",
    "view_count": "view_count($self, pack_id)\n--\n\n"
    "Return the number of view keys registered for a pack.\n\n"
    "Raises `RuntimeError` if the pack does not exist.",
    "mem_read": "mem_read($self, query_key, k, owner)\n--\n\n"
    "Read the top-k most relevant cells for a query key (cell-level API).\n\n"
    "**Deprecated:** Use `mem_read_pack` for new code. The Pack API returns\n"
    "complete multi-layer KV caches ready for injection.",
    "mem_read_pack": "mem_read_pack($self, query_key, k, owner)\n--\n\n"
    "Retrieve the top-k KV Packs matching a query key.\n\n"
    "Returns list of dicts with pack ID, owner, score, tier, and layers.",
    "mem_read_pack_with_trace_boost": "mem_read_pack_with_trace_boost($self, query_key, k, owner, "
    "boost_factor)\n--\n\nRetrieve packs with trace-boosted scoring.",
    "mem_read_pack_with_trace_boost_and_follow": "mem_read_pack_with_trace_boost_and_follow($self, "
    "query_key, k, owner, boost_factor)\n--\n\n"
    "Retrieve packs with trace-boosted scoring and automatic link traversal.",
    "load_pack_by_id": "load_pack_by_id($self, pack_id)\n--\n\nLoad a pack by ID without retrieval scoring.",
}


def internal_doc(name):
    """The doc string as the method table holds it, rebuilt from the two
    halves the interpreter splits it into."""
    method = getattr(Engine, name)
    return f"{name}{method.__text_signature__}\n--\n\n{method.__doc__}"


def test_doc_strings_byte_for_byte():
    for name, doc in FULL_DOCS.items():
        assert internal_doc(name) == doc, name
    # Bodies whose wording is free still keep their signature and lead line.
    assert internal_doc("set_refinement_mode").startswith(
        "set_refinement_mode($self, mode, alpha=None, beta=None, k_prime=None)\n--\n\n"
        "Configure post-retrieval refinement (vague-query rescue).\n\n")
    assert internal_doc("refinement_mode").startswith("refinement_mode($self)\n--\n\n")
    assert '`"none" | "centered" | "whitened" | "prf"`' in Engine.refinement_mode.__doc__
    assert internal_doc("mem_read_tokens").startswith(
        "mem_read_tokens($self, query_tokens, k, owner)\n--\n\n"
        "Read top-k cells using a raw per-token query matrix (Direct Token Query API).\n\n")
    assert Engine.__doc__.startswith(
        "`QuorvaneDB` engine \u2014 persistent KV cache memory for LLM agents.\n\nThe engine is thread-safe")
    assert isinstance(Engine.__dict__["restore_from"], staticmethod)
    assert isinstance(Engine.__dict__["open_with_write_buffer"], staticmethod)


def test_status_agrees_with_counters(engine):
    engine.mem_write_pack(3, unit(16, 0), [(0, exact(32)), (1, exact(64))], 50.0)
    engine.mem_write(4, 2, unit(16, 1), exact(16), 1.0, None)
    status = engine.status()
    assert list(status) == STATUS_KEYS
    assert status["cell_count"] == engine.cell_count() == 4
    assert status["pack_count"] == engine.pack_count() == 1
    assert status["pipeline_stages"] == engine.pipeline_stage_count()
    assert status["arena_bytes_per_cell"] == status["arena_bytes"] // status["cell_count"]
    assert status["governance_entries"] == 2
    assert repr(engine).endswith(", cells=4)")


def test_refinement_and_token_reweighting_settings(engine):
    for bad in ("sharp", "Prf", " prf", ""):
        with pytest.raises(RuntimeError) as info:
            engine.set_refinement_mode(bad)
        assert str(info.value) == (
            f"unknown refinement mode '{bad}' (expected 'none', 'centered', 'prf', or 'whitened')"
        )
        assert engine.refinement_mode() == "none"
    with pytest.raises(TypeError, match=r"^argument 'alpha': "):
        engine.set_refinement_mode("prf", alpha="x")
    with pytest.raises(OverflowError):
        engine.set_refinement_mode("prf", k_prime=-1)

    engine.set_token_reweighting(True)
    assert engine.token_reweighting() is True
    engine.set_token_reweighting(enabled=np.bool_(False))
    assert engine.token_reweighting() is False
    with pytest.raises(TypeError, match=r"^argument 'enabled': "):
        engine.set_token_reweighting(1)


def test_refinement_mode_reports_the_strategy_name(engine):
    for mode, name in (("zca", "whitened"), ("prf", "prf"), ("centered", "centered"), ("none", "none")):
        engine.set_refinement_mode(mode, alpha=0.5, beta=0.5, k_prime=2)
        assert engine.refinement_mode() == name


def test_settings_are_not_persisted(path):
    e = Engine(path)
    e.set_token_reweighting(True)
    e.set_refinement_mode("none")
    again = Engine(path)
    assert again.token_reweighting() is False and again.refinement_mode() == "none"


# --- writes ------------------------------------------------------------------


def test_cell_writes_assign_consecutive_ids(engine):
    assert engine.mem_write(1, 0, unit(8, 0), exact(8), 50, None) == 0
    assert engine.mem_write(owner=1, layer=65535, key=unit(8, 1), value=f32([]), salience=1.5,
                            parent_cell_id=0) == 1
    assert engine.mem_write_batch([]) == []
    batch = [
        (2, 1, unit(8, 2), exact(8), 10.0, None),
        (2, 1, unit(8, 3), exact(8), 10.0, 0, "ignored seventh member"),
    ]
    assert engine.mem_write_batch(batch) == [2, 3]
    assert engine.cell_count() == 4
    with pytest.raises(TypeError) as info:
        engine.mem_write(1, 0, unit(8, 0), exact(8), 1.0)
    assert "missing 1 required positional argument: 'parent_cell_id'" in str(info.value)


def test_cell_write_argument_errors(engine):
    key = unit(8, 0)
    for layer in (65536, -1, 2**70, -(2**70)):
        with pytest.raises(OverflowError) as info:
            engine.mem_write(1, layer, key, key, 1.0, None)
        assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        engine.mem_write(1, 0, key, key.astype(np.float64), 1.0, None)
    with pytest.raises(RuntimeError) as info:
        engine.mem_write(1, 0, np.arange(16, dtype=np.float32)[::2], key, 1.0, None)
    assert str(info.value) == NOT_CONTIGUOUS
    assert engine.cell_count() == 0


def test_batch_element_errors_write_nothing(engine):
    good = (1, 0, unit(8, 0), exact(8), 1.0, None)
    with pytest.raises(IndexError):
        engine.mem_write_batch([good, good[:5]])
    with pytest.raises(TypeError) as info:
        engine.mem_write_batch([good, list(good)])
    assert str(info.value) == "'list' object is not an instance of 'tuple'"
    with pytest.raises(TypeError) as info:
        engine.mem_write_batch([(1, 0, "key", exact(8), 1.0, None)])
    assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        engine.mem_write_batch([(1, 70000) + good[2:]])
    with pytest.raises(RuntimeError) as info:
        engine.mem_write_batch([good, (1, 0, unit(16, 0)[::2]) + good[3:]])
    assert str(info.value) == NOT_CONTIGUOUS
    with pytest.raises(TypeError) as info:
        engine.mem_write_batch("abc")
    assert str(info.value) == "argument 'requests': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        engine.mem_write_batch(5)
    assert str(info.value).startswith("argument 'requests': ")
    # Nothing reached the engine, so no id was used up.
    assert engine.cell_count() == 0
    assert engine.mem_write_batch([good]) == [0]


def test_pack_writes_and_their_argument_errors(engine):
    key = unit(8, 0)
    assert engine.mem_write_pack(1, key, [(0, exact(32))], 50) == 1
    assert engine.mem_write_pack(1, unit(8, 1), [], 50.0, text="only a key") == 2
    assert engine.load_pack_by_id(2)["layers"] == []
    assert engine.mem_write_pack(1, f32([]), [(0, f32([]))], 50.0) == 3

    with pytest.raises(ValueError) as info:
        engine.mem_write_pack(1, key, [(0, exact(32), 1)], 1.0)
    assert str(info.value) == "expected tuple of length 2, but got tuple of length 3"
    with pytest.raises(TypeError) as info:
        engine.mem_write_pack(1, key, "layers", 1.0)
    assert str(info.value) == "argument 'layer_payloads': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        engine.mem_write_pack(1, key, [[0, exact(32)]], 1.0)
    assert str(info.value) == "argument 'layer_payloads': 'list' object is not an instance of 'tuple'"
    with pytest.raises(OverflowError) as info:
        engine.mem_write_pack(1, key, [(65536, exact(32))], 1.0)
    assert str(info.value) == "out of range integral type conversion attempted"
    with pytest.raises(TypeError, match=r"^argument 'text': "):
        engine.mem_write_pack(1, key, [], 1.0, text=b"bytes")
    for call in (
        lambda: engine.mem_write_pack(1, np.arange(16, dtype=np.float32)[::2], [], 1.0),
        lambda: engine.mem_write_pack(1, key, [(0, exact(64)[::2])], 1.0),
        lambda: engine.mem_write_pack_with_auto_link(1, key, [(0, exact(64)[::2])], 1.0),
    ):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == NOT_CONTIGUOUS
    assert engine.pack_count() == 3
    assert engine.mem_write_pack(1, key, [], 1.0) == 4


def test_auto_link_result(engine):
    engine.mem_write_pack(1, unit(8, 0), [(0, exact(32))], 50.0)
    other = engine.mem_write_pack(1, unit(8, 1), [], 50.0)
    # Unit keys score far below the default threshold of 250.
    for i, threshold in enumerate(({}, {"auto_link_threshold": None})):
        out = engine.mem_write_pack_with_auto_link(1, unit(8, 2 + i), [(0, exact(32))], 50.0, **threshold)
        assert list(out) == ["pack_id", "linked_pack_ids"] and out["linked_pack_ids"] == []
    out = engine.mem_write_pack_with_auto_link(1, unit(8, 1), [], 50.0, auto_link_threshold=0)
    assert out == {"pack_id": other + 3, "linked_pack_ids": [other]}
    assert engine.mem_write_pack_with_auto_link(2, unit(8, 1), [], 50.0, 0.0)["linked_pack_ids"] == []
    with pytest.raises(TypeError, match=r"^argument 'auto_link_threshold': "):
        engine.mem_write_pack_with_auto_link(1, unit(8, 0), [], 1.0, auto_link_threshold="high")


def test_auto_link_with_a_write_buffer_drains_it_to_link(path):
    e = Engine.open_with_write_buffer(path, 10)
    e.mem_write_pack(1, unit(8, 0), [], 50.0)
    e.flush_buffer()
    out = e.mem_write_pack_with_auto_link(1, unit(8, 0), [], 50.0, 0.0)
    assert out == {"pack_id": 2, "linked_pack_ids": [1]}
    assert e.pack_count() == 2


def test_view_keys(engine):
    pack = engine.mem_write_pack(1, unit(8, 0), [(0, exact(32))], 50.0)
    assert engine.view_count(pack) == 0
    assert engine.add_view_keys(pack, []) == 0
    assert engine.add_view_keys(pack, [unit(8, 1), unit(8, 2)]) == 2
    assert engine.add_view_keys(pack_id=pack, view_keys=(unit(8, 3), f32([]))) == 2
    assert engine.view_count(pack) == 4
    with pytest.raises(TypeError) as info:
        engine.add_view_keys(pack, [np.arange(16, dtype=np.float32)[::2]])
    assert str(info.value) == NOT_CONTIGUOUS
    with pytest.raises(TypeError) as info:
        engine.add_view_keys(pack, [unit(8, 1).astype(np.float64)])
    assert str(info.value).startswith("argument 'view_keys': ")
    for call in (lambda: engine.add_view_keys(99, [unit(8, 1)]), lambda: engine.view_count(99)):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "pack not found: 99"
    # A view key surfaces its pack.
    (hit,) = engine.mem_read_pack(unit(8, 3), 1, None)
    assert hit["pack_id"] == pack


# --- reads -------------------------------------------------------------------


def test_pack_round_trip(engine):
    layers = [(5, exact(64, 3)), (0, exact(32)), (2, exact(96, 1))]
    pack = engine.mem_write_pack(9, unit(16, 4), layers, 50.0, text="caf\u00e9")
    bare = engine.mem_write_pack(9, unit(16, 5), [(1, exact(32))], 50.0)
    (hit,) = engine.mem_read_pack(unit(16, 4), 1, None)
    assert list(hit) == PACK_KEYS
    assert (hit["pack_id"], hit["owner"], hit["tier"], hit["text"]) == (pack, 9, 0, "caf\u00e9")
    assert isinstance(hit["score"], float) and hit["score"] > 0
    assert [list(layer) for layer in hit["layers"]] == [["layer_idx", "data"]] * 3
    assert [layer["layer_idx"] for layer in hit["layers"]] == [0, 2, 5]
    for layer in hit["layers"]:
        data = layer["data"]
        assert data.dtype == np.float32 and data.ndim == 1
        assert data.flags.c_contiguous and data.flags.writeable and data.flags.owndata
    for got, (_, want) in zip(hit["layers"], sorted(layers, key=lambda p: p[0])):
        np.testing.assert_array_equal(got["data"], want)

    hit["layers"][0]["data"][:] = 0.0
    again = engine.load_pack_by_id(pack)
    assert list(again) == PACK_KEYS and again["score"] == 0.0
    np.testing.assert_array_equal(again["layers"][0]["data"], exact(32))
    assert engine.load_pack_by_id(bare)["text"] is None
    with pytest.raises(RuntimeError) as info:
        engine.load_pack_by_id(777)
    assert str(info.value) == "pack not found: 777"


def test_pack_reads_filter_by_owner(engine):
    engine.mem_write_pack(0, unit(8, 0), [], 50.0)
    engine.mem_write_pack(5, unit(8, 0), [], 50.0)
    assert sorted(h["owner"] for h in engine.mem_read_pack(unit(8, 0), 5, None)) == [0, 5]
    assert [h["owner"] for h in engine.mem_read_pack(unit(8, 0), 5, 0)] == [0]
    assert [h["owner"] for h in engine.mem_read_pack(unit(8, 0), 5, owner=5)] == [5]
    assert engine.mem_read_pack(unit(8, 0), 0, None) == []
    with pytest.raises(TypeError) as info:
        engine.mem_read_pack(unit(8, 0), 5)
    assert "missing 1 required positional argument: 'owner'" in str(info.value)
    with pytest.raises(OverflowError):
        engine.mem_read_pack(unit(8, 0), 5, -1)


def test_read_query_checks(engine):
    engine.mem_write_pack(1, unit(8, 0), [(0, exact(32))], 50.0)
    strided = np.arange(16, dtype=np.float32)[::2]
    reads = (
        lambda q: engine.mem_read(q, 1, None),
        lambda q: engine.mem_read_pack(q, 1, None),
        lambda q: engine.mem_read_pack_with_trace_boost(q, 1, None, 2.0),
        lambda q: engine.mem_read_pack_with_trace_boost_and_follow(q, 1, None, 2.0),
    )
    for read in reads:
        with pytest.raises(RuntimeError) as info:
            read(strided)
        assert str(info.value) == NOT_CONTIGUOUS
        read(strided.copy())
        read(f32([]))
        with pytest.raises(TypeError, match=r"^argument 'query_key': "):
            read([0.0] * 8)
    # The boost factor is converted before the key's memory is checked.
    with pytest.raises(TypeError, match=r"^argument 'boost_factor': "):
        engine.mem_read_pack_with_trace_boost(strided, 1, None, "2")
    by_int = engine.mem_read_pack_with_trace_boost(unit(8, 0), 1, None, 2)
    by_float = engine.mem_read_pack_with_trace_boost(unit(8, 0), 1, None, 2.0)
    assert [h["pack_id"] for h in by_int] == [h["pack_id"] for h in by_float] == [1]
    followed = engine.mem_read_pack_with_trace_boost_and_follow(unit(8, 0), 1, None, 2.0)
    assert [list(h) for h in followed] == [PACK_KEYS]


def test_encoded_multi_token_pack_read(engine):
    rows_a = [[1, 0, 0, 0], [0, 1, 0, 0]]
    rows_b = [[0, 0, 1, 0], [0, 0, 0, 1]]
    a = engine.mem_write_pack(1, encoded(rows_a), [(0, exact(32))], 50.0)
    b = engine.mem_write_pack(1, encoded(rows_b), [(0, exact(32, 2))], 50.0)
    hits = engine.mem_read_pack(encoded([[0, 0, 1, 0]]), 2, None)
    assert hits[0]["pack_id"] == b
    assert engine.mem_read_pack(encoded(rows_a), 1, None)[0]["pack_id"] == a


def test_cell_reads_report_importance_after_and_tier_before_the_bump(engine):
    cell = engine.mem_write(3, 7, unit(8, 0), exact(8), 58.0, None)  # importance 63, Draft
    (hit,) = engine.mem_read(unit(8, 0), 1, None)
    assert type(hit) is _native.ReadResult
    assert (hit.cell_id, hit.owner, hit.layer, hit.tier, hit.importance) == (cell, 3, 7, 0, 66.0)
    assert hit.key() == unit(8, 0).tolist() and hit.value() == exact(8).tolist()
    (hit,) = engine.mem_read(unit(8, 0), 1, 3)
    assert (hit.tier, hit.importance) == (1, 69.0)
    assert engine.mem_read(unit(8, 0), 1, 0) == []


def test_token_matrix_reads_match_encoded_reads(tmp_path):
    rows = np.array([[1, 2, 0, 0], [0, 0, 3, 1], [2, 0, 0, 1]], dtype=np.float32)
    engines = [Engine(str(tmp_path / name)) for name in ("a", "b")]
    for e in engines:
        for i, r in enumerate(rows):
            e.mem_write(1, 0, encoded([r, rows[(i + 1) % 3]]), exact(4), 10.0, None)
    query = rows[:2]
    by_key = [(h.cell_id, h.score) for h in engines[0].mem_read(encoded(query), 3, None)]
    variants = (query, np.asfortranarray(query), query[::-1, ::-1][::-1, ::-1], rows[1::-1][::-1])
    for variant in variants:
        assert [(h.cell_id, h.score) for h in engines[1].mem_read_tokens(variant, 3, None)] == by_key
        # Each read bumps importances alike on both engines.
        engines[0].mem_read(encoded(query), 3, None)
    assert engines[1].mem_read_tokens(np.zeros((0, 128), np.float32), 3, None) == []
    assert engines[1].mem_read_tokens(np.zeros((5, 0), np.float32), 3, None) == []
    for wrong in (query.astype(np.float64), query.ravel(), query.reshape(1, 2, 4)):
        with pytest.raises(TypeError, match=r"^argument 'query_tokens': "):
            engines[1].mem_read_tokens(wrong, 3, None)


# --- durability --------------------------------------------------------------


def test_reopen_and_refresh_see_written_packs(path):
    writer = Engine(path)
    pack = writer.mem_write_pack(2, unit(8, 0), [(3, exact(32))], 50.0, text="kept")
    writer.flush()
    reader = Engine(path)
    assert reader.pack_count() == 1 and reader.load_pack_by_id(pack)["text"] == "kept"
    second = writer.mem_write_pack(2, unit(8, 1), [(3, exact(32, 4))], 50.0)
    assert reader.pack_count() == 1
    reader.refresh()
    reader.refresh()
    assert reader.pack_count() == 2
    np.testing.assert_array_equal(reader.load_pack_by_id(second)["layers"][0]["data"], exact(32, 4))


def test_write_buffer_defers_pack_writes(path):
    e = Engine.open_with_write_buffer(path, 4)
    assert type(e) is Engine and repr(e).startswith("Engine(path=")
    ids = [e.mem_write_pack(1, unit(8, i), [(0, exact(32, i))], 50.0) for i in range(3)]
    assert ids == [1, 2, 3]
    assert e.pack_count() == 0
    e.flush_buffer()
    assert e.pack_count() == 3
    e.flush_buffer()
    for i in range(4):
        e.mem_write_pack(1, unit(8, i), [], 50.0)
    assert e.pack_count() == 7
    e.mem_write_pack(1, unit(8, 0), [], 50.0, text="queued")
    e.flush()
    assert Engine(path).pack_count() == 8
    Engine(path).flush_buffer()  # without a buffer: nothing to do
    assert Engine.open_with_write_buffer(path, max_batch_size=2, max_idle_ms=5).pack_count() == 8


def test_snapshot_and_restore_round_trip(tmp_path, path):
    e = Engine.open_with_write_buffer(path, 100)
    pack = e.mem_write_pack(4, unit(8, 0), [(1, exact(32))], 50.0, text="snap")
    manifest = e.snapshot(str(tmp_path / "snap.tar"))
    assert list(manifest) == MANIFEST_KEYS
    assert (manifest["magic"], manifest["format_version"]) == ("qvn!", 1)
    assert (manifest["pack_count"], manifest["owner_count"]) == (1, 1)
    assert (manifest["quantization_codec"], manifest["key_codec"]) == ("q4", "top5avg")
    assert manifest["created_at"].startswith("@") and len(manifest["sha256"]) == 64

    restored = Engine.restore_from(str(tmp_path / "snap.tar"), str(tmp_path / "restored"))
    assert type(restored) is Engine
    got = restored.load_pack_by_id(pack)
    assert got["text"] == "snap"
    np.testing.assert_array_equal(got["layers"][0]["data"], exact(32))
    with pytest.raises(RuntimeError):
        Engine.restore_from(str(tmp_path / "snap.tar"), str(tmp_path / "restored"))
    with pytest.raises(RuntimeError):
        Engine.restore_from(str(tmp_path / "missing.tar"), str(tmp_path / "other"))
    with pytest.raises(TypeError, match=r"^argument 'target_dir': "):
        Engine.restore_from(str(tmp_path / "snap.tar"), None)


def test_compact_reports_three_counts(engine):
    engine.mem_write_pack(1, unit(8, 0), [(0, exact(32))], 50.0)
    out = engine.compact()
    assert list(out) == ["segments_compacted", "cells_moved", "bytes_reclaimed"]
    assert all(isinstance(v, int) for v in out.values())
    assert engine.pack_count() == 1


def test_threads_share_one_engine(engine):
    per_thread = 20
    results = {}

    def work(t):
        ids = []
        for i in range(per_thread):
            ids.append(engine.mem_write_pack(t, unit(16, (t + i) % 16), [(0, exact(32, i))], 50.0))
            engine.mem_read_pack(unit(16, i % 16), 2, t)
        results[t] = ids

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    ids = sorted(i for v in results.values() for i in v)
    assert ids == list(range(1, 4 * per_thread + 1))
    assert engine.pack_count() == 4 * per_thread
    for t, mine in results.items():
        assert all(engine.load_pack_by_id(p)["owner"] == t for p in mine)


def test_heavy_methods_wait_for_the_engine_without_the_interpreter_lock(path):
    probe = pytest.importorskip("_frame_probe")
    e = probe.Engine(path)
    key = unit(8, 0)
    pack = e.mem_write_pack(1, key, [(0, exact(32))], 50.0)
    released = {
        "mem_write": lambda: e.mem_write(1, 0, key, key, 1.0, None),
        "mem_write_batch": lambda: e.mem_write_batch([(1, 0, key, key, 1.0, None)]),
        "mem_read": lambda: e.mem_read(key, 1, None),
        "mem_read_tokens": lambda: e.mem_read_tokens(key.reshape(1, 8), 1, None),
        "compact": lambda: e.compact(),
        "mem_write_pack": lambda: e.mem_write_pack(1, key, [], 1.0),
        "add_view_keys": lambda: e.add_view_keys(pack, [key]),
        "mem_write_pack_with_auto_link": lambda: e.mem_write_pack_with_auto_link(1, key, [], 1.0),
        "mem_read_pack": lambda: e.mem_read_pack(key, 1, None),
        "load_pack_by_id": lambda: e.load_pack_by_id(pack),
        "mem_read_pack_with_trace_boost": lambda: e.mem_read_pack_with_trace_boost(key, 1, None, 2.0),
        "mem_read_pack_with_trace_boost_and_follow":
            lambda: e.mem_read_pack_with_trace_boost_and_follow(key, 1, None, 2.0),
    }
    for name, call in released.items():
        outcome = []
        probe.hold(e)
        worker = threading.Thread(target=lambda: outcome.append(call()))
        worker.start()
        # A released method holds the interpreter lock from its borrow until it
        # lets go to wait for the mutex, so seeing the borrow from here means
        # the worker is waiting without the interpreter lock.
        seen = False
        while worker.is_alive() and not seen:
            seen = probe.in_use(e)
        timed_out = probe.release()
        worker.join()
        assert seen and not timed_out, name
        assert len(outcome) == 1, name


def run_child(script, timeout=120, **env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=timeout, env={**os.environ, **env})


def test_interpreter_exit_with_daemon_threads_in_native_work(tmp_path):
    # Daemon threads are inside the methods that release the interpreter lock
    # when the main thread ends; another engine holds acknowledged packs in
    # its write buffer.
    out = run_child(
        """
        import threading, time
        import numpy as np
        from quorvane_db._native import Engine

        busy = Engine(%r)
        buffered = Engine.open_with_write_buffer(%r, 1000)
        key = np.arange(1, 17, dtype=np.float32)
        layers = [(i, np.ones(4096, np.float32)) for i in range(4)]
        for _ in range(20):
            busy.mem_write_pack(1, key, layers, 50.0)

        def loop(call):
            while True:
                call()

        for call in (lambda: busy.mem_read_pack(key, 5, None), lambda: busy.mem_write_pack(1, key, layers, 50.0),
                     lambda: busy.compact(), lambda: buffered.mem_read_pack(key, 5, None),
                     lambda: buffered.mem_write_pack(3, key, layers, 50.0)):
            for _ in range(2):
                threading.Thread(target=loop, args=(call,), daemon=True).start()
        ids = [buffered.mem_write_pack(2, key, layers, 50.0) for _ in range(50)]
        print(*ids)
        time.sleep(0.2)
        """
        % (str(tmp_path / "busy"), str(tmp_path / "buffered"))
    )
    assert out.returncode == 0, out.stderr
    ids = [int(i) for i in out.stdout.split()]
    assert len(ids) == 50
    reopened = Engine(str(tmp_path / "buffered"))
    assert [i for i in ids if not reopened.pack_exists(i)] == []
    assert {reopened.load_pack_by_id(i)["owner"] for i in ids} == {2}


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc to size the memory limit")
def test_memory_exhaustion_in_a_read_leaves_the_engine_usable(tmp_path):
    out = run_child(
        """
        import resource
        import numpy as np
        from quorvane_db._native import Engine

        e = Engine(%r)
        key = np.zeros(64 + 4 * 16, np.float32)
        key[0], key[33] = -1e9, 16
        key[64:] = np.arange(64, dtype=np.float32)
        for _ in range(5):
            e.mem_write_pack(1, key, [(0, np.ones(8, np.float32))], 50.0)
        small = key[64:].reshape(4, 16).copy()
        before = len(e.mem_read_tokens(small, 2, None))
        huge = np.zeros((1 << 20, 16), np.float32)  # 64 MiB: the engine's own copy cannot fit
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size + 3 * huge.nbytes // 2, resource.RLIM_INFINITY))
        for call in (lambda: e.mem_read_tokens(huge, 2, None), lambda: e.mem_read(huge.reshape(-1), 2, None)):
            try:
                call()
                print("no error")
            except MemoryError as error:
                print(error)
        print(before, len(e.mem_read_tokens(small, 2, None)), len(e.mem_read_pack(key, 2, 1)))
        """
        % str(tmp_path / "db"),
        MALLOC_ARENA_MAX="1",
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["mem_read_tokens: out of memory", "mem_read: out of memory", "2 2 2"]


def test_poisoned_engine_refuses_every_method(path):
    probe = pytest.importorskip("_frame_probe")
    e = probe.Engine(path)
    e.mem_write_pack(1, unit(8, 0), [], 50.0)
    with pytest.raises(BaseException) as info:
        probe.poison(e)
    assert type(info.value).__qualname__ == "PanicException"
    calls = (
        repr,
        lambda e: e.status(),
        lambda e: e.cell_count(),
        lambda e: e.flush(),
        lambda e: e.refinement_mode(),
        lambda e: e.set_refinement_mode("none"),
        lambda e: e.set_token_reweighting(True),
        lambda e: e.view_count(1),
        lambda e: e.compact(),
        lambda e: e.mem_write_pack(1, unit(8, 1), [], 50.0),
        lambda e: e.mem_read(unit(8, 0), 1, None),
        lambda e: e.load_pack_by_id(1),
    )
    for call in calls:
        with pytest.raises(RuntimeError) as info:
            call(e)
        assert str(info.value) == "engine lock poisoned"
    # An unknown mode is refused before the mutex is taken.
    with pytest.raises(RuntimeError, match=r"^unknown refinement mode 'x'"):
        e.set_refinement_mode("x")
    # Argument errors still come first.
    with pytest.raises(TypeError):
        e.mem_write_pack(1, "key", [], 50.0)
    # Another engine on the same directory has a mutex of its own.
    assert Engine(path).pack_count() == 1


def _shared_dir_writer(path, owner, n, barrier, out):
    e = Engine(path)
    barrier.wait()
    acked = []
    for i in range(n):
        key = np.zeros(16, dtype=np.float32)
        key[(owner * 5 + i) % 16] = 1.0
        layer = np.full(8, owner * 1000.0 + i, dtype=np.float32)
        acked.append(e.mem_write_pack(owner, key, [(0, layer)], 50.0, text=f"tenant {owner} {i}"))
    cells = e.mem_write_batch([(owner, 1, np.ones(16, np.float32), np.ones(4, np.float32), 1.0, None)] * 5)
    out.put((owner, acked, cells))


def test_processes_sharing_a_directory_never_share_an_id(tmp_path):
    import multiprocessing as mp

    ctx = mp.get_context("spawn")
    procs, n = 3, 40
    barrier, out = ctx.Barrier(procs), ctx.Queue()
    ps = [ctx.Process(target=_shared_dir_writer, args=(str(tmp_path), o, n, barrier, out))
          for o in range(1, procs + 1)]
    for p in ps:
        p.start()
    results = [out.get(timeout=60) for _ in ps]
    for p in ps:
        p.join(timeout=60)
    e = Engine(str(tmp_path))
    packs = [pid for _, acked, _ in results for pid in acked]
    cells = [c for *_, cs in results for c in cs]
    assert len(set(packs)) == len(packs) and len(set(cells)) == len(cells)
    for owner, acked, _ in results:
        for i, pid in enumerate(acked):
            hit = e.load_pack_by_id(pid)
            assert (hit["owner"], hit["text"]) == (owner, f"tenant {owner} {i}")
            assert hit["layers"][0]["data"][0] == pytest.approx(owner * 1000.0 + i)
        for hit in e.mem_read_pack(np.ones(16, np.float32), 50, owner):
            assert hit["owner"] == owner and hit["text"].startswith(f"tenant {owner} ")
