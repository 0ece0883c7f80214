#!/usr/bin/env python3
"""Benchmarks tanvo_lie.lie_closure against PennyLane's qml.lie_closure (its Pauli-word path
and matrix=True), when PennyLane is installed.

    PYTHONPATH=build/dev python3 benchmarks/closure.py [--quick] [--budget S] [--json OUT.json]

Rows: open chains of n qubits — the transverse-field Ising model (X_i X_{i+1} and Z_i; its
algebra is so(2n)), n = 4 ... 10, and the Heisenberg model (X X + Y Y + Z Z on neighbours),
n = 4 ... 8 — and two random Hermitian d x d generators (fixed seed), d = 8, 16, 32. Every
measurement runs in a process of its own; PennyLane gets `--budget` seconds per run, and a
method that ran out of it (or failed) is not run at the larger sizes of the same row. Each
PennyLane result is checked against tanvo's: the same dimension, and every PennyLane element
in tanvo's span (relative residual; for d >= 256 on 24 evenly spaced elements). Beside tanvo's
time, "closure / floor": the time to find the closure alone (before its dense result is
written) and the floor of writing an array of the result's size once; beside PennyLane's
Pauli-word time, "+t": the time its result then takes to become dense matrices (to_mat), the
form tanvo returns.
"""
import argparse
import functools
import json
import os
import pickle
import platform
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
METHODS = ("pennylane-pauli", "pennylane-matrix", "tanvo")
SIZES = {"ising": range(4, 11), "heisenberg": range(4, 9), "random": (8, 16, 32)}
QUICK_SIZES = {"ising": range(4, 7), "heisenberg": range(4, 6), "random": (8, 16)}
CHECKED_ELEMENTS = 24  # PennyLane elements checked against tanvo's span when d >= 256
PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1.0, -1.0])}


# --- Workloads -----------------------------------------------------------------------------

def chain_words(family, n):
    """Each generator as {Pauli string (site 0 first): coefficient}."""
    def word(placed):
        return "".join(placed.get(k, "I") for k in range(n))
    if family == "ising":
        return ([{word({i: "X", i + 1: "X"}): 1.0} for i in range(n - 1)]
                + [{word({i: "Z"}): 1.0} for i in range(n)])
    return [{word({i: p, i + 1: p}): 1.0 for p in "XYZ"} for i in range(n - 1)]


def word_matrix(word):
    return functools.reduce(np.kron, [PAULI[p] for p in word]).astype(complex)


def sentence_matrix(sentence):
    return sum(c * word_matrix(w) for w, c in sentence.items())


def generator_matrices(family, size):
    if family == "random":
        rng = np.random.default_rng(2024)
        a = rng.normal(size=(2, size, size)) + 1j * rng.normal(size=(2, size, size))
        return a + a.conj().transpose(0, 2, 1)
    return np.array([sentence_matrix(s) for s in chain_words(family, size)])


def dimension_of(family, size):
    return size * size if family == "random" else int(generator_matrices(family, size).shape[1])


# --- One measurement (worker process) ------------------------------------------------------

def run_pennylane(method, family, size, out):
    import pennylane as qml
    if method == "pennylane-pauli":
        if family == "random":
            raise ValueError("no Pauli-word form")
        sentences = [qml.pauli.PauliSentence({qml.pauli.PauliWord({k: p for k, p in enumerate(w) if p != "I"}): c
                                              for w, c in s.items()}) for s in chain_words(family, size)]
        start = time.perf_counter()
        result = qml.lie_closure(sentences, pauli=True)
        seconds = time.perf_counter() - start
        elements = [{"".join(dict(pw).get(k, "I") for k in range(size)): complex(c) for pw, c in ps.items()}
                    for ps in result]
        # The same output as tanvo's: each element as a dense matrix (made one at a time).
        start = time.perf_counter()
        for ps in result:
            ps.to_mat(wire_order=range(size))
        matrices_seconds = time.perf_counter() - start
        with open(out / f"{method}.pkl", "wb") as f:
            pickle.dump(elements, f)
        return {"seconds": seconds, "dimension": len(elements), "to_mat_seconds": matrices_seconds}
    else:
        matrices = list(generator_matrices(family, size))
        start = time.perf_counter()
        result = qml.lie_closure(matrices, matrix=True)
        seconds = time.perf_counter() - start
        elements = np.asarray(result)
    with open(out / f"{method}.pkl", "wb") as f:
        pickle.dump(elements, f)
    return {"seconds": seconds, "dimension": len(elements)}


def in_span(basis, elements):
    """Largest relative norm of an element's part outside the span of the orthonormal basis."""
    flat = basis.reshape(len(basis), -1)
    worst = 0.0
    for element in elements:
        m = (sentence_matrix(element) if isinstance(element, dict) else np.asarray(element)).reshape(-1)
        residual = m - flat.T @ np.conj(flat @ m.conj())  # no conjugated copy of the basis
        worst = max(worst, float(np.linalg.norm(residual) / np.linalg.norm(m)))
    return worst


class ClosureClock:
    """Progress callback: its last call comes when the closure is found, before the dense
    result is written, and gives the time of the closure alone."""

    def __init__(self):
        self.seconds = None

    def __call__(self, dimension, tried, seconds):
        self.seconds = seconds

    def finish(self):
        pass


