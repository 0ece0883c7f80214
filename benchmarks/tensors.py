#!/usr/bin/env python3
"""Benchmarks tanvo_lie.structure_tensor against tanvo's maps, vectorised NumPy and PennyLane.

    PYTHONPATH=build/dev python3 benchmarks/tensors.py [--quick] [--json OUT.json]
    PYTHONPATH=build/dev python3 benchmarks/run.py --tensors [--quick]      (the same)

Each measurement runs in a fresh process, builds its basis untimed, waits until the process is
idle (OpenBLAS's threads, ours and NumPy's, spin for about 0.1 s after their library loads and
would share the cores with the first calls), and reports its time and the growth of the peak
resident set during the call, and the CPU time of its first call (all threads; less skewed than
the time when other work shares the CPUs). Methods:

- tensor: ``structure_tensor(basis, kind)`` (default threads: every core), or with the threads
  the row names;
- map: ``tanvo.get_structure_constants`` / ``get_d_coefficients`` (first terms, as a dict);
- numpy: all products at once with ``einsum``, one pseudo-inverse (``np.linalg.pinv``) and one
  matrix product for every coefficient, terms above 1e-8 counted;
- pennylane: ``qml.liealg.structure_constants(g, matrix=True)`` on the Hermitian matrices
  -i·B (commutators only; skipped when PennyLane is not installed, or when its memory,
  estimated from the smaller size, exceeds this machine's);
- paired (Gell-Mann maps from su(32) on): the tensor and the map timed in alternation in one
  process, best of at least five rounds and 3 s (the time a separate row may take); the map /
  tensor targets use it;
- zgemm: NumPy's ``@`` on two 2048 x 2048 complex128 matrices, the machine's multiply-add rate.

Results are cross-checked: term counts and sums of |c| between tensor, NumPy and PennyLane
(PennyLane's layout is ``T.transpose(2, 0, 1)``), first terms against the map.
"""
from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from measure import REPEAT_SECONDS, alternated, peak_bytes, reset_peak, settle

HERE = Path(__file__).resolve().parent
TOL = 1e-8
PHYSICAL = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")


def plan(quick):
    """(id, method, basis, d, kind, threads) rows; targets refer to them by id."""
    rows = []

    def add(method, basis, d, kind="commutator", threads=None):
        label = f"{method} {basis} su({d}) {kind[:4]}" + (f" t={threads}" if threads else "")
        rows.append({"id": label, "method": method, "basis": basis, "d": d, "kind": kind, "threads": threads})

    rows.append({"id": "zgemm 2048", "method": "zgemm", "basis": None, "d": 2048, "kind": None, "threads": None})
    pairs = (8,) if quick else (16, 32, 64)
    for d in pairs:
        for basis in ("gellmann", "sylvester"):
            for kind in ("commutator", "anticommutator"):
                add("tensor", basis, d, kind)
                if d >= 32 or quick:
                    add("map", basis, d, kind)
                if basis == "gellmann" and (d >= 32 or quick):  # the closest ratios to their target
                    add("paired", basis, d, kind)
    pennylane_sizes = (4, 8) if quick else (8, 16, 32)
    for d in pennylane_sizes:
        if d not in pairs:
            add("tensor", "gellmann", d)
        add("pennylane", "gellmann", d)
    dense = 6 if quick else 16
    for kind in ("commutator", "anticommutator"):
        add("tensor", "dense", dense, kind)
        add("numpy", "dense", dense, kind)
    add("numpy", "gellmann", 8 if quick else 16)
    big_gellmann, big_sylvester, threads_d = (16, 12, 16) if quick else (128, 96, 64)
    for kind in ("commutator", "anticommutator"):
        add("tensor", "gellmann", big_gellmann, kind)
    add("tensor", "sylvester", big_sylvester)
    add("tensor", "sylvester", threads_d, threads=1)
    add("tensor", "sylvester", threads_d, threads=2)
    return rows


# ---- one measurement, in a process of its own ----------------------------------------------

def build_basis(kind, d):
    import tanvo

    sys.path.insert(0, str(HERE))
    import workloads

    return workloads.build_basis(tanvo, kind, d)


