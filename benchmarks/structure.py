#!/usr/bin/env python3
"""Benchmarks tanvo_lie.decompose: the type of an algebra, its centre and the deep-circuit
variance, against their goals and against PennyLane's qml.center.

    PYTHONPATH=build/dev python3 benchmarks/structure.py [--quick] [--budget S] [--json OUT.json]
                                                         [--sections decompose,centre,variance,strings]

Rows (each measured in a process of its own, wall and CPU time, best of up to three runs that
fit in two seconds):

- decompose: the Ising chain's algebra so(2n), from lie_closure of its generators in the 2n-
  dimensional representation (X_i X_(i+1) and Z_i are the Majorana bilinears g_(2i+1) g_(2i+2)
  and g_(2i) g_(2i+1)), n = 6, 30, 50, and as 2^n x 2^n Pauli matrices, n = 6; the Heisenberg
  chain, n = 5; Gell-Mann su(32); clock-and-shift su(16); a sum with a centre.
  Goals: so(60) under 5 s, so(100) under 60 s, the Heisenberg chain well under a second.
- centre against PennyLane: qml.center of the algebra qml.lie_closure gives (Pauli sentences)
  for the Heisenberg (n = 3, 4, 5) and Ising (n = 3 ... 6) chains, with the dimension of the
  centre each finds; `--budget` seconds per PennyLane run (default 300). Goal: decompose, which
  finds the centre among everything else, 100 times faster.
- variance: the deep-circuit variance of <Z_0> from |0...0> on the Ising chain, n = 3 ... 6,
  against the closed form 1 / (2n - 1).
- strings: the same centres side by side in one process, the basis given as Pauli strings or
  sums (lie_closure of PauliStrings / PauliSums) and PennyLane's algebra as Pauli words or
  sentences (qml.lie_closure, pauli=True): tanvo_lie.center and qml.center called in turn, best
  of up to five rounds each (a PennyLane call over --budget is stopped and the ratio given as a
  bound), with decompose of the string basis beside them. Rows: qml.center's docstring example
  (X0, X0 X1, Y1), the Ising chain n = 3 ... 6, 10, 20 and the Heisenberg chain n = 3, 4, 5.
  Goal: 100 times faster than qml.center.

Nothing here asserts a speed; pytest does not collect it.
"""
import argparse
import functools
import json
import os
import platform
import subprocess
import sys
import time

import numpy as np

PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1.0, -1.0])}


# --- Workloads -----------------------------------------------------------------------------

def chain_words(model, n):
    """The generators as lists of (Pauli string, coefficient), site 0 first."""
    def word(placed):
        return "".join(placed.get(k, "I") for k in range(n))
    if model == "ising":
        return ([[(word({i: "X", i + 1: "X"}), 1.0)] for i in range(n - 1)]
                + [[(word({i: "Z"}), 1.0)] for i in range(n)])
    return [[(word({i: p, i + 1: p}), 1.0) for p in "XYZ"] for i in range(n - 1)]


def sentence_matrix(sentence):
    return sum(c * functools.reduce(np.kron, [PAULI[p] for p in w]) for w, c in sentence).astype(complex)


def ising_vector_generators(n):
    """X_i X_(i+1) and Z_i in so(2n)'s 2n-dimensional representation."""
    def rotation(a, b):
        m = np.zeros((2 * n, 2 * n))
        m[a, b], m[b, a] = 1, -1
        return m
    return [rotation(2 * i + 1, 2 * i + 2) for i in range(n - 1)] + [rotation(2 * i, 2 * i + 1) for i in range(n)]


def basis_of(workload, size):
    import tanvo
    import tanvo_lie
    if workload == "ising-vector":
        return tanvo_lie.lie_closure(ising_vector_generators(size))
    if workload in ("ising", "heisenberg"):
        return tanvo_lie.lie_closure([1j * sentence_matrix(s) for s in chain_words(workload, size)])
    if workload == "gellmann":
        return tanvo.gen_gellmann(size)
    if workload == "clock-shift":
        return tanvo.gen_sylvester(size)
    if workload == "sum-with-centre":   # u(1) + su(2) + su(3) + so(8), block-diagonal
        parts = [[1j * np.eye(1)], tanvo.gen_gellmann(2), tanvo.gen_gellmann(3), basis_of("ising-vector", 4)]
        d = sum(p[0].shape[0] for p in parts)
        out, at = [], 0
        for part in parts:
            k = part[0].shape[0]
            for m in part:
                big = np.zeros((d, d), complex)
                big[at:at + k, at:at + k] = m
                out.append(big)
            at += k
        return out
    raise ValueError(workload)


