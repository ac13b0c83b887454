"""The binding's contract with callers: text signatures, exact refusal texts
(callers match on them) that leave the directory untouched, methods that wait
for the engine without the interpreter lock, and poisoned engines."""

import os
import pathlib
import threading

import numpy as np
import pytest

from quorvane_db import _native

Engine, Repo = _native.Engine, _native.CheckpointRepository
try:  # test-only extension, built with -DQVN_BUILD_FRAME_PROBE=ON
    import _frame_probe as probe
except ImportError:
    probe = None
needs_probe = pytest.mark.skipif(probe is None, reason="_frame_probe not built")

K = np.eye(8, dtype=np.float32)[0]
S = np.arange(16, dtype=np.float32)[::2]  # not contiguous
Z = np.zeros(32, np.float32)
G = (1, 0, K, K, 1.0, None)  # a good batch item
STRIDED = "The given array is not contiguous or is misaligned."
RANGE = "out of range integral type conversion attempted"
NEG = "can't convert negative int to unsigned"
DURATION = "cannot convert float seconds to Duration: value is "
FAR = "fires_at_unix_secs must be below 2^64 nanoseconds since the Unix epoch (18446744073.709551616 seconds), got "
LABEL = ('storage I/O error: checkpoint label must be a plain directory name, not empty, ".", "..", '
         'or holding "/" or NUL')

