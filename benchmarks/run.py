#!/usr/bin/env python3
"""Benchmarks tanvo against the per-pair method, a vectorised NumPy version and the floor.

    PYTHONPATH=build/dev python3 benchmarks/run.py [--quick] [--json OUT.json]

Every measurement runs in a fresh process (measure.py), one after the other. See
benchmarks/README.md for the rows, the methods, the floors and how budgets are applied.
"""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import workloads

HERE = Path(__file__).resolve().parent
METHODS = ("tanvo", "reference", "numpy", "floor")
# How the time of the per-pair and NumPy methods grows with d, to estimate a size from the
# previous one: per-pair extraction solves d^4 systems of d^2 x d^2 (d^6 each); NumPy applies
# one factorisation to d^4 right-hand sides of length d^2 (d^8); the dense clock-and-shift
# generator forms d^2 dense products (d^5); the others write d^4 numbers.
GROWTH = {
    ("extraction", "reference"): 10,
    ("extraction", "pennylane"): 8,
    ("extraction", "numpy"): 8,
    ("generator", "reference", "gen_sylvester"): 5,
    ("generator", "reference", "gen_gellmann"): 4,
    ("generator", "numpy"): 4,
}
COMPLEX_BYTES = 16
SLOW_SECONDS = 1.0
# Shorter times are mostly fixed costs and say little about the growth: the next size then runs
# under the hard limit instead of being estimated.
TRUSTED_SECONDS = 0.1
# Granted to a measurement process on top of its limit, for starting up and building inputs.
SETUP_SECONDS = 30.0
CHECK_TOLERANCE = 1e-12
FINGERPRINT_TOLERANCE = 1e-9


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes and budgets (under a minute)")
    parser.add_argument("--json", metavar="PATH", help="where to write the results (default benchmarks/results/latest.json)")
    parser.add_argument("--budget", type=float, metavar="S", help="seconds allowed to the per-pair and NumPy methods per row (default 60, quick 5)")
    parser.add_argument("--memory-cap-gb", type=float, metavar="G", help="largest working set allowed to the NumPy method (default 8, quick 1)")
    parser.add_argument("--repeats", type=int, metavar="N", help="timed runs of a fast measurement, best kept (default 5, quick 3)")
    parser.add_argument("--numpy-solver", choices=("lstsq", "pinv"), default="lstsq",
                        help="NumPy method: one lstsq for all right-hand sides (default), or lstsq for the pseudo-inverse and a product")
    parser.add_argument("--only", metavar="REGEX", help="run only the rows whose label matches")
    parser.add_argument("--quiet", action="store_true", help="no progress lines on standard error")
    parser.add_argument("--plot", metavar="PNG", help="also draw time against d for the structure constants (needs matplotlib)")
    parser.add_argument("--tensors", action="store_true", help="run the coefficient-tensor rows instead (benchmarks/tensors.py)")
    args = parser.parse_args()
    if args.budget is None:
        args.budget = 5.0 if args.quick else 60.0
    if args.memory_cap_gb is None:
        args.memory_cap_gb = 1.0 if args.quick else 8.0
    if args.repeats is None:
        args.repeats = 3 if args.quick else 5
    if args.json is None:
        args.json = str(HERE / "results" / "latest.json")
    return args


# ---- running measurements --------------------------------------------------------------

