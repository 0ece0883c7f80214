"""The benchmark rows and the inputs each one measures: bases, coefficient maps and columns.

Every input is rebuilt from the row alone (fixed seeds), so each measurement can run in a
process of its own and still see exactly the same data.
"""
import numpy as np

SEED = 20260601

EXTRACTIONS = ("get_structure_constants", "get_d_coefficients")
GENERATORS = ("gen_sylvester", "gen_gellmann")
# Each product with the map it is normally given.
PRODUCTS = {
    "su_commutator": "get_structure_constants",
    "su_anticommutator": "get_d_coefficients",
    "cross": "get_structure_constants",
    "dot": "get_d_coefficients",
}
SHORT = {"get_structure_constants": "f_ijk", "get_d_coefficients": "d_ijk"}


def plan(quick):
    """The rows, smallest d first within each family so that each size can be estimated from
    the one before."""
    extraction_sizes = (4, 6) if quick else (4, 8, 16, 32, 64)
    dense_sizes = (4,) if quick else (4, 8, 16)
    generator_sizes = (16,) if quick else (16, 64, 128)
    product_sizes = (4,) if quick else (16, 32)
    product_bases = ("gellmann",) if quick else ("gellmann", "sylvester")
    rows = []
    for function in EXTRACTIONS:
        for basis in ("gellmann", "sylvester"):
            rows += [extraction_row(function, basis, d) for d in extraction_sizes]
        rows += [extraction_row(function, "dense", d) for d in dense_sizes]
    for function in GENERATORS:
        rows += [{"kind": "generator", "function": function, "d": d} for d in generator_sizes]
    for basis in product_bases:
        for function in PRODUCTS:
            rows += [{"kind": "product", "function": function, "basis": basis, "d": d} for d in product_sizes]
    for row in rows:
        row["id"] = row_id(row)
    return rows


def extraction_row(function, basis, d):
    return {"kind": "extraction", "function": function, "basis": basis, "d": d}


def row_id(row):
    if row["kind"] == "extraction":
        return f"{SHORT[row['function']]} {row['basis']} d={row['d']}"
    if row["kind"] == "generator":
        return f"{row['function']} d={row['d']}"
    return f"{row['function']} {row['basis']} su({row['d']})"


def basis_size(d):
    return d * d - 1


def random_unitary(d, rng):
    z = rng.standard_normal((d, d)) + 1j * rng.standard_normal((d, d))
    q, r = np.linalg.qr(z)
    return q * (np.diagonal(r) / np.abs(np.diagonal(r)))


def build_basis(tanvo, kind, d):
    """Gell-Mann, clock-and-shift, or Gell-Mann rotated by a random unitary (U G U^H)."""
    if kind == "sylvester":
        return tanvo.gen_sylvester(d)
    gellmann = tanvo.gen_gellmann(d)
    if kind == "gellmann":
        return gellmann
    u = random_unitary(d, np.random.default_rng(SEED + d))
    return [np.ascontiguousarray(u @ g @ u.conj().T) for g in gellmann]


def coefficient_columns(n, d):
    rng = np.random.default_rng(SEED + 1000 + d)
    columns = rng.standard_normal((2, n, 1)) + 1j * rng.standard_normal((2, n, 1))
    return np.ascontiguousarray(columns[0]), np.ascontiguousarray(columns[1])


def product_arguments(row, mapping, basis):
    """The positional arguments of the row's product, in the function's parameter order."""
    l_a, l_b = coefficient_columns(len(basis), row["d"])
    if row["function"].startswith("su_"):
        return (l_a, l_b, mapping, basis)
    return (l_a, l_b, mapping)


def with_map(arguments, mapping):
    return arguments[:2] + (mapping,) + arguments[3:]


def with_empty_columns(arguments):
    empty = np.zeros((0, 1), np.complex128)
    return (empty, empty) + arguments[2:]