def numpy_tensor(basis, kind):
    """All products, one pseudo-inverse, one product for every coefficient: T as (n, n, n)."""
    b = np.asarray(basis)
    n, d, _ = b.shape
    products = np.einsum("aij,bjk->abik", b, b)
    products = products + (-1 if kind == "commutator" else 1) * products.transpose(1, 0, 2, 3)
    inverse = np.linalg.pinv(b.reshape(n, d * d).T)
    coefficients = products.reshape(n * n, d * d) @ inverse.T
    return coefficients.reshape(n, n, n)


def worker(job):
    method, kind = job["method"], job["kind"]
    if method == "zgemm":
        size = job["d"]
        rng = np.random.default_rng(1)
        a = rng.normal(size=(size, size)) + 1j * rng.normal(size=(size, size))
        a @ a
        times = []
        for _ in range(3):
            start = time.perf_counter()
            a @ a
            times.append(time.perf_counter() - start)
        return {"status": "ok", "time_s": min(times), "rate_macs": size**3 / min(times)}
    basis = build_basis(job["basis"], job["d"])
    basis_bytes = sum(m.nbytes for m in basis)
    n = len(basis)
    if method == "paired":
        return paired(basis, kind)
    if method == "tensor":
        import tanvo_lie

        call = lambda: tanvo_lie.structure_tensor(basis, kind, threads=job["threads"])  # noqa: E731
    elif method == "map":
        import tanvo

        function = tanvo.get_structure_constants if kind == "commutator" else tanvo.get_d_coefficients
        call = lambda: function(basis)  # noqa: E731
    elif method == "numpy":
        call = lambda: numpy_tensor(basis, kind)  # noqa: E731
    elif method == "pennylane":
        import pennylane as qml

        hermitian = [-1j * m for m in basis]
        call = lambda: qml.liealg.structure_constants(hermitian, matrix=True)  # noqa: E731
    settle()
    exact = reset_peak()
    before = peak_bytes()
    cpu = time.process_time()
    start = time.perf_counter()
    result = call()
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu
    growth = peak_bytes() - before
    times = [elapsed]
    while elapsed < 1.0 and len(times) < 5:
        del result
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    report = {"status": "ok", "time_s": min(times), "times_s": times, "cpu_s": cpu, "peak_growth_bytes": growth,
              "peak_reset": exact, "basis_bytes": basis_bytes, "n": n}
    report.update(fingerprint(method, result, n))
    return report


def paired(basis, kind):
    """The tensor and the map timed in alternation, one call of each per round (so that no
    tensor call follows another), at least five rounds and as long as a separate row may take
    (a phase of the machine that slows the two-thread tensor more than the one-thread map can
    last a second): best time of each."""
    import tanvo
    import tanvo_lie

    function = tanvo.get_structure_constants if kind == "commutator" else tanvo.get_d_coefficients
    calls = [lambda: tanvo_lie.structure_tensor(basis, kind), lambda: function(basis)]
    (tensor, mapping), rounds = alternated(calls, 5, batched=False, seconds=REPEAT_SECONDS)
    return {"status": "ok", "time_s": tensor, "map_time_s": mapping, "rounds": rounds}


def fingerprint(method, result, n):
    """Term count and sum of |c| over the terms, and the first terms' count and sum."""
    if method == "tensor":  # the first terms as first_terms() finds them, without the dict
        pairs = result.indices[:, :2]
        first = np.ones(result.nnz, dtype=bool)
        first[1:] = (pairs[1:] != pairs[:-1]).any(axis=1)
        return {"terms": result.nnz, "abs_sum": float(np.abs(result.values).sum()),
                "result_bytes": result.indices.nbytes + result.values.nbytes,
                "first_terms": int(first.sum()), "first_abs_sum": float(np.abs(result.values[first]).sum())}
    if method == "map":
        return {"first_terms": len(result), "first_abs_sum": float(sum(abs(c) for _, c in result.values()))}
    dense = np.asarray(result)
    if method == "pennylane":
        dense = dense.transpose(1, 2, 0)
    kept = (abs(dense.real) > TOL) | (abs(dense.imag) > TOL)
    return {"terms": int(kept.sum()), "abs_sum": float(np.abs(dense[kept]).sum())}


# ---- the run --------------------------------------------------------------------------------

