"""Sizes that no memory holds fail at once, with MemoryError or the size-overflow panic, before
any memory is touched; inputs that fit are computed without memory far beyond their size.

Each case runs in a fresh process, so that its peak resident size is its own."""
import json
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tanvo

from conftest import panic_type, sanitized

pytestmark = pytest.mark.timing

PEAK_LIMIT_MB = 1024

PRELUDE = """
import json, resource, sys

# The peak resident size is reset first: a child started by vfork inherits its parent's peak,
# and the test process's own peak would count.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")

def peak_mb():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM")) // 1024

import numpy as np
import tanvo

def outcome(call):
    try:
        result = call()
    except BaseException as error:  # PanicException derives from BaseException
        return [type(error).__name__, str(error)]
    return ["result", len(result)]

def huge(shape):
    # A read-only view of one element: any shape, no memory.
    return np.broadcast_to(np.zeros((1, 1), complex), shape)
"""


def assert_peak_within_limit(run):
    # AddressSanitizer's shadow memory and quarantine count in the resident size.
    if not sanitized():
        assert run["peak_mb"] < PEAK_LIMIT_MB


def run_isolated(body):
    """Runs `body` (which sets `results`) in a fresh interpreter; returns the results and the
    process's peak resident size in MB."""
    code = PRELUDE + textwrap.dedent(body) + """
print(json.dumps({"results": results,
                  "peak_mb": peak_mb()}))
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    # The timeout only turns a hang into a failure; it does not measure speed.
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout.splitlines()[-1])


IMPOSSIBLE = {
    "sylvester-1e5": "tanvo.gen_sylvester(10**5)",
    "sylvester-max": "tanvo.gen_sylvester(2**64 - 1)",
    "gellmann-1e6": "tanvo.gen_gellmann(10**6)",
    "su2-1e12": "tanvo.gen_su2(1e12)",
    "su2-inf": "tanvo.gen_su2(float('inf'))",
    "su2-1e9": "tanvo.gen_su2(1e9)",
    "sl2-1e12": "tanvo.gen_sl2(1e12)",
    "sl2-inf": "tanvo.gen_sl2(float('inf'))",
    "structure-1e5-scalars": "tanvo.get_structure_constants([np.ones((1, 1), complex)] * 10**5)",
    "structure-1e5-2x2": "tanvo.get_structure_constants([np.eye(2, dtype=complex)] * 10**5)",
    "d-coefficients-1e5-2x2": "tanvo.get_d_coefficients([np.eye(2, dtype=complex)] * 10**5)",
    "huge-basis-matrix": "tanvo.get_structure_constants([huge((2**20, 2**20))])",
    "huge-coefficient-array": "tanvo.cross(huge((2**29, 2**29)), np.ones((1, 1), complex), {})",
    # The result is d x d, d being the row count of an empty first basis matrix.
    "commutator-huge-d": "tanvo.su_commutator(np.ones((1, 1), complex), np.ones((1, 1), complex), "
                         "{}, [np.zeros((10**6, 0), complex)])",
    "anticommutator-huge-d": "tanvo.su_anticommutator(np.ones((1, 1), complex), np.ones((1, 1), complex), "
                             "{(0, 0): (0, 1)}, [np.zeros((10**6, 0), complex)])",
}


def test_impossible_sizes_fail_before_touching_memory():
    run = run_isolated("results = {name: outcome(lambda: eval(call)) for name, call in %r.items()}"
                       % IMPOSSIBLE)
    for name, (kind, message) in run["results"].items():
        assert kind == "MemoryError" or (kind == "PanicException" and "overflows isize" in message), name
    assert_peak_within_limit(run)


def test_module_works_after_impossible_sizes():
    for call in IMPOSSIBLE.values():
        with pytest.raises((MemoryError, panic_type())):
            eval(call, {"tanvo": tanvo, "np": np,
                        "huge": lambda shape: np.broadcast_to(np.zeros((1, 1), complex), shape)})
    assert len(tanvo.gen_sylvester(2)) == 3


@pytest.mark.parametrize("name", ["get_structure_constants", "get_d_coefficients"])
def test_many_empty_matrices_have_no_terms(reference, name):
    # Every product of 0 x 0 matrices is empty: no pair has a term, however many pairs.
    run = run_isolated(f"results = outcome(lambda: tanvo.{name}([np.zeros((0, 0), complex)] * 10**5))")
    assert run["results"] == ["result", 0]
    assert getattr(reference, name)([np.zeros((0, 0), complex)] * 40) == {}


@pytest.mark.parametrize("name", ["get_structure_constants", "get_d_coefficients"])
def test_few_large_matrices_need_little_memory(reference, name):
    # Three 200 x 200 matrices span 3 of 40000 dimensions: a pseudo-inverse of the whole space
    # would need 25 GB; the solves need a few MB.
    rng = np.random.default_rng(7)
    basis = [rng.normal(size=(200, 200)) + 1j * rng.normal(size=(200, 200)) for _ in range(3)]
    run = run_isolated(f"""
        rng = np.random.default_rng(7)
        basis = [rng.normal(size=(200, 200)) + 1j * rng.normal(size=(200, 200)) for _ in range(3)]
        results = {{repr(key): [k, c.real, c.imag] for key, (k, c) in tanvo.{name}(basis).items()}}
    """)
    assert_peak_within_limit(run)
    expected = getattr(reference, name)(basis)
    assert list(run["results"]) == [repr(key) for key in expected]
    for key, (k, c) in expected.items():
        got_k, re, im = run["results"][repr(key)]
        assert got_k == k and abs(complex(re, im) - c) <= 1e-12 * abs(c)


def test_a_basis_is_read_where_it_lies():
    # Eight diagonal 1000 x 1000 matrices hold 128 MB; neither a map nor a product copies them.
    if sanitized():
        pytest.skip("AddressSanitizer's own memory counts in the resident size")
    run = run_isolated("""
        def peak_growth_mb(call):
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            def peak():
                with open("/proc/self/status") as f:
                    return next(int(line.split()[1]) for line in f if line.startswith("VmHWM"))
            before = peak()
            call()
            return (peak() - before) // 1024

        basis = [np.diag((np.arange(1000) % 8 == m).astype(complex)) for m in range(8)]
        d_map = tanvo.get_d_coefficients(basis)
        column = np.ones((8, 1), complex)
        results = [len(d_map), peak_growth_mb(lambda: tanvo.get_d_coefficients(basis)),
                   peak_growth_mb(lambda: tanvo.su_anticommutator(column, column, d_map, basis))]
    """)
    entries, map_growth, product_growth = run["results"]
    assert entries == 8
    assert map_growth < 64 and product_growth < 64


# Under a 4 GiB address-space limit, sizes that cannot fit are refused from the sizes alone, in
# well under a second: views claiming 168 GB of one 16 MB matrix, ten million scalars whose map
# or tensor would need petabytes, a basis of 4.3 GB.
ADDRESS_LIMITED = {
    "map-of-broadcast-identity":
        "tanvo.get_structure_constants(np.broadcast_to(np.eye(1024, dtype=complex), (10**4, 1024, 1024)))",
    "map-of-scalars": "tanvo.get_structure_constants([np.ones((1, 1), complex)] * 10**7)",
    "sylvester-128": "tanvo.gen_sylvester(128)",
    "tensor-of-repeated-identity": "tanvo_lie.structure_tensor([np.eye(1024, dtype=complex)] * 10**4)",
    "tensor-of-broadcast-views":
        "tanvo_lie.structure_tensor(list(np.broadcast_to(np.eye(1024, dtype=complex), (10**4, 1024, 1024))))",
    "tensor-of-scalars": "tanvo_lie.structure_tensor([np.ones((1, 1))] * 10**7)",
    "tensor-of-scalars-one-thread": "tanvo_lie.structure_tensor([np.ones((1, 1))] * 10**7, threads=1)",
}


@pytest.mark.parametrize("case", ADDRESS_LIMITED)
def test_sizes_beyond_an_address_space_limit_are_refused_at_once(case):
    # The inputs are built before the clock starts; the call alone is timed, in the child.
    run = run_isolated(f"""
        import time, tanvo_lie
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        call = lambda: {ADDRESS_LIMITED[case]}
        start = time.perf_counter()
        results = outcome(call) + [time.perf_counter() - start]
    """)
    kind, message, seconds = run["results"]
    assert kind == "MemoryError", message
    assert re.search(r"cannot allocate \d+\.\d [kMGTPE]B for .*\d+ x \d+", message), message
    # "Decided up front": a bound on correctness, far above the milliseconds it takes.
    assert seconds < 1.0, seconds


@pytest.mark.parametrize("room_mb", [8, 48, 128, 160, 256])
def test_little_address_space_left_never_ends_the_process(room_mb):
    # Threads started with the address space nearly full once ended the process (the C library's
    # thread-local storage, OpenBLAS's buffer); now each call gives its tensor or MemoryError.
    run = run_isolated(f"""
        import tanvo_lie
        sparse = tanvo.gen_gellmann(12)
        rng = np.random.default_rng(1)
        dense = [rng.standard_normal((6, 6)) + 0j for _ in range(30)]
        mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (mapped + ({room_mb} << 20), resource.RLIM_INFINITY))
        results = [outcome(lambda: tanvo_lie.structure_tensor(b, threads=8).indices) for b in (sparse, dense)]
    """)
    for kind, detail in run["results"]:
        assert kind == "result" or (kind == "MemoryError" and "cannot allocate" in detail), (kind, detail)
