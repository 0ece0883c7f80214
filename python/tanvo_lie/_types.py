"""From roots to types: a positive system, its simple roots, the Cartan matrix, the connected
pieces of the Dynkin diagram (one per simple ideal) and the Cartan type of each, with the
simple roots numbered as Bourbaki numbers them and the compact real form's name.

Roots are given by their values on a basis of a Cartan subalgebra; their inner products come
from the Killing form on that basis. B_n and C_n share a diagram up to the direction of the
double bond, which the root lengths give.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

_INTEGRAL = 1e-4   # how far from an integer a computed Cartan integer or root coordinate may be


@dataclass
class SimpleType:
    """One simple ideal as its roots see it."""
    letter: str                       # A, B, C, D, E, F or G
    rank: int
    simple: NDArray[np.int64]         # its simple roots (indices into the roots), Bourbaki's order
    cartan_matrix: NDArray[np.int64]  # A[i, j] = 2 (a_i, a_j) / (a_j, a_j)
    roots: NDArray[np.int64]          # all its roots (indices)

    @property
    def cartan_type(self) -> str:
        return f"{self.letter}{self.rank}"

    @property
    def dimension(self) -> int:
        return self.rank + self.roots.size

    @property
    def name(self) -> str:
        """The compact real form, one name where low ranks coincide: so(3) and sp(1) are su(2),
        so(5) is sp(2), so(6) is su(4)."""
        l = self.rank
        if self.letter == "A":
            return f"su({l + 1})"
        if self.letter == "B":
            return "sp(2)" if l == 2 else f"so({2 * l + 1})"
        if self.letter == "C":
            return f"sp({l})"
        if self.letter == "D":
            return f"so({2 * l})"
        return f"{self.letter.lower()}{l}"


def _dimension(letter: str, l: int) -> int:
    """The dimension of the simple algebra of a type."""
    if letter == "A":
        return l * (l + 2)
    if letter in "BC":
        return l * (2 * l + 1)
    if letter == "D":
        return l * (2 * l - 1)
    return {("E", 6): 78, ("E", 7): 133, ("E", 8): 248, ("F", 4): 52, ("G", 2): 14}[letter, l]


class RootSystemError(RuntimeError):
    """The computed roots do not form a root system (a numerical failure, or a bad tolerance)."""


def simple_types(values: NDArray[np.complex128], order: NDArray[np.float64], gram: NDArray,
                 rank: int) -> list[SimpleType]:
    """The simple ideals of a semisimple algebra of the given rank from its roots.

    values : (roots, r) each root's values on a basis of a Cartan subalgebra
    order : (roots,) a generic real linear functional of the roots; positive roots are those
        where it is positive
    gram : (r, r) the Killing form on that basis (singular on the centre)
    """
    if values.shape[0] == 0:
        return []
    inner = np.linalg.pinv(gram, rcond=1e-8)
    positive = np.flatnonzero(order > 0)
    if 2 * positive.size != values.shape[0]:
        raise RootSystemError("the roots do not come in pairs of opposite signs")
    simple = _independent(values, positive[np.argsort(order[positive], kind="stable")], rank)
    complex_products = values[simple] @ inner @ values[simple].T
    if np.max(np.abs(complex_products.imag), initial=0.0) > 1e-6 * np.max(np.abs(complex_products.real)):
        raise RootSystemError("the inner products of the simple roots are not real")
    products = complex_products.real
    lengths = np.diag(products)
    ratios = 2 * products / lengths[None, :]
    rounded = np.rint(ratios)
    if np.max(np.abs(ratios - rounded), initial=0.0) > _INTEGRAL:
        raise RootSystemError(f"a Cartan integer is {ratios.flat[np.argmax(np.abs(ratios - rounded))]:.6g}")
    cartan = rounded.astype(np.int64)
    coordinates = np.linalg.lstsq(values[simple].T, values.T, rcond=None)[0].T
    whole = np.rint(coordinates.real)
    if np.max(np.abs(coordinates - whole), initial=0.0) > _INTEGRAL:
        raise RootSystemError("a root is not an integer combination of the simple roots")
    found = []
    for piece in _diagram_components(cartan):
        own = np.flatnonzero(np.any(whole[:, piece] != 0, axis=1))
        letter, arranged = _classify(cartan[np.ix_(piece, piece)], lengths[piece])
        ordered = piece[arranged]
        kind = SimpleType(letter, len(piece), simple[ordered], cartan[np.ix_(ordered, ordered)], own)
        expected = _dimension(letter, kind.rank)
        if expected != kind.dimension:
            raise RootSystemError(f"type {kind.cartan_type} has dimension {expected}, found {kind.dimension}")
        found.append(kind)
    if sum(k.roots.size for k in found) != values.shape[0]:
        raise RootSystemError("a root lies in two simple ideals")
    return found


def _independent(values: NDArray, candidates: NDArray[np.int64], rank: int) -> NDArray[np.int64]:
    """The first `rank` candidates linearly independent of those before them: in increasing
    order of a generic functional, exactly the simple roots."""
    frame = np.zeros((values.shape[1], 0), np.complex128)
    chosen = []
    for c in candidates.tolist():
        v = values[c]
        rest = v - frame @ (frame.conj().T @ v)
        rest = rest - frame @ (frame.conj().T @ rest)
        if np.linalg.norm(rest) > 1e-6 * np.linalg.norm(v):
            chosen.append(c)
            frame = np.column_stack((frame, rest / np.linalg.norm(rest)))
            if len(chosen) == rank:
                break
    if len(chosen) != rank:
        raise RootSystemError(f"the roots span {len(chosen)} dimensions, not the rank {rank}")
    return np.array(chosen, np.int64)


def _diagram_components(cartan: NDArray[np.int64]) -> list[NDArray[np.int64]]:
    l = cartan.shape[0]
    label = list(range(l))

    def root(a: int) -> int:
        while label[a] != a:
            a = label[a]
        return a

    for a, b in zip(*np.nonzero(cartan)):
        if a != b:
            label[root(int(a))] = root(int(b))
    pieces: dict[int, list[int]] = {}
    for a in range(l):
        pieces.setdefault(root(a), []).append(a)
    return [np.array(p, np.int64) for p in sorted(pieces.values())]


def _classify(cartan: NDArray[np.int64], lengths: NDArray[np.float64]) -> tuple[str, list[int]]:
    """The type letter of a connected Cartan matrix and its simple roots in Bourbaki's order."""
    l = cartan.shape[0]
    if l == 1:
        return "A", [0]
    neighbours = [[b for b in range(l) if b != a and cartan[a, b] != 0] for a in range(l)]
    if sum(len(n) for n in neighbours) != 2 * (l - 1):
        raise RootSystemError("the Dynkin diagram has a cycle")
    bond = {(a, b): int(cartan[a, b] * cartan[b, a]) for a in range(l) for b in neighbours[a]}
    branches = [a for a in range(l) if len(neighbours[a]) > 2]

    def walk(start: int, avoid: int = -1) -> list[int]:
        path, previous = [start], avoid
        while True:
            ahead = [b for b in neighbours[path[-1]] if b != previous and b not in path]
            if not ahead:
                return path
            previous = path[-1]
            path.append(ahead[0])

    if not branches:
        chain = walk(next(a for a in range(l) if len(neighbours[a]) == 1))
        bonds = [bond[chain[t], chain[t + 1]] for t in range(l - 1)]
        if max(bonds) == 1:
            return "A", chain
        if max(bonds) == 3:
            if l != 2:
                raise RootSystemError("a triple bond in a diagram of rank above 2")
            return "G", sorted(chain, key=lambda a: lengths[a])  # short, long
        if bonds.count(2) != 1:
            raise RootSystemError("two double bonds")
        where = bonds.index(2)
        if l == 2:
            return "B", sorted(chain, key=lambda a: -lengths[a])  # long, short
        if l == 4 and where == 1:
            return "F", chain if lengths[chain[0]] > lengths[chain[3]] else chain[::-1]
        if where == 0:
            chain = chain[::-1]
        elif where != l - 2:
            raise RootSystemError("a double bond inside a chain of rank other than 4")
        # The double bond joins the last two: B_l when the last simple root is short.
        return ("B" if lengths[chain[-1]] < lengths[chain[-2]] else "C"), chain
    if len(branches) != 1 or len(neighbours[branches[0]]) != 3 or max(bond.values()) != 1:
        raise RootSystemError("a Dynkin diagram of no known type")
    centre = branches[0]
    arms = sorted((walk(b, centre) for b in neighbours[centre]), key=len)
    lengths_of_arms = tuple(len(a) for a in arms)
    if lengths_of_arms[:2] == (1, 1):
        return "D", arms[2][::-1] + [centre] + arms[0] + arms[1]
    if lengths_of_arms in ((1, 2, 2), (1, 2, 3), (1, 2, 4)):
        return "E", [arms[1][1], arms[0][0], arms[1][0], centre] + arms[2]
    raise RootSystemError("a Dynkin diagram of no known type")
