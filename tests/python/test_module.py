import quorvane_db
from quorvane_db import _native


def test_module_attributes_in_order():
    assert _native.__all__[:1] == ["__version__"]
    assert _native.__version__ == "0.3.0"
    assert quorvane_db.__version__ == "0.3.0"
    assert _native.ENCODING_HEADER_SIZE == 64
    assert _native.ENCODING_SENTINEL == -1e9
    assert isinstance(_native.ENCODING_SENTINEL, float)
    assert _native.ENCODING_N_TOKENS_IDX == 32
    assert _native.ENCODING_DIM_IDX == 33
    assert _native.__all__[-4:] == [
        "ENCODING_HEADER_SIZE",
        "ENCODING_SENTINEL",
        "ENCODING_N_TOKENS_IDX",
        "ENCODING_DIM_IDX",
    ]
