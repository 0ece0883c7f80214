"""One measurement in a process of its own, started by run.py.

It builds the row's inputs, times one method (tanvo, reference, numpy or floor), measures the
growth of the peak resident set during the first call, and prints one JSON line on standard
output: the outcome, the times and what the result holds. The result itself goes to files
that run.py compares across methods.
"""
import gc
import hashlib
import importlib
import importlib.util
import json
import resource
import sys
import time
from functools import partial
from itertools import chain

import numpy as np

import floors
import numpy_impl
import workloads

MODULES = {"tanvo": "tanvo", "reference": "tanvo_reference"}
# A batch of calls to a fast function lasts at least this long, so the clock's resolution
# and the loop's own cost stay negligible.
BATCH_SECONDS = 0.02
REPEAT_SECONDS = 3.0
ALTERNATION_SECONDS = 1.0


class Unavailable(Exception):
    pass


def outcome_of(error):
    name = type(error).__name__
    message = str(error).strip()
    if name == "PanicException" and "not built yet" in message:
        return {"status": "unavailable", "message": message}
    return {"status": "error", "message": f"{name}: {message}"[:500]}


# ---- memory ---------------------------------------------------------------------------

def reset_peak():
    """Sets the peak resident set back to the current one; False where the kernel cannot."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_bytes():
    """The peak resident set since the last reset_peak (VmHWM), else since the process began."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def dict_bytes(mapping):
    """Memory held by a {(i, j): (k, c)} dict: the dict, its tuples, and every int and complex
    it refers to, each distinct object counted once (small ints, and the value tuples and
    complex numbers of equal values, may be shared)."""
    n = len(mapping)
    total = sys.getsizeof(mapping)
    total += sum(map(sys.getsizeof, mapping.keys()))
    total += sum(map(sys.getsizeof, {id(v): v for v in mapping.values()}.values()))

    def leaves():
        return chain(chain.from_iterable(mapping.keys()), chain.from_iterable(mapping.values()))

    ids = np.fromiter(map(id, leaves()), np.uint64, 4 * n)
    sizes = np.fromiter(map(sys.getsizeof, leaves()), np.int64, 4 * n)
    _, first = np.unique(ids, return_index=True)
    return total + int(sizes[first].sum())


def matrices_bytes(matrices):
    return sys.getsizeof(matrices) + sum(map(sys.getsizeof, matrices))


# ---- timing ---------------------------------------------------------------------------

def settle(window_s=0.02, limit_s=1.0):
    """Waits until the process uses under a tenth of a core over a short window (at most
    limit_s): OpenBLAS's threads (ours and NumPy's) spin for about 0.1 s after their library
    loads, and would otherwise share the cores with the first timed calls."""
    deadline = time.perf_counter() + limit_s
    while time.perf_counter() < deadline:
        cpu = time.process_time()
        time.sleep(window_s)
        if time.process_time() - cpu < 0.1 * window_s:
            return


def batch_loops(first):
    """Calls per timed batch for a call whose single run took `first` seconds."""
    return max(1, min(10000, int(BATCH_SECONDS / max(first, 1e-9))))


def timed(call, repeats, slow):
    """Times call(): its first run (with the peak memory growth), then, when that run is
    faster than `slow` seconds, the best of further batches. Results are freed untimed."""
    gc.collect()
    settle()
    exact_peak = reset_peak()
    baseline = peak_bytes()
    start = time.perf_counter()
    result = call()
    first = time.perf_counter() - start
    growth = peak_bytes() - baseline
    times, loops = [first], 1
    if first < slow:
        loops = batch_loops(first)
        deadline = time.perf_counter() + REPEAT_SECONDS
        for _ in range(repeats - 1):
            held = []
            start = time.perf_counter()
            for _ in range(loops):
                held.append(call())
            times.append((time.perf_counter() - start) / loops)
            del held
            if time.perf_counter() > deadline:
                break
    measurement = {
        "time_s": min(times),
        "times_s": times,
        "loops": loops,
        "peak_growth_bytes": growth,
        "peak_reset": exact_peak,
    }
    return result, measurement