class Session:
    def __init__(self, args):
        self.args = args
        self.scratch = Path(tempfile.mkdtemp(prefix="tanvo-bench-"))
        self.history = {}  # (family, method) -> (d, seconds), measured or estimated
        self.available = {}
        self.own_limit = 120.0 if args.quick else 1800.0
        # The children run from this directory: a relative PYTHONPATH must not change meaning.
        self.environment = dict(os.environ)
        paths = os.environ.get("PYTHONPATH", "").split(os.pathsep)
        self.environment["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths if p)

    def progress(self, text):
        if not self.args.quiet:
            print(text, file=sys.stderr, flush=True)

    def spawn(self, job, limit):
        """Runs one job in a fresh process, stopped when it runs over `limit` seconds plus the
        set-up allowance."""
        command = [sys.executable, str(HERE / "measure.py"), json.dumps(job)]
        try:
            done = subprocess.run(command, capture_output=True, text=True, timeout=limit + SETUP_SECONDS,
                                  cwd=HERE, env=self.environment)
        except subprocess.TimeoutExpired:
            return {"status": "timeout", "message": f"stopped after {limit + SETUP_SECONDS:.0f} s", "bound_s": limit}
        lines = done.stdout.strip().splitlines()
        if done.returncode != 0 or not lines:
            tail = done.stderr.strip().splitlines()[-3:]
            return {"status": "error", "message": f"exit status {done.returncode}: " + " | ".join(tail)}
        return json.loads(lines[-1])

    def probe(self):
        found = self.spawn({"probe": True}, 90)
        if "tanvo" not in found:
            sys.exit(f"cannot import tanvo (build it and set PYTHONPATH, see benchmarks/README.md): {found.get('message')}")
        self.available = found


def family(row, method):
    return (row["kind"], row["function"], row.get("basis"), method)


def growth_exponent(row, method):
    return GROWTH.get((row["kind"], method, row["function"]), GROWTH.get((row["kind"], method)))


def estimate_seconds(session, row, method):
    exponent = growth_exponent(row, method)
    previous = session.history.get(family(row, method))
    if exponent is None or previous is None:
        return None
    d0, seconds = previous
    if seconds < TRUSTED_SECONDS:
        return None
    return seconds * (row["d"] / d0) ** exponent


def numpy_working_set(row):
    """Bytes the NumPy method holds at its peak: products, right-hand sides and the solver's
    copy (n^2 d^2 each), and the solution with its scan (n^3)."""
    d = row["d"]
    n = workloads.basis_size(d)
    if row["kind"] == "extraction":
        return 3 * n * n * d * d * COMPLEX_BYTES + 25 * n**3
    if row["kind"] == "generator":
        return n * d * d * COMPLEX_BYTES
    return 0


def planned_outcome(session, row, method):
    """None when the method should run, else the outcome that replaces the run."""
    if method in ("tanvo", "reference"):
        status = session.available[method].get(row["function"], {})
        if status.get("status") != "ok":
            return {"status": status.get("status", "unavailable"), "message": status.get("message", "")}
    if method == "pennylane" and not pennylane_applies(session, row):
        return {"status": "unavailable", "message": "pennylane is not installed, or the basis is not Hermitian up to a factor i"}
    if method not in ("reference", "numpy", "pennylane"):
        return None
    estimate = estimate_seconds(session, row, method)
    if method == "numpy":
        needed = numpy_working_set(row)
        if needed > session.args.memory_cap_gb * 1e9:
            return {"status": "skipped", "reason": "memory", "needed_bytes": needed, "estimate_s": estimate,
                    "estimated_by": "growth with d"}
    if estimate is not None and estimate > session.args.budget:
        return {"status": "skipped", "reason": "time", "estimate_s": estimate, "estimated_by": "growth with d"}
    return None


def pennylane_applies(session, row):
    """PennyLane's structure constants take Hermitian bases: i·B for the (rotated) Gell-Mann
    bases; the clock-and-shift basis is not Hermitian up to a factor."""
    return (session.available.get("pennylane", False) and row["kind"] == "extraction"
            and row["function"] == "get_structure_constants" and row["basis"] in ("gellmann", "dense"))


def partial_estimate(session, row, job):
    """The NumPy method's time, from runs over the pairs (i, j) with i below n/32 and n/16:
    the line through the two times, taken to all n rows (the solver's set-up is paid once)."""
    n = workloads.basis_size(row["d"])
    r1, r2 = max(1, n // 32), max(2, n // 16)
    job = {"row": row, "method": "numpy-partial", "repeats": 1, "slow_s": 0, "partial_rows": [r1, r2],
           "solver": job["solver"]}
    outcome = session.spawn(job, 2 * session.args.budget)
    if outcome["status"] != "ok":
        return None, outcome
    t1, t2 = outcome["partial_times_s"]
    slope = (t2 - t1) / (r2 - r1)
    if slope <= 0:
        return t2 * n / r2, outcome
    return max(t2, t1 + slope * (n - r1)), outcome


def measure(session, row, method, job, index, total):
    planned = planned_outcome(session, row, method)
    if planned is not None and planned.get("reason") == "time" and method == "numpy" and row["kind"] == "extraction":
        session.progress(f"[{index}/{total}] {row['id']}: numpy, partial run")
        estimate, partial = partial_estimate(session, row, {**job, "solver": session.args.numpy_solver})
        if estimate is not None:
            planned = {**planned, "estimate_s": estimate, "estimated_by": "partial run",
                       "partial_rows": partial["partial_rows"], "partial_times_s": partial["partial_times_s"]}
            if estimate <= session.args.budget:
                planned = None
    if planned is not None:
        outcome = planned
    else:
        session.progress(f"[{index}/{total}] {row['id']}: {method}")
        limit = 2 * session.args.budget if method in ("reference", "numpy", "pennylane") else session.own_limit
        base = {"row": row, "method": method, "repeats": session.args.repeats, "slow_s": SLOW_SECONDS,
                "solver": session.args.numpy_solver}
        outcome = session.spawn({**base, **job}, limit)
    key = family(row, method)
    if outcome["status"] == "ok":
        session.history[key] = (row["d"], outcome["time_s"])
    elif outcome.get("estimate_s") is not None:
        session.history[key] = (row["d"], outcome["estimate_s"])
    elif outcome["status"] == "timeout":
        session.history[key] = (row["d"], outcome["bound_s"])
    return outcome


def run_row(session, row, index, total):
    planned = {m: planned_outcome(session, row, m) for m in ("reference", "numpy")}
    files = {m: str(session.scratch / f"{index}-{m}") for m in METHODS}
    outcomes, cold = {}, {}
    for method in ("tanvo", "reference", "numpy"):
        job = {"out": files[method], "size": True, **cold}
        if row["kind"] == "generator":
            job["digest"] = planned["reference"] is None
        outcomes[method] = measure(session, row, method, job, index, total)
        if method == "tanvo" and outcomes["tanvo"]["status"] == "ok" and len(outcomes["tanvo"]["times_s"]) == 1:
            # tanvo ran once, cold: the others run once too, not the best of warm repeats.
            cold = {"repeats": 1}
    if pennylane_applies(session, row):
        outcomes["pennylane"] = measure(session, row, "pennylane", dict(cold), index, total)
    floor_job = dict(cold)
    if row["kind"] == "generator":
        # Made in a process of its own, so the floor's process starts with a clean heap.
        floor_job["parts_file"] = files["floor"] + "-parts"
        base = {"row": row, "method": "floor-inputs", "repeats": 1, "slow_s": 0}
        prepared = session.spawn({**base, "out": floor_job["parts_file"]}, session.own_limit)
        if prepared["status"] != "ok":
            outcomes["floor"] = prepared
    if row["kind"] == "extraction":
        source = next((m for m in ("tanvo", "numpy", "reference") if outcomes[m]["status"] == "ok"), None)
        if source is None:
            outcomes["floor"] = {"status": "unavailable", "message": "no method produced the map to rebuild"}
        floor_job["map_file"] = files[source] + ".npz" if source else None
    if "floor" not in outcomes:
        outcomes["floor"] = measure(session, row, "floor", floor_job, index, total)
    if (row["kind"] in ("product", "extraction") and not cold
            and all(outcomes[m]["status"] == "ok" for m in ("tanvo", "floor"))):
        session.progress(f"[{index}/{total}] {row['id']}: tanvo and floor in alternation")
        base = {"row": row, "method": "paired", "repeats": session.args.repeats, "slow_s": SLOW_SECONDS,
                "map_file": floor_job.get("map_file")}
        outcomes["paired"] = session.spawn(base, session.own_limit)
    result = {
        "id": row["id"],
        "row": {k: v for k, v in row.items() if k != "id"},
        "methods": outcomes,
        "ratios": ratios(outcomes),
        "checks": checks(row, outcomes, files),
    }
    for path in session.scratch.glob(f"{index}-*"):
        path.unlink()
    return result


# ---- comparing results -----------------------------------------------------------------

def compare_maps(path_a, path_b):
    with np.load(path_a) as a, np.load(path_b) as b:
        a = {name: a[name] for name in "ijkc"}
        b = {name: b[name] for name in "ijkc"}
    if len(a["i"]) != len(b["i"]):
        return {"ok": False, "detail": f"{len(a['i'])} entries against {len(b['i'])}"}
    same_order = bool(np.array_equal(a["i"], b["i"]) and np.array_equal(a["j"], b["j"]))
    if not same_order:
        a = {name: v[np.lexsort((a["j"], a["i"]))] for name, v in a.items()}
        b = {name: v[np.lexsort((b["j"], b["i"]))] for name, v in b.items()}
        if not (np.array_equal(a["i"], b["i"]) and np.array_equal(a["j"], b["j"])):
            return {"ok": False, "detail": "different keys"}
    if not np.array_equal(a["k"], b["k"]):
        return {"ok": False, "detail": f"different k for {int(np.sum(a['k'] != b['k']))} keys"}
    deviation = relative_deviation(a["c"], b["c"])
    return {
        "ok": deviation <= CHECK_TOLERANCE,
        "entries": len(a["i"]),
        "same_order": same_order,
        "max_relative_deviation": deviation,
    }


def relative_deviation(a, b):
    if a.size == 0:
        return 0.0
    scale = max(np.max(np.abs(a)), np.max(np.abs(b)))
    return float(np.max(np.abs(a - b)) / scale) if scale > 0 else 0.0


def compare_arrays(path_a, path_b, tolerance, exact=False):
    a, b = np.load(path_a), np.load(path_b)
    if a.shape != b.shape:
        return {"ok": False, "detail": f"shapes {a.shape} and {b.shape}"}
    if exact:
        return {"ok": a.tobytes() == b.tobytes(), "bit_identical": a.tobytes() == b.tobytes()}
    deviation = relative_deviation(a, b)
    return {"ok": deviation <= tolerance, "max_relative_deviation": deviation}


def checks(row, outcomes, files):
    """tanvo's result against NumPy's and the per-pair method's, where both ran."""
    found = {}
    if outcomes["tanvo"]["status"] != "ok":
        return found
    for other in ("numpy", "reference"):
        if outcomes[other]["status"] != "ok":
            continue
        if row["kind"] == "extraction":
            found[other] = compare_maps(files["tanvo"] + ".npz", files[other] + ".npz")
        elif row["kind"] == "product":
            exact = other == "reference"
            found[other] = compare_arrays(files["tanvo"] + ".npy", files[other] + ".npy", CHECK_TOLERANCE, exact)
        elif other == "reference":
            same = outcomes["tanvo"].get("digest") == outcomes[other].get("digest")
            found[other] = {"ok": same, "bit_identical": same}
        else:
            found[other] = compare_arrays(files["tanvo"] + ".npy", files[other] + ".npy", FINGERPRINT_TOLERANCE)
    return found


def effective_time(outcome):
    """(seconds, qualifier): measured (""), estimated ("~") or a lower bound (">")."""
    if outcome["status"] == "ok":
        return outcome["time_s"], ""
    if outcome.get("estimate_s") is not None:
        return outcome["estimate_s"], "~"
    if outcome["status"] == "timeout":
        return outcome["bound_s"], ">"
    return None, None


def ratio(slower, faster):
    (a, qa), (b, qb) = effective_time(slower), effective_time(faster)
    if a is None or b is None or qb or b <= 0:
        return None
    return {"value": a / b, "qualifier": qa}


def ratios(outcomes):
    paired = outcomes.get("paired", {})
    if paired.get("status") == "ok":  # timed in alternation, in one process
        over_floor = {"value": paired["time_s"] / paired["floor_time_s"], "qualifier": ""}
    else:
        over_floor = ratio(outcomes["tanvo"], outcomes["floor"]) if outcomes["floor"]["status"] == "ok" else None
    return {
        "reference_over_tanvo": ratio(outcomes["reference"], outcomes["tanvo"]),
        "numpy_over_tanvo": ratio(outcomes["numpy"], outcomes["tanvo"]),
        "tanvo_over_floor": over_floor,
    }


# ---- presentation ----------------------------------------------------------------------

def format_seconds(s):
    for limit, unit, scale in ((1e-3, "µs", 1e6), (1, "ms", 1e3), (120, "s", 1), (7200, "min", 1 / 60),
                               (172800, "h", 1 / 3600), (3e7, "days", 1 / 86400)):
        if s < limit:
            return f"{s * scale:.3g} {unit}"
    return f"{s / 3.15e7:.2g} years"


def format_bytes(b):
    for unit in ("B", "kB", "MB", "GB"):
        if abs(b) < 1000:
            return f"{b:.3g} {unit}"
        b /= 1000
    return f"{b:.3g} TB"


def format_outcome(outcome):
    status = outcome["status"]
    if status == "ok":
        return format_seconds(outcome["time_s"])
    if status == "skipped":
        if outcome["reason"] == "memory":
            return f"skip {format_bytes(outcome['needed_bytes'])}"
        return f"skip ~{format_seconds(outcome['estimate_s'])}"
    if status == "timeout":
        return f">{format_seconds(outcome['bound_s'])}"
    return {"unavailable": "n/a"}.get(status, status)


def format_ratio(r):
    if r is None:
        return "-"
    v = r["value"]
    if v >= 1e5:
        mantissa, exponent = f"{v:.1e}".split("e")
        text = f"{mantissa}e{int(exponent)}"
    else:
        text = f"{v:,.0f}" if v >= 100 else f"{v:.3g}"
    return f"{r['qualifier']}{text}x"


def format_checks(found):
    if not found:
        return "-"
    names = {"numpy": "np", "reference": "ref"}
    return " ".join(f"{names[k]}:{'ok' if v['ok'] else 'FAIL'}" for k, v in found.items())


TIME_COLUMNS = (("row", 33), ("tanvo", 10), ("per-pair", 13), ("numpy", 13), ("floor", 10),
                ("pp/tanvo", 11), ("np/tanvo", 10), ("tanvo/floor", 11), ("check", 14))
MEMORY_COLUMNS = (("row", 33), ("tanvo", 10), ("per-pair", 10), ("numpy", 10), ("floor", 10),
                  ("result", 10), ("tanvo/result", 12))


def table_line(columns, cells):
    return "  ".join(f"{str(c):<{w}}" if i == 0 else f"{str(c):>{w}}" for i, ((_, w), c) in enumerate(zip(columns, cells)))


def header(columns):
    line = table_line(columns, [name for name, _ in columns])
    return line + "\n" + "-" * len(line)


def time_cells(result):
    m, r = result["methods"], result["ratios"]
    return [result["id"], *(format_outcome(m[k]) for k in METHODS),
            format_ratio(r["reference_over_tanvo"]), format_ratio(r["numpy_over_tanvo"]),
            format_ratio(r["tanvo_over_floor"]), format_checks(result["checks"])]


def memory_cells(result):
    m = result["methods"]

    def peak(k):
        return format_bytes(m[k]["peak_growth_bytes"]) if m[k]["status"] == "ok" else "-"

    size = m["tanvo"].get("result_bytes") if m["tanvo"]["status"] == "ok" else None
    share = "-"
    if size and result["row"]["kind"] != "product":
        share = f"{m['tanvo']['peak_growth_bytes'] / size:.2f}"
    return [result["id"], *(peak(k) for k in METHODS), format_bytes(size) if size else "-", share]


def notes(results):
    lines = []
    for result in results:
        for method, outcome in result["methods"].items():
            if outcome["status"] in ("error", "timeout"):
                lines.append(f"{result['id']}, {method}: {outcome['status']}: {outcome.get('message', '')}")
            if outcome.get("floor_note"):
                lines.append(f"{result['id']}, floor: {outcome['floor_kind']}, since {outcome['floor_note']}")
        for other, found in result["checks"].items():
            if not found["ok"]:
                lines.append(f"{result['id']}: tanvo differs from {other}: {found}")
    return lines


def unavailable_summary(session):
    lines = []
    for method in ("tanvo", "reference"):
        missing = [f for f, s in session.available[method].items() if s["status"] != "ok"]
        if missing:
            lines.append(f"{method}: not callable: {', '.join(missing)}")
    return lines


# Run in a fresh process: tanvo is imported before NumPy, so the BLAS libraries mapped then are
# tanvo's alone (NumPy brings its own).
LAPACK_PROBE = """
import json, tanvo
with open("/proc/self/maps") as maps:
    paths = sorted({line.split()[-1] for line in maps if "blas" in line or "lapack" in line})
try:
    from threadpoolctl import threadpool_info
    found = [i for i in threadpool_info() if i.get("filepath") in paths]
except ImportError:
    found = []
print(json.dumps(found or [{"filepath": path} for path in paths]))
"""


def tanvo_lapack():
    """The BLAS/LAPACK libraries that tanvo loads, with version and threads when threadpoolctl
    is installed."""
    result = subprocess.run([sys.executable, "-c", LAPACK_PROBE], capture_output=True, text=True)
    return json.loads(result.stdout) if result.returncode == 0 else [{"error": result.stderr.strip()}]


def describe_lapack(libraries):
    def one(library):
        details = [" ".join(str(library[k]) for k in ("internal_api", "version") if library.get(k))]
        details += [str(library[k]) for k in ("threading_layer", "architecture") if library.get(k)]
        if "num_threads" in library:
            details.append(f"{library['num_threads']} threads")
        details = [d for d in details if d]
        return library.get("filepath", library.get("error", "?")) + (f" ({', '.join(details)})" if details else "")

    return "; ".join(one(library) for library in libraries) or "none found"


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            return next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    except OSError:
        return ""


def metadata(args):
    def git(*command):
        try:
            return subprocess.run(["git", *command], capture_output=True, text=True, cwd=HERE).stdout.strip()
        except OSError:
            return ""

    return {
        "date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
        "command": " ".join([Path(sys.argv[0]).name, *sys.argv[1:]]),
        "quick": args.quick,
        "budget_s": args.budget,
        "memory_cap_gb": args.memory_cap_gb,
        "repeats": args.repeats,
        "numpy_solver": args.numpy_solver,
        "python": platform.python_version(),
        "numpy": np.__version__,
        "machine": platform.machine(),
        "cpu": cpu_model(),
        "cpus": os.cpu_count(),
        "memory_bytes": os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES"),
        "git_commit": git("rev-parse", "HEAD"),
        "git_dirty": bool(git("status", "--porcelain", "--untracked-files=no")),
        "load_average_at_start": os.getloadavg(),
        "threads": {k: os.environ[k] for k in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS") if k in os.environ},
        "tanvo_lapack": tanvo_lapack(),
    }


def main():
    args = parse_arguments()
    if args.tensors:
        sys.exit(subprocess.call([sys.executable, str(HERE / "tensors.py")] + (["--quick"] if args.quick else [])))
    meta = metadata(args)
    session = Session(args)
    rows = workloads.plan(args.quick)
    if args.only:
        rows = [row for row in rows if re.search(args.only, row["id"])]
    try:
        session.probe()
        print("Times: best of the repeats (one run when a run takes over 1 s). Ratios: pp/tanvo and")
        print("np/tanvo are speed-ups of tanvo, tanvo/floor is tanvo's time over the floor's (when")
        print("both take under 1 s, timed again in alternation, in one process);")
        print("~ marks an estimate, > a lower bound. Budget {:g} s per method and row.".format(args.budget))
        print(f"tanvo's LAPACK: {describe_lapack(meta['tanvo_lapack'])}")
        load = meta["load_average_at_start"][0]
        if load > 0.5:
            print(f"Load average {load:.2f} at the start: other work shares the CPUs and skews the times.")
        print()
        print(header(TIME_COLUMNS), flush=True)
        results = []
        for index, row in enumerate(rows, 1):
            results.append(run_row(session, row, index, len(rows)))
            print(table_line(TIME_COLUMNS, time_cells(results[-1])), flush=True)
    finally:
        shutil.rmtree(session.scratch, ignore_errors=True)
    print("\nPeak resident memory growth during the first call, and the size of tanvo's result:")
    print(header(MEMORY_COLUMNS))
    for result in results:
        print(table_line(MEMORY_COLUMNS, memory_cells(result)))
    remarks = unavailable_summary(session) + notes(results)
    if remarks:
        print("\nNotes:")
        for line in remarks:
            print("  " + line)
    Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    report = {"meta": {**meta, "load_average_at_end": os.getloadavg()}, "availability": session.available,
              "rows": results}
    Path(args.json).write_text(json.dumps(report, indent=1) + "\n")
    print(f"\nResults written to {args.json}")
    if args.plot:
        import plot

        plot.draw(report, args.plot)
        print(f"Picture written to {args.plot}")


if __name__ == "__main__":
    main()
