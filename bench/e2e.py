"""End-to-end figures from Python: pack writes, pack reads and cell reads.

Usage: python bench/e2e.py [--packs N] [--dim D] [--layers L] [--tokens T]
Prints one line per measurement: operations per second and latency.
"""

import argparse
import os
import tempfile
import time

import numpy as np

from quorvane_db import _native


def timed(label, n, fn):
    start = time.perf_counter()
    for i in range(n):
        fn(i)
    elapsed = time.perf_counter() - start
    print(f"{label:<44} {n / elapsed:10.1f} ops/s {elapsed / n * 1e6:10.1f} us/op")


def encoded(rows):
    n, d = rows.shape
    header = np.zeros(_native.ENCODING_HEADER_SIZE, dtype=np.float32)
    header[0] = _native.ENCODING_SENTINEL
    header[_native.ENCODING_DIM_IDX] = d
    return np.concatenate([header, rows.reshape(-1)]).astype(np.float32)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--packs", type=int, default=2000)
    ap.add_argument("--dim", type=int, default=128)
    ap.add_argument("--layers", type=int, default=4)
    ap.add_argument("--tokens", type=int, default=16)
    ap.add_argument("--reads", type=int, default=300)
    args = ap.parse_args()
    rng = np.random.default_rng(7)

    with tempfile.TemporaryDirectory() as tmp:
        engine = _native.Engine(os.path.join(tmp, "single"))
        keys = rng.standard_normal((args.packs, args.dim)).astype(np.float32)
        layer = rng.standard_normal(args.dim * 8).astype(np.float32)
        payloads = [(i, layer) for i in range(args.layers)]
        timed(f"mem_write_pack ({args.layers} layers, synced)", args.packs,
              lambda i: engine.mem_write_pack(1, keys[i], payloads, 50.0))
        timed("mem_read_pack k=10 (single vector)", args.reads,
              lambda i: engine.mem_read_pack(keys[i % args.packs], 10, None))
        timed("mem_read k=10 (single vector)", args.reads,
              lambda i: engine.mem_read(keys[i % args.packs], 10, None))

        buffered = _native.Engine.open_with_write_buffer(os.path.join(tmp, "buffered"), 64, 0)
        timed("mem_write_pack (write buffer of 64)", args.packs,
              lambda i: buffered.mem_write_pack(1, keys[i], payloads, 50.0))
        buffered.flush_buffer()

        tok = _native.Engine(os.path.join(tmp, "tokens"))
        n = max(args.packs // 4, 1)
        rows = rng.standard_normal((n, args.tokens, args.dim)).astype(np.float32)
        timed(f"mem_write_pack ({args.tokens}-token key)", n,
              lambda i: tok.mem_write_pack(1, encoded(rows[i]), payloads, 50.0))
        timed(f"mem_read_pack k=10 ({args.tokens}-token query)", min(args.reads, n),
              lambda i: tok.mem_read_pack(encoded(rows[i % n]), 10, None))


if __name__ == "__main__":
    main()