DECOMPOSE_ROWS = [  # (workload, size, goal in seconds or None)
    ("ising-vector", 6, None), ("ising", 6, None), ("ising-vector", 30, 5.0), ("ising-vector", 50, 60.0),
    ("heisenberg", 5, 1.0), ("gellmann", 32, None), ("clock-shift", 16, None), ("sum-with-centre", 0, None),
]
QUICK_DECOMPOSE_ROWS = [("ising-vector", 6, None), ("ising", 5, None), ("ising-vector", 20, None),
                        ("heisenberg", 4, None), ("gellmann", 8, None), ("sum-with-centre", 0, None)]
CENTRE_ROWS = [("heisenberg", n) for n in (3, 4, 5)] + [("ising", n) for n in range(3, 7)]
STRING_CENTRE_ROWS = ([("docstring", 2)] + [("ising", n) for n in (3, 4, 5, 6, 10, 20)]
                      + [("heisenberg", n) for n in (3, 4, 5)])
QUICK_STRING_CENTRE_ROWS = [("docstring", 2), ("ising", 3), ("ising", 6), ("heisenberg", 3), ("heisenberg", 4)]
QUICK_CENTRE_ROWS = [("heisenberg", 3), ("heisenberg", 4), ("ising", 3), ("ising", 4)]


# --- One measurement (worker process) ------------------------------------------------------

def timed(call):
    """Best wall and CPU time of up to three calls that fit in two seconds, and the last result."""
    walls, cpus = [], []
    while len(walls) < 3 and sum(walls) < 2.0:
        wall, cpu = time.perf_counter(), time.process_time()
        result = call()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus), result


def run_decompose(workload, size):
    import tanvo_lie
    basis = basis_of(workload, size)
    tensor_wall, tensor_cpu, tensor = timed(lambda: tanvo_lie.structure_tensor(basis))
    wall, cpu, found = timed(lambda: tanvo_lie.decompose(basis))
    return {"summary": found.summary, "dimension": found.dimension, "seconds": wall, "cpu_seconds": cpu,
            "tensor_seconds": tensor_wall, "tensor_cpu_seconds": tensor_cpu, "residual": tensor.residual,
            "types": [i.cartan_type for i in found.ideals], "centre": len(found.center)}


def run_centre_tanvo(model, size):
    import tanvo_lie
    basis = basis_of(model, size)
    wall, cpu, found = timed(lambda: tanvo_lie.decompose(basis))
    return {"seconds": wall, "cpu_seconds": cpu, "centre": len(found.center), "dimension": found.dimension,
            "summary": found.summary}


def run_centre_pennylane(model, size):
    import pennylane as qml
    sentences = [qml.pauli.PauliSentence({qml.pauli.PauliWord({k: p for k, p in enumerate(w) if p != "I"}): c
                                          for w, c in s}) for s in chain_words(model, size)]
    algebra = qml.lie_closure(sentences, pauli=True)
    wall, cpu = time.perf_counter(), time.process_time()
    centre = qml.center(algebra, pauli=True)
    return {"seconds": time.perf_counter() - wall, "cpu_seconds": time.process_time() - cpu,
            "centre": len(centre), "dimension": len(algebra)}


def run_variance(size):
    import tanvo_lie
    basis = basis_of("ising", size)
    z0 = sentence_matrix([("Z" + "I" * (size - 1), 1.0)])
    found = tanvo_lie.decompose(basis)
    wall, cpu, value = timed(lambda: tanvo_lie.variance(found, "0" * size, z0))
    return {"seconds": wall, "cpu_seconds": cpu, "variance": value, "closed_form": 1 / (2 * size - 1)}


def string_words(model, size):
    """The generators as (label, coefficient) lists: PennyLane's docstring example, or a chain."""
    if model == "docstring":
        return [[("XI", 1.0)], [("XX", 1.0)], [("IY", 1.0)]]
    return chain_words(model, size)


