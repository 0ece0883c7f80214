"""One coefficient tensor computed in row blocks with Dask, each block written to its own files.

Every task computes the pairs (i, j) with i in one block of rows by
``structure_tensor(basis, rows=(start, stop))`` and saves its terms as two NumPy files in a
store directory (on a cluster: a directory every worker can write, such as a shared file
system); reading the blocks back in order and concatenating them gives the whole tensor, bit
for bit.

    python examples/tensor_blocks_dask.py [d] [STORE]             # local threads
    python examples/tensor_blocks_dask.py 256 /shared/su256 --scheduler tcp://host:8786

With ``--scheduler ADDRESS`` the tasks go to a ``dask.distributed`` cluster (``pip install
distributed``; start ``dask scheduler`` and ``dask worker ADDRESS`` on the machines). Each
task rebuilds the basis from ``d`` itself, so nothing large travels; its memory is its
block's result plus the basis.
"""
from __future__ import annotations

import argparse
import pathlib
import time

import numpy as np

import tanvo
import tanvo_lie


def block_files(store: pathlib.Path, start: int) -> tuple[pathlib.Path, pathlib.Path]:
    return store / f"rows-{start:09d}-indices.npy", store / f"rows-{start:09d}-values.npy"


def compute_block(basis, kind: str, store: pathlib.Path, start: int, stop: int, threads: int | None) -> int:
    """Computes rows [start, stop) and writes them; returns the number of terms."""
    if callable(basis):
        basis = basis()
    block = tanvo_lie.structure_tensor(basis, kind, rows=(start, stop), threads=threads)
    indices_file, values_file = block_files(store, start)
    np.save(indices_file, block.indices)
    np.save(values_file, block.values)
    return block.nnz


def read_blocks(store: pathlib.Path, n: int, kind: str, starts: list[int]) -> tanvo_lie.CoefficientTensor:
    """The whole tensor from the blocks' files, in row order."""
    indices = np.concatenate([np.load(block_files(store, start)[0]) for start in starts])
    values = np.concatenate([np.load(block_files(store, start)[1]) for start in starts])
    return tanvo_lie.CoefficientTensor(indices, values, n, kind)


def tensor_in_blocks(basis, kind: str = "commutator", *, store, block_rows: int, scheduler: str = "threads",
                     threads: int | None = 1, n: int | None = None) -> tanvo_lie.CoefficientTensor:
    """Computes the tensor of `basis` (or of the basis a zero-argument callable builds, with
    its size `n`) as one Dask task per block of `block_rows` rows, then reads it back.

    `scheduler` is a Dask local scheduler ("threads", "processes", "synchronous") or the
    address of a dask.distributed scheduler.
    """
    import dask

    store = pathlib.Path(store)
    store.mkdir(parents=True, exist_ok=True)
    if n is None:
        n = len(basis)
    starts = list(range(0, n, block_rows))
    tasks = [dask.delayed(compute_block)(basis, kind, store, start, min(start + block_rows, n), threads)
             for start in starts]
    if scheduler.startswith("tcp://") or scheduler.startswith("tls://"):
        from dask.distributed import Client

        with Client(scheduler) as client:
            client.compute(tasks, sync=True)
    else:
        dask.compute(*tasks, scheduler=scheduler)
    return read_blocks(store, n, kind, starts)


class SylvesterBasis:
    """Builds gen_sylvester(d) where it is called: tasks carry d, not the matrices."""

    def __init__(self, d: int) -> None:
        self.d = d

    def __call__(self):
        return tanvo.gen_sylvester(self.d)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("d", type=int, nargs="?", default=8)
    parser.add_argument("store", nargs="?", default="tensor-blocks")
    parser.add_argument("--kind", default="commutator", choices=["commutator", "anticommutator"])
    parser.add_argument("--block-rows", type=int, default=None, help="rows per task (default: n / 16)")
    parser.add_argument("--scheduler", default="threads", help="threads, processes or a tcp:// address")
    args = parser.parse_args()
    n = args.d * args.d - 1
    block_rows = args.block_rows or max(1, n // 16)
    start = time.perf_counter()
    tensor = tensor_in_blocks(SylvesterBasis(args.d), args.kind, store=args.store, block_rows=block_rows,
                              scheduler=args.scheduler, threads=None if args.scheduler.startswith("tcp") else 1,
                              n=n)
    print(f"su({args.d}) clock-and-shift: {tensor.nnz} terms in {-(-n // block_rows)} blocks, "
          f"{time.perf_counter() - start:.1f} s, stored in {args.store}/")


if __name__ == "__main__":
    main()
