import inspect

import numpy as np
import pytest

import quorvane_db
from quorvane_db import _native

try:  # test-only extension, built with -DQVN_BUILD_FRAME_PROBE=ON
    import _frame_probe as probe
except ImportError:
    probe = None

needs_probe = pytest.mark.skipif(probe is None, reason="_frame_probe not built")


def test_module_exports_eight_names_in_order():
    assert _native.__all__ == [
        "__version__",
        "Engine",
        "ReadResult",
        "CheckpointRepository",
        "ENCODING_HEADER_SIZE",
        "ENCODING_SENTINEL",
        "ENCODING_N_TOKENS_IDX",
        "ENCODING_DIM_IDX",
    ]
    assert _native.__version__ == quorvane_db.__version__ == "0.3.0"
    assert isinstance(_native.ENCODING_SENTINEL, float)
    assert _native.ENCODING_SENTINEL == -1000000000.0
    consts = ("ENCODING_HEADER_SIZE", "ENCODING_N_TOKENS_IDX", "ENCODING_DIM_IDX")
    assert [getattr(_native, name) for name in consts] == [64, 32, 33]
    assert all(type(getattr(_native, name)) is int for name in consts)
    assert _native.__doc__ == (
        "`QuorvaneDB` \u2014 LLM-native database kernel for persistent KV cache memory."
    )


def test_class_docs_and_text_signatures():
    assert _native.Engine.__text_signature__ == "(path, segment_size=None, vamana_threshold=None)"
    assert _native.Engine.__doc__.startswith(
        "`QuorvaneDB` engine \u2014 persistent KV cache memory for LLM agents.\n\n"
    )
    repo = _native.CheckpointRepository
    assert str(inspect.signature(repo)) == "(root)"
    assert repo.__doc__.startswith("Labeled checkpoint repository.\n\nWraps ")
    rr = _native.ReadResult
    assert rr.__doc__ == "A single retrieval result returned from `mem_read`."
    assert rr.__text_signature__ is None
    assert rr.key.__text_signature__ == "($self)"
    assert rr.key.__doc__ == "Get the key vector as a list of floats."
    assert rr.value.__doc__ == "Get the value vector as a list of floats."


def test_engine_method_table_order():
    methods = [name for name, v in vars(_native.Engine).items()
               if not name.startswith("__") and (callable(v) or isinstance(v, staticmethod))]
    assert methods == [
        "mem_write", "mem_write_batch", "mem_read", "mem_read_tokens", "set_refinement_mode",
        "refinement_mode", "set_token_reweighting", "token_reweighting", "cell_importance", "cell_tier",
        "cell_count", "trace_ancestors", "has_vamana", "advance_days", "evict_draft_packs", "sweep_now",
        "list_owners", "schedule_evict_draft", "cancel_scheduled", "list_scheduled", "fire_due_scheduled",
        "owner_exists", "delete_owner", "snapshot", "restore_from", "open_with_write_buffer", "flush_buffer",
        "pipeline_stage_count", "store_synapsis", "load_synapsis", "status", "compact", "start_maintenance",
        "stop_maintenance", "is_maintenance_running", "maintenance_status", "mem_write_pack", "add_view_keys",
        "view_count", "mem_write_pack_with_auto_link", "mem_read_pack", "pack_count", "refresh",
        "pack_importance", "list_packs", "load_pack_by_id", "add_pack_edge", "add_pack_link", "pack_links",
        "pack_links_by_type", "pack_supports", "pack_contradicts", "mem_read_pack_with_trace_boost",
        "mem_read_pack_with_trace_boost_and_follow", "pack_text", "set_pack_text", "set_pack_texts",
        "pack_exists", "delete_pack", "flush",
    ]


def test_read_result_cannot_be_created_from_python():
    with pytest.raises(TypeError):
        _native.ReadResult()