def alternated(calls, repeats, batched=True, seconds=ALTERNATION_SECONDS):
    """The best per-call time of each call, timed in alternating batches (one batch of each per
    round; one call, unless `batched`) after one untimed warm-up run each: a slow phase of the
    machine then hits every call alike, where separate processes meet it at different moments.
    At least `repeats` rounds and `seconds`."""
    gc.collect()
    settle()
    loops = []
    for call in calls:
        start = time.perf_counter()
        call()
        loops.append(batch_loops(time.perf_counter() - start) if batched else 1)
    best = [float("inf")] * len(calls)
    start_s = time.perf_counter()
    rounds = 0
    # At least `repeats` rounds and `seconds`, so that a phase of the machine that slows one
    # call more than the other (a busy second core, for a call that uses it) is outlasted; at
    # most 2 * REPEAT_SECONDS.
    while True:
        for index, (call, count) in enumerate(zip(calls, loops)):
            held = []
            start = time.perf_counter()
            for _ in range(count):
                held.append(call())
            best[index] = min(best[index], (time.perf_counter() - start) / count)
            del held
        rounds += 1
        elapsed = time.perf_counter() - start_s
        if (rounds >= repeats and elapsed >= seconds) or elapsed >= 2 * REPEAT_SECONDS:
            return best, rounds


# ---- rows ------------------------------------------------------------------------------

def load_module(method):
    try:
        return importlib.import_module(MODULES[method])
    except ImportError as error:
        raise Unavailable(f"{MODULES[method]} is not importable: {error}") from error


def method_function(method, function):
    if method == "numpy":
        return numpy_impl.FUNCTIONS[function]
    return getattr(load_module(method), function)


def coefficient_map(function, basis):
    """A ready map for a floor or a product, from tanvo or, failing that, from NumPy."""
    import tanvo

    try:
        return getattr(tanvo, function)(basis)
    except BaseException:  # noqa: B036 - PanicException derives from BaseException
        return numpy_impl.FUNCTIONS[function](basis)


def generator_output(function, d):
    import tanvo

    try:
        return getattr(tanvo, function)(d)
    except BaseException:  # noqa: B036
        return numpy_impl.FUNCTIONS[function](d)


def save_map(path, mapping):
    i, j, k, c = numpy_impl.map_arrays(mapping)
    np.savez(path, i=i, j=j, k=k, c=c)


def fingerprint(d, matrices):
    """Each matrix's inner product with one fixed random matrix: compares whole lists cheaply."""
    rng = np.random.default_rng(workloads.SEED)
    probe = rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d))
    return np.array([np.vdot(probe, m) for m in matrices])


def digest(matrices):
    h = hashlib.sha256()
    for m in matrices:
        h.update(repr((m.shape, m.dtype.str)).encode())
        h.update(np.ascontiguousarray(m).tobytes())
    return h.hexdigest()


def run_extraction(job, row, method):
    import tanvo

    if method == "numpy-partial":
        return partial_times(job, row, workloads.build_basis(tanvo, row["basis"], row["d"]))
    if method in ("floor", "paired"):
        with np.load(job["map_file"]) as arrays:
            call = partial(floors.build_dict, floors.map_lists(arrays))
        if method == "paired":
            own = partial(method_function("tanvo", row["function"]), workloads.build_basis(tanvo, row["basis"], row["d"]))
            (own_time, floor_time), rounds = alternated([own, call], job["repeats"])
            return {"time_s": own_time, "floor_time_s": floor_time, "rounds": rounds}
    elif method == "pennylane":
        return run_pennylane(job, row, tanvo)
    else:
        basis = workloads.build_basis(tanvo, row["basis"], row["d"])
        call = partial(method_function(method, row["function"]), basis)
        if method == "numpy":
            call = partial(call, solver=job.get("solver", "lstsq"))
    result, report = timed(call, job["repeats"], job["slow_s"])
    report["entries"] = len(result)
    if job.get("size"):
        report["result_bytes"] = dict_bytes(result)
    if job.get("out"):
        save_map(job["out"], result)
    return report


def run_pennylane(job, row, tanvo):
    """PennyLane's structure constants (the full n x n x n tensor) of the Hermitian basis i·B:
    timed for comparison only, not checked against tanvo's map."""
    try:
        import pennylane as qml
    except ImportError as error:
        raise Unavailable(f"pennylane is not importable: {error}") from error
    hermitian = 1j * np.array(workloads.build_basis(tanvo, row["basis"], row["d"]))
    call = partial(qml.liealg.structure_constants, hermitian, matrix=True)
    _, report = timed(call, job["repeats"], job["slow_s"])
    return report


