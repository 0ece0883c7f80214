"""Commutator tensors of Pauli-string bases known by their labels, without any 2^n matrix.

A private stand-in used by the adjoint simulator's tests, benchmark and documentation until
string bases of their own kind exist in tanvo_lie: the basis is B_a = i P_a for the Pauli
strings P_a of `labels` (anti-Hermitian, unnormalised: tr(B_a^† B_b) = 2^q δ_ab), and
[B_a, B_b] = 2 i ω B_c whenever P_a P_b = ω P_c with P_a, P_b anticommuting (ω = ±i).
"""
from __future__ import annotations

from collections.abc import Iterable, Sequence

import numpy as np
from numpy.typing import NDArray

from ._tensor import CoefficientTensor


def ising_labels(qubits: int) -> list[str]:
    """The Pauli strings spanning the open transverse-field Ising chain's algebra, so(2q).

    The generators come first: X_j X_{j+1} (j = 0 .. q-2), then Z_j (j = 0 .. q-1); then the
    other strings A_i Z..Z B_j (A, B in {X, Y}, i < j), q(2q - 1) in all.
    """
    def string(sites: dict[int, str]) -> str:
        return "".join(sites.get(k, "I") for k in range(qubits))

    labels = [string({j: "X", j + 1: "X"}) for j in range(qubits - 1)]
    labels += [string({j: "Z"}) for j in range(qubits)]
    seen = set(labels)
    for i in range(qubits):
        for j in range(i + 1, qubits):
            for a in "XY":
                for b in "XY":
                    label = string({i: a, j: b, **{k: "Z" for k in range(i + 1, j)}})
                    if label not in seen:
                        seen.add(label)
                        labels.append(label)
    return labels


def string_closure(generators: Iterable[str], *, max_dimension: int = 100_000) -> list[str]:
    """The Pauli strings spanning the Lie algebra the strings `generators` generate (in the
    order found, generators first): each string found is commuted with the generators only."""
    labels = list(dict.fromkeys(generators))
    q = len(labels[0])
    seen = set(labels)
    gx, gz = _symplectic(labels)
    frontier = list(labels)
    while frontier:
        fx, fz = _symplectic(frontier)
        found = []
        for k in range(len(frontier)):
            for j in np.flatnonzero(_anticommuting(fx[k], fz[k], gx, gz)):
                label = _label(fx[k] ^ gx[j], fz[k] ^ gz[j], q)
                if label not in seen:
                    seen.add(label)
                    found.append(label)
        labels += found
        if len(labels) > max_dimension:
            raise RuntimeError(f"the closure exceeds {max_dimension} strings")
        frontier = found
    return labels


