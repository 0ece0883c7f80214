"""The speed picture: time against d on log-log axes for the structure constants of both
generators, one line per method, from a results file written by run.py.

    python3 benchmarks/plot.py results/latest.json speed.png   (or run.py --plot speed.png)

Needs matplotlib (the `bench` extra). Measured times are filled markers; estimates of skipped
runs (from the growth with d) are hollow, lower bounds of stopped runs are triangles.
"""
import json
import sys

METHODS = (  # key in the results, label, colour
    ("tanvo", "tanvo", "C0"),
    ("reference", "per-pair (one least-squares solve per pair)", "C1"),
    ("numpy", "vectorised NumPy", "C2"),
    ("pennylane", "PennyLane qml.liealg.structure_constants", "C3"),
    ("floor", "floor: building the same dict", "0.4"),
)
BASES = (("gellmann", "Gell-Mann basis (gen_gellmann)"), ("sylvester", "clock-and-shift basis (gen_sylvester)"))


def points(rows, basis, method):
    """(d, seconds, kind) for the structure-constant rows of a basis; kind is measured,
    estimate or bound."""
    found = []
    for result in rows:
        row = result["row"]
        if row["kind"] != "extraction" or row["function"] != "get_structure_constants" or row["basis"] != basis:
            continue
        outcome = result["methods"].get(method)
        if not outcome:
            continue
        if outcome["status"] == "ok":
            found.append((row["d"], outcome["time_s"], "measured"))
        elif outcome.get("estimate_s") is not None:
            found.append((row["d"], outcome["estimate_s"], "estimate"))
        elif outcome["status"] == "timeout":
            found.append((row["d"], outcome["bound_s"], "bound"))
    return sorted(found)


def caption(meta):
    memory = meta.get("memory_bytes", 0) / 2**30
    load = meta.get("load_average_at_start", [0])[0]
    return (f"{meta.get('cpu') or meta.get('machine')}, {meta.get('cpus')} CPUs, {memory:.0f} GiB; "
            f"Python {meta.get('python')}, NumPy {meta.get('numpy')}; {meta.get('date', '')[:10]}, "
            f"load average {load:.1f} at the start. Hollow: estimated from the growth with d; "
            f"triangles: stopped, at least this long.")


def draw(report, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, 2, figsize=(10, 4.4), sharey=True)
    for axis, (basis, title) in zip(axes, BASES):
        for method, label, colour in METHODS:
            found = points(report["rows"], basis, method)
            if not found:
                continue
            measured = [(d, t) for d, t, kind in found if kind == "measured"]
            if measured:
                axis.plot(*zip(*measured), "o-", color=colour, label=label, markersize=5)
            for kind, marker in (("estimate", "o"), ("bound", "^")):
                other = [(d, t) for d, t, k in found if k == kind]
                if other:
                    axis.plot(*zip(*other), marker, color=colour, markerfacecolor="none", markersize=6,
                              label=None if measured else label)
        sizes = sorted({r["row"]["d"] for r in report["rows"] if r["row"].get("basis") == basis
                        and r["row"]["kind"] == "extraction"})
        axis.set_xscale("log", base=2)
        axis.set_xticks(sizes, [str(d) for d in sizes])
        axis.minorticks_off()
        axis.set_yscale("log")
        axis.set_xlabel("d (basis of d² − 1 matrices)")
        axis.set_title(title, fontsize=10)
        axis.grid(True, which="major", alpha=0.3)
    axes[0].set_ylabel("seconds, get_structure_constants")
    handles, labels = {}, {}
    for axis in axes:
        for handle, label in zip(*axis.get_legend_handles_labels()):
            handles.setdefault(label, handle)
    figure.legend(list(handles.values()), list(handles), loc="upper center", ncol=3, fontsize=8, frameon=False)
    figure.text(0.5, 0.01, caption(report["meta"]), ha="center", fontsize=7, wrap=True)
    figure.tight_layout(rect=(0, 0.06, 1, 0.88))
    figure.savefig(path, dpi=80)
    plt.close(figure)


def main():
    with open(sys.argv[1]) as f:
        draw(json.load(f), sys.argv[2])


if __name__ == "__main__":
    main()
