#!/usr/bin/env python3
"""Benchmarks of tanvo_lie's Pauli strings: string products beside their goals, and Lie closures
and structure tensors of strings and sums of strings side by side with PennyLane, fastdla and
paulie (each when installed).

    PYTHONPATH=build/dev python3 benchmarks/pauli.py [--quick] [--budget S] [--only REGEX]
                                                     [--sizes N,N] [--peers P,P]
                                                     [--json OUT.json] [--plot FILE.png]

Products (one process, the calling thread): a batch of a million pairs of random 64-site
strings multiplied with their phases and tested for commutation, in products per second,
beside the goal of 1e8 per second on one core; Qiskit's ``PauliList.compose`` on the same
batch, and PennyLane's ``PauliWord`` and Stim's ``PauliString`` products pair by pair.

Closures and tensors (every measurement in a process of its own, at most ``--budget`` seconds;
a peer that ran out of it is not run at the larger sizes of the same row). A peer's process
runs tanvo too, the two calls taken in turn (tanvo, peer, tanvo, peer, ...) so that both see
the same load of a shared machine; its ratio is to that tanvo time:

- ``ising`` — the transverse-field Ising chain as separate strings X_i X_(i+1) and Z_i (its
  algebra is so(2n), dimension n(2n - 1)); tanvo, PennyLane's Pauli path
  (``qml.lie_closure(..., pauli=True)``), fastdla (sparse Pauli sums) and paulie
  (``get_algebra``, a classification; paulie needs Python 3.12 or later).
- ``heisenberg`` — one XX + YY + ZZ sum per bond; tanvo, PennyLane, fastdla.
- ``ising-sums`` — the two sums Σ X_i X_(i+1) and Σ Z_i (dimension n²); tanvo, fastdla.
- ``clock`` — the q = 3 clock chain of words Z_i Z_(i+1)^† and X_i (dimension 3^(2n-1) - 3);
  tanvo.
- ``tensor`` — the structure constants of the Ising algebra; tanvo's ``structure_tensor``
  against PennyLane's ``structure_constants`` of its own closure.

Each row prints the time and the dimension found by each method; dimensions that disagree
with tanvo's are flagged. ``--plot`` draws the closure time of the Ising chain against n (tanvo,
PennyLane, fastdla) on log-log axes (needs matplotlib). These scripts are not tests: nothing in
them asserts a speed. Figures measured with them, and the peers' versions, are on the Pauli
strings page of the user guide (docs/user_guide/pauli_strings.rst, "Cost").
"""
import argparse
import json
import os
import platform
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
PRODUCT_GOAL = 1e8          # 64-site string products per second on one core
PRODUCT_PAIRS = 1_000_000
SIZES = {
    "ising": [6, 10, 20, 50, 100, 300, 1000],
    "heisenberg": [4, 5, 6, 7, 8, 9, 10],
    "ising-sums": [6, 10, 12, 20, 40, 100],
    "clock": [2, 3, 4, 5, 6],
    "tensor": [6, 10, 20, 50, 100],
}
QUICK_SIZES = {"ising": [6, 10, 20, 50, 100], "heisenberg": [4, 5, 6], "ising-sums": [6, 10, 12],
               "clock": [2, 3, 4], "tensor": [6, 10, 20]}
PEERS = {
    "ising": ["tanvo", "pennylane", "fastdla", "paulie"],
    "heisenberg": ["tanvo", "pennylane", "fastdla"],
    "ising-sums": ["tanvo", "fastdla"],
    "clock": ["tanvo"],
    "tensor": ["tanvo", "pennylane"],
}


# --- Workloads, as (label, coefficient) terms per generator, site 0 first --------------------

def label(n, placed):
    return "".join(placed.get(k, "I") for k in range(n))


def chain_terms(family, n):
    if family in ("ising", "tensor"):
        return ([[(label(n, {i: "X", i + 1: "X"}), 1.0)] for i in range(n - 1)]
                + [[(label(n, {i: "Z"}), 1.0)] for i in range(n)])
    if family == "heisenberg":
        return [[(label(n, {i: p, i + 1: p}), 1.0) for p in "XYZ"] for i in range(n - 1)]
    if family == "ising-sums":
        return [[(label(n, {i: "X", i + 1: "X"}), 1.0) for i in range(n - 1)],
                [(label(n, {i: "Z"}), 1.0) for i in range(n)]]
    raise ValueError(family)