def pauli_string_tensor(labels: Sequence[str], *, rows_per_block: int = 0) -> CoefficientTensor:
    """The commutator tensor of the basis B_a = i P_a for the strings `labels`.

    Raises ValueError when the strings are not closed (a product outside the set) or repeat.
    """
    n = len(labels)
    x, z = _symplectic(list(labels))
    keys = _keys(x, z)
    order = np.argsort(keys, kind="stable")
    sorted_keys = keys[order]
    if n > 1 and (sorted_keys[1:] == sorted_keys[:-1]).any():
        raise ValueError("labels repeat a string")
    weight = _popcount(x & z)
    block = rows_per_block or max(1, 1_000_000 // max(n, 1))
    all_indices, all_values = [], []
    for start in range(0, n, block):
        stop = min(n, start + block)
        i, j = np.nonzero(_anticommuting_block(x[start:stop], z[start:stop], x, z))
        i_full = i + start
        xc, zc = x[i_full] ^ x[j], z[i_full] ^ z[j]
        position = np.searchsorted(sorted_keys, _keys(xc, zc))
        k = order[np.minimum(position, n - 1)]
        found = (x[k] == xc).all(axis=1) & (z[k] == zc).all(axis=1)
        if not found.all():
            bad = int(np.argmin(found))
            raise ValueError(f"the strings are not closed: [{labels[i_full[bad]]}, {labels[j[bad]]}] "
                             f"gives {_label(xc[bad], zc[bad], len(labels[0]))}, not among them")
        # P_a P_b = i^e P_c with e odd for anticommuting strings; T = 2 i ω with ω = i^e.
        e = (weight[i_full] + weight[j] + 2 * _popcount(z[i_full] & x[j]) - weight[k]) & 3
        values = np.where(e == 1, -2.0, 2.0)  # ω = i: 2i·i = -2; ω = -i: 2
        all_indices.append(np.stack([i_full, j, k], axis=1).astype(np.int64))
        all_values.append(values.astype(np.complex128))
    indices = np.concatenate(all_indices) if all_indices else np.zeros((0, 3), np.int64)
    values = np.concatenate(all_values) if all_values else np.zeros(0, np.complex128)
    return CoefficientTensor._from_native(indices, values, n, "commutator")


def bit_string_traces(labels: Sequence[str], bits: str) -> NDArray[np.complex128]:
    """(tr(B_a^† ρ))_a for ρ = |bits><bits| and B_a = i P_a: -i <bits|P_a|bits>, which is
    -i (-1)^(number of Z or Y on a 1) for strings of I and Z only, and 0 for the others."""
    x, z = _symplectic(list(labels))
    b, _ = _symplectic(["".join("X" if c == "1" else "I" for c in bits)])
    diagonal = ~(x != 0).any(axis=1)
    sign = 1 - 2 * (_popcount(z & b[0]) & 1)
    return np.where(diagonal, -1j * sign, 0).astype(np.complex128)


def _symplectic(labels: list[str]) -> tuple[NDArray[np.uint64], NDArray[np.uint64]]:
    """The x and z bits of each string, packed into 64-bit words (site k: word k // 64, bit k % 64)."""
    q = len(labels[0]) if labels else 0
    words = max(1, -(-q // 64))
    chars = np.frombuffer("".join(labels).encode("ascii"), dtype=np.uint8).reshape(len(labels), q)
    if not np.isin(chars, np.frombuffer(b"IXYZ", np.uint8)).all():
        raise ValueError("labels must be strings over I, X, Y, Z of one length")
    xbits = (chars == ord("X")) | (chars == ord("Y"))
    zbits = (chars == ord("Z")) | (chars == ord("Y"))
    pad = words * 64 - q
    weights = (np.uint64(1) << np.arange(64, dtype=np.uint64))

    def pack(bits: NDArray[np.bool_]) -> NDArray[np.uint64]:
        padded = np.pad(bits, ((0, 0), (0, pad))).reshape(len(labels), words, 64).astype(np.uint64)
        return np.asarray((padded * weights).sum(axis=2, dtype=np.uint64), dtype=np.uint64)

    return pack(xbits), pack(zbits)


def _label(x: NDArray[np.uint64], z: NDArray[np.uint64], q: int) -> str:
    sites = []
    for k in range(q):
        xb = (int(x[k // 64]) >> (k % 64)) & 1
        zb = (int(z[k // 64]) >> (k % 64)) & 1
        sites.append("IZXY"[xb * 2 + zb])
    return "".join(sites)


_SHORT_COUNTS = np.array([bin(b).count("1") for b in range(1 << 16)], dtype=np.uint8)


def _bit_count(words: NDArray[np.uint64]) -> NDArray[np.uint8]:
    """The set bits of each word (np.bitwise_count from NumPy 2.0; a table of 16-bit counts before)."""
    if hasattr(np, "bitwise_count"):
        return np.asarray(np.bitwise_count(words), dtype=np.uint8)
    mask = np.uint64(0xFFFF)
    counts = _SHORT_COUNTS[words & mask]
    for shift in (16, 32, 48):
        counts = counts + _SHORT_COUNTS[(words >> np.uint64(shift)) & mask]
    return np.asarray(counts, dtype=np.uint8)


def _popcount(words: NDArray[np.uint64]) -> NDArray[np.int64]:
    return np.asarray(_bit_count(words).sum(axis=-1, dtype=np.int64), dtype=np.int64)


def _keys(x: NDArray[np.uint64], z: NDArray[np.uint64]) -> NDArray[np.uint64]:
    """A 64-bit hash of each string's words (SplitMix64's mixer); a collision is ruled out by
    comparing the words of what a search finds."""
    def mix(h: NDArray[np.uint64]) -> NDArray[np.uint64]:
        h = (h ^ (h >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        h = (h ^ (h >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        return h ^ (h >> np.uint64(31))

    h = np.zeros(x.shape[:-1], dtype=np.uint64)
    for part in (x, z):
        for w in range(part.shape[-1]):
            h = mix(h ^ mix(part[..., w] + np.uint64(0x9E3779B97F4A7C15)))
    return h


def _anticommuting_block(xa: NDArray[np.uint64], za: NDArray[np.uint64], x: NDArray[np.uint64],
                         z: NDArray[np.uint64]) -> NDArray[np.bool_]:
    """Whether string a of (xa, za) anticommutes with string b of (x, z), for every (a, b)."""
    odd = np.zeros((xa.shape[0], x.shape[0]), dtype=np.uint64)
    for w in range(x.shape[1]):
        odd ^= (xa[:, w, None] & z[None, :, w]) ^ (za[:, w, None] & x[None, :, w])
    return (_bit_count(odd) & 1).astype(bool)


def _anticommuting(xa: NDArray[np.uint64], za: NDArray[np.uint64], x: NDArray[np.uint64],
                   z: NDArray[np.uint64]) -> NDArray[np.bool_]:
    return ((_popcount(xa & z) + _popcount(za & x)) & 1).astype(bool)