def spawn(job, limit):
    command = [sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(job)]
    # The workers run from this directory: a relative PYTHONPATH must not change meaning.
    environment = dict(os.environ)
    paths = os.environ.get("PYTHONPATH", "").split(os.pathsep)
    environment["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths if p)
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=limit, cwd=HERE, env=environment)
    except subprocess.TimeoutExpired:
        return {"status": "timeout", "message": f"stopped after {limit:.0f} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        tail = done.stderr.strip().splitlines()[-2:]
        return {"status": "error", "message": f"exit {done.returncode}: " + " | ".join(tail)}
    return json.loads(lines[-1])


def planned_skip(row, results):
    """Why a row is not run, or None."""
    if row["method"] == "pennylane":
        try:
            import importlib.util

            if importlib.util.find_spec("pennylane") is None:
                return "PennyLane is not installed (pip install pennylane, or the bench extra)"
        except ImportError:
            return "PennyLane is not installed"
        smaller = [r for r in results if r["row"]["method"] == "pennylane" and r["outcome"]["status"] == "ok"]
        if smaller:
            last = smaller[-1]
            n0, n1 = last["row"]["d"] ** 2 - 1, row["d"] ** 2 - 1
            estimate = last["outcome"]["peak_growth_bytes"] * (n1 / n0) ** 3
            if estimate > 0.8 * PHYSICAL:
                return f"needs ~{estimate / 1e9:.0f} GB (n³ growth from su({last['row']['d']})), this machine has {PHYSICAL / 1e9:.0f} GB"
    if row["method"] == "numpy":
        n, d = row["d"] ** 2 - 1, row["d"]
        needed = 4 * n * n * d * d * 16
        if needed > 0.5 * PHYSICAL:
            return f"needs ~{needed / 1e9:.0f} GB"
    return None


def format_seconds(s):
    return f"{s * 1e3:.3g} ms" if s < 1 else f"{s:.3g} s"


def find(results, method, basis, d, kind="commutator", threads=None):
    for r in results:
        row = r["row"]
        if (row["method"], row["basis"], row["d"], row["kind"], row["threads"]) == (method, basis, d, kind, threads):
            return r["outcome"] if r["outcome"]["status"] == "ok" else None
    return None


def checks(results):
    """Cross-checks between methods on the same basis, as lines of text."""
    lines = []
    for r in results:
        row, out = r["row"], r["outcome"]
        if row["method"] == "tensor" and out["status"] == "ok" and row["threads"] is None:
            for other in ("map", "numpy", "pennylane"):
                o = find(results, other, row["basis"], row["d"], row["kind"])
                if not o:
                    continue
                if other == "map":
                    ok = o["first_terms"] == out["first_terms"] and abs(o["first_abs_sum"] - out["first_abs_sum"]) <= 1e-9 * max(1, o["first_abs_sum"])
                else:
                    ok = o["terms"] == out["terms"] and abs(o["abs_sum"] - out["abs_sum"]) <= 1e-9 * max(1, o["abs_sum"])
                lines.append(f"{'ok  ' if ok else 'FAIL'} tensor vs {other} on {row['basis']} su({row['d']}) {row['kind']}")
    return lines


def targets(results):
    """Each target of the tensor work, with its figure from this run."""
    lines = []

    def ratio(slow, fast):
        return slow["time_s"] / fast["time_s"] if slow and fast else None

    for d in (32, 64):
        for basis in ("gellmann", "sylvester"):
            for kind in ("commutator", "anticommutator"):
                r = ratio(find(results, "map", basis, d, kind), find(results, "tensor", basis, d, kind))
                both = find(results, "paired", basis, d, kind)
                if both:
                    apart = f"; {r:.1f}x from the separate rows" if r else ""
                    lines.append(f"map / tensor, {basis} su({d}) {kind}: {both['map_time_s'] / both['time_s']:.1f}x "
                                 f"in alternation{apart} (target >= 10x)")
                elif r:
                    lines.append(f"map / tensor, {basis} su({d}) {kind}: {r:.1f}x (target >= 10x)")
    for d in (16, 32):
        t, p = find(results, "tensor", "gellmann", d), find(results, "pennylane", "gellmann", d)
        if t and p:
            lines.append(f"PennyLane / tensor, Gell-Mann su({d}): {p['time_s'] / t['time_s']:.0f}x (target >= 1000x at su(16))")
        elif t:
            lines.append(f"tensor Gell-Mann su({d}): {format_seconds(t['time_s'])}, {t['terms']} terms (PennyLane not run)")
    for kind in ("commutator", "anticommutator"):
        t = find(results, "tensor", "gellmann", 128, kind)
        if t:
            lines.append(f"complete tensor Gell-Mann su(128) {kind}: {format_seconds(t['time_s'])} (target < 5 s)")
    t = find(results, "tensor", "sylvester", 96)
    if t:
        ratio_result = t["peak_growth_bytes"] / t["result_bytes"]
        lines.append(f"clock-and-shift su(96): {t['terms']:,} terms, result {t['result_bytes'] / 1e9:.2f} GB, basis "
                     f"{t['basis_bytes'] / 1e9:.2f} GB, peak growth {t['peak_growth_bytes'] / 1e9:.2f} GB = "
                     f"{ratio_result:.2f}x the result (target: within 24 GB, at most 1.5x result + basis), "
                     f"{format_seconds(t['time_s'])}")
    zgemm = find(results, "zgemm", None, 2048, None)
    for kind in ("commutator", "anticommutator"):
        t, n_ = find(results, "tensor", "dense", 16, kind), find(results, "numpy", "dense", 16, kind)
        if t and n_:
            lines.append(f"dense su(16) {kind}: numpy / tensor {n_['time_s'] / t['time_s']:.2f}x (target >= 1)")
        if t and zgemm:
            floor = 16**8 / zgemm["rate_macs"]
            lines.append(f"dense su(16) {kind}: tensor {format_seconds(t['time_s'])} = {t['time_s'] / floor:.2f}x the "
                         f"time of d^8 multiply-adds at the zgemm rate {zgemm['rate_macs'] / 1e9:.1f} GMAC/s (target <= 2x)")
    one, two = find(results, "tensor", "sylvester", 64, threads=1), find(results, "tensor", "sylvester", 64, threads=2)
    if one and two:
        lines.append(f"clock-and-shift su(64), 1 / 2 threads: {one['time_s'] / two['time_s']:.2f}x (target >= 1.6x)")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes (under a minute)")
    parser.add_argument("--json", default=str(HERE / "results" / "tensors.json"))
    parser.add_argument("--limit", type=float, default=600.0, help="seconds allowed to one measurement")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))))
        return
    load = os.getloadavg()
    print(f"Load average at start {load[0]:.2f} on {os.cpu_count()} CPUs" +
          (": other work shares the CPUs and skews the times." if load[0] > 0.5 else "."))
    print(f"{'row':44s} {'time':>10s} {'cpu':>10s} {'peak growth':>12s}  terms / notes")
    results = []
    for row in plan(args.quick):
        reason = planned_skip(row, results)
        outcome = {"status": "skipped", "message": reason} if reason else spawn(row, args.limit)
        results.append({"row": row, "outcome": outcome})
        if outcome["status"] == "ok":
            growth = outcome.get("peak_growth_bytes")
            note = outcome.get("terms", outcome.get("first_terms", ""))
            if row["method"] == "zgemm":
                note = f"{outcome['rate_macs'] / 1e9:.1f} GMAC/s"
            if row["method"] == "paired":
                note = f"map {format_seconds(outcome['map_time_s'])}, {outcome['rounds']} rounds"
            cpu = format_seconds(outcome["cpu_s"]) if "cpu_s" in outcome else ""
            print(f"{row['id']:44s} {format_seconds(outcome['time_s']):>10s} {cpu:>10s} "
                  f"{(f'{growth / 1e9:.3f} GB' if growth is not None else ''):>12s}  {note}", flush=True)
        else:
            print(f"{row['id']:44s} {outcome['status']:>10s} {'':10s} {'':12s}  {outcome.get('message', '')}", flush=True)
    print("\nCross-checks:")
    for line in checks(results):
        print("  " + line)
    print("\nTargets:")
    for line in targets(results):
        print("  " + line)
    Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    meta = {"date": datetime.datetime.now(datetime.timezone.utc).isoformat(), "machine": platform.platform(),
            "cpus": os.cpu_count(), "load_average_at_start": load, "load_average_at_end": os.getloadavg()}
    Path(args.json).write_text(json.dumps({"meta": meta, "rows": results}, indent=1) + "\n")
    print(f"\nResults written to {args.json}")


if __name__ == "__main__":
    main()