def run_tanvo(family, size, out):
    import tanvo_lie
    from tanvo_lie._closure import _closure
    generators = generator_matrices(family, size)
    times, closure_times = [], []
    while len(times) < 3 and sum(times) < 2.0:  # repeat fast rows, keep the best
        start = time.perf_counter()
        basis = tanvo_lie.lie_closure(generators)
        times.append(time.perf_counter() - start)
        clock = ClosureClock()
        _closure(np.ascontiguousarray(generators, dtype=complex), 1e-10, -1, os.cpu_count(), "auto", clock)
        closure_times.append(clock.seconds)
    report = {"seconds": min(times), "dimension": len(basis), "closure_seconds": min(closure_times),
              "peak_rss_gb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20}
    start = time.perf_counter()
    np.full(basis.shape, 0j)
    report["floor_seconds"] = time.perf_counter() - start  # allocating and writing the result once
    flat = basis.reshape(len(basis), -1)
    report["orthonormality"] = float(np.abs(flat.conj() @ flat.T - np.eye(len(basis))).max())
    for method in METHODS[:2]:
        path = out / f"{method}.pkl"
        if not path.exists():
            continue
        with open(path, "rb") as f:
            elements = pickle.load(f)
        checked = list(elements)
        if basis.shape[1] >= 256 and len(checked) > CHECKED_ELEMENTS:
            checked = [checked[i] for i in np.linspace(0, len(checked) - 1, CHECKED_ELEMENTS).astype(int)]
        report[f"{method}-outside-span"] = in_span(basis, checked)
    return report


def worker(method, family, size, out):
    try:
        if method == "tanvo":
            report = run_tanvo(family, size, out)
        else:
            report = run_pennylane(method, family, size, out)
        report["status"] = "ok"
    except ImportError as error:
        report = {"status": "unavailable", "message": str(error)}
    except Exception as error:  # noqa: BLE001 - a failure is a result here
        report = {"status": "error", "message": f"{type(error).__name__}: {error}"[:300]}
    print(json.dumps(report))


# --- The run -------------------------------------------------------------------------------

def measure(method, family, size, out, budget):
    command = [sys.executable, __file__, "--worker", method, family, str(size), str(out)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=budget, env=os.environ)
    except subprocess.TimeoutExpired:
        return {"status": "timeout", "message": f"over the budget of {budget:g} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        return {"status": "error", "message": (done.stderr.strip().splitlines() or ["no output"])[-1][:300]}
    return json.loads(lines[-1])


def cell(report):
    if report is None:
        return "-"
    if report["status"] != "ok":
        return report["status"]
    text = f"{report['seconds']:.3g} s ({report['dimension']})"
    if "to_mat_seconds" in report:
        text += f" +{report['to_mat_seconds']:.2g}"
    return text


def closure_cell(report):
    if report is None or report["status"] != "ok":
        return "-"
    return f"{report['closure_seconds']:.3g} / {report['floor_seconds']:.3g} s"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, in about a minute")
    parser.add_argument("--budget", type=float, help="seconds per PennyLane run (default 150, quick 20)")
    parser.add_argument("--json", type=Path, default=HERE / "results" / "closure.json")
    parser.add_argument("--only", help="family to run: ising, heisenberg or random")
    parser.add_argument("--worker", nargs=4, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        method, family, size, out = args.worker
        worker(method, family, int(size), Path(out))
        return
    budget = args.budget or (20.0 if args.quick else 150.0)
    sizes = QUICK_SIZES if args.quick else SIZES
    rows = []
    print(f"{'row':<16}{'PennyLane Pauli +to_mat':>30}{'PennyLane matrix':>22}{'tanvo':>20}{'speed-up':>10}"
          f"{'closure / floor':>22}  check")
    for family, family_sizes in sizes.items():
        if args.only and family != args.only:
            continue
        given_up = set()
        for size in family_sizes:
            row = {"family": family, "size": size}
            with tempfile.TemporaryDirectory() as scratch:
                for method in METHODS:
                    if method == "pennylane-pauli" and family == "random":
                        continue
                    if method in given_up:
                        row[method] = {"status": "skipped", "message": "over budget or failed at a smaller size"}
                        continue
                    row[method] = measure(method, family, size, Path(scratch),
                                          budget if method != "tanvo" else None)
                    if method != "tanvo" and row[method]["status"] != "ok":
                        given_up.add(method)
            rows.append(row)
            tanvo_report = row["tanvo"]
            fastest = min((row[m]["seconds"] for m in METHODS[:2] if m in row and row[m]["status"] == "ok"),
                          default=None)
            speedup = (f"{fastest / tanvo_report['seconds']:.2g}x"
                       if fastest and tanvo_report["status"] == "ok" else "-")
            checks = []
            for method in METHODS[:2]:
                if method in row and row[method]["status"] == "ok" and tanvo_report["status"] == "ok":
                    same = row[method]["dimension"] == tanvo_report["dimension"]
                    checks.append(f"{method[10:]}: {'same dim' if same else 'DIFFERENT DIM'}, "
                                  f"span {tanvo_report.get(method + '-outside-span', float('nan')):.0e}")
            label = f"{family} {'d' if family == 'random' else 'n'}={size}"
            print(f"{label:<16}{cell(row.get('pennylane-pauli')):>30}{cell(row.get('pennylane-matrix')):>22}"
                  f"{cell(tanvo_report):>20}{speedup:>10}{closure_cell(tanvo_report):>22}  {'; '.join(checks)}",
                  flush=True)
            for method in METHODS:
                if method in row and row[method]["status"] not in ("ok", "skipped"):
                    print(f"    {method}: {row[method].get('message', '')}")
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps({"machine": platform.platform(), "cpus": os.cpu_count(),
                                     "load": os.getloadavg(), "budget": budget, "rows": rows}, indent=1))


if __name__ == "__main__":
    main()
