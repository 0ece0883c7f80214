"""
A coefficient tensor computed in blocks with Dask
=================================================

``structure_tensor(basis, rows=(start, stop))`` computes only the pairs (i, j) with i in
[start, stop), and its terms are exactly — bit for bit — the rows of the whole tensor in that
range, whatever the number of threads. So a tensor too large for one call, or one machine,
can be cut into row blocks, each computed by its own task wherever there is room, written to
its own files, and put together later.

Here Dask runs one task per block on local threads, each writing its block as two ``.npy``
files; we read them back, check the concatenation against the tensor computed in one call,
and look at which pairs each block holds. ``examples/tensor_blocks_dask.py`` in the
source tree is the same as a command-line program that also sends the tasks to a
``dask.distributed`` cluster (:doc:`/user_guide/tensors`).
"""

import pathlib
import shutil
import tempfile
import time

import dask
import matplotlib.pyplot as plt
import numpy as np

import tanvo
import tanvo_lie

# %%
# One task per block
# ------------------
# Each task builds the basis itself from d — on a cluster only the block bounds then travel —
# computes its rows on one thread (Dask runs the tasks side by side) and saves its terms.

d = 20                                   # Gell-Mann su(20): 399 matrices
n = d * d - 1
block_rows = 25


def block_files(store, start):
    return store / f"rows-{start:06d}-indices.npy", store / f"rows-{start:06d}-values.npy"


def compute_block(store, start, stop):
    """Computes the rows [start, stop) of the tensor and writes them; returns its terms."""
    basis = tanvo.gen_gellmann(d)
    block = tanvo_lie.structure_tensor(basis, rows=(start, stop), threads=1)
    indices_file, values_file = block_files(store, start)
    np.save(indices_file, block.indices)
    np.save(values_file, block.values)
    return block.nnz


starts = list(range(0, n, block_rows))
store = pathlib.Path(tempfile.mkdtemp(prefix="tensor-blocks-"))
tasks = [dask.delayed(compute_block)(store, start, min(start + block_rows, n)) for start in starts]
began = time.perf_counter()
terms_per_block = dask.compute(*tasks, scheduler="threads", num_workers=2)
print(f"{len(tasks)} blocks, {sum(terms_per_block):,} terms, in {time.perf_counter() - began:.2f} s")

# %%
# Reading the blocks back
# -----------------------
# In row order, the blocks' files concatenate to the whole tensor. (For results larger than
# memory, read them one at a time with ``np.load(..., mmap_mode="r")`` instead.)

indices = np.concatenate([np.load(block_files(store, start)[0]) for start in starts])
values = np.concatenate([np.load(block_files(store, start)[1]) for start in starts])
shutil.rmtree(store)
tensor = tanvo_lie.CoefficientTensor(indices, values, n)
whole = tanvo_lie.structure_tensor(tanvo.gen_gellmann(d))
print(tensor, "from the blocks")
assert np.array_equal(tensor.indices, whole.indices)
assert np.array_equal(tensor.values.view(np.float64), whole.values.view(np.float64))   # same bits
print("equal, bit for bit, to the tensor computed in one call")

# %%
# Which pairs each block holds
# ----------------------------
# A pair (i, j) has terms when B_i and B_j do not commute. In the Gell-Mann basis most pairs
# commute (among them all pairs of matrices whose index pairs share no index), so the tensor
# is sparse; each block of rows holds a band of the pattern below.

has_terms = np.zeros((n, n), dtype=bool)
has_terms[tensor.indices[:, 0], tensor.indices[:, 1]] = True
block_of_row = np.arange(n) // block_rows
pattern = np.ma.masked_where(~has_terms, np.broadcast_to(block_of_row[:, None], (n, n)))
print(f"{has_terms.sum():,} of {n * n:,} ordered pairs have terms")

fig, ax = plt.subplots(figsize=(5.6, 5), layout="constrained")
image = ax.imshow(pattern, cmap="tab20", interpolation="nearest", vmin=0, vmax=19)
ax.set_xlabel("j")
ax.set_ylabel("i")
ax.set_title(f"Gell-Mann su({d}): pairs with terms, by block ({block_rows} rows each)")
plt.show()
