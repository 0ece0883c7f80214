"""The floors: the least work any implementation must do to hand back the same result.

- a coefficient map: building a dict with the same entries from ready-made lists of ints,
  one new complex number per entry (made in the call, as a builder that shares nothing would);
- a generator: NumPy allocating each matrix and writing its non-zeros from ready-made arrays;
- a product: reading its map argument: a Python loop unpacking every entry (`touch_entries`);
  tanvo's own conversion of the map is measured beside it (`conversion_pair`).
"""
from itertools import chain

import numpy as np

import workloads


def map_lists(arrays):
    """Lists of Python ints, in the map's order, and the array of coefficients, from saved
    arrays."""
    return tuple(arrays[name].tolist() for name in ("i", "j", "k")) + (np.array(arrays["c"]),)


# Coefficients become Python complex numbers this many at a time, so that no list of all of
# them adds to the floor's memory.
CHUNK = 4096


def build_dict(lists):
    i, j, k, c = lists
    values = chain.from_iterable(c[s:s + CHUNK].tolist() for s in range(0, len(c), CHUNK))
    return {(a, b): (m, v) for a, b, m, v in zip(i, j, k, values)}


def save_generator_parts(path, matrices):
    """Saves, for every matrix, the flat positions of its non-zeros and their values."""
    positions, values, ends = [], [], []
    for m in matrices:
        flat = m.reshape(-1)
        where = np.flatnonzero(flat)
        positions.append(where)
        values.append(flat[where])
        ends.append(len(where))
    for name, parts in (("positions", positions), ("values", values)):
        np.save(f"{path}-{name}.npy", np.concatenate(parts))
    np.save(f"{path}-ends.npy", np.cumsum(ends))


def load_generator_parts(path):
    # Plain .npy files are read straight into their arrays: no large temporary is freed, which
    # would raise malloc's mmap threshold and change how the floor's np.zeros get their memory.
    positions, values, ends = (np.load(f"{path}-{name}.npy") for name in ("positions", "values", "ends"))
    starts = np.concatenate(([0], ends[:-1]))
    return [(positions[a:b], values[a:b]) for a, b in zip(starts.tolist(), ends.tolist())]


def fill_matrices(d, parts):
    out = []
    for positions, values in parts:
        m = np.zeros((d, d), np.complex128)
        m.reshape(-1)[positions] = values
        out.append(m)
    return out


def conversion_pair(function, arguments):
    """Two calls that differ only in the map: their time difference is the map's conversion."""
    empty_columns = workloads.with_empty_columns(arguments)
    empty_map = workloads.with_map(empty_columns, {})
    return (lambda: function(*empty_columns)), (lambda: function(*empty_map))


def touch_entries(mapping):
    """Unpacks every entry: the floor of a product."""
    for (i, j), (k, c) in mapping.items():
        pass
