"""Quick start: store a few KV packs, read them back by similarity, reopen.

Each pack is one context's per-layer key/value data stored under a retrieval
key. Here the retrieval keys are encoded multi-token keys (a 64-float header
followed by one row per token), which the engine scores token by token.
"""

import tempfile

import numpy as np

from quorvane_db import ENCODING_DIM_IDX, ENCODING_HEADER_SIZE, ENCODING_SENTINEL, Engine

TOKEN_DIM = 32
N_LAYERS = 4
LAYER_FLOATS = 256
OWNER = 42


def encode_tokens(tokens: np.ndarray) -> np.ndarray:
    """Flatten an (n_tokens, dim) matrix into an encoded multi-token key."""
    header = np.zeros(ENCODING_HEADER_SIZE, dtype=np.float32)
    header[0] = ENCODING_SENTINEL
    header[ENCODING_DIM_IDX] = tokens.shape[1]
    return np.concatenate([header, tokens.astype(np.float32).ravel()])


def main() -> None:
    rng = np.random.default_rng(7)
    texts = ["the cat sat on the mat", "stock prices fell sharply", "a recipe for lentil soup"]
    token_sets = [rng.standard_normal((6, TOKEN_DIM)).astype(np.float32) for _ in texts]

    with tempfile.TemporaryDirectory() as tmp:
        path = f"{tmp}/memory"
        engine = Engine(path)
        print("opened", engine)

        for text, tokens in zip(texts, token_sets):
            layers = [
                (layer, rng.standard_normal(LAYER_FLOATS).astype(np.float32))
                for layer in range(N_LAYERS)
            ]
            pack_id = engine.mem_write_pack(OWNER, encode_tokens(tokens), layers, 60.0, text=text)
            print(f"wrote pack {pack_id}: {text!r}")

        # A query made of a few noisy tokens of the second context.
        query = token_sets[1][:3] + 0.1 * rng.standard_normal((3, TOKEN_DIM)).astype(np.float32)
        print("\nquery: 3 noisy tokens of pack 2")
        for hit in engine.mem_read_pack(encode_tokens(query), 2, OWNER):
            shapes = ", ".join(f"L{l['layer_idx']}:{l['data'].shape[0]}" for l in hit["layers"])
            print(
                f"  pack {hit['pack_id']} score={hit['score']:.3f} tier={hit['tier']} "
                f"text={hit['text']!r} layers=[{shapes}]"
            )

        status = engine.status()
        print(f"\nstatus: {status['pack_count']} packs, {status['cell_count']} cells, "
              f"{status['arena_bytes']} bytes on disk")

        # Every write was synced before it returned: a new engine on the same
        # directory sees the same packs.
        del engine
        reopened = Engine(path)
        pack = reopened.load_pack_by_id(3)
        print(f"\nreopened {reopened}: pack 3 is {pack['text']!r} "
              f"with {len(pack['layers'])} layers")


if __name__ == "__main__":
    main()