def run_centre_strings(model, size, budget):
    """tanvo_lie.center and qml.center in turn in this process, and decompose of the strings."""
    import signal

    import pennylane as qml
    import tanvo_lie
    words = string_words(model, size)
    if all(len(w) == 1 for w in words):
        generators = tanvo_lie.PauliStrings([w[0][0] for w in words])
    else:
        generators = tanvo_lie.PauliSums.from_list(words)
    basis = tanvo_lie.lie_closure(generators)
    sentences = [qml.pauli.PauliSentence({qml.pauli.PauliWord({k: p for k, p in enumerate(w) if p != "I"}): c
                                          for w, c in s}) for s in words]
    algebra = qml.lie_closure(sentences, pauli=True)

    class OverBudget(Exception):
        pass

    def alarm(signum, frame):
        raise OverBudget

    def once(call):
        wall, cpu = time.perf_counter(), time.process_time()
        result = call()
        return time.perf_counter() - wall, time.process_time() - cpu, result

    ours, theirs = [], []
    timed_out = False
    previous = signal.signal(signal.SIGALRM, alarm)
    try:
        for _ in range(5):
            ours.append(once(lambda: tanvo_lie.center(basis)))
            if timed_out:
                continue
            signal.setitimer(signal.ITIMER_REAL, budget)
            try:
                theirs.append(once(lambda: qml.center(algebra, pauli=True)))
            except OverBudget:
                timed_out = True
            finally:
                signal.setitimer(signal.ITIMER_REAL, 0)
            if sum(t[0] for t in theirs) > 2.0:
                break
    finally:
        signal.signal(signal.SIGALRM, previous)
    decompose_wall, decompose_cpu, found = timed(lambda: tanvo_lie.decompose(basis))
    report = {"dimension": len(basis), "pennylane_dimension": len(algebra),
              "seconds": min(t[0] for t in ours), "cpu_seconds": min(t[1] for t in ours), "centre": len(ours[-1][2]),
              "decompose_seconds": decompose_wall, "decompose_cpu_seconds": decompose_cpu, "summary": found.summary,
              "decompose_centre": len(found.center), "pennylane_timed_out": timed_out}
    if theirs:
        report.update(pennylane_seconds=min(t[0] for t in theirs), pennylane_cpu_seconds=min(t[1] for t in theirs),
                      pennylane_centre=len(theirs[-1][2]))
    return report


def worker(kind, workload, size):
    try:
        if kind == "decompose":
            report = run_decompose(workload, size)
        elif kind == "centre-tanvo":
            report = run_centre_tanvo(workload, size)
        elif kind == "centre-pennylane":
            report = run_centre_pennylane(workload, size)
        elif kind == "centre-strings":
            report = run_centre_strings(workload, size, float(os.environ.get("TANVO_BENCH_BUDGET", "60")))
        else:
            report = run_variance(size)
        report["status"] = "ok"
    except ImportError as error:
        report = {"status": "unavailable", "message": str(error)}
    except Exception as error:  # noqa: BLE001 - a failure is a result here
        report = {"status": "error", "message": f"{type(error).__name__}: {error}"[:300]}
    print(json.dumps(report))


# --- The run -------------------------------------------------------------------------------

def measure(kind, workload, size, budget):
    command = [sys.executable, __file__, "--worker", kind, workload, str(size)]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=budget, env=os.environ)
    except subprocess.TimeoutExpired:
        return {"status": "timeout", "message": f"over the budget of {budget:g} s"}
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        return {"status": "error", "message": (done.stderr.strip().splitlines() or ["no output"])[-1][:300]}
    return json.loads(lines[-1])


def label(workload, size):
    return {"ising-vector": f"Ising chain n={size}, so({2 * size}) in dimension {2 * size}",
            "ising": f"Ising chain n={size}, Pauli matrices", "heisenberg": f"Heisenberg chain n={size}",
            "gellmann": f"Gell-Mann su({size})", "clock-shift": f"clock-and-shift su({size})",
            "sum-with-centre": "u(1) + su(2) + su(3) + so(8)",
            "docstring": "qml.center's example (X0, X0 X1, Y1)"}[workload]