def partial_times(job, row, basis):
    """Times of the NumPy method restricted to the pairs (i, j) with i below each of
    job["partial_rows"], after a one-row call that absorbs the first call's own costs."""
    function = partial(numpy_impl.FUNCTIONS[row["function"]], basis, solver=job.get("solver", "lstsq"))
    function(rows=1)
    times = []
    for rows in job["partial_rows"]:
        start = time.perf_counter()
        function(rows=rows)
        times.append(time.perf_counter() - start)
    return {"partial_rows": job["partial_rows"], "partial_times_s": times}


def run_generator(job, row, method):
    d = row["d"]
    if method == "floor-inputs":
        floors.save_generator_parts(job["out"], generator_output(row["function"], d))
        return {}
    if method == "floor":
        call = partial(floors.fill_matrices, d, floors.load_generator_parts(job["parts_file"]))
    else:
        call = partial(method_function(method, row["function"]), d)
    result, report = timed(call, job["repeats"], job["slow_s"])
    report["entries"] = len(result)
    report["result_bytes"] = matrices_bytes(result)
    if job.get("out"):
        np.save(job["out"], fingerprint(d, result))
    if job.get("digest"):
        report["digest"] = digest(result)
    return report


def run_product(job, row, method):
    import tanvo

    basis = workloads.build_basis(tanvo, row["basis"], row["d"])
    mapping = coefficient_map(workloads.PRODUCTS[row["function"]], basis)
    arguments = workloads.product_arguments(row, mapping, basis)
    if method == "floor":
        return product_floor(job, row, mapping, arguments)
    call = partial(method_function("tanvo" if method == "paired" else method, row["function"]), *arguments)
    if method == "paired":
        (own, floor), rounds = alternated([call, partial(floors.touch_entries, mapping)], job["repeats"])
        return {"time_s": own, "floor_time_s": floor, "rounds": rounds}
    result, report = timed(call, job["repeats"], job["slow_s"])
    report["entries"] = len(mapping)
    report["result_bytes"] = sys.getsizeof(result)
    if job.get("out"):
        np.save(job["out"], result)
    return report


def product_floor(job, row, mapping, arguments):
    """A Python loop unpacking every entry of the map: the least a product must do is read it.
    tanvo's own conversion of the map (the call with empty columns minus the same call with an
    empty map) is recorded beside it."""
    import tanvo

    _, report = timed(partial(floors.touch_entries, mapping), job["repeats"], job["slow_s"])
    report.update(floor_kind="python loop over the entries", entries=len(mapping))
    with_map, without_map = floors.conversion_pair(getattr(tanvo, row["function"]), arguments)
    try:
        _, full = timed(with_map, job["repeats"], job["slow_s"])
        _, empty = timed(without_map, job["repeats"], job["slow_s"])
        report["tanvo_map_conversion_s"] = full["time_s"] - empty["time_s"]
    except BaseException:  # noqa: B036 - PanicException derives from BaseException
        pass
    return report


def probe():
    """Which functions of each module can be called at all (tiny inputs)."""
    import tanvo

    basis = tanvo.gen_gellmann(2)
    mapping = {(0, 1): (2, 2j)}
    column = np.ones((3, 1), np.complex128)
    calls = {
        "gen_gellmann": (2,),
        "gen_sylvester": (2,),
        "get_structure_constants": (basis,),
        "get_d_coefficients": (basis,),
        "su_commutator": (column, column, mapping, basis),
        "su_anticommutator": (column, column, mapping, basis),
        "cross": (column, column, mapping),
        "dot": (column, column, mapping),
    }
    found = {}
    for method in MODULES:
        try:
            module = load_module(method)
        except Unavailable as error:
            found[method] = {name: {"status": "unavailable", "message": str(error)} for name in calls}
            continue
        found[method] = {}
        for name, arguments in calls.items():
            try:
                getattr(module, name)(*arguments)
                found[method][name] = {"status": "ok"}
            except BaseException as error:  # noqa: B036
                found[method][name] = outcome_of(error)
    found["pennylane"] = importlib.util.find_spec("pennylane") is not None
    return found


RUNNERS = {"extraction": run_extraction, "generator": run_generator, "product": run_product}


def main():
    job = json.loads(sys.argv[1])
    if job.get("probe"):
        report = probe()
    else:
        try:
            report = RUNNERS[job["row"]["kind"]](job, job["row"], job["method"])
            report["status"] = "ok"
        except Unavailable as error:
            report = {"status": "unavailable", "message": str(error)}
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
            report = outcome_of(error)
    sys.stdout.write(json.dumps(report) + "\n")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