def tanvo_generators(family, n):
    from tanvo_lie import PauliStrings, PauliSums
    if family == "clock":
        x = np.zeros((2 * n - 1, n), int)
        z = np.zeros((2 * n - 1, n), int)
        for i in range(n - 1):
            z[i, i], z[i, i + 1] = 1, 2
        for i in range(n):
            x[n - 1 + i, i] = 1
        return PauliStrings.from_exponents(x, z, q=3)
    terms = chain_terms(family, n)
    if all(len(t) == 1 for t in terms):
        return PauliStrings([t[0][0] for t in terms])
    return PauliSums.from_list(terms)


# --- One measurement (in a worker process) -------------------------------------------------


def alternating(calls, repeats=5, within=2.0):
    """The result of each call and its best time, the calls taken in turn (a, b, a, b, ...) for
    up to `repeats` rounds while the rounds so far took under `within` seconds: both see the
    same load of a shared machine, and a first call pays for starting threads and warming
    caches, in every package alike. A call of minutes runs once."""
    best = {name: float("inf") for name in calls}
    results, spent = {}, 0.0
    for _ in range(repeats):
        for name, call in calls.items():
            start = time.perf_counter()
            results[name] = call()
            took = time.perf_counter() - start
            best[name], spent = min(best[name], took), spent + took
        if spent > within:
            break
    return results, best


def tanvo_call(family, n):
    """tanvo's closure (or, for the tensor row, its structure tensor of the closure) as a call,
    and what describes its result."""
    import tanvo_lie
    generators = tanvo_generators(family, n)
    if family != "tensor":
        return (lambda: tanvo_lie.lie_closure(generators)), lambda basis: {"dimension": len(basis)}
    basis = tanvo_lie.lie_closure(generators)
    return (lambda: tanvo_lie.structure_tensor(basis)), lambda tensor: {"dimension": len(basis), "nnz": tensor.nnz}


def peer_call(peer, family, n):
    """The peer's call and what describes its result."""
    terms = chain_terms(family, n)
    if peer == "pennylane":
        import pennylane as qml
        from pennylane.pauli import PauliSentence, PauliWord
        sentences = [PauliSentence({PauliWord({k: p for k, p in enumerate(w) if p != "I"}): c for w, c in t})
                     for t in terms]
        if family != "tensor":
            return (lambda: qml.lie_closure(sentences, pauli=True)), lambda basis: {"dimension": len(basis)}
        basis = qml.lie_closure(sentences, pauli=True)
        return (lambda: qml.structure_constants(basis, pauli=True)), lambda f: {"dimension": len(basis)}
    if peer == "fastdla":
        from fastdla import SparsePauliSum, lie_closure
        def sums(terms):
            return [SparsePauliSum([w for w, _ in t], [c for _, c in t]) for t in terms]
        generators = sums(terms)
        # Numba compiles its functions on their first call: a whole closure of the same chain at
        # 4 sites takes that outside the timing (one of two generators left most uncompiled).
        lie_closure(sums(chain_terms(family, 4)))
        return (lambda: lie_closure(generators)), lambda basis: {"dimension": len(basis)}
    if peer == "paulie":
        from paulie import get_pauli_string
        generators = get_pauli_string([t[0][0] for t in terms], n=n)
        return generators.get_algebra, lambda algebra: {"algebra": str(algebra)}
    raise ValueError(peer)


def run(peer, family, n):
    """tanvo alone, or a peer alternated with tanvo in this process: the peer's report carries
    tanvo's time beside it (``tanvo_seconds``), which its ratio uses."""
    calls, describe = {}, {}
    calls["tanvo"], describe["tanvo"] = tanvo_call(family, n)
    if peer != "tanvo":
        calls[peer], describe[peer] = peer_call(peer, family, n)
    results, best = alternating(calls)
    report = {"seconds": best[peer], **describe[peer](results[peer])}
    if peer != "tanvo":
        report["tanvo_seconds"] = best["tanvo"]
    return report