def test_checkpoint_repository_binds_like_python():
    _native.CheckpointRepository("/nonexistent/root")
    _native.CheckpointRepository(root="/x")
    cases = [
        ((), {}, "CheckpointRepository.__new__() missing 1 required positional argument: 'root'"),
        (("a", "b"), {}, "CheckpointRepository.__new__() takes 1 positional arguments but 2 were given"),
        (("a",), {"root": "b"}, "CheckpointRepository.__new__() got multiple values for argument 'root'"),
        ((), {"path": "b"}, "CheckpointRepository.__new__() got an unexpected keyword argument 'path'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as info:
            _native.CheckpointRepository(*args, **kwargs)
        assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        _native.CheckpointRepository(b"/x")
    assert str(info.value) == "argument 'root': 'bytes' object is not an instance of 'str'"
    assert type(info.value.__cause__) is TypeError


@needs_probe
def test_binder_defaults_and_argument_errors():
    assert probe.bind(1, 2) == {"owner": 1, "layer": 2, "key": None, "salience": 1.5}
    out = probe.bind(layer=3, owner=4, salience=2, key=None)
    assert out == {"owner": 4, "layer": 3, "key": None, "salience": 2.0}
    messages = {
        "missing 2 required positional arguments: 'owner' and 'layer'": lambda: probe.bind(),
        "takes from 2 to 4 positional arguments but 5 were given": lambda: probe.bind(1, 2, 3, 4, 5),
        "got multiple values for argument 'owner'": lambda: probe.bind(1, 2, owner=1),
        "got an unexpected keyword argument 'k'": lambda: probe.bind(1, 2, k=1),
    }
    for message, call in messages.items():
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "_frame_probe.bind() " + message


@needs_probe
def test_integer_conversions():
    assert probe.convert("u64", 2**64 - 1) == 2**64 - 1
    assert probe.convert("u64", np.uint64(7)) == 7
    for bad in (-1, 2**64):
        with pytest.raises(OverflowError) as info:
            probe.convert("u64", bad)
        assert not str(info.value).startswith("argument")
    with pytest.raises(TypeError, match=r"^argument 'value': ") as info:
        probe.convert("u64", 1.0)
    assert type(info.value.__cause__) is TypeError
    assert probe.convert("u16", 65535) == 65535
    for kind, bad in (("u16", 65536), ("u16", -1), ("u8", 256), ("u32", 2**32), ("u16", 2**64), ("u8", -(2**64))):
        with pytest.raises(OverflowError) as info:
            probe.convert(kind, bad)
        assert str(info.value) == "out of range integral type conversion attempted"
    assert probe.convert("opt_u64", None) is None


@needs_probe
def test_float_bool_and_str_conversions():
    assert probe.convert("f32", 0.1) == float(np.float32(0.1))
    assert probe.convert("f32", 1e40) == float("inf")
    assert probe.convert("f64", 3) == 3.0
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        probe.convert("f64", "2")
    assert probe.convert("bool", np.bool_(True)) is True
    assert probe.convert("bool", False) is False
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        probe.convert("bool", 1)
    # Embedded NULs survive, so the storage layer can refuse such a path.
    assert probe.convert("str", "a\x00\u00e9") == "a\x00\u00e9".encode()
    with pytest.raises(TypeError) as info:
        probe.convert("str", b"x")
    assert str(info.value) == "argument 'value': 'bytes' object is not an instance of 'str'"


@needs_probe
def test_one_dimensional_arrays():
    a = np.arange(6, dtype=np.float32)
    out = probe.convert("array", a)
    assert out.dtype == np.float32 and out.ndim == 1 and out.flags.c_contiguous
    assert out.flags.owndata and out.flags.writeable
    np.testing.assert_array_equal(out, a)
    out[0] = 99.0
    assert a[0] == 0.0
    assert probe.convert("array", np.zeros(0, np.float32)).shape == (0,)
    assert probe.convert("array", a[2:3]).tolist() == [2.0]
    read_only = a.copy()
    read_only.flags.writeable = False
    assert probe.convert("array", read_only).tolist() == a.tolist()
    for strided in (a[::2], a[::-1]):
        with pytest.raises(RuntimeError) as info:
            probe.convert("array", strided)
        assert str(info.value) == "The given array is not contiguous or is misaligned."
    for wrong in (a.astype(np.float64), a.astype(">f4"), a.reshape(2, 3), [1.0], None):
        with pytest.raises(TypeError, match=r"^argument 'value': "):
            probe.convert("array", wrong)


@needs_probe
def test_matrices_copy_in_logical_row_order():
    m = np.arange(12, dtype=np.float32).reshape(3, 4)
    expected = m.ravel().tolist()
    for variant in (m, np.asfortranarray(m), m[::-1, ::-1][::-1, ::-1], m.T.copy().T):
        rows, cols, data = probe.convert("matrix", variant)
        assert (rows, cols) == (3, 4) and data.tolist() == expected
    rows, cols, data = probe.convert("matrix", m[::-1, ::2])
    assert (rows, cols) == (3, 2) and data.tolist() == m[::-1, ::2].ravel().tolist()
    assert probe.convert("matrix", np.zeros((5, 0), np.float32))[:2] == (5, 0)
    for wrong in (m.ravel(), m.astype(np.float64), m.reshape(1, 3, 4)):
        with pytest.raises(TypeError, match=r"^argument 'value': "):
            probe.convert("matrix", wrong)


@needs_probe
def test_sequences():
    a = np.arange(4, dtype=np.float32)
    assert [x.tolist() for x in probe.convert("view_keys", (a, a[1:3]))] == [a.tolist(), [1.0, 2.0]]
    with pytest.raises(TypeError) as info:
        probe.convert("view_keys", "ab")
    assert str(info.value) == "argument 'value': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        probe.convert("view_keys", 5)
    assert str(info.value) == "argument 'value': 'int' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as info:
        probe.convert("view_keys", [a[::2]])
    assert str(info.value) == "The given array is not contiguous or is misaligned."
    assert probe.convert("pairs", [(1, "x"), (2, "y")]) == [(1, "x"), (2, "y")]
    with pytest.raises(ValueError) as info:
        probe.convert("pairs", [(1, "x", "y")])
    assert str(info.value) == "expected tuple of length 2, but got tuple of length 3"
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        probe.convert("pairs", [[1, "x"]])
    with pytest.raises(OverflowError):
        probe.convert("pairs", [(65536, "x")])


@needs_probe
def test_read_result_members():
    key = np.array([1.5, -2.0], dtype=np.float32)
    (r,) = probe.read_result(5, 7, 65534, 0.125, 66.0, 2, key, np.zeros(0, np.float32))
    assert type(r).__qualname__ == "ReadResult"
    assert (r.cell_id, r.owner, r.layer, r.tier) == (5, 7, 65534, 2)
    assert r.score == 0.125 and r.importance == 66.0
    assert repr(r) == "ReadResult(cell_id=5, owner=7, score=0.1250, tier=2)"
    first = r.key()
    first.append(9.0)
    assert r.key() == [1.5, -2.0] and r.value() == []
    for name in ("cell_id", "owner", "layer", "score", "tier", "importance"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
    (odd,) = probe.read_result(1, 2, 3, float(np.float32(0.1)), 0.0, 0, key, key)
    assert repr(odd) == "ReadResult(cell_id=1, owner=2, score=0.1000, tier=0)"
    (nan,) = probe.read_result(1, 2, 3, float("nan"), 0.0, 0, key, key)
    assert "score=NaN" in repr(nan)


@needs_probe
def test_failures_map_to_python_exceptions():
    with pytest.raises(RuntimeError) as info:
        probe.engine_error(42)
    assert str(info.value) == "pack not found: 42"
    with pytest.raises(BaseException) as info:
        probe.panic("boom")
    panic = type(info.value)
    assert (panic.__module__, panic.__qualname__) == ("pyo3_runtime", "PanicException")
    assert not issubclass(panic, Exception)
    assert str(info.value) == "boom"
    with pytest.raises(MemoryError):
        probe.panic("bad_alloc")
