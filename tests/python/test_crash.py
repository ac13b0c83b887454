"""A short run of the kill-at-random-moments test (tests/crash/crash_test.py
runs the long one)."""

import importlib.util
import os

_HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location(
    "crash_test", os.path.join(_HERE, "..", "crash", "crash_test.py"))
crash_test = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(crash_test)


def test_killed_writers_lose_nothing_acknowledged():
    totals = crash_test.run(iterations=30, reset_every=10, log=lambda *_: None, fork_every=3)
    # Most children must get far enough to acknowledge writes, or the run
    # proves nothing.
    assert totals["verified"] >= 20, totals
    assert totals["acknowledged"] >= 100, totals
    # Rounds whose killed writer left forked children alive, and reads of an
    # engine that never refreshed.
    assert totals["forked"] >= 6 and totals["stale_reads"] > 0, totals