def worker(peer, family, n):
    try:
        import numpy  # noqa: F401 - the baseline includes the packages every worker loads
        baseline = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        report = run(peer, family, n)
        report["status"] = "ok"
        # Growth of the peak resident size over the process's size before the run (imports
        # of the package measured included).
        report["peak_mb"] = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - baseline) / 1024
    except ImportError as error:
        report = {"status": "unavailable", "message": str(error)[:200]}
    except Exception as error:  # noqa: BLE001 - a failure is a result here
        report = {"status": "error", "message": f"{type(error).__name__}: {error}"[:300]}
    print(json.dumps(report))


def measure(peer, family, n, budget):
    command = [sys.executable, __file__, "--worker", peer, family, str(n)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=budget, env=os.environ)
    except subprocess.TimeoutExpired:
        return {"status": "timeout", "message": f"over the budget of {budget:g} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        return {"status": "error", "message": (done.stderr.strip().splitlines() or ["no output"])[-1][:300]}
    return json.loads(lines[-1])


# --- Products ------------------------------------------------------------------------------

def products(quick):
    from tanvo_lie import PauliStrings
    rng = np.random.default_rng(1)
    m = PRODUCT_PAIRS // (10 if quick else 1)
    a = PauliStrings.from_exponents(rng.integers(0, 2, (m, 64)), rng.integers(0, 2, (m, 64)))
    b = PauliStrings.from_exponents(rng.integers(0, 2, (m, 64)), rng.integers(0, 2, (m, 64)))
    calls = {  # name: (call, pairs per call)
        "tanvo multiply (phases as exponents)": (lambda: a.multiply(b, exponents=True), m),
        "tanvo multiply (complex phases)": (lambda: a.multiply(b), m),
        "tanvo commutes": (lambda: a.commutes(b), m),
    }
    labels_a, labels_b = a.labels(), b.labels()
    missing = []
    try:
        from qiskit.quantum_info import PauliList
        left, right = PauliList([s[::-1] for s in labels_a]), PauliList([s[::-1] for s in labels_b])
        calls["qiskit PauliList.compose"] = (lambda: left.compose(right, front=True), m)
    except ImportError:
        missing.append("qiskit PauliList.compose")
    k = 20_000
    try:
        from pennylane.pauli import PauliWord
        words_a = [PauliWord({i: c for i, c in enumerate(s) if c != "I"}) for s in labels_a[:k]]
        words_b = [PauliWord({i: c for i, c in enumerate(s) if c != "I"}) for s in labels_b[:k]]
        calls["pennylane PauliWord products"] = (lambda: [x._matmul(y) for x, y in zip(words_a, words_b)], k)
    except ImportError:
        missing.append("pennylane PauliWord products")
    try:
        import stim
        strings_a = [stim.PauliString(s.replace("I", "_")) for s in labels_a[:k]]
        strings_b = [stim.PauliString(s.replace("I", "_")) for s in labels_b[:k]]
        calls["stim PauliString products (pair by pair)"] = (lambda: [x * y for x, y in zip(strings_a, strings_b)], k)
        # Stim's own batch: a PauliString of all pairs end to end (64 m sites) times another,
        # one call for the m products and their phases together.
        batch_a, batch_b = stim.PauliString("".join(s.replace("I", "_") for s in labels_a)), \
            stim.PauliString("".join(s.replace("I", "_") for s in labels_b))
        calls["stim one string of all pairs (one phase)"] = (lambda: batch_a * batch_b, m)
    except ImportError:
        missing.append("stim PauliString products (pair by pair)")
    # Rounds taking each in turn, so that every rate sees the same load; the best of each kept.
    best = {name: 0.0 for name in calls}
    for _ in range(5):
        for name, (call, count) in calls.items():
            start = time.perf_counter()
            call()
            best[name] = max(best[name], count / (time.perf_counter() - start))
    rows = {**best, **{name: None for name in missing}}
    print(f"\nString products of 64 sites (batch of {m:,}; peers pair by pair where they have no batch)")
    ours = rows["tanvo multiply (phases as exponents)"]
    for name, rate in rows.items():
        if rate is None:
            print(f"  {name:<44} not installed")
            continue
        goal = f"   goal {PRODUCT_GOAL:.0e}/s: {'met' if rate >= PRODUCT_GOAL else 'MISSED'}" if name.startswith(
            "tanvo multiply (phases as") else f"   tanvo {ours / rate:,.0f}x" if not name.startswith("tanvo") else ""
        print(f"  {name:<44} {rate:>14,.0f} /s{goal}")
    return rows


# --- The run -------------------------------------------------------------------------------

def cell(report):
    if report is None:
        return "-"
    if report["status"] != "ok":
        return report["status"]
    if "algebra" in report:
        return f"{report['seconds']:.3g} s"
    return f"{report['seconds']:.3g} s ({report['dimension']:,})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    parser.add_argument("--quick", action="store_true", help="small sizes, under a few minutes")
    parser.add_argument("--budget", type=float, default=None, help="seconds per measurement (default 300, quick 30)")
    parser.add_argument("--only", default=None, help="rows whose family matches this regular expression")
    parser.add_argument("--sizes", default=None, help="comma-separated n, instead of each row's own")
    parser.add_argument("--peers", default=None, help="comma-separated peers beside tanvo (default: every one)")
    parser.add_argument("--json", default=None, help="write every measurement here")
    parser.add_argument("--plot", default=None, help="draw the Ising closure time against n into this file")
    args = parser.parse_args()
    if args.worker:
        peer, family, n = args.worker
        worker(peer, family, int(n))
        return
    budget = args.budget or (30.0 if args.quick else 300.0)
    sizes = QUICK_SIZES if args.quick else SIZES
    print(f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}")
    results = {"machine": platform.platform(), "budget": budget}
    if not args.only or re.search(args.only, "products"):
        results["products"] = products(args.quick)
    results["rows"] = {}
    for family, peers in PEERS.items():
        if args.only and not re.search(args.only, family):
            continue
        if args.peers is not None:
            peers = ["tanvo"] + [p for p in peers[1:] if p in args.peers.split(",")]
        what = "structure tensor of the closure" if family == "tensor" else "closure"
        print(f"\n{family}: {what}, time (dimension); 'timeout' past {budget:g} s")
        print(f"{'n':>6}" + "".join(f"{peer:>26}" for peer in peers) + "   tanvo faster by")
        given_up = set()
        rows = results["rows"].setdefault(family, {})
        for n in [int(k) for k in args.sizes.split(",")] if args.sizes else sizes[family]:
            row = {}
            for peer in peers:
                if peer in given_up:
                    row[peer] = None
                    continue
                row[peer] = measure(peer, family, n, budget)
                if row[peer]["status"] in ("timeout", "error", "unavailable"):
                    given_up.add(peer)
            rows[n] = row
            ours = row["tanvo"]
            ratios = []
            for peer in peers[1:]:
                other = row.get(peer)
                if ours and ours["status"] == "ok" and other and other["status"] == "ok":
                    beside = other.get("tanvo_seconds", ours["seconds"])
                    ratios.append(f"{peer} {other['seconds'] / beside:,.0f}x")
                    if "dimension" in other and other["dimension"] != ours["dimension"]:
                        ratios[-1] += " (DIMENSION DIFFERS)"
            extra = f"   tanvo peak +{ours['peak_mb']:,.0f} MB" if ours and ours.get("status") == "ok" else ""
            print(f"{n:>6}" + "".join(f"{cell(row[p]):>26}" for p in peers) + "   " + ", ".join(ratios) + extra,
                  flush=True)
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1, default=str))
    if args.plot and "ising" in results["rows"]:
        plot(results["rows"]["ising"], args.plot)


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figure, axes = plt.subplots(figsize=(6, 4))
    for peer in ("tanvo", "pennylane", "fastdla"):
        points = [(n, r[peer]["seconds"]) for n, r in rows.items() if r.get(peer) and r[peer]["status"] == "ok"]
        if points:
            axes.loglog(*zip(*points), "o-", label=peer)
    axes.set_xlabel("qubits n (Ising chain, so(2n))")
    axes.set_ylabel("closure time (s)")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=150)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