# (call on `e`, an engine holding pack 1, in the scratch directory `d`; exception; exact text)
REFUSALS = [
    ("Engine(pathlib.Path(d))", TypeError, "argument 'path': 'PosixPath' object is not an instance of 'str'"),
    ("Engine()", TypeError, "Engine.__new__() missing 1 required positional argument: 'path'"),
    ('Engine(d + "/b\\x00c")', RuntimeError, "storage I/O error: file name contained an unexpected NUL byte"),
    ('Engine(d + "/n", vamana_threshold=-1)', OverflowError, NEG),
    ('Engine(d + "/n", segment_size="x")', TypeError,
     "argument 'segment_size': 'str' object cannot be interpreted as an integer"),
    ("Repo()", TypeError, "CheckpointRepository.__new__() missing 1 required positional argument: 'root'"),
    ('Repo("a", "b")', TypeError, "CheckpointRepository.__new__() takes 1 positional arguments but 2 were given"),
    ('Repo(path="b")', TypeError, "CheckpointRepository.__new__() got an unexpected keyword argument 'path'"),
    ('Repo(b"/x")', TypeError, "argument 'root': 'bytes' object is not an instance of 'str'"),
    ("e.mem_write(*G, 7)", TypeError, "Engine.mem_write() takes 6 positional arguments but 7 were given"),
    ("e.mem_write(*G[:4])", TypeError,
     "Engine.mem_write() missing 2 required positional arguments: 'salience' and 'parent_cell_id'"),
    ("e.mem_write(*G, owner=2)", TypeError, "Engine.mem_write() got multiple values for argument 'owner'"),
    ("e.mem_write(1, 65536, K, K, 1.0, None)", OverflowError, RANGE),
    ("e.mem_write(1, -1, K, K, 1.0, None)", OverflowError, RANGE),
    ("e.mem_write(1, 2**70, K, K, 1.0, None)", OverflowError, RANGE),
    ("e.mem_write(1.0, 0, K, K, 1.0, None)", TypeError,
     "argument 'owner': 'float' object cannot be interpreted as an integer"),
    ("e.mem_write(1, 0, K, K.astype(np.float64), 1.0, None)", TypeError,
     "argument 'value': type mismatch:\n from=float64, to=float32"),
    ('e.mem_write(1, 0, K.astype(">f4"), K, 1.0, None)', TypeError,
     "argument 'key': type mismatch:\n from=>f4, to=float32"),
    ("e.mem_write(1, 0, K.reshape(2, 4), K, 1.0, None)", TypeError,
     "argument 'key': dimensionality mismatch:\n from=2, to=1"),
    ("e.mem_write(1, 0, [1.0], K, 1.0, None)", TypeError,
     "argument 'key': 'list' object is not an instance of 'ndarray'"),
    ("e.mem_write(1, 0, S, K, 1.0, None)", RuntimeError, STRIDED),
    ('e.mem_write(1, 0, K, K, "1", None)', TypeError, "argument 'salience': must be real number, not str"),
    ("e.mem_write_batch([G, G[:5]])", IndexError, "tuple index out of range"),
    ("e.mem_write_batch([G, list(G)])", TypeError, "'list' object is not an instance of 'tuple'"),
    ('e.mem_write_batch([(1, 0, "key", K, 1.0, None)])', TypeError, "'str' object is not an instance of 'ndarray'"),
    ("e.mem_write_batch([(1, 70000) + G[2:]])", OverflowError, RANGE),
    ("e.mem_write_batch([G, (1, 0, S) + G[3:]])", RuntimeError, STRIDED),
    ('e.mem_write_batch("abc")', TypeError, "argument 'requests': Can't extract `str` to `Vec`"),
    ("e.mem_write_batch(5)", TypeError, "argument 'requests': 'int' object is not an instance of 'Sequence'"),
    ("e.mem_write_pack(1, K, [(0, Z, 1)], 1.0)", ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ('e.mem_write_pack(1, K, "layers", 1.0)', TypeError, "argument 'layer_payloads': Can't extract `str` to `Vec`"),
    ("e.mem_write_pack(1, K, [[0, Z]], 1.0)", TypeError,
     "argument 'layer_payloads': 'list' object is not an instance of 'tuple'"),
    ("e.mem_write_pack(1, K, [(65536, Z)], 1.0)", OverflowError, RANGE),
    ('e.mem_write_pack(1, K, [], 1.0, text=b"x")', TypeError,
     "argument 'text': 'bytes' object is not an instance of 'str'"),
    ("e.mem_write_pack(1, S, [], 1.0)", RuntimeError, STRIDED),
    ("e.mem_write_pack(1, K, [(0, S)], 1.0)", RuntimeError, STRIDED),
    ("e.mem_write_pack_with_auto_link(1, K, [(0, S)], 1.0)", RuntimeError, STRIDED),
    ('e.mem_write_pack_with_auto_link(1, K, [], 1.0, auto_link_threshold="x")', TypeError,
     "argument 'auto_link_threshold': must be real number, not str"),
    ("e.add_view_keys(1, [S])", TypeError, STRIDED),
    ("e.add_view_keys(1, [K.astype(np.float64)])", TypeError,
     "argument 'view_keys': type mismatch:\n from=float64, to=float32"),
    ("e.add_view_keys(99, [K])", RuntimeError, "pack not found: 99"),
    ("e.view_count(99)", RuntimeError, "pack not found: 99"),
    ("e.load_pack_by_id(777)", RuntimeError, "pack not found: 777"),
    ("e.mem_read(S, 1, None)", RuntimeError, STRIDED),
    ("e.mem_read([0.0] * 8, 1, None)", TypeError,
     "argument 'query_key': 'list' object is not an instance of 'ndarray'"),
    ("e.mem_read_pack(S, 1, None)", RuntimeError, STRIDED),
    ("e.mem_read_pack(K, 5)", TypeError, "Engine.mem_read_pack() missing 1 required positional argument: 'owner'"),
    ("e.mem_read_pack(K, 5, -1)", OverflowError, NEG),
    ("e.mem_read_pack_with_trace_boost(S, 1, None, 2.0)", RuntimeError, STRIDED),
    # Every argument is converted before the key's memory is checked.
    ('e.mem_read_pack_with_trace_boost(S, 1, None, "2")', TypeError,
     "argument 'boost_factor': must be real number, not str"),
    ("e.mem_read_pack_with_trace_boost_and_follow(S, 1, None, 2.0)", RuntimeError, STRIDED),
    ("e.mem_read_tokens(np.zeros((2, 4)), 1, None)", TypeError,
     "argument 'query_tokens': type mismatch:\n from=float64, to=float32"),
    ("e.mem_read_tokens(K, 1, None)", TypeError, "argument 'query_tokens': dimensionality mismatch:\n from=1, to=2"),
    ('e.set_refinement_mode("Prf")', RuntimeError,
     "unknown refinement mode 'Prf' (expected 'none', 'centered', 'prf', or 'whitened')"),
    ('e.set_refinement_mode("prf", alpha="x")', TypeError, "argument 'alpha': must be real number, not str"),
    ('e.set_refinement_mode("prf", k_prime=-1)', OverflowError, NEG),
    ("e.set_token_reweighting(1)", TypeError, "argument 'enabled': 'int' object is not an instance of 'bool'"),
    ("e.store_synapsis(1, 1, Z[:31], Z, 1.0, 4, 8)", ValueError, "lora_a length 31 != rank(4) * d_model(8) = 32"),
    ("e.store_synapsis(1, 1, Z, np.zeros(33, np.float32), 1.0, 4, 8)", ValueError,
     "lora_b length 33 != rank(4) * d_model(8) = 32"),
    ("e.store_synapsis(1, 1, Z[:0], Z[:0], 1.0, 65536, 65536)", ValueError,
     "lora_a length 0 != rank(65536) * d_model(65536) = 4294967296"),
    ("e.store_synapsis(1, 1, Z[::2], Z, 1.0, 4, 8)", RuntimeError, STRIDED),
    ("e.store_synapsis(1, 1, Z, Z, 1.0, -1, 8)", OverflowError, RANGE),
    ('e.set_pack_text(999, "x")', RuntimeError, "pack not found: 999"),
    # The first unknown pack is named, and none of the batch is written.
    ('e.set_pack_texts([(1, "x"), (777, "x"), (888, "y")])', RuntimeError, "pack not found: 777"),
    ('e.set_pack_texts("abc")', TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
    ("e.set_pack_texts([(1,)])", ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ('e.set_pack_texts([[1, "x"]])', TypeError, "argument 'entries': 'list' object is not an instance of 'tuple'"),
    ('e.set_pack_texts([(-1, "x")])', OverflowError, NEG),
    ("e.delete_pack(5)", RuntimeError, "pack not found: 5"),
    ("e.add_pack_edge(10**6, 10**6 + 1, 4)", RuntimeError,
     "Invalid edge_type 4. Valid: 0=CausedBy, 1=Follows, 2=Contradicts, 3=Supports"),
    ("e.add_pack_edge(1, 1, 256)", OverflowError, RANGE),
    ('e.add_pack_edge(1, 1, "3")', TypeError, "argument 'edge_type': 'str' object cannot be interpreted as an integer"),
    ("e.add_pack_link(1, 999)", RuntimeError, "pack not found: 999"),
    ("e.pack_links_by_type(1, 4)", RuntimeError, "Invalid edge_type 4"),
    ("e.start_maintenance(sweep_interval_secs=-5.0)", RuntimeError, DURATION + "negative"),
    ('e.start_maintenance(compaction_interval_secs=float("nan"))', RuntimeError, DURATION + "either too big or NaN"),
    ('Engine.restore_from(d + "/x.tar", None)', TypeError,
     "argument 'target_dir': 'NoneType' object is not an instance of 'str'"),
    ('Engine.restore_from(d + "/x.tar", d + "/r")', RuntimeError,
     "storage I/O error: No such file or directory (os error 2)"),
    ('e.snapshot(d + "/db/x.tar")', RuntimeError,
     "snapshot integrity check failed: out_path ({d}/db/x.tar) is inside engine_dir ({d}/db); "
     "pick a path outside the engine directory"),
    ('Repo(d + "/c").save(object(), "x")', TypeError,
     "argument 'engine': 'object' object is not an instance of 'Engine'"),
    ('Repo(d + "/c").save(e, "../escape")', RuntimeError, LABEL),
    ('Repo(d + "/c").save(e, "..")', RuntimeError, LABEL),
    ('Repo(d + "/c").save(e, label="")', RuntimeError, LABEL),
    ('Repo(d + "/c").restore_latest("nope", d + "/never")', RuntimeError,
     "snapshot integrity check failed: no checkpoint found for label nope"),
    ("e.schedule_evict_draft(0.0, 1, inf)", RuntimeError, "threshold must be a finite number, got inf"),
    ("e.schedule_evict_draft(0.0, 1, nan)", RuntimeError, "threshold must be a finite number, got NaN"),
    ("e.schedule_evict_draft(0.0, 1, 1e39)", RuntimeError, "threshold must be a finite number, got inf"),
    ("e.schedule_evict_draft(-1.0, 1, 10.0)", RuntimeError, DURATION + "negative"),
    ("e.schedule_evict_draft(-inf, 1, 10.0)", RuntimeError, DURATION + "negative"),
    ("e.schedule_evict_draft(nan, 1, 10.0)", RuntimeError, DURATION + "either too big or NaN"),
    ("e.schedule_evict_draft(inf, 1, 10.0)", RuntimeError, DURATION + "either too big or NaN"),
    ("e.schedule_evict_draft(2.0**64, 1, 10.0)", RuntimeError, DURATION + "either too big or NaN"),
    ("e.schedule_evict_draft(2.0**63, 1, 10.0)", RuntimeError, "overflow when adding duration to instant"),
    # Milliseconds passed as seconds would read back as the epoch and fire at once.
    ("e.schedule_evict_draft(1.7e12, 1, 10.0)", RuntimeError, FAR + "1700000000000.0"),
    ("e.schedule_evict_draft(18446744073.709553, 1, 10.0)", RuntimeError, FAR + "18446744073.709553"),
]

def tree(root):
    return sorted((os.path.relpath(os.path.join(p, f), root), os.path.getsize(os.path.join(p, f)))
                  for p, _, files in os.walk(root) for f in files) + \
        sorted(os.path.relpath(p, root) for p, dirs, files in os.walk(root) if dirs or files)


@pytest.mark.parametrize("call, exc, text", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refusals_name_the_fault_and_write_nothing(tmp_path, call, exc, text):
    d = str(tmp_path)
    e = Engine(d + "/db")
    e.mem_write_pack(1, K, [(0, Z)], 50.0, text="kept")
    e.mem_write(1, 0, K, K, 1.0, None)
    before = tree(d)
    with pytest.raises(exc) as info:
        eval(call, {**globals(), "nan": float("nan"), "inf": float("inf")}, {"e": e, "d": d})
    assert type(info.value) is exc and str(info.value) == text.replace("{d}", d)
    if str(info.value).startswith("argument '"):  # the conversion error is kept as the cause
        assert type(info.value.__cause__) is TypeError
    assert tree(d) == before
    assert (e.cell_count(), e.pack_count(), e.pack_text(1), e.list_scheduled()) == (3, 1, "kept", [])
    assert e.mem_write_batch([G]) == [3]  # no id was used up


# Text signatures (parameter names are the keywords callers pass): names
# before one parameter list share it; methods without parameters stand alone.
SIGNATURES = """
mem_write(owner, layer, key, value, salience, parent_cell_id)
mem_write_batch(requests)
mem_read mem_read_pack(query_key, k, owner)
mem_read_tokens(query_tokens, k, owner)
set_refinement_mode(mode, alpha=None, beta=None, k_prime=None)
set_token_reweighting(enabled)
cell_importance cell_tier trace_ancestors(cell_id)
advance_days(days)
evict_draft_packs(importance_threshold, owner=None)
sweep_now(hours=0.0, eviction_threshold=15.0)
schedule_evict_draft(fires_at_unix_secs, owner, threshold)
cancel_scheduled(id)
owner_exists delete_owner load_synapsis(owner)
snapshot(out_path)
store_synapsis(id, owner, lora_a, lora_b, scale, rank, d_model, last_used=None, quality=None)
start_maintenance(sweep_interval_secs=3600.0, compaction_interval_secs=21600.0, eviction_threshold=15.0, hours_per_tick=1.0)
mem_write_pack(owner, retrieval_key, layer_payloads, salience, text=None)
add_view_keys(pack_id, view_keys)
view_count pack_importance load_pack_by_id pack_links pack_supports pack_contradicts pack_text pack_exists(pack_id)
delete_pack(pack_id)
mem_write_pack_with_auto_link(owner, retrieval_key, layer_payloads, salience, auto_link_threshold=None, text=None)
list_packs(owner=None)
add_pack_edge(pack_id_1, pack_id_2, edge_type)
add_pack_link(pack_id_1, pack_id_2)
pack_links_by_type(pack_id, edge_type)
mem_read_pack_with_trace_boost mem_read_pack_with_trace_boost_and_follow(query_key, k, owner, boost_factor)
set_pack_text(pack_id, text)
set_pack_texts(entries)
refinement_mode token_reweighting cell_count has_vamana list_owners list_scheduled fire_due_scheduled flush_buffer
pipeline_stage_count status compact stop_maintenance is_maintenance_running maintenance_status pack_count refresh flush
"""
STATIC = {"restore_from": "(in_path, target_dir)", "open_with_write_buffer": "(path, max_batch_size, max_idle_ms=0)"}
REPO = {"save": "(engine, label)", "list": "(label=None)", "latest": "(label)", "restore_latest": "(label, target_dir)"}


def test_text_signatures():
    want = {}
    for line in SIGNATURES.strip().splitlines():
        names, params = line.split("(") if "(" in line else (line, "")
        want.update((name, "($self, " + params if params else "($self)") for name in names.split())
    want.update(STATIC)
    got = {name: getattr(Engine, name).__text_signature__ for name in vars(Engine) if not name.startswith("__")}
    assert got == want
    assert all(isinstance(vars(Engine)[name], staticmethod) for name in STATIC)
    assert Engine.__text_signature__ == "(path, segment_size=None, vamana_threshold=None)"
    assert Repo.__text_signature__ == "(root)"
    assert {name: getattr(Repo, name).__text_signature__ for name in REPO} == \
        {name: "($self, " + sig[1:] for name, sig in REPO.items()}


@needs_probe
def test_heavy_methods_wait_for_the_engine_without_the_interpreter_lock(tmp_path):
    e = probe.Engine(str(tmp_path))
    pack = e.mem_write_pack(1, K, [(0, Z)], 50.0)
    released = [
        lambda: e.mem_write(*G), lambda: e.mem_write_batch([G]), lambda: e.mem_read(K, 1, None),
        lambda: e.mem_read_tokens(K.reshape(1, 8), 1, None), lambda: e.compact(),
        lambda: e.mem_write_pack(1, K, [], 1.0), lambda: e.add_view_keys(pack, [K]),
        lambda: e.mem_write_pack_with_auto_link(1, K, [], 1.0), lambda: e.mem_read_pack(K, 1, None),
        lambda: e.load_pack_by_id(pack), lambda: e.mem_read_pack_with_trace_boost(K, 1, None, 2.0),
        lambda: e.mem_read_pack_with_trace_boost_and_follow(K, 1, None, 2.0),
    ]
    for i, call in enumerate(released):
        outcome = []
        probe.hold(e)  # a native thread holds the engine mutex
        worker = threading.Thread(target=lambda: outcome.append(call()))
        worker.start()
        # The method holds the interpreter lock from its borrow until it lets
        # go to wait for the mutex, so seeing the borrow from here means the
        # worker waits without the interpreter lock.
        seen = False
        while worker.is_alive() and not seen:
            seen = probe.in_use(e)
        timed_out = probe.release()
        worker.join()
        assert (i, seen, timed_out, len(outcome)) == (i, True, False, 1)


@needs_probe
def test_poisoned_engine_refuses_every_method(tmp_path):
    e = probe.Engine(str(tmp_path))
    e.mem_write_pack(1, K, [], 50.0)
    with pytest.raises(BaseException) as info:
        probe.poison(e)
    assert (type(info.value).__module__, type(info.value).__qualname__) == ("pyo3_runtime", "PanicException")
    assert not isinstance(info.value, Exception)
    for call in (repr, lambda e: e.status(), lambda e: e.flush(), lambda e: e.compact(),
                 lambda e: e.set_refinement_mode("none"),
                 lambda e: e.mem_write_pack(1, K, [], 50.0), lambda e: e.mem_read(K, 1, None),
                 lambda e: e.load_pack_by_id(1)):
        with pytest.raises(RuntimeError, match="^engine lock poisoned$"):
            call(e)
    # Argument errors and unknown modes are refused before the mutex is taken.
    with pytest.raises(RuntimeError, match=r"^unknown refinement mode 'x'"):
        e.set_refinement_mode("x")
    with pytest.raises(TypeError):
        e.mem_write_pack(1, "key", [], 50.0)
    assert Engine(str(tmp_path)).pack_count() == 1  # another handle has a mutex of its own