def string_label(model, size):
    return {"ising": f"Ising chain n={size}, strings", "heisenberg": f"Heisenberg chain n={size}, sums"}.get(
        model, label(model, size))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, about a minute")
    parser.add_argument("--budget", type=float, default=None, help="seconds per PennyLane run (300, quick 30)")
    parser.add_argument("--json", default=None, help="write every measurement here")
    parser.add_argument("--sections", default="decompose,centre,variance,strings",
                        help="which tables, comma-separated (default all four)")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        kind, workload, size = args.worker
        worker(kind, workload, int(size))
        return
    budget = args.budget or (30.0 if args.quick else 300.0)
    load = os.getloadavg()
    print(f"# {platform.node()}: {os.cpu_count()} cores, load {load[0]:.1f} {load[1]:.1f} {load[2]:.1f} "
          "(CPU time is what the work cost; wall time what it took with the load)")
    results = {"machine": {"cores": os.cpu_count(), "load": load, "python": platform.python_version()},
               "decompose": [], "centre": [], "variance": []}

    sections = set(args.sections.split(","))
    print("\n## decompose")
    print(f"{'algebra':46s} {'found':32s} {'wall':>8s} {'cpu':>8s} {'tensor':>8s}  goal")
    for workload, size, goal in (QUICK_DECOMPOSE_ROWS if args.quick else DECOMPOSE_ROWS) * ("decompose" in sections):
        report = measure("decompose", workload, size, 600)
        report.update(workload=workload, size=size, goal_seconds=goal)
        results["decompose"].append(report)
        if report["status"] != "ok":
            print(f"{label(workload, size):46s} {report['status']}: {report.get('message', '')}")
            continue
        verdict = "" if goal is None else f"under {goal:g} s: {'yes' if report['seconds'] < goal else 'NO'}"
        print(f"{label(workload, size):46s} {report['summary']:32s} {report['seconds']:7.3f}s {report['cpu_seconds']:7.3f}s "
              f"{report['tensor_seconds']:7.3f}s  {verdict}")

    print("\n## centre: decompose against qml.center (PennyLane)")
    print(f"{'algebra':32s} {'dim':>4s} {'tanvo wall/cpu':>17s} {'centre':>6s} {'PennyLane wall/cpu':>20s} "
          f"{'centre':>6s} {'ratio wall/cpu':>15s}  goal 100x")
    for model, size in (QUICK_CENTRE_ROWS if args.quick else CENTRE_ROWS) * ("centre" in sections):
        ours = measure("centre-tanvo", model, size, 600)
        theirs = measure("centre-pennylane", model, size, budget)
        results["centre"].append({"model": model, "size": size, "tanvo": ours, "pennylane": theirs})
        if ours["status"] != "ok":
            print(f"{label(model, size):32s} tanvo {ours['status']}: {ours.get('message', '')}")
            continue
        if theirs["status"] == "ok":
            pl_time = f"{theirs['seconds']:.3g}/{theirs['cpu_seconds']:.3g} s"
            pl_centre = str(theirs["centre"])
            ratios = (theirs["seconds"] / ours["seconds"], theirs["cpu_seconds"] / ours["cpu_seconds"])
            ratio_text = f"{ratios[0]:.0f}x/{ratios[1]:.0f}x"
            verdict = "yes" if min(ratios) >= 100 else "NO"
        else:
            pl_time, pl_centre, verdict = theirs["status"], "-", ""
            ratio_text = f">{budget / ours['seconds']:.0f}x" if theirs["status"] == "timeout" else "-"
        print(f"{label(model, size):32s} {ours['dimension']:4d} {ours['seconds']:7.3f}/{ours['cpu_seconds']:.3f} s "
              f"{ours['centre']:6d} {pl_time:>20s} {pl_centre:>6s} {ratio_text:>15s}  {verdict}")

    print("\n## centre of string bases, side by side with qml.center in one process")
    print(f"{'algebra':40s} {'dim':>4s} {'center() wall/cpu':>20s} {'c':>2s} {'qml.center wall/cpu':>22s} {'c':>2s} "
          f"{'ratio wall/cpu':>16s} {'decompose':>10s}  goal 100x")
    os.environ["TANVO_BENCH_BUDGET"] = str(budget)
    for model, size in (QUICK_STRING_CENTRE_ROWS if args.quick else STRING_CENTRE_ROWS) * ("strings" in sections):
        report = measure("centre-strings", model, size, 10 * budget + 600)
        report.update(model=model, size=size)
        results.setdefault("strings", []).append(report)
        if report["status"] != "ok":
            print(f"{string_label(model, size):40s} {report['status']}: {report.get('message', '')}")
            continue
        ours = f"{report['seconds'] * 1e6:.0f}/{report['cpu_seconds'] * 1e6:.0f} us"
        if "pennylane_seconds" in report:
            theirs = f"{report['pennylane_seconds'] * 1e3:.3g}/{report['pennylane_cpu_seconds'] * 1e3:.3g} ms"
            ratios = (report["pennylane_seconds"] / report["seconds"],
                      report["pennylane_cpu_seconds"] / max(report["cpu_seconds"], 1e-9))
            ratio = f"{ratios[0]:.0f}x/{ratios[1]:.0f}x"
            verdict = "yes" if min(ratios) >= 100 else "NO"
            pl_centre = str(report["pennylane_centre"])
        else:
            theirs, pl_centre, verdict = f"over {budget:g} s", "-", "yes" if budget / report["seconds"] >= 100 else ""
            ratio = f">{budget / report['seconds']:.0f}x"
        print(f"{string_label(model, size):40s} {report['dimension']:4d} {ours:>20s} {report['centre']:2d} {theirs:>22s} "
              f"{pl_centre:>2s} {ratio:>16s} {report['decompose_seconds'] * 1e3:8.1f}ms  {verdict}"
              f"{'' if report['decompose_centre'] == report['centre'] else '  (decompose: ' + str(report['decompose_centre']) + ')'}")

    print("\n## variance of <Z_0> from |0...0> on the Ising chain")
    for size in ((3, 4) if args.quick else (3, 4, 5, 6)) * ("variance" in sections):
        report = measure("variance", "ising", size, 600)
        results["variance"].append({"size": size, **report})
        if report["status"] == "ok":
            print(f"n={size}: {report['variance']:.12f} (closed form {report['closed_form']:.12f}) "
                  f"in {report['seconds'] * 1e3:.2f} ms")
        else:
            print(f"n={size}: {report['status']}: {report.get('message', '')}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
