"""Repeated calls, succeeding or failing, leave memory and reference counts flat."""
import gc
import sys
import tracemalloc

import pytest

import tanvo


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def settle(call, times):
    for _ in range(times):
        try:
            call()
        except BaseException:  # noqa: B036 - failures are part of what is measured
            pass
    gc.collect()


def assert_flat(call, times=10_000):
    settle(call, 200)
    tracemalloc.start()
    before_rss = resident_bytes()
    before_py, _ = tracemalloc.get_traced_memory()
    settle(call, times)
    after_py, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    after_rss = resident_bytes()
    assert after_py - before_py < 64 * 1024
    assert after_rss - before_rss < 4 * 1024 * 1024


@pytest.mark.parametrize(
    "call",
    [
        lambda: tanvo.gen_sylvester(4),
        lambda: tanvo.gen_sylvester(0),
        lambda: tanvo.gen_sylvester(-1),
        lambda: tanvo.gen_sylvester(3.5),
        lambda: tanvo.gen_sylvester(3, n=2),
    ],
    ids=["success", "panic", "overflow", "wrapped-typeerror", "matching"],
)
def test_memory_flat(call):
    assert_flat(call)


def test_argument_refcounts_unchanged():
    d = 10**6 + 7  # not a cached small int
    kwargs = {"d": 4}
    before = sys.getrefcount(d), sys.getrefcount(kwargs)
    for _ in range(1000):
        tanvo.gen_sylvester(**kwargs)
        try:
            tanvo.gen_sylvester(d)
        except MemoryError:
            pass
    assert (sys.getrefcount(d), sys.getrefcount(kwargs)) == before
