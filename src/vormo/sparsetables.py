"""Compact tables of a solver script's namespace: the columns' names and keys made on demand, the
rows held as CSR arrays.

A namespace built without the script's text (``SciPyCSCCodeGenerator.build_namespace``) holds
these in place of the script's lists when numpy is at hand: ``NAMES`` and ``COLUMNS`` read like
the lists (length, index, slice, iteration) but make each entry when asked, from the variables'
index sets, so a million columns cost no million strings; ``ROWS`` reads like the list of
``[lower, upper, [column, coefficient, ...]]`` and carries the arrays themselves
(``lower``, ``upper`` and ``csr`` = (data, indices, indptr)) for the solve and the problem
arrays. numpy is imported by the code that makes the arrays, not here.
"""

import bisect
import itertools
from collections.abc import Sequence

__all__ = ["ColumnNames", "ColumnKeys", "RowTable"]


class _Blocks(Sequence):
    """Entries of consecutive blocks of columns, one block per variable: entry j of a block is
    made from the members of its index sets at the block's j-th subscript combination."""

    def __init__(self, blocks):
        # blocks: (variable name, [per index set: members as this table shows them], first column)
        self._blocks = [(name, [list(m) for m in parts], first, _product_size(parts))
                        for name, parts, first in blocks]
        self._firsts = [first for _, _, first, _ in self._blocks]
        self._size = sum(count for _, _, _, count in self._blocks)

    def __len__(self):
        return self._size

    def _make(self, name, key):
        raise NotImplementedError

    def _block_entries(self, block):
        name, parts, _, _ = block
        make = self._make
        return (make(name, key) for key in itertools.product(*parts))

    def __iter__(self):
        for block in self._blocks:
            yield from self._block_entries(block)

    def __getitem__(self, j):
        if isinstance(j, slice):
            start, stop, step = j.indices(self._size)
            if step != 1:
                return [self[k] for k in range(start, stop, step)]
            out = []
            for block in self._blocks:
                first, count = block[2], block[3]
                low, high = max(start, first), min(stop, first + count)
                if low < high:
                    out.extend(itertools.islice(self._block_entries(block), low - first, high - first))
            return out
        if not isinstance(j, int):
            j = j.__index__()
        if j < 0:
            j += self._size
        if not 0 <= j < self._size:
            raise IndexError("column index out of range")
        name, parts, first, _ = self._blocks[bisect.bisect_right(self._firsts, j) - 1]
        rest, key = j - first, []
        for members in reversed(parts):
            rest, k = divmod(rest, len(members))
            key.append(members[k])
        return self._make(name, key[::-1])

    def __eq__(self, other):
        if isinstance(other, (list, tuple, _Blocks)):
            return len(self) == len(other) and all(a == b for a, b in zip(self, other))
        return NotImplemented

    __hash__ = None

    def __repr__(self):
        return f"<{type(self).__name__} of {self._size} columns>"


def _product_size(parts):
    size = 1
    for members in parts:
        size *= len(members)
    return size


class ColumnNames(_Blocks):
    """The display name of every column, x[Bread] or y[1][3], made when asked
    (the blocks hold each member's subscript text, '[Bread]')."""

    def _make(self, name, key):
        return name + "".join(key)

    def _block_entries(self, block):
        name, parts, _, _ = block
        return map("".join, itertools.product((name,), *parts))


class ColumnKeys(_Blocks):
    """[variable, [subscripts]] of every column, made when asked (a tuple member as a list)."""

    def _make(self, name, key):
        return [name, list(key)]


class RowTable(Sequence):
    """The constraint rows as CSR arrays, read as the list [lower, upper, [column, coefficient,
    ...]] per row."""

    def __init__(self, lower, upper, data, indices, indptr):
        self.lower, self.upper = lower, upper
        self.csr = (data, indices, indptr)

    def __len__(self):
        return len(self.lower)

    def _row(self, r, bounds=None):
        data, indices, indptr = self.csr
        start, end = (bounds[r], bounds[r + 1]) if bounds else (int(indptr[r]), int(indptr[r + 1]))
        flat = [None] * (2 * (end - start))
        flat[0::2] = indices[start:end].tolist()
        flat[1::2] = data[start:end].tolist()
        return [float(self.lower[r]), float(self.upper[r]), flat]

    def __getitem__(self, r):
        if isinstance(r, slice):
            return [self._row(k) for k in range(*r.indices(len(self)))]
        if r < 0:
            r += len(self)
        if not 0 <= r < len(self):
            raise IndexError("row index out of range")
        return self._row(r)

    def __iter__(self):
        bounds = self.csr[2].tolist()
        for r in range(len(self)):
            yield self._row(r, bounds)

    def __repr__(self):
        return f"<RowTable of {len(self)} rows, {int(self.csr[2][-1]) if len(self) else 0} non-zeros>"
