"""End-to-end figures from Python, through the installed `quorvane_db` package.

    python bench/e2e.py                          # small defaults, a couple of minutes
    python bench/e2e.py --packs 1000,10000       # read figures at 1k and 10k packs
    python bench/e2e.py --packs 1000,10000,50000 --big   # everything, takes long

Phases:
  write     durable mem_write_pack/s (32 layers of 2 x 4096 floats), direct and
            through the write buffer (the buffered figure includes the final flush);
            with --text, each pack also stores a text of that many bytes
  read      mem_read_pack and mem_read p50/p99 latency at k = 10, per pack count,
            with single-vector keys and queries, and with 32-token encoded keys
            and queries
  open      engine open and refresh time on the largest read engine
  snapshot  snapshot and restore MB/s of an engine directory of --snapshot-mb
            (1024 with --big) and the peak RSS of the process doing the restore

Durable write figures are bounded by the sync cost of the file system under
--dir: keep it on a real disk, not tmpfs.

Each figure is printed next to its floor, measured in the same run on the same
data, and the ratio (figure time / floor time; 1.0x is the floor itself):
  durable writes   a raw os.write + os.fsync of the same bytes per call
  pack reads       NumPy over in-memory copies of the same data: the exact scan
                   that picks the k packs (for token queries the same
                   pre-selection and top-5-mean rule) plus copying those packs'
                   payload out into new arrays
  cell reads       the same exact scan, without the payload
  open, refresh    one sequential read of every segment file
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

# The NumPy floors run their matrix products on one thread, as a read does;
# BLAS reads this when NumPy is first imported.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

import quorvane_db
from quorvane_db import ENCODING_DIM_IDX, ENCODING_HEADER_SIZE, ENCODING_N_TOKENS_IDX
from quorvane_db import ENCODING_SENTINEL, Engine

OWNER = 1
K = 10


class Progress:
    """A text progress bar on stderr: redrawn in place on a terminal, else one
    line per tenth once the task has run for two seconds."""

    def __init__(self, label, total):
        self.label, self.total, self.done = label, max(total, 1), 0
        self.start = time.perf_counter()
        self.last = 0.0
        self.tenth = 0
        self.live = sys.stderr.isatty()

    def step(self, n=1):
        self.done += n
        now = time.perf_counter()
        frac = min(self.done / self.total, 1.0)
        eta = (now - self.start) / frac * (1 - frac) if frac > 0 else 0
        text = f"  {self.label:<34} [{'#' * int(frac * 30):<30}] {self.done}/{self.total} eta {eta:4.0f}s"
        if self.live:
            if now - self.last > 0.1 or self.done >= self.total:
                self.last = now
                sys.stderr.write("\r" + text)
                sys.stderr.flush()
        elif int(frac * 10) > self.tenth:
            self.tenth = int(frac * 10)
            if now - self.start > 2.0:
                sys.stderr.write(text + "\n")
                sys.stderr.flush()

    def close(self):
        if self.live:
            sys.stderr.write("\r" + " " * 100 + "\r")
            sys.stderr.flush()


def row(label, value, unit, extra=""):
    print(f"{label:<52} {value:>12} {unit:<6} {extra}", flush=True)


def vs_floor(seconds, floor_seconds, floor_label):
    """The text that puts a figure next to its floor: ratio of their times."""
    ratio = seconds / floor_seconds if floor_seconds > 0 else float("inf")
    return f"| floor {floor_label} {floor_seconds * 1e3:.2f} ms | {ratio:.2f}x"


def encode(tokens):
    header = np.zeros(ENCODING_HEADER_SIZE, dtype=np.float32)
    header[0] = ENCODING_SENTINEL
    header[ENCODING_N_TOKENS_IDX] = tokens.shape[0]
    header[ENCODING_DIM_IDX] = tokens.shape[1]
    return np.concatenate([header, tokens.astype(np.float32).ravel()])


class Workload:
    """Keys, layer payloads and queries, generated once from a fixed seed."""

    def __init__(self, args):
        self.args = args
        self.rng = np.random.default_rng(7)
        # A handful of distinct layer arrays, reused: the codec cost does not
        # depend on the values, and drawing 10k x 256k normals would dominate.
        self.layer_pool = [self.rng.standard_normal(args.layer_floats).astype(np.float32)
                           for _ in range(8)]

    def layers(self, i):
        pool = self.layer_pool
        return [(l, pool[(i + l) % len(pool)]) for l in range(self.args.layers)]

    def key(self, kind, i):
        # Per-pack keys come from a seed derived from the index so that queries
        # can be rebuilt near any stored key without keeping all keys around.
        g = np.random.default_rng(1_000_003 * (1 if kind == "vec" else 2) + i)
        if kind == "vec":
            return g.standard_normal(self.args.dim).astype(np.float32)
        return g.standard_normal((self.args.tokens, self.args.dim)).astype(np.float32)

    def query(self, kind, i):
        k = self.key(kind, i)
        noisy = k + 0.3 * self.rng.standard_normal(k.shape).astype(np.float32)
        return noisy if kind == "vec" else encode(noisy)

    def stored_key(self, kind, i):
        k = self.key(kind, i)
        return k if kind == "vec" else encode(k)


def dir_bytes(path):
    total = 0
    for root, _, files in os.walk(path):
        for f in files:
            total += os.path.getsize(os.path.join(root, f))
    return total


def percentile(samples, p):
    return float(np.percentile(np.asarray(samples), p))


# ---------------------------------------------------------------------------
# Writes


def timed_writes(engine, label, work, n, text=None):
    bar = Progress(label, n)
    start = time.perf_counter()
    for i in range(n):
        engine.mem_write_pack(OWNER, work.stored_key("vec", i), work.layers(i), 50.0, text)
        bar.step()
    engine.flush_buffer()  # nothing to do without a write buffer
    elapsed = time.perf_counter() - start
    bar.close()
    return elapsed


def segment_bytes(path):
    return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path)
               if f.startswith("segment_"))


def floor_write_fsync(path, nbytes, calls):
    """Seconds per call of appending `nbytes` with one write and one fsync."""
    buf = os.urandom(nbytes)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o666)
    try:
        start = time.perf_counter()
        for _ in range(calls):
            os.write(fd, buf)
            os.fsync(fd)
        return (time.perf_counter() - start) / calls
    finally:
        os.close(fd)
        os.unlink(path)


def bench_writes(args, work, base):
    path = os.path.join(base, "write-direct")
    direct = Engine(path)
    n = args.writes
    before = segment_bytes(path)
    text = "t" * args.text if args.text else None
    elapsed = timed_writes(direct, "durable mem_write_pack", work, n, text)
    per_pack = (segment_bytes(path) - before) // n
    floor = floor_write_fsync(os.path.join(base, "floor-direct"), per_pack, n)
    with_text = f", text of {args.text} B" if text else ""
    row(f"mem_write_pack durable ({args.layers} x {args.layer_floats} floats{with_text})",
        f"{n / elapsed:.1f}", "packs/s",
        f"{elapsed / n * 1e3:.2f} ms/pack " + vs_floor(elapsed / n, floor, f"write+fsync {per_pack} B"))
    del direct

    path = os.path.join(base, "write-buffered")
    buffered = Engine.open_with_write_buffer(path, args.batch)
    n = args.writes * 2
    before = segment_bytes(path)
    elapsed = timed_writes(buffered, "buffered mem_write_pack", work, n, text)
    per_batch = (segment_bytes(path) - before) * args.batch // n
    floor = floor_write_fsync(os.path.join(base, "floor-buffered"), per_batch, n // args.batch or 1)
    row(f"mem_write_pack write buffer of {args.batch} (incl. flush{with_text})",
        f"{n / elapsed:.1f}", "packs/s",
        f"{elapsed / n * 1e3:.2f} ms/pack " +
        vs_floor(elapsed / n, floor / args.batch, f"write+fsync {per_batch} B per batch, per pack"))
    del buffered


# ---------------------------------------------------------------------------
# Reads


def build_engine(path, work, kind, n_packs):
    """Fills an engine through the write buffer (the fastest durable route).
    Returns it with the stored keys, kept for the NumPy floors."""
    engine = Engine.open_with_write_buffer(path, work.args.batch)
    bar = Progress(f"fill {kind} engine to {n_packs} packs", n_packs)
    keys = []
    for i in range(n_packs):
        key = work.key(kind, i)
        keys.append(key)
        engine.mem_write_pack(OWNER, key if kind == "vec" else encode(key), work.layers(i), 50.0)
        bar.step()
    engine.flush_buffer()
    bar.close()
    return engine, np.stack(keys)


def latency(label, calls, fn):
    """p50 and p99 of `calls` calls in microseconds."""
    samples = []
    bar = Progress(label, calls)
    for i in range(calls):
        t0 = time.perf_counter_ns()
        fn(i)
        samples.append((time.perf_counter_ns() - t0) / 1e3)
        bar.step()
    bar.close()
    return percentile(samples, 50), percentile(samples, 99)


def latency_row(label, figure, floor, floor_label):
    (p50, p99), (f50, _) = figure, floor
    row(label, f"{p50:.0f}", "us p50", f"p99 {p99:.0f} us " + vs_floor(p50 / 1e6, f50 / 1e6, floor_label))


def top_k(scores, k):
    """Indices of the k best scores, best first."""
    k = min(k, len(scores))
    part = np.argpartition(-scores, k - 1)[:k]
    return part[np.argsort(-scores[part], kind="stable")]


def floor_scan_vec(keys, query, k):
    """Exact scan of every stored single-vector key."""
    return top_k(keys @ query, k)


def floor_scan_tok(tokens, means, query, k, stage_k):
    """The per-token rule over float32 copies: above 512 keys a pre-selection
    of max(64 x stage_k, 256) by mean vectors, then the mean of the 5 best
    token-pair scores of each kept key."""
    q = query[ENCODING_HEADER_SIZE:].reshape(tokens.shape[1], tokens.shape[2])
    inv = np.float32(1.0 / np.sqrt(np.float32(tokens.shape[2])))
    ids = np.arange(len(tokens))
    if len(tokens) > 512:
        keep = min(max(64 * stage_k, 256), len(tokens))
        ids = top_k((means @ q.mean(axis=0)) * inv, keep)
    pairs = (tokens[ids] @ q.T).reshape(len(ids), -1) * inv
    m = min(5, pairs.shape[1])
    score = np.partition(pairs, -m, axis=1)[:, -m:].mean(axis=1)
    return ids[top_k(score, k)]


def bench_reads(args, work, base, n_packs):
    engines = {}
    for kind in ("vec", "tok"):
        path = os.path.join(base, f"read-{kind}-{n_packs}")
        engine, keys = build_engine(path, work, kind, n_packs)
        engine.flush()
        del engine
        # A plain engine reopened on the directory: what a reader would have.
        engines[kind] = Engine(path)
        what = "single-vector" if kind == "vec" else f"{args.tokens}-token"
        queries = [work.query(kind, int(j)) for j in work.rng.integers(0, n_packs, args.reads)]
        for q in queries[:5]:  # warm the page cache and lazy structures
            engines[kind].mem_read_pack(q, K, None)
        if kind == "vec":
            scan = lambda i: floor_scan_vec(keys, queries[i], K)
            floor_what = "numpy exact scan"
        else:
            means = keys.mean(axis=1)
            scan = lambda i: floor_scan_tok(keys, means, queries[i], K, 8 * K)
            floor_what = "numpy same-rule scan"
        # Pack reads first: mem_read feeds the SLB, which then serves
        # single-vector queries ahead of the pipeline.
        if kind == "vec":
            # The floor copies the payload of the very packs the read returned.
            hit_ids = {}

            def read(i):
                hits = engines[kind].mem_read_pack(queries[i], K, None)
                hit_ids[i] = [h["pack_id"] - 1 for h in hits]
                return hits

            read_against_floor(f"mem_read_pack k={K} {what} @ {n_packs}", args.reads, read,
                               lambda i: numpy_payload_copy(work, hit_ids.pop(i)))
        else:
            read_against_floor(f"mem_read_pack k={K} {what} @ {n_packs}", args.reads,
                               lambda i: engines[kind].mem_read_pack(queries[i], K, None),
                               lambda i: numpy_payload_copy(work, scan(i)))
        label = f"mem_read k={K} {what} @ {n_packs}"
        figure = latency(label, args.reads, lambda i: engines[kind].mem_read(queries[i], K, None))
        floor = latency("floor " + label, args.reads, scan)
        latency_row(label, figure, floor, floor_what)
        del keys
    return engines


def floor_read_segments(path):
    """Seconds to read every segment file once, sequentially."""
    buf = bytearray(1 << 20)
    start = time.perf_counter()
    for name in sorted(os.listdir(path)):
        if name.startswith("segment_"):
            with open(os.path.join(path, name), "rb", buffering=0) as f:
                while f.readinto(buf):
                    pass
    return time.perf_counter() - start


# ---------------------------------------------------------------------------
# Read floors: NumPy doing the same work over the same data held in memory,
# timed in the same loop as the engine so that both see the same machine.


def numpy_payload_copy(work, pack_indices):
    """The least a pack read returns: a new float32 array per layer of each hit."""
    return [{"pack_id": i + 1, "layers": [{"layer_idx": l, "data": a.copy()} for l, a in work.layers(i)]}
            for i in pack_indices]


def read_against_floor(label, calls, read, floor):
    """p50 of `read` next to p50 of `floor`, each call of one followed by one of the other."""
    got, ref = [], []
    bar = Progress(label, calls)
    for i in range(calls):
        t0 = time.perf_counter_ns()
        out = read(i)
        t1 = time.perf_counter_ns()
        del out
        t2 = time.perf_counter_ns()
        out = floor(i)
        t3 = time.perf_counter_ns()
        del out
        got.append((t1 - t0) / 1e3)
        ref.append((t3 - t2) / 1e3)
        bar.step()
    bar.close()
    p50, floor50 = percentile(got, 50), percentile(ref, 50)
    row(label, f"{p50:.0f}", "us p50",
        f"p99 {percentile(got, 99):.0f} us; NumPy floor {floor50:.0f} us p50, ratio {p50 / floor50:.2f}")


def bench_open(work, engines, n_packs, base):
    for kind, engine in engines.items():
        path = os.path.join(base, f"read-{kind}-{n_packs}")
        floor = floor_read_segments(path)
        start = time.perf_counter()
        reopened = Engine(path)
        opened = time.perf_counter() - start
        start = time.perf_counter()
        reopened.refresh()
        idle = time.perf_counter() - start
        # Another handle appends; the reopened engine picks the packs up.
        other = Engine(path)
        for i in range(100):
            other.mem_write_pack(OWNER, work.stored_key(kind, n_packs + i), work.layers(i), 50.0)
        start = time.perf_counter()
        reopened.refresh()
        picked = time.perf_counter() - start
        row(f"open {kind} engine @ {n_packs} packs", f"{opened * 1e3:.1f}", "ms",
            vs_floor(opened, floor, "read segments once"))
        row(f"refresh idle {kind} engine @ {n_packs} packs", f"{idle * 1e3:.1f}", "ms",
            vs_floor(idle, floor, "read segments once"))
        row(f"refresh {kind} engine @ {n_packs} packs, +100 packs", f"{picked * 1e3:.1f}", "ms")


# ---------------------------------------------------------------------------
# Snapshot and restore

RESTORE_CHILD = r"""
import sys, time
from quorvane_db import Engine
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0
base = hwm()
t0 = time.perf_counter()
e = Engine.restore_from(sys.argv[1], sys.argv[2])
total = time.perf_counter() - t0
peak = hwm()
packs = e.pack_count()
del e
t0 = time.perf_counter()
Engine(sys.argv[2])
reopen = time.perf_counter() - t0
print(total, reopen, base, peak, packs)
"""


def bench_snapshot(args, work, base):
    target = args.snapshot_mb * 1024 * 1024
    path = os.path.join(base, "snap-src")
    engine = Engine.open_with_write_buffer(path, args.batch)
    bar = Progress(f"fill engine to {args.snapshot_mb} MB", target)
    i = 0
    size = 0
    while size < target:
        for _ in range(50):
            engine.mem_write_pack(OWNER, work.stored_key("vec", i), work.layers(i), 50.0)
            i += 1
        engine.flush_buffer()
        new = dir_bytes(path)
        bar.step(new - size)
        size = new
    bar.close()
    del engine
    engine = Engine(path)
    mb = size / 1048576

    tar = os.path.join(base, "snap.tar")
    start = time.perf_counter()
    engine.snapshot(tar)
    snap = time.perf_counter() - start
    row(f"snapshot {mb:.0f} MB dir ({i} packs)", f"{mb / snap:.0f}", "MB/s", f"{snap:.2f} s")
    del engine

    out = os.path.join(base, "snap-restored")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(os.path.dirname(
        quorvane_db.__file__)), env.get("PYTHONPATH")]))
    # The peak is read inside the child: RUSAGE_CHILDREN would also count the
    # parent's pages the child held between fork and exec.
    proc = subprocess.run([sys.executable, "-c", RESTORE_CHILD, tar, out], env=env,
                          capture_output=True, text=True, check=True)
    total, reopen, base_kb, hwm_kb, packs = proc.stdout.split()
    total, reopen = float(total), float(reopen)
    row(f"restore_from {mb:.0f} MB (extract + open, {packs} packs)", f"{mb / total:.0f}",
        "MB/s", f"{total:.2f} s; a plain open of the result takes {reopen:.2f} s")
    row("restore peak RSS (VmHWM of the restoring process)", f"{int(hwm_kb) / 1024:.0f}", "MB",
        f"interpreter + numpy before the restore: {int(base_kb) / 1024:.0f} MB")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", default="/work/bench-tmp", help="scratch directory (a real disk)")
    ap.add_argument("--packs", default="1000", help="comma-separated pack counts for reads")
    ap.add_argument("--writes", type=int, default=200, help="durable pack writes timed")
    ap.add_argument("--reads", type=int, default=300, help="reads timed per figure")
    ap.add_argument("--layers", type=int, default=32)
    ap.add_argument("--layer-floats", type=int, default=2 * 4096)
    ap.add_argument("--dim", type=int, default=128, help="key dimension")
    ap.add_argument("--tokens", type=int, default=32, help="tokens per encoded key and query")
    ap.add_argument("--batch", type=int, default=64, help="write buffer batch size")
    ap.add_argument("--text", type=int, default=0, help="bytes of text per pack write (0: none)")
    ap.add_argument("--snapshot-mb", type=int, default=200)
    ap.add_argument("--big", action="store_true", help="1 GB snapshot")
    ap.add_argument("--only", default="write,read,open,snapshot", help="phases to run")
    args = ap.parse_args()
    if args.big:
        args.snapshot_mb = max(args.snapshot_mb, 1024)
    phases = set(args.only.split(","))
    counts = [int(c) for c in args.packs.split(",") if c]

    os.makedirs(args.dir, exist_ok=True)
    base = tempfile.mkdtemp(prefix="e2e-", dir=args.dir)
    work = Workload(args)
    try:
        if "write" in phases:
            bench_writes(args, work, base)
        engines = None
        for n in counts:
            if "read" in phases or "open" in phases:
                engines = bench_reads(args, work, base, n)
            if n != counts[-1]:
                for kind in ("vec", "tok"):
                    shutil.rmtree(os.path.join(base, f"read-{kind}-{n}"), ignore_errors=True)
        if "open" in phases and engines:
            bench_open(work, engines, counts[-1], base)
        del engines
        if "snapshot" in phases:
            bench_snapshot(args, work, base)
    finally:
        shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    main()
